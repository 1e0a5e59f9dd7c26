// The portable kernel: exactly the network arithmetic, reading the zero-filled
// row-per-output matrix over the full input stride. Products are summed in blocks of 8 lanes,
// a shape compilers vectorise on their own; integer addition makes the order irrelevant.
#include <cstring>

#include "nn/kernels/kernel.hpp"

namespace qelvo::nn::kernels {
namespace {

inline std::int32_t dot(const std::int8_t* w, const std::int16_t* x, std::size_t in_stride) {
  std::int32_t lanes[16] = {};
  for (std::size_t i = 0; i < in_stride; i += 16) {
    for (std::size_t l = 0; l < 16; ++l) {
      lanes[l] += static_cast<std::int32_t>(x[i + l]) * static_cast<std::int32_t>(w[i + l]);
    }
  }
  std::int32_t sum = 0;
  for (std::int32_t lane : lanes) sum += lane;
  return sum;
}

inline void widen(const std::uint8_t* in, std::size_t in_stride, std::int16_t* x) {
  for (std::size_t i = 0; i < in_stride; ++i) x[i] = static_cast<std::int8_t>(in[i]);
}

}  // namespace

void scalar_hidden(const Packed& packed, std::size_t out_width, std::uint8_t shift, const std::uint8_t* in,
                   std::size_t n, std::uint8_t* out) {
  const std::size_t in_stride = packed.in_stride;
  const std::size_t out_stride = packed.out_stride;
  const std::int8_t* weights = packed.weights.data();
  const std::int32_t* biases = packed.biases.data();
  const std::int32_t half = shift > 0 ? std::int32_t{1} << (shift - 1) : 0;
  for (std::size_t j = 0; j < n; ++j) {
    std::int16_t x[256];
    widen(in + j * in_stride, in_stride, x);
    std::uint8_t* y = out + j * out_stride;
    for (std::size_t o = 0; o < out_width; ++o) {
      const std::int32_t acc = biases[o] + dot(weights + o * in_stride, x, in_stride);
      std::int32_t v = (acc + half) >> shift;  // arithmetic shift, rounding half up (shift 0: acc)
      v = v < 0 ? 0 : (v > 127 ? 127 : v);
      y[o] = static_cast<std::uint8_t>(v);
    }
    // Outputs beyond the width have zero weights and biases: their activation is always 0.
    if (out_stride > out_width) std::memset(y + out_width, 0, out_stride - out_width);
  }
}

void scalar_linear(const Packed& packed, std::size_t out_width, const std::uint8_t* in, std::size_t n,
                   std::int32_t* out) {
  const std::size_t in_stride = packed.in_stride;
  const std::int8_t* weights = packed.weights.data();
  const std::int32_t* biases = packed.biases.data();
  for (std::size_t j = 0; j < n; ++j) {
    std::int16_t x[256];
    widen(in + j * in_stride, in_stride, x);
    std::int32_t* y = out + j * out_width;
    for (std::size_t o = 0; o < out_width; ++o) y[o] = biases[o] + dot(weights + o * in_stride, x, in_stride);
  }
}

}  // namespace qelvo::nn::kernels
