#pragma once
// The compute kernels of the network: the set of kernels, how one is chosen (the
// processor's AVX2 support and QELVO_KERNEL), and the weight layout (`Packed`) each one reads.
// Every kernel gives bit-identical results: inputs and weights are 8-bit, so every product and
// pairwise sum is exact, and validation bounds every accumulator by 2^30, so no partial sum in
// any order can wrap.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "nn/kernels/avx2.hpp"

namespace qelvo::nn {

// Values in their format order. On x86-64 only Scalar and Avx2 ever run; the others are
// names that the selection recognises and replaces by the automatic choice.
enum class Kernel : std::uint8_t { Scalar = 0, Neon = 1, NeonDot = 2, Avx2 = 3, Wasm128 = 4 };

// Kernel::from_name: exact, case-sensitive "scalar", "neon", "neon-dot", "avx2" or "wasm128".
std::optional<Kernel> kernel_from_name(std::string_view name);
std::string_view kernel_name(Kernel kernel);

// The processor's AVX2 support (usable by the OS too), queried once per process and cached;
// false too where this build has no AVX2 kernel (off x86-64).
bool cpu_has_avx2();

// Kernel::detect: the kernel for networks loaded now. Reads QELVO_KERNEL at every call:
// "scalar" forces the scalar kernel, "avx2" is honoured only where supported, anything else
// (other architectures' names, unknown or empty values) gives the automatic choice.
Kernel detect_kernel();

// The kernel that actually runs for a requested one on this machine: Avx2 without processor
// support, Neon, NeonDot and Wasm128 become Scalar.
Kernel normalise_kernel(Kernel kernel);

// A width rounded up to a multiple of 16: the stride of an activation record.
constexpr std::size_t stride_of(std::size_t width) { return (width + 15) & ~std::size_t{15}; }

// One layer's weights rearranged for its kernel.
struct Packed {
  std::vector<std::int32_t> biases;       // the biases, then zeros up to out_stride
  std::vector<std::int8_t> weights;       // Scalar only: out_stride × in_stride, zero-filled
  std::vector<std::int16_t> weights_i16;  // Avx2 only: groups of 8 outputs × pairs of inputs
  std::size_t in_stride = 0;
  std::size_t out_stride = 0;

  // Packs a layer (weights row per output, out_width × in_width) for a normalised kernel
  // (Scalar or Avx2). Avx2 layout: for group q, pair p, output k = 0..7 of the group, the two
  // values w[8q + k][2p] and w[8q + k][2p + 1] (0 outside the widths).
  static Packed pack(std::span<const std::int8_t> weights, std::span<const std::int32_t> biases,
                     std::size_t in_width, std::size_t out_width, Kernel kernel);
};

namespace kernels {

// Portable kernels over records of in_stride input bytes (read as signed 8-bit). `hidden`
// writes n records of out_stride bytes (clip(round(acc >> shift)) to 0..127, zero beyond
// out_width); `linear` writes n × out_width raw accumulators.
void scalar_hidden(const Packed& packed, std::size_t out_width, std::uint8_t shift, const std::uint8_t* in,
                   std::size_t n, std::uint8_t* out);
void scalar_linear(const Packed& packed, std::size_t out_width, const std::uint8_t* in, std::size_t n,
                   std::int32_t* out);

// The AVX2 kernels are declared in nn/kernels/avx2.hpp.

}  // namespace kernels
}  // namespace qelvo::nn
