#include "nn/network.hpp"

#include <cstdlib>

#include "common/bytes.hpp"
#include "common/internal_error.hpp"

namespace qelvo::nn {
namespace {

std::expected<std::pair<Network, std::size_t>, Error> malformed(const char* reason) {
  return std::unexpected(Error::malformed(reason));
}

}  // namespace

std::expected<std::pair<Network, std::size_t>, Error> Network::from_bytes(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return malformed("truncated");
  const std::size_t count = bytes[0];
  if (count == 0 || count > kMaxLayers) return std::unexpected(Error::layer_count(count));
  if (bytes.size() < 5) return malformed("truncated");

  std::vector<Layer> layers;
  layers.reserve(count);
  std::size_t c = 1;
  for (std::size_t k = 0; k < count; ++k) {
    if (bytes.size() - c < 4) return malformed("truncated");
    Layer layer;
    layer.in_width = load_le<std::uint16_t>(bytes.data() + c);
    layer.out_width = load_le<std::uint16_t>(bytes.data() + c + 2);
    if (layer.in_width == 0 || layer.in_width > kMaxWidth || layer.out_width == 0 || layer.out_width > kMaxWidth) {
      return malformed("layer width out of range");
    }
    if (bytes.size() - c < 6) return malformed("truncated");
    layer.shift = bytes[c + 4];
    layer.activation = bytes[c + 5];
    if (layer.activation > kActivationClippedRelu) return malformed("unknown activation");
    c += 6;
    // Widths are at most 256, so these sizes are small whatever the input says.
    const std::size_t weight_count = layer.out_width * layer.in_width;
    if (bytes.size() - c < weight_count) return malformed("truncated");
    layer.weights.resize(weight_count);
    for (std::size_t i = 0; i < weight_count; ++i) layer.weights[i] = static_cast<std::int8_t>(bytes[c + i]);
    c += weight_count;
    layer.biases.resize(layer.out_width);
    for (std::size_t o = 0; o < layer.out_width; ++o) {
      if (bytes.size() - c < 4) return malformed("truncated");
      layer.biases[o] = load_le<std::int32_t>(bytes.data() + c);
      c += 4;
    }
    layers.push_back(std::move(layer));
  }

  auto network = with_kernel(std::move(layers), detect_kernel());
  if (!network) return std::unexpected(std::move(network.error()));
  return std::pair<Network, std::size_t>(std::move(*network), c);
}

std::expected<Network, Error> Network::with_kernel(std::vector<Layer> layers, Kernel kernel) {
  if (layers.empty() || layers.size() > kMaxLayers) return std::unexpected(Error::layer_count(layers.size()));
  for (std::size_t k = 0; k < layers.size(); ++k) {
    const Layer& layer = layers[k];
    const bool last = k + 1 == layers.size();
    if (layer.in_width == 0 || layer.in_width > kMaxWidth) return std::unexpected(Error::width(k, layer.in_width));
    if (layer.out_width == 0 || layer.out_width > kMaxWidth) return std::unexpected(Error::width(k, layer.out_width));
    if (k > 0 && layer.in_width != layers[k - 1].out_width) {
      return std::unexpected(Error::input_mismatch(k, layer.in_width, layers[k - 1].out_width));
    }
    if (layer.weights.size() != layer.in_width * layer.out_width || layer.biases.size() != layer.out_width) {
      return std::unexpected(Error::shape_mismatch(k));
    }
    if (last ? layer.activation != kActivationIdentity : layer.activation != kActivationClippedRelu) {
      return std::unexpected(Error::activation_position(k));
    }
    if (layer.shift > kMaxShift) return std::unexpected(Error::shift_range(k, layer.shift));
    // Layer 0 reads signed bytes (|x| <= 128), later layers activations 0..=127.
    const std::int64_t magnitude = k == 0 ? 128 : 127;
    for (std::size_t o = 0; o < layer.out_width; ++o) {
      std::int64_t bound = std::llabs(static_cast<std::int64_t>(layer.biases[o]));
      const std::int8_t* row = layer.weights.data() + o * layer.in_width;
      for (std::size_t i = 0; i < layer.in_width; ++i) bound += std::abs(static_cast<int>(row[i])) * magnitude;
      if (bound > kAccumulatorLimit) return std::unexpected(Error::accumulator_range(k));
    }
  }

  const Kernel normalised = normalise_kernel(kernel);
  std::vector<Packed> packed;
  packed.reserve(layers.size());
  for (const Layer& layer : layers) {
    packed.push_back(Packed::pack(layer.weights, layer.biases, layer.in_width, layer.out_width, normalised));
  }
  return Network(std::move(layers), std::move(packed), normalised);
}

void Network::hidden_into(Kernel kernel, const Packed& packed, std::size_t out_width, std::uint8_t shift,
                          std::span<const std::uint8_t> inputs, std::size_t n, std::vector<std::uint8_t>& out) {
  if (inputs.size() / packed.in_stride < n) internal_error("input buffer too short");
  const std::size_t needed = n * packed.out_stride;
  if (out.size() < needed) out.resize(needed, 0);
  if (kernel == Kernel::Avx2) {
    kernels::avx2_hidden(packed.weights_i16.data(), packed.biases.data(), packed.in_stride, packed.out_stride, shift,
                         inputs.data(), n, out.data());
  } else {
    kernels::scalar_hidden(packed, out_width, shift, inputs.data(), n, out.data());
  }
}

void Network::linear(Kernel kernel, const Packed& packed, std::size_t out_width, std::span<const std::uint8_t> inputs,
                     std::size_t n, std::span<std::int32_t> outputs) {
  if (inputs.size() / packed.in_stride < n) internal_error("input buffer too short");
  if (outputs.size() / out_width < n) internal_error("output buffer too short");
  if (kernel == Kernel::Avx2) {
    kernels::avx2_linear(packed.weights_i16.data(), packed.biases.data(), packed.in_stride, out_width, inputs.data(), n,
                         outputs.data());
  } else {
    kernels::scalar_linear(packed, out_width, inputs.data(), n, outputs.data());
  }
}

void Network::forward(std::span<const std::uint8_t> inputs, std::size_t n, std::vector<std::uint8_t>& scratch_a,
                      std::vector<std::uint8_t>& scratch_b, std::span<std::int32_t> outputs) const {
  if (inputs.size() / input_stride() < n) internal_error("input buffer too short");
  if (outputs.size() / output_width() < n) internal_error("output buffer too short");
  const std::size_t last = layers_.size() - 1;
  if (last == 0) {
    linear(kernel_, packed_[0], layers_[0].out_width, inputs, n, outputs);
    return;
  }
  std::vector<std::uint8_t>* a = &scratch_a;
  std::vector<std::uint8_t>* b = &scratch_b;
  hidden_into(kernel_, packed_[0], layers_[0].out_width, layers_[0].shift, inputs, n, *a);
  for (std::size_t k = 1; k < last; ++k) {
    hidden_into(kernel_, packed_[k], layers_[k].out_width, layers_[k].shift, *a, n, *b);
    std::swap(a, b);
  }
  linear(kernel_, packed_[last], layers_[last].out_width, *a, n, outputs);
}

}  // namespace qelvo::nn
