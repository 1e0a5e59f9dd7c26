// Any bytes as a network encoding. A network that loads must give the same outputs with every
// kernel for inputs taken from the bytes that follow it.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "nn/network.hpp"

namespace {

constexpr std::size_t kSamples = 5;

std::vector<std::int32_t> run(const qelvo::nn::Network& network, std::span<const std::uint8_t> inputs) {
  std::vector<std::uint8_t> scratch_a, scratch_b;
  std::vector<std::int32_t> outputs(kSamples * network.output_width());
  network.forward(inputs, kSamples, scratch_a, scratch_b, outputs);
  return outputs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qelvo;
  const std::span<const std::uint8_t> bytes(data, size);
  const auto loaded = nn::Network::from_bytes(bytes);
  if (!loaded) return 0;
  const auto& [network, consumed] = *loaded;
  fuzz::require(consumed <= size, "a network consumes only the bytes it was given");

  // Inputs: the bytes after the network, repeated, or a fixed ramp when there are none.
  const std::span<const std::uint8_t> rest = bytes.subspan(consumed);
  std::vector<std::uint8_t> inputs(kSamples * network.input_stride());
  for (std::size_t i = 0; i < inputs.size(); ++i)
    inputs[i] = rest.empty() ? static_cast<std::uint8_t>(i * 29) : rest[i % rest.size()];

  const auto scalar = nn::Network::with_kernel(network.layers(), nn::Kernel::Scalar);
  const auto avx2 = nn::Network::with_kernel(network.layers(), nn::Kernel::Avx2);
  fuzz::require(scalar.has_value() && avx2.has_value(), "a loaded network's layers are valid for every kernel");
  fuzz::require(run(*scalar, inputs) == run(*avx2, inputs), "every kernel gives the same outputs");
  return 0;
}
