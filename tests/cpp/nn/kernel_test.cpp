#include "nn/kernels/kernel.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "nn/network.hpp"
#include "test_networks.hpp"

namespace qelvo::nn {
namespace {

using testing::Bytes;
using testing::Fill;
using testing::make_layer;

Kernel automatic() { return cpu_has_avx2() ? Kernel::Avx2 : Kernel::Scalar; }

// Sets QELVO_KERNEL (or unsets it) for one scope and restores the previous state.
class KernelVariable {
 public:
  explicit KernelVariable(const char* value) {
    if (const char* old = std::getenv("QELVO_KERNEL")) saved_ = old;
    if (value) {
      setenv("QELVO_KERNEL", value, 1);
    } else {
      unsetenv("QELVO_KERNEL");
    }
  }
  ~KernelVariable() {
    if (saved_) {
      setenv("QELVO_KERNEL", saved_->c_str(), 1);
    } else {
      unsetenv("QELVO_KERNEL");
    }
  }

 private:
  std::optional<std::string> saved_;
};

TEST(Kernel, FromNameIsExactAndCaseSensitive) {
  EXPECT_EQ(kernel_from_name("scalar"), Kernel::Scalar);
  EXPECT_EQ(kernel_from_name("neon"), Kernel::Neon);
  EXPECT_EQ(kernel_from_name("neon-dot"), Kernel::NeonDot);
  EXPECT_EQ(kernel_from_name("avx2"), Kernel::Avx2);
  EXPECT_EQ(kernel_from_name("wasm128"), Kernel::Wasm128);
  for (const char* name : {"", "Scalar", "SCALAR", "AVX2", "avx", "avx512", "neon_dot", "neondot", " scalar",
                           "scalar ", "wasm", "sse2"}) {
    EXPECT_EQ(kernel_from_name(name), std::nullopt) << '"' << name << '"';
  }
  for (Kernel k : {Kernel::Scalar, Kernel::Neon, Kernel::NeonDot, Kernel::Avx2, Kernel::Wasm128}) {
    EXPECT_EQ(kernel_from_name(kernel_name(k)), k);
  }
  EXPECT_EQ(static_cast<int>(Kernel::Scalar), 0);
  EXPECT_EQ(static_cast<int>(Kernel::Avx2), 3);
  EXPECT_EQ(static_cast<int>(Kernel::Wasm128), 4);
}

TEST(Kernel, AvxSupportIsCachedAndStable) {
  const bool first = cpu_has_avx2();
  for (int i = 0; i < 10; ++i) EXPECT_EQ(cpu_has_avx2(), first);
#if defined(__x86_64__)
  __builtin_cpu_init();
  EXPECT_EQ(first, __builtin_cpu_supports("avx2") != 0);
#endif
}

TEST(Kernel, DetectReadsQelvoKernelAtEveryCall) {
  const struct {
    const char* value;
    Kernel expected;
  } cases[] = {
      {nullptr, automatic()},     {"scalar", Kernel::Scalar}, {"avx2", automatic()},   {"SCALAR", automatic()},
      {"Scalar", automatic()},    {"AVX2", automatic()},      {"", automatic()},       {"fast", automatic()},
      {"neon", automatic()},      {"neon-dot", automatic()},  {"wasm128", automatic()}, {"scalar\n", automatic()},
      {"\xff\xfe", automatic()},
  };
  for (const auto& c : cases) {
    KernelVariable variable(c.value);
    EXPECT_EQ(detect_kernel(), c.expected) << (c.value ? c.value : "(unset)");
  }
}

TEST(Kernel, NetworksLoadedUnderTheVariableUseItsKernel) {
  const Bytes bytes = testing::encode({make_layer(2, 3, 1, 1, {1, 2, 3, 4, 5, 6}, {0, 0, 0}),
                                       make_layer(3, 1, 0, 0, {1, 1, 1}, {0})});
  {
    KernelVariable variable("scalar");
    auto network = Network::from_bytes(bytes);
    ASSERT_TRUE(network.has_value());
    EXPECT_EQ(network->first.kernel(), Kernel::Scalar);
  }
  for (const char* value : {"avx2", "neon", "Scalar", ""}) {
    KernelVariable variable(value);
    auto network = Network::from_bytes(bytes);
    ASSERT_TRUE(network.has_value());
    EXPECT_EQ(network->first.kernel(), automatic()) << value;
  }
}

TEST(Kernel, NormaliseKeepsOnlyKernelsThatRunHere) {
  EXPECT_EQ(normalise_kernel(Kernel::Scalar), Kernel::Scalar);
  EXPECT_EQ(normalise_kernel(Kernel::Avx2), automatic());
  EXPECT_EQ(normalise_kernel(Kernel::Neon), Kernel::Scalar);
  EXPECT_EQ(normalise_kernel(Kernel::NeonDot), Kernel::Scalar);
  EXPECT_EQ(normalise_kernel(Kernel::Wasm128), Kernel::Scalar);
}

// A 13 -> 6 layer with weight w[o][i] = 10 × o + i + 1 (distinct and non-zero).
std::vector<std::int8_t> numbered_weights(std::size_t in, std::size_t out) {
  std::vector<std::int8_t> w;
  for (std::size_t o = 0; o < out; ++o) {
    for (std::size_t i = 0; i < in; ++i) w.push_back(static_cast<std::int8_t>(10 * o + i + 1));
  }
  return w;
}

TEST(Packed, ScalarLayoutIsAZeroFilledMatrix) {
  const auto w = numbered_weights(13, 6);
  const Packed p = Packed::pack(w, std::vector<std::int32_t>{1, 2, 3, 4, 5, 6}, 13, 6, Kernel::Scalar);
  EXPECT_EQ(p.in_stride, 16u);
  EXPECT_EQ(p.out_stride, 16u);
  EXPECT_TRUE(p.weights_i16.empty());
  EXPECT_EQ(p.biases, (std::vector<std::int32_t>{1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_EQ(p.weights.size(), 256u);
  for (std::size_t o = 0; o < 16; ++o) {
    for (std::size_t i = 0; i < 16; ++i) {
      const int expected = o < 6 && i < 13 ? static_cast<int>(10 * o + i + 1) : 0;
      EXPECT_EQ(p.weights[o * 16 + i], expected) << o << " " << i;
    }
  }
}

TEST(Packed, Avx2LayoutInterleavesPairsOfInputsForGroupsOfEightOutputs) {
  // in_width 13: the last pair (12, 13) has a zero partner; out_width 6: lanes 6 and 7 of the
  // first group and the whole second group are zero.
  const auto w = numbered_weights(13, 6);
  const Packed p = Packed::pack(w, std::vector<std::int32_t>{1, 2, 3, 4, 5, 6}, 13, 6, Kernel::Avx2);
  EXPECT_TRUE(p.weights.empty());
  ASSERT_EQ(p.weights_i16.size(), 256u);
  std::size_t at = 0;
  for (std::size_t q = 0; q < 2; ++q) {
    for (std::size_t pair = 0; pair < 8; ++pair) {
      for (std::size_t k = 0; k < 8; ++k) {
        for (std::size_t half = 0; half < 2; ++half) {
          const std::size_t o = 8 * q + k;
          const std::size_t i = 2 * pair + half;
          const int expected = o < 6 && i < 13 ? static_cast<int>(10 * o + i + 1) : 0;
          EXPECT_EQ(p.weights_i16[at], expected) << q << " " << pair << " " << k << " " << half;
          ++at;
        }
      }
    }
  }
  // Spot checks straight from the layout's definition.
  EXPECT_EQ(p.weights_i16[0], 1);         // w[0][0]
  EXPECT_EQ(p.weights_i16[1], 2);         // w[0][1]
  EXPECT_EQ(p.weights_i16[2], 11);        // w[1][0]
  EXPECT_EQ(p.weights_i16[16], 3);        // pair 1: w[0][2]
  EXPECT_EQ(p.weights_i16[6 * 16], 13);   // pair 6: w[0][12]
  EXPECT_EQ(p.weights_i16[6 * 16 + 1], 0);  // its zero partner w[0][13]
}

TEST(Packed, StridesRoundUpToSixteen) {
  for (std::size_t width : {1u, 15u, 16u, 17u, 255u, 256u}) {
    const std::vector<std::int8_t> w(width, 1);
    const Packed p = Packed::pack(w, std::vector<std::int32_t>{0}, width, 1, Kernel::Avx2);
    EXPECT_EQ(p.in_stride, (width + 15) / 16 * 16);
    EXPECT_EQ(p.out_stride, 16u);
    EXPECT_EQ(p.weights_i16.size(), p.in_stride * 16);
  }
}

// Runs both kernels layer by layer and compares every hidden byte and output with each other
// and with the plain reference evaluation.
void expect_kernels_agree(const std::vector<Layer>& layers, const Bytes& inputs, std::size_t n,
                          const std::string& label) {
  auto scalar = Network::with_kernel(layers, Kernel::Scalar);
  auto avx2 = Network::with_kernel(layers, Kernel::Avx2);
  ASSERT_TRUE(scalar.has_value()) << label << ": " << scalar.error().display();
  ASSERT_TRUE(avx2.has_value()) << label;
  ASSERT_EQ(scalar->kernel(), Kernel::Scalar);
  ASSERT_EQ(avx2->kernel(), Kernel::Avx2);

  Bytes x = inputs;
  for (std::size_t k = 0; k + 1 < layers.size(); ++k) {
    const Layer& layer = layers[k];
    std::vector<std::uint8_t> hs(3, 0xEE), ha(3, 0xEE);  // non-empty, with junk that must be overwritten
    Network::hidden_into(Kernel::Scalar, scalar->packed()[k], layer.out_width, layer.shift, x, n, hs);
    Network::hidden_into(Kernel::Avx2, avx2->packed()[k], layer.out_width, layer.shift, x, n, ha);
    const Bytes reference = testing::reference_hidden(layer, x, n);
    ASSERT_EQ(hs.size(), reference.size()) << label << " layer " << k;
    ASSERT_EQ(hs, reference) << label << " layer " << k;
    ASSERT_EQ(ha, reference) << label << " layer " << k;
    x = reference;
  }

  const std::size_t out_width = layers.back().out_width;
  std::vector<std::int32_t> os(n * out_width + 1, 777), oa(n * out_width + 1, 777);
  std::vector<std::uint8_t> a, b, c, d;
  scalar->forward(inputs, n, a, b, os);
  avx2->forward(inputs, n, c, d, oa);
  const auto reference = testing::reference_forward(layers, inputs, n);
  for (std::size_t i = 0; i < reference.size(); ++i) {
    ASSERT_GE(reference[i], -(std::int64_t{1} << 30)) << label;
    ASSERT_LE(reference[i], std::int64_t{1} << 30) << label;
    ASSERT_EQ(os[i], reference[i]) << label << " output " << i;
    ASSERT_EQ(oa[i], reference[i]) << label << " output " << i;
  }
  EXPECT_EQ(os.back(), 777) << label << ": wrote past n × out_width";
  EXPECT_EQ(oa.back(), 777) << label << ": wrote past n × out_width";
}

#define SKIP_WITHOUT_AVX2() \
  if (!cpu_has_avx2()) GTEST_SKIP() << "the processor has no AVX2"

TEST(KernelsAgree, BuiltInShapesOnRandomNetworksAndRows) {
  SKIP_WITHOUT_AVX2();
  std::mt19937 rng(2024);
  const struct {
    std::vector<std::size_t> widths;
    std::vector<std::uint8_t> shifts;
  } shapes[] = {{{12, 48, 48, 6}, {7, 4, 0}}, {{30, 48, 48, 6}, {6, 5, 0}}};
  for (const auto& shape : shapes) {
    for (Fill fill : {Fill::Small, Fill::Uniform, Fill::Extremes, Fill::MaxBias}) {
      for (int trial = 0; trial < 4; ++trial) {
        const auto layers = testing::random_network(rng, shape.widths, shape.shifts, fill);
        for (std::size_t n : {1u, 3u, 512u}) {
          const Bytes inputs = testing::random_inputs(rng, shape.widths[0], n, trial % 2 == 1);
          expect_kernels_agree(layers, inputs, n,
                               std::to_string(shape.widths[0]) + " fill " + std::to_string(int(fill)) + " n " +
                                   std::to_string(n));
        }
      }
    }
  }
}

TEST(KernelsAgree, OddAndExtremeWidths) {
  SKIP_WITHOUT_AVX2();
  std::mt19937 rng(99);
  const std::vector<std::vector<std::size_t>> shapes = {
      {1, 1},          {1, 1, 1},        {13, 6},           {13, 17, 5},    {256, 256},        {256, 1, 256, 9},
      {7, 256, 3},     {31, 33, 15, 2},  {16, 16, 16, 16},  {255, 129, 65}, {5, 8, 24, 40, 7},  {200, 3, 250, 1},
  };
  for (const auto& widths : shapes) {
    for (Fill fill : {Fill::Small, Fill::Uniform, Fill::Extremes, Fill::MaxBias}) {
      std::vector<std::uint8_t> shifts;
      for (std::size_t k = 0; k + 1 < widths.size(); ++k) shifts.push_back(static_cast<std::uint8_t>(rng() % 25));
      const auto layers = testing::random_network(rng, widths, shifts, fill);
      for (std::size_t n : {1u, 2u, 33u}) {
        const Bytes inputs = testing::random_inputs(rng, widths[0], n, fill == Fill::Extremes);
        std::string label;
        for (std::size_t w : widths) label += std::to_string(w) + "-";
        expect_kernels_agree(layers, inputs, n, label + " fill " + std::to_string(int(fill)));
      }
    }
  }
}

TEST(KernelsAgree, AccumulatorsAtPlusAndMinusTwoToThe30) {
  SKIP_WITHOUT_AVX2();
  constexpr std::int32_t limit = 1 << 30;
  // Layer 0: 256 inputs of -128 against weights -128 give +2^22, the bias the rest: acc = 2^30,
  // which shift 22 turns into 256 -> activation 127 everywhere.
  Layer l0 = make_layer(256, 256, 22, 1, std::vector<std::int8_t>(256 * 256, -128),
                        std::vector<std::int32_t>(256, limit - 256 * 128 * 128));
  // Layer 1: inputs 127; even outputs weights 127 (acc = +2^30 -> 127 after shift 22), odd
  // outputs weights -128 (acc = -2^30 -> 0).
  Layer l1 = make_layer(256, 256, 22, 1, {}, {});
  for (std::size_t o = 0; o < 256; ++o) {
    const std::int8_t w = o % 2 == 0 ? 127 : -128;
    l1.weights.insert(l1.weights.end(), 256, w);
    l1.biases.push_back(o % 2 == 0 ? limit - 256 * 127 * 127 : -(limit - 256 * 128 * 127));
  }
  // Last layer: weights on the even inputs only (127 or -128) and the rest of the budget in the
  // bias give exactly +2^30 for even outputs and -2^30 for odd ones.
  Layer l2 = make_layer(256, 6, 0, 0, {}, {});
  for (std::size_t o = 0; o < 6; ++o) {
    const bool even = o % 2 == 0;
    for (std::size_t i = 0; i < 256; ++i) {
      l2.weights.push_back(i % 2 == 0 ? static_cast<std::int8_t>(even ? 127 : -128) : std::int8_t{0});
    }
    l2.biases.push_back(even ? limit - 128 * 127 * 127 : -(limit - 128 * 128 * 127));
  }
  const std::vector<Layer> layers = {l0, l1, l2};
  const std::size_t n = 4;
  Bytes inputs(n * 256, 0x80);
  for (std::size_t i = 0; i < 256; ++i) inputs[3 * 256 + i] = static_cast<std::uint8_t>(i);  // one mixed record
  expect_kernels_agree(layers, inputs, n, "extremes");

  // The accumulators are exactly +-2^30 on the -128 records: check the bytes and outputs.
  auto network = Network::with_kernel(layers, Kernel::Avx2);
  ASSERT_TRUE(network.has_value());
  std::vector<std::uint8_t> h;
  Network::hidden_into(Kernel::Avx2, network->packed()[0], 256, 22, inputs, 1, h);
  for (std::size_t o = 0; o < 256; ++o) ASSERT_EQ(h[o], 127);
  std::vector<std::uint8_t> h1;
  Network::hidden_into(Kernel::Avx2, network->packed()[1], 256, 22, h, 1, h1);
  for (std::size_t o = 0; o < 256; ++o) ASSERT_EQ(h1[o], o % 2 == 0 ? 127 : 0) << o;
  std::vector<std::uint8_t> a, b;
  std::vector<std::int32_t> out(6);
  network->forward(std::span<const std::uint8_t>(inputs.data(), 256), 1, a, b, out);
  EXPECT_EQ(out, (std::vector<std::int32_t>{limit, -limit, limit, -limit, limit, -limit}));
}

TEST(KernelsAgree, LinearLayerReachesExactlyTwoToThe30) {
  SKIP_WITHOUT_AVX2();
  constexpr std::int32_t limit = 1 << 30;
  // One layer over signed bytes: 256 weights -128 against inputs -128 give +2^22 per output.
  // Output 0: bias 2^30 - 2^22 -> +2^30. Output 1: weights 127 against -128 and bias
  // -(2^30 - 256 × 127 × 128) -> exactly -2^30.
  Layer l = make_layer(256, 2, 0, 0, {}, {limit - (1 << 22), -(limit - 256 * 127 * 128)});
  l.weights.insert(l.weights.end(), 256, -128);
  l.weights.insert(l.weights.end(), 256, 127);
  const Bytes inputs(256, 0x80);
  for (Kernel kernel : {Kernel::Scalar, Kernel::Avx2}) {
    auto network = Network::with_kernel({l}, kernel);
    ASSERT_TRUE(network.has_value()) << network.error().display();
    std::vector<std::uint8_t> a, b;
    std::vector<std::int32_t> out(2);
    network->forward(inputs, 1, a, b, out);
    EXPECT_EQ(out[0], limit);
    EXPECT_EQ(out[1], -limit);
  }
}

TEST(KernelsAgree, HiddenOutputsBeyondTheWidthAreZero) {
  SKIP_WITHOUT_AVX2();
  // Positive biases on every real output; the padding bytes must still come out 0.
  const Layer l0 = make_layer(3, 5, 0, 1, std::vector<std::int8_t>(15, 1), {100, 100, 100, 100, 100});
  for (Kernel kernel : {Kernel::Scalar, Kernel::Avx2}) {
    auto network = Network::with_kernel({l0, make_layer(5, 1, 0, 0, {1, 1, 1, 1, 1}, {0})}, kernel);
    ASSERT_TRUE(network.has_value());
    std::vector<std::uint8_t> h(100, 0xEE);
    Network::hidden_into(kernel, network->packed()[0], 5, 0, Bytes(32, 1), 2, h);
    for (std::size_t j = 0; j < 2; ++j) {
      for (std::size_t o = 0; o < 16; ++o) EXPECT_EQ(h[j * 16 + o], o < 5 ? 103 : 0) << kernel_name(kernel);
    }
  }
}

}  // namespace
}  // namespace qelvo::nn
