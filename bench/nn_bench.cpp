// Forward samples/s of the two built-in network shapes (12-48-48-6 with shifts 7, 4, 0 and
// 30-48-48-6 with shifts 6, 5, 0; random weights that pass validation) on rows of 512 samples,
// with each kernel that runs on this machine. Single-threaded.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench_util.hpp"
#include "nn/network.hpp"

namespace {

using qelvo::nn::Kernel;
using qelvo::nn::Layer;
using qelvo::nn::Network;

std::vector<Layer> random_layers(std::mt19937& rng, const std::vector<std::size_t>& widths,
                                 const std::vector<std::uint8_t>& shifts) {
  std::vector<Layer> layers;
  for (std::size_t k = 0; k + 1 < widths.size(); ++k) {
    Layer layer;
    layer.in_width = widths[k];
    layer.out_width = widths[k + 1];
    layer.shift = shifts[k];
    layer.activation = k + 2 == widths.size() ? 0 : 1;
    for (std::size_t i = 0; i < layer.in_width * layer.out_width; ++i) {
      layer.weights.push_back(static_cast<std::int8_t>(static_cast<int>(rng() % 256) - 128));
    }
    // Biases of the order of the accumulator's spread, so activations are neither all 0 nor all 127.
    const int span = 1 << (layer.shift + 6);
    for (std::size_t o = 0; o < layer.out_width; ++o) {
      layer.biases.push_back(static_cast<std::int32_t>(rng() % (2 * span + 1)) - span);
    }
    layers.push_back(std::move(layer));
  }
  return layers;
}

}  // namespace

int main() {
  constexpr std::size_t kRow = 512;
  const struct {
    const char* name;
    std::vector<std::size_t> widths;
    std::vector<std::uint8_t> shifts;
  } shapes[] = {{"2-D 12-48-48-6", {12, 48, 48, 6}, {7, 4, 0}}, {"3-D 30-48-48-6", {30, 48, 48, 6}, {6, 5, 0}}};

  std::printf("network forward, rows of %zu samples, single thread (AVX2 %s)\n", kRow,
              qelvo::nn::cpu_has_avx2() ? "available" : "not available");
  std::mt19937 rng(1);
  for (const auto& shape : shapes) {
    const std::vector<Layer> layers = random_layers(rng, shape.widths, shape.shifts);
    std::vector<std::int32_t> reference;
    for (Kernel kernel : {Kernel::Scalar, Kernel::Avx2}) {
      auto network = Network::with_kernel(layers, kernel);
      if (!network) {
        std::fprintf(stderr, "invalid network: %s\n", network.error().display().c_str());
        return 1;
      }
      if (network->kernel() != kernel) continue;  // AVX2 not available here
      std::vector<std::uint8_t> inputs(kRow * network->input_stride(), 0);
      for (std::size_t j = 0; j < kRow; ++j) {
        for (std::size_t i = 0; i < network->input_width(); ++i) {
          inputs[j * network->input_stride() + i] = static_cast<std::uint8_t>(rng());
        }
      }
      std::vector<std::uint8_t> a, b;
      std::vector<std::int32_t> outputs(kRow * network->output_width());
      const double rate = qelvo::bench::best_rate(static_cast<double>(kRow), [&] {
        network->forward(inputs, kRow, a, b, outputs);
      });
      std::printf("  %-16s %-7s %8.2f M samples/s  (%6.1f ns/sample)\n", shape.name,
                  std::string(qelvo::nn::kernel_name(kernel)).c_str(), rate / 1e6, 1e9 / rate);
      // Different inputs per kernel: only check that the outputs were produced.
      if (outputs.empty()) return 1;
    }
  }
  return 0;
}
