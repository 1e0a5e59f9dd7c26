#include "nn/network.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/internal_error.hpp"
#include "test_networks.hpp"

namespace qelvo::nn {
namespace {

using testing::Bytes;
using testing::encode;
using testing::make_layer;

// A valid layer header plus body, for building encodings by hand.
Bytes layer_bytes(std::uint16_t in_width, std::uint16_t out_width, std::uint8_t shift, std::uint8_t activation,
                  std::size_t weight_bytes, std::size_t bias_bytes) {
  Bytes out;
  store_le<std::uint16_t>(out, in_width);
  store_le<std::uint16_t>(out, out_width);
  out.push_back(shift);
  out.push_back(activation);
  out.insert(out.end(), weight_bytes, 1);
  out.insert(out.end(), bias_bytes, 0);
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A complete valid layer of in × out with all weights 1 and biases 0.
Bytes full_layer(std::uint16_t in, std::uint16_t out, std::uint8_t activation, std::uint8_t shift = 0) {
  return layer_bytes(in, out, shift, activation, std::size_t{in} * out, std::size_t{4} * out);
}

struct MalformedCase {
  const char* name;
  Bytes bytes;
  std::string message;
};

TEST(NetworkFromBytes, RejectsMalformedEncodingsWithTheFirstFailingCheck) {
  const MalformedCase cases[] = {
      {"no bytes", {}, "malformed network encoding: truncated"},
      {"zero layers", {0}, "a network needs 1 to 8 layers, got 0"},
      {"zero layers with body", concat({{0}, full_layer(2, 2, 0)}), "a network needs 1 to 8 layers, got 0"},
      {"nine layers", concat({{9}, full_layer(2, 2, 0)}), "a network needs 1 to 8 layers, got 9"},
      {"255 layers", {255}, "a network needs 1 to 8 layers, got 255"},
      {"count only", {1}, "malformed network encoding: truncated"},
      {"four bytes", {1, 1, 0, 1}, "malformed network encoding: truncated"},
      {"widths cut", {1, 1, 0, 1, 0}, "malformed network encoding: truncated"},
      {"in width 0", concat({{1}, layer_bytes(0, 1, 0, 0, 0, 4)}), "malformed network encoding: layer width out of range"},
      {"out width 0", concat({{1}, layer_bytes(1, 0, 0, 0, 0, 0)}), "malformed network encoding: layer width out of range"},
      {"in width 257", concat({{1}, layer_bytes(257, 1, 0, 0, 257, 4)}),
       "malformed network encoding: layer width out of range"},
      {"out width 257", concat({{1}, layer_bytes(1, 257, 0, 0, 257, 4 * 257)}),
       "malformed network encoding: layer width out of range"},
      {"width before missing shift", {1, 0, 0, 1, 0}, "malformed network encoding: layer width out of range"},
      {"shift missing", {1, 1, 0, 1, 0}, "malformed network encoding: truncated"},
      {"activation missing", {1, 1, 0, 1, 0, 0}, "malformed network encoding: truncated"},
      {"activation 2", concat({{1}, layer_bytes(1, 1, 0, 2, 1, 4)}), "malformed network encoding: unknown activation"},
      {"activation 255 before short weights", concat({{1}, layer_bytes(4, 4, 0, 255, 0, 0)}),
       "malformed network encoding: unknown activation"},
      {"weights cut", concat({{1}, layer_bytes(3, 2, 0, 0, 5, 0)}), "malformed network encoding: truncated"},
      {"no biases", concat({{1}, layer_bytes(3, 2, 0, 0, 6, 0)}), "malformed network encoding: truncated"},
      {"bias cut", concat({{1}, layer_bytes(3, 2, 0, 0, 6, 7)}), "malformed network encoding: truncated"},
      {"second layer missing", concat({{2}, full_layer(2, 3, 1)}), "malformed network encoding: truncated"},
      {"second layer header cut", concat({{2}, full_layer(2, 3, 1), {3, 0, 1}}),
       "malformed network encoding: truncated"},
      {"second layer width", concat({{2}, full_layer(2, 3, 1), layer_bytes(3, 300, 0, 0, 0, 0)}),
       "malformed network encoding: layer width out of range"},
      {"malformed before mismatch", concat({{2}, full_layer(2, 3, 1), layer_bytes(4, 1, 0, 0, 3, 0)}),
       "malformed network encoding: truncated"},
      {"input mismatch", concat({{2}, full_layer(2, 3, 1), full_layer(4, 1, 0)}),
       "layer 1 expects 4 inputs but the previous layer has 3 outputs"},
      {"output layer activation 1", concat({{3}, full_layer(2, 3, 1), full_layer(3, 3, 1), full_layer(3, 1, 1)}),
       "layer 2: invalid activation for its position"},
      {"hidden layer activation 0", concat({{3}, full_layer(2, 3, 1), full_layer(3, 3, 0), full_layer(3, 1, 0)}),
       "layer 1: invalid activation for its position"},
      {"single layer activation 1", concat({{1}, full_layer(2, 3, 1)}), "layer 0: invalid activation for its position"},
      {"shift 25", concat({{2}, full_layer(2, 3, 1, 25), full_layer(3, 1, 0)}), "layer 0: shift 25 outside 0..=24"},
      {"shift 255 on the last layer", concat({{2}, full_layer(2, 3, 1), full_layer(3, 1, 0, 255)}),
       "layer 1: shift 255 outside 0..=24"},
      {"activation before shift", concat({{2}, full_layer(2, 3, 0, 25), full_layer(3, 1, 0)}),
       "layer 0: invalid activation for its position"},
  };
  for (const MalformedCase& c : cases) {
    const auto result = Network::from_bytes(c.bytes);
    ASSERT_FALSE(result.has_value()) << c.name;
    EXPECT_EQ(result.error().display(), c.message) << c.name;
  }
}

TEST(NetworkFromBytes, ErrorKindsCarryTheirValues) {
  auto count = Network::from_bytes(Bytes{9});
  ASSERT_FALSE(count);
  EXPECT_EQ(count.error(), Error::layer_count(9));
  auto mismatch = Network::from_bytes(concat({{2}, full_layer(2, 3, 1), full_layer(4, 1, 0)}));
  ASSERT_FALSE(mismatch);
  EXPECT_EQ(mismatch.error().kind, ErrorKind::InputMismatch);
  EXPECT_EQ(mismatch.error().layer, 1u);
  EXPECT_EQ(mismatch.error().value, 4u);
  EXPECT_EQ(mismatch.error().previous, 3u);
  auto shift = Network::from_bytes(concat({{1}, full_layer(2, 1, 0, 25)}));
  ASSERT_FALSE(shift);
  EXPECT_EQ(shift.error(), Error::shift_range(0, 25));
  auto malformed = Network::from_bytes(Bytes{});
  ASSERT_FALSE(malformed);
  EXPECT_EQ(malformed.error(), Error::malformed("truncated"));
}

TEST(NetworkFromBytes, TruncatedAnywhereInsideALayer) {
  const Bytes full = concat({{2}, full_layer(3, 5, 1, 4), full_layer(5, 2, 0)});
  ASSERT_TRUE(Network::from_bytes(full).has_value());
  for (std::size_t length = 0; length < full.size(); ++length) {
    const auto result = Network::from_bytes(std::span<const std::uint8_t>(full.data(), length));
    ASSERT_FALSE(result.has_value()) << length;
    EXPECT_EQ(result.error().display(), "malformed network encoding: truncated") << length;
  }
}

TEST(NetworkFromBytes, AcceptsTheLimitsAndReportsTheConsumedLength) {
  // Eight layers, widths 256 and 1, shift 24, trailing bytes left to the caller.
  std::vector<Bytes> parts{{8}};
  parts.push_back(full_layer(256, 1, 1, 24));
  parts.push_back(full_layer(1, 256, 1, 24));
  for (int k = 0; k < 5; ++k) parts.push_back(full_layer(256, 256, 1, 24));
  parts.push_back(full_layer(256, 2, 0, 24));
  Bytes bytes;
  for (const Bytes& p : parts) bytes.insert(bytes.end(), p.begin(), p.end());
  const std::size_t length = bytes.size();
  bytes.insert(bytes.end(), {0xAB, 0xCD, 0xEF});

  const auto result = Network::from_bytes(bytes);
  ASSERT_TRUE(result.has_value()) << result.error().display();
  const auto& [network, consumed] = *result;
  EXPECT_EQ(consumed, length);
  ASSERT_EQ(network.layers().size(), 8u);
  EXPECT_EQ(network.input_width(), 256u);
  EXPECT_EQ(network.input_stride(), 256u);
  EXPECT_EQ(network.output_width(), 2u);
  EXPECT_EQ(network.layers()[1].in_width, 1u);
  EXPECT_EQ(network.layers()[1].out_width, 256u);
  EXPECT_EQ(network.layers()[7].shift, 24u);
  EXPECT_EQ(network.kernel(), detect_kernel());
}

TEST(NetworkFromBytes, ReadsFieldsLittleEndian) {
  const std::vector<Layer> layers = {
      make_layer(3, 2, 5, 1, {1, -2, 3, -128, 127, 0}, {0x01020304, -70000}),
      make_layer(2, 1, 9, 0, {-7, 7}, {-0x7FFFFFF}),
  };
  const Bytes bytes = encode(layers);
  EXPECT_EQ(bytes[1], 3);
  EXPECT_EQ(bytes[2], 0);
  const auto result = Network::from_bytes(bytes);
  ASSERT_TRUE(result.has_value()) << result.error().display();
  EXPECT_EQ(result->second, bytes.size());
  EXPECT_EQ(result->first.layers(), layers);
}

struct ValidationCase {
  const char* name;
  std::vector<Layer> layers;
  std::string message;
};

std::vector<Layer> two_layers() {
  return {make_layer(2, 2, 3, 1, {1, 2, 3, 4}, {0, 0}), make_layer(2, 1, 0, 0, {1, 1}, {0})};
}

TEST(NetworkWithKernel, RejectsInvalidLayersWithTheFirstFailingCheck) {
  auto with = [](auto edit) {
    std::vector<Layer> layers = two_layers();
    edit(layers);
    return layers;
  };
  std::vector<Layer> nine;
  for (int k = 0; k < 8; ++k) nine.push_back(make_layer(1, 1, 0, 1, {1}, {0}));
  nine.push_back(make_layer(1, 1, 0, 0, {1}, {0}));

  const ValidationCase cases[] = {
      {"no layers", {}, "a network needs 1 to 8 layers, got 0"},
      {"nine layers", nine, "a network needs 1 to 8 layers, got 9"},
      {"in width 0", with([](auto& l) { l[0].in_width = 0; }), "layer 0: width 0 outside 1..=256"},
      {"in width 257", with([](auto& l) { l[1].in_width = 257; }), "layer 1: width 257 outside 1..=256"},
      {"out width 0", with([](auto& l) { l[1].out_width = 0; }), "layer 1: width 0 outside 1..=256"},
      {"in width before out width", with([](auto& l) { l[0].in_width = 300; l[0].out_width = 0; }),
       "layer 0: width 300 outside 1..=256"},
      {"mismatch", with([](auto& l) { l[1].in_width = 3; l[1].weights = {1, 1, 1}; }),
       "layer 1 expects 3 inputs but the previous layer has 2 outputs"},
      {"weight count", with([](auto& l) { l[0].weights.pop_back(); }),
       "layer 0: weight or bias count does not match its shape"},
      {"bias count", with([](auto& l) { l[1].biases.push_back(0); }),
       "layer 1: weight or bias count does not match its shape"},
      {"shape before activation", with([](auto& l) { l[0].biases.clear(); l[0].activation = 0; }),
       "layer 0: weight or bias count does not match its shape"},
      {"last activation 1", with([](auto& l) { l[1].activation = 1; }), "layer 1: invalid activation for its position"},
      {"hidden activation 2", with([](auto& l) { l[0].activation = 2; }),
       "layer 0: invalid activation for its position"},
      {"shift 25", with([](auto& l) { l[0].shift = 25; }), "layer 0: shift 25 outside 0..=24"},
      {"last shift 25", with([](auto& l) { l[1].shift = 25; }), "layer 1: shift 25 outside 0..=24"},
      {"accumulator", with([](auto& l) { l[0].biases[1] = 1 << 30; }), "layer 0: accumulator could exceed 2^30"},
      {"layer 0 reported first", with([](auto& l) { l[0].shift = 30; l[1].in_width = 7; }),
       "layer 0: shift 30 outside 0..=24"},
  };
  for (const ValidationCase& c : cases) {
    for (Kernel kernel : {Kernel::Scalar, Kernel::Avx2, Kernel::Neon}) {
      const auto result = Network::with_kernel(c.layers, kernel);
      ASSERT_FALSE(result.has_value()) << c.name;
      EXPECT_EQ(result.error().display(), c.message) << c.name;
    }
  }
}

TEST(NetworkWithKernel, AccumulatorBoundIsExactlyTwoToThe30) {
  constexpr std::int64_t limit = std::int64_t{1} << 30;
  // Layer 0: Σ|w| = 128 + 127 + 0 + 1 = 256, inputs are signed bytes: factor 128.
  const std::vector<std::int8_t> weights{-128, 127, 0, 1};
  const std::int64_t sum0 = 256 * 128;
  // Layer 1: Σ|w| = 128 + 2 = 130, inputs are activations: factor 127.
  const std::vector<std::int8_t> weights1{-128, 0, 0, 2};
  const std::int64_t sum1 = 130 * 127;
  for (Kernel kernel : {Kernel::Scalar, Kernel::Avx2}) {
    for (int sign : {1, -1}) {
      for (std::int64_t extra : {0, 1}) {
        const auto b0 = static_cast<std::int32_t>(sign * (limit - sum0 + extra));
        auto r0 = Network::with_kernel({make_layer(4, 1, 0, 0, weights, {b0})}, kernel);
        EXPECT_EQ(r0.has_value(), extra == 0) << sign << " " << extra;
        if (extra) {
          EXPECT_EQ(r0.error().display(), "layer 0: accumulator could exceed 2^30");
        }

        const auto b1 = static_cast<std::int32_t>(sign * (limit - sum1 + extra));
        // Output 1 of layer 1 carries the bound; layer 0 is harmless.
        std::vector<std::int8_t> w1{1, 1, 1, 1};
        w1.insert(w1.end(), weights1.begin(), weights1.end());
        const std::vector<Layer> layers = {make_layer(1, 4, 0, 1, {1, 1, 1, 1}, {0, 0, 0, 0}),
                                           make_layer(4, 2, 0, 0, w1, {0, b1})};
        auto r2 = Network::with_kernel(layers, kernel);
        EXPECT_EQ(r2.has_value(), extra == 0) << sign << " " << extra;
        if (extra) {
          EXPECT_EQ(r2.error().display(), "layer 1: accumulator could exceed 2^30");
        }
      }
    }
  }
  // The most negative bias counts as 2^31.
  auto r = Network::with_kernel({make_layer(1, 1, 0, 0, {0}, {INT32_MIN})}, Kernel::Scalar);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), Error::accumulator_range(0));
}

TEST(NetworkWithKernel, NormalisesTheKernelForThisMachine) {
  const Kernel automatic = cpu_has_avx2() ? Kernel::Avx2 : Kernel::Scalar;
  const struct {
    Kernel requested, expected;
  } cases[] = {{Kernel::Scalar, Kernel::Scalar}, {Kernel::Avx2, automatic},    {Kernel::Neon, Kernel::Scalar},
               {Kernel::NeonDot, Kernel::Scalar}, {Kernel::Wasm128, Kernel::Scalar}};
  for (const auto& c : cases) {
    auto network = Network::with_kernel(two_layers(), c.requested);
    ASSERT_TRUE(network.has_value());
    EXPECT_EQ(network->kernel(), c.expected);
    for (const Packed& p : network->packed()) {
      EXPECT_EQ(p.weights.empty(), c.expected == Kernel::Avx2);
      EXPECT_EQ(p.weights_i16.empty(), c.expected == Kernel::Scalar);
    }
  }
}

// A network computed by hand:
//   layer 0 (3 -> 2, shift 2): W = [[1, -2, 3], [-4, 5, 6]], b = [10, -20]
//   layer 1 (2 -> 2, last):    W = [[2, -1], [1, 1]],        b = [5, -7]
std::vector<Layer> hand_network() {
  return {make_layer(3, 2, 2, 1, {1, -2, 3, -4, 5, 6}, {10, -20}), make_layer(2, 2, 0, 0, {2, -1, 1, 1}, {5, -7})};
}

TEST(NetworkForward, HandComputedOutputs) {
  // Sample A: x = (4, -3, 2): acc = (26, -39) -> ((26+2)>>2, (-39+2)>>2) = (7, -10) -> (7, 0);
  //   outputs (5 + 14, -7 + 7) = (19, 0).
  // Sample B: x = (-128, 127, 0): acc = (-372, 1127) -> (0, 282 -> 127); outputs (5 - 127, -7 + 127).
  // Sample C: x = 0: acc = (10, -20) -> (3, -5 -> 0); outputs (5 + 6, -7 + 3) = (11, -4).
  Bytes inputs(3 * 16, 0);
  const std::int8_t records[3][3] = {{4, -3, 2}, {-128, 127, 0}, {0, 0, 0}};
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < 3; ++i) inputs[j * 16 + i] = static_cast<std::uint8_t>(records[j][i]);
  }
  for (Kernel kernel : {Kernel::Scalar, Kernel::Avx2}) {
    auto network = Network::with_kernel(hand_network(), kernel);
    ASSERT_TRUE(network.has_value());
    EXPECT_EQ(network->input_width(), 3u);
    EXPECT_EQ(network->input_stride(), 16u);
    EXPECT_EQ(network->output_width(), 2u);
    std::vector<std::uint8_t> a, b;
    std::vector<std::int32_t> outputs(6, 12345);
    network->forward(inputs, 3, a, b, outputs);
    EXPECT_EQ(outputs, (std::vector<std::int32_t>{19, 0, -122, 120, 11, -4})) << kernel_name(network->kernel());
    // Layer 0 went into scratch A: one record of 16 bytes per sample, zero beyond the width.
    ASSERT_GE(a.size(), 48u);
    Bytes hidden(a.begin(), a.begin() + 48);
    Bytes expected(48, 0);
    expected[0] = 7;
    expected[17] = 127;
    expected[32] = 3;
    EXPECT_EQ(hidden, expected);
  }
}

TEST(NetworkForward, RoundingHalfUpAndClippingAtTheirEdges) {
  // One hidden unit whose accumulator is its bias (input 0), passed through by the last layer.
  struct Case {
    std::int32_t acc;
    std::uint8_t shift;
    std::int32_t activation;
  };
  const Case cases[] = {
      {-1, 0, 0},      {0, 0, 0},        {1, 0, 1},         {127, 0, 127},     {128, 0, 127},
      {64, 7, 1},      {63, 7, 0},       {-64, 7, 0},       {-65, 7, 0},       {191, 7, 1},
      {192, 7, 2},     {-1, 1, 0},       {1, 1, 1},         {2, 1, 1},         {3, 1, 2},
      {253, 1, 127},   {254, 1, 127},    {252, 1, 126},     {251, 1, 126},     {16256 - 65, 7, 126},
      {16256 - 64, 7, 127}, {16256 + 63, 7, 127}, {1 << 23, 24, 1}, {(1 << 23) - 1, 24, 0},
      {(1 << 30) - 1024, 24, 64}, {1 << 30, 24, 64}, {-(1 << 30), 24, 0}, {1 << 30, 0, 127},
  };
  for (Kernel kernel : {Kernel::Scalar, Kernel::Avx2}) {
    for (const Case& c : cases) {
      auto network = Network::with_kernel(
          {make_layer(1, 1, c.shift, 1, {0}, {c.acc}), make_layer(1, 1, 0, 0, {1}, {0})}, kernel);
      ASSERT_TRUE(network.has_value()) << c.acc;
      Bytes inputs(16, 0);
      std::vector<std::uint8_t> a, b;
      std::vector<std::int32_t> out(1);
      network->forward(inputs, 1, a, b, out);
      EXPECT_EQ(out[0], c.activation) << "acc " << c.acc << " shift " << int(c.shift) << " "
                                      << kernel_name(network->kernel());
    }
  }
}

TEST(NetworkForward, LastLayerIsNotShiftedOrClamped) {
  for (Kernel kernel : {Kernel::Scalar, Kernel::Avx2}) {
    auto network = Network::with_kernel({make_layer(2, 3, 24, 0, {127, 127, -128, -128, 0, 1}, {1000, -5, 0})}, kernel);
    ASSERT_TRUE(network.has_value());
    Bytes inputs(32, 0);
    inputs[0] = 127;
    inputs[1] = 127;
    inputs[16] = 0x80;
    inputs[17] = 0x80;
    std::vector<std::uint8_t> a, b;
    std::vector<std::int32_t> out(6);
    network->forward(inputs, 2, a, b, out);
    EXPECT_EQ(out, (std::vector<std::int32_t>{1000 + 2 * 127 * 127, -5 - 2 * 128 * 127, 127, 1000 - 2 * 128 * 127,
                                              -5 + 2 * 128 * 128, -128}));
    EXPECT_TRUE(a.empty());  // a single layer runs directly on the inputs
  }
}

TEST(NetworkForward, AllZeroInputsDependOnTheBiasesAlone) {
  std::mt19937 rng(3);
  const auto layers = testing::random_network(rng, {12, 48, 48, 6}, {7, 4, 0}, testing::Fill::Uniform);
  for (Kernel kernel : {Kernel::Scalar, Kernel::Avx2}) {
    auto network = Network::with_kernel(layers, kernel);
    ASSERT_TRUE(network.has_value());
    const std::size_t n = 37;
    Bytes inputs(n * 16, 0);
    std::vector<std::uint8_t> a, b;
    std::vector<std::int32_t> out(n * 6);
    network->forward(inputs, n, a, b, out);
    const auto expected = testing::reference_forward(layers, Bytes(16, 0), 1);
    for (std::size_t j = 0; j < n; ++j) {
      for (std::size_t o = 0; o < 6; ++o) EXPECT_EQ(out[j * 6 + o], expected[o]);
    }
  }
}

TEST(NetworkForward, ShortBuffersAreInternalErrors) {
  auto network = Network::with_kernel(hand_network(), Kernel::Scalar);
  ASSERT_TRUE(network.has_value());
  std::vector<std::uint8_t> a, b;
  Bytes inputs(2 * 16, 0);
  std::vector<std::int32_t> outputs(4);
  network->forward(inputs, 2, a, b, outputs);  // exactly enough
  try {
    network->forward(std::span<const std::uint8_t>(inputs.data(), 31), 2, a, b, outputs);
    FAIL() << "no internal error";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "input buffer too short");
  }
  try {
    network->forward(inputs, 2, a, b, std::span<std::int32_t>(outputs.data(), 3));
    FAIL() << "no internal error";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "output buffer too short");
  }
  // No samples need no buffers.
  network->forward({}, 0, a, b, {});
}

TEST(NetworkForward, ScratchBuffersOnlyGrowAndAreReused) {
  std::mt19937 rng(11);
  const auto layers = testing::random_network(rng, {30, 48, 48, 6}, {6, 5, 0}, testing::Fill::Uniform);
  for (Kernel kernel : {Kernel::Scalar, Kernel::Avx2}) {
    auto network = Network::with_kernel(layers, kernel);
    ASSERT_TRUE(network.has_value());
    std::vector<std::uint8_t> a, b;
    for (std::size_t n : {100u, 7u, 100u, 1u}) {
      const Bytes inputs = testing::random_inputs(rng, 30, n);
      std::vector<std::int32_t> out(n * 6);
      network->forward(inputs, n, a, b, out);
      const auto expected = testing::reference_forward(layers, inputs, n);
      ASSERT_EQ(out.size(), expected.size());
      for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], expected[i]) << i;
      EXPECT_EQ(a.size(), 100u * 48);
      EXPECT_EQ(b.size(), 100u * 48);
    }
  }
}

TEST(NetworkForward, DeepNetworksSwapScratchBuffers) {
  std::mt19937 rng(5);
  for (std::size_t depth = 1; depth <= 8; ++depth) {
    std::vector<std::size_t> widths{13};
    std::vector<std::uint8_t> shifts;
    for (std::size_t k = 0; k < depth; ++k) {
      widths.push_back(k + 1 == depth ? 5 : 9 + 7 * k);
      shifts.push_back(static_cast<std::uint8_t>(6 + k % 3));
    }
    const auto layers = testing::random_network(rng, widths, shifts, testing::Fill::Small);
    const std::size_t n = 21;
    const Bytes inputs = testing::random_inputs(rng, 13, n);
    const auto expected = testing::reference_forward(layers, inputs, n);
    for (Kernel kernel : {Kernel::Scalar, Kernel::Avx2}) {
      auto network = Network::with_kernel(layers, kernel);
      ASSERT_TRUE(network.has_value()) << network.error().display();
      std::vector<std::uint8_t> a, b;
      std::vector<std::int32_t> out(n * 5);
      network->forward(inputs, n, a, b, out);
      for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], expected[i]) << depth << " " << i;
    }
  }
}

}  // namespace
}  // namespace qelvo::nn
