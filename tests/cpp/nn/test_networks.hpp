#pragma once
// Helpers shared by the network tests: byte-by-byte encodings, a plain reference evaluation
// straight from the layers (64-bit arithmetic, no packing), and random valid networks.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "common/bytes.hpp"
#include "nn/network.hpp"

namespace qelvo::nn::testing {

using Bytes = std::vector<std::uint8_t>;

inline Layer make_layer(std::size_t in_width, std::size_t out_width, std::uint8_t shift, std::uint8_t activation,
                        std::vector<std::int8_t> weights, std::vector<std::int32_t> biases) {
  Layer layer;
  layer.weights = std::move(weights);
  layer.biases = std::move(biases);
  layer.in_width = in_width;
  layer.out_width = out_width;
  layer.shift = shift;
  layer.activation = activation;
  return layer;
}

// The network encoding, written field by field.
inline Bytes encode(const std::vector<Layer>& layers) {
  Bytes out{static_cast<std::uint8_t>(layers.size())};
  for (const Layer& layer : layers) {
    store_le<std::uint16_t>(out, static_cast<std::uint16_t>(layer.in_width));
    store_le<std::uint16_t>(out, static_cast<std::uint16_t>(layer.out_width));
    out.push_back(layer.shift);
    out.push_back(layer.activation);
    for (std::int8_t w : layer.weights) out.push_back(static_cast<std::uint8_t>(w));
    for (std::int32_t b : layer.biases) store_le<std::int32_t>(out, b);
  }
  return out;
}

// Accumulator of output o of a layer for one record of inputs (read as signed bytes).
inline std::int64_t reference_accumulator(const Layer& layer, const std::uint8_t* x, std::size_t o) {
  std::int64_t acc = layer.biases[o];
  for (std::size_t i = 0; i < layer.in_width; ++i) {
    acc += std::int64_t{layer.weights[o * layer.in_width + i]} * static_cast<std::int8_t>(x[i]);
  }
  return acc;
}

inline std::uint8_t reference_activation(std::int64_t acc, std::uint8_t shift) {
  std::int64_t y = shift > 0 ? (acc + (std::int64_t{1} << (shift - 1))) >> shift : acc;
  if (y < 1) y = 0;
  if (y > 127) y = 127;
  return static_cast<std::uint8_t>(y);
}

// Hidden activations of layer k (records of the layer's output stride) for n input records.
inline Bytes reference_hidden(const Layer& layer, const Bytes& in, std::size_t n) {
  const std::size_t in_stride = stride_of(layer.in_width);
  const std::size_t out_stride = stride_of(layer.out_width);
  Bytes out(n * out_stride, 0);
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t o = 0; o < layer.out_width; ++o) {
      out[j * out_stride + o] = reference_activation(reference_accumulator(layer, &in[j * in_stride], o), layer.shift);
    }
  }
  return out;
}

inline std::vector<std::int64_t> reference_forward(const std::vector<Layer>& layers, const Bytes& inputs,
                                                   std::size_t n) {
  Bytes x = inputs;
  for (std::size_t k = 0; k + 1 < layers.size(); ++k) x = reference_hidden(layers[k], x, n);
  const Layer& last = layers.back();
  const std::size_t in_stride = stride_of(last.in_width);
  std::vector<std::int64_t> out;
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t o = 0; o < last.out_width; ++o) out.push_back(reference_accumulator(last, &x[j * in_stride], o));
  }
  return out;
}

// How weights and biases of a random layer are drawn.
enum class Fill { Small, Uniform, Extremes, MaxBias };

// A random layer that passes validation. MaxBias spends the whole accumulator budget on the
// bias (|bias| = 2^30 − Σ|w| × M), so accumulators can come close to ±2^30.
inline Layer random_layer(std::mt19937& rng, std::size_t in_width, std::size_t out_width, std::uint8_t shift,
                          bool first, bool last, Fill fill) {
  Layer layer = make_layer(in_width, out_width, shift, last ? 0 : 1, {}, {});
  const std::int64_t m = first ? 128 : 127;
  for (std::size_t o = 0; o < out_width; ++o) {
    std::int64_t sum = 0;
    for (std::size_t i = 0; i < in_width; ++i) {
      int w = 0;
      switch (fill) {
        case Fill::Small: w = static_cast<int>(rng() % 17) - 8; break;
        case Fill::Uniform: w = static_cast<int>(rng() % 256) - 128; break;
        case Fill::Extremes:
        case Fill::MaxBias: {
          const int pick = static_cast<int>(rng() % 4);
          w = pick == 0 ? -128 : pick == 1 ? 127 : static_cast<int>(rng() % 256) - 128;
          break;
        }
      }
      layer.weights.push_back(static_cast<std::int8_t>(w));
      sum += std::abs(w) * m;
    }
    const std::int64_t budget = (std::int64_t{1} << 30) - sum;
    std::int64_t bias = 0;
    if (fill == Fill::MaxBias) {
      bias = rng() % 2 ? budget : -budget;
    } else {
      const std::int64_t span = std::min<std::int64_t>(budget, std::int64_t{1} << (shift + 8));
      bias = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(2 * span + 1)) - span;
    }
    layer.biases.push_back(static_cast<std::int32_t>(bias));
  }
  return layer;
}

inline std::vector<Layer> random_network(std::mt19937& rng, const std::vector<std::size_t>& widths,
                                         const std::vector<std::uint8_t>& shifts, Fill fill) {
  std::vector<Layer> layers;
  for (std::size_t k = 0; k + 1 < widths.size(); ++k) {
    layers.push_back(
        random_layer(rng, widths[k], widths[k + 1], shifts[k], k == 0, k + 2 == widths.size(), fill));
  }
  return layers;
}

// n random input records of the given width and stride (zero beyond the width).
inline Bytes random_inputs(std::mt19937& rng, std::size_t width, std::size_t n, bool extremes = false) {
  const std::size_t stride = stride_of(width);
  Bytes in(n * stride, 0);
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t i = 0; i < width; ++i) {
      std::uint8_t v = static_cast<std::uint8_t>(rng());
      if (extremes && rng() % 2) v = rng() % 2 ? 0x80 : 0x7F;
      in[j * stride + i] = v;
    }
  }
  return in;
}

}  // namespace qelvo::nn::testing
