#pragma once
// The predictor network: a small fully connected integer network with 8-bit signed
// weights, 32-bit biases and accumulators and 8-bit activations. Its byte encoding, its
// validation with every error, and its exact inference over a batch of samples (one image row).
// Which kernel runs and how weights are laid out for it is in nn/kernels/kernel.hpp.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <utility>
#include <vector>

#include "nn/error.hpp"
#include "nn/kernels/kernel.hpp"

namespace qelvo::nn {

inline constexpr std::uint8_t kActivationIdentity = 0;  // the last layer only
inline constexpr std::uint8_t kActivationClippedRelu = 1;  // every other layer: clip to 0..=127
inline constexpr std::int64_t kAccumulatorLimit = std::int64_t{1} << 30;

// One fully connected layer; the weight from input i to output o is weights[o × in_width + i].
struct Layer {
  std::vector<std::int8_t> weights;
  std::vector<std::int32_t> biases;
  std::size_t in_width = 0;
  std::size_t out_width = 0;
  std::uint8_t shift = 0;       // right shift of a hidden layer's accumulator, 0..=24
  std::uint8_t activation = 0;  // kActivationIdentity or kActivationClippedRelu

  bool operator==(const Layer&) const = default;
};

// Immutable after construction; shared read-only by any number of threads.
class Network {
 public:
  // Reads one network encoding from the start of `bytes` and returns it with the number of
  // bytes consumed (what follows is the caller's). The kernel is detect_kernel()'s choice.
  static std::expected<std::pair<Network, std::size_t>, Error> from_bytes(std::span<const std::uint8_t> bytes);

  // Validates the layers (first failure wins), normalises the kernel for this machine and packs
  // every layer for it.
  static std::expected<Network, Error> with_kernel(std::vector<Layer> layers, Kernel kernel);

  // Evaluates all layers for n samples. `inputs` holds n records of input_stride() bytes (read as
  // signed 8-bit, zero beyond input_width()); `outputs` receives n × output_width() values, sample
  // after sample. The scratch buffers only grow and may be reused from call to call.
  void forward(std::span<const std::uint8_t> inputs, std::size_t n, std::vector<std::uint8_t>& scratch_a,
               std::vector<std::uint8_t>& scratch_b, std::span<std::int32_t> outputs) const;

  // One hidden layer for n samples: grows `out` to at least n × out_stride bytes and fills
  // records of out_stride bytes.
  static void hidden_into(Kernel kernel, const Packed& packed, std::size_t out_width, std::uint8_t shift,
                          std::span<const std::uint8_t> inputs, std::size_t n, std::vector<std::uint8_t>& out);
  // The last layer for n samples: n × out_width raw accumulators.
  static void linear(Kernel kernel, const Packed& packed, std::size_t out_width, std::span<const std::uint8_t> inputs,
                     std::size_t n, std::span<std::int32_t> outputs);

  const std::vector<Layer>& layers() const { return layers_; }
  const std::vector<Packed>& packed() const { return packed_; }
  Kernel kernel() const { return kernel_; }
  std::size_t input_width() const { return layers_.front().in_width; }
  std::size_t input_stride() const { return stride_of(layers_.front().in_width); }
  std::size_t output_width() const { return layers_.back().out_width; }

 private:
  Network(std::vector<Layer> layers, std::vector<Packed> packed, Kernel kernel)
      : layers_(std::move(layers)), packed_(std::move(packed)), kernel_(kernel) {}

  std::vector<Layer> layers_;
  std::vector<Packed> packed_;  // one per layer, for kernel_
  Kernel kernel_ = Kernel::Scalar;
};

}  // namespace qelvo::nn
