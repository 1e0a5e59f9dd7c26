#include "nn/kernels/kernel.hpp"

#include <cstdlib>

namespace qelvo::nn {

std::optional<Kernel> kernel_from_name(std::string_view name) {
  if (name == "scalar") return Kernel::Scalar;
  if (name == "neon") return Kernel::Neon;
  if (name == "neon-dot") return Kernel::NeonDot;
  if (name == "avx2") return Kernel::Avx2;
  if (name == "wasm128") return Kernel::Wasm128;
  return std::nullopt;
}

std::string_view kernel_name(Kernel kernel) {
  switch (kernel) {
    case Kernel::Scalar: return "scalar";
    case Kernel::Neon: return "neon";
    case Kernel::NeonDot: return "neon-dot";
    case Kernel::Avx2: return "avx2";
    case Kernel::Wasm128: return "wasm128";
  }
  return "unknown";
}

namespace {

bool query_avx2() {
#if defined(__x86_64__) || defined(__i386__)
  // libgcc's check covers the OS side too (XSAVE enabled for the YMM state).
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
#else
  return false;
#endif
}

}  // namespace

bool cpu_has_avx2() {
  static const bool supported = kernels::avx2_kernel_built() && query_avx2();  // initialised once, race-free
  return supported;
}

Kernel detect_kernel() {
  const Kernel automatic = cpu_has_avx2() ? Kernel::Avx2 : Kernel::Scalar;
  const char* value = std::getenv("QELVO_KERNEL");
  if (value == nullptr) return automatic;
  const std::optional<Kernel> named = kernel_from_name(value);
  if (named == Kernel::Scalar) return Kernel::Scalar;
  // Avx2 is honoured only where supported, which is the automatic choice anyway; other
  // architectures' kernels and unknown or empty names are ignored without a message.
  return automatic;
}

Kernel normalise_kernel(Kernel kernel) {
  if (kernel == Kernel::Avx2 && cpu_has_avx2()) return Kernel::Avx2;
  return Kernel::Scalar;
}

Packed Packed::pack(std::span<const std::int8_t> weights, std::span<const std::int32_t> biases,
                    std::size_t in_width, std::size_t out_width, Kernel kernel) {
  Packed p;
  p.in_stride = stride_of(in_width);
  p.out_stride = stride_of(out_width);
  p.biases.assign(p.out_stride, 0);
  for (std::size_t o = 0; o < out_width; ++o) p.biases[o] = biases[o];
  const auto w = [&](std::size_t o, std::size_t i) -> std::int8_t {
    return o < out_width && i < in_width ? weights[o * in_width + i] : std::int8_t{0};
  };
  if (kernel == Kernel::Avx2) {
    p.weights_i16.reserve(p.out_stride * p.in_stride);
    for (std::size_t q = 0; q < p.out_stride / 8; ++q) {
      for (std::size_t pair = 0; pair < p.in_stride / 2; ++pair) {
        for (std::size_t k = 0; k < 8; ++k) {
          p.weights_i16.push_back(w(8 * q + k, 2 * pair));
          p.weights_i16.push_back(w(8 * q + k, 2 * pair + 1));
        }
      }
    }
  } else {
    p.weights.assign(p.out_stride * p.in_stride, 0);
    for (std::size_t o = 0; o < out_width; ++o) {
      for (std::size_t i = 0; i < in_width; ++i) p.weights[o * p.in_stride + i] = weights[o * in_width + i];
    }
  }
  return p;
}

}  // namespace qelvo::nn
