#include "codec/context.hpp"

#include <gtest/gtest.h>

#include <random>

namespace qelvo::codec {
namespace {

TEST(Context, LogqAndCompandAtTheirEdges) {
  const std::pair<std::uint64_t, std::int32_t> logs[] = {{0, -16}, {1, -16}, {4, 0},   {5, 3},
                                                         {6, 5},   {7, 6},   {8, 8},   {12, 13},
                                                         {65536, 112}, {3, -3}};
  for (auto [s, expected] : logs) EXPECT_EQ(logq(s), expected) << s;
  const std::pair<std::int32_t, std::int32_t> companded[] = {{0, 0},    {32, 32},  {33, 32},   {36, 33},
                                                             {160, 64}, {1600, 109}, {2175, 126}, {2176, 127},
                                                             {100000, 127}};
  for (auto [a, expected] : companded) EXPECT_EQ(compand(a), expected) << a;
}

// A plane whose image values are given, with the border filled as the tile pass does for a
// completed slice.
Plane replicated(std::size_t rows, std::size_t columns, const std::vector<std::int32_t>& values) {
  Plane plane(rows, columns);
  for (std::size_t y = 0; y < rows; ++y)
    for (std::size_t x = 0; x < columns; ++x) plane.row(static_cast<std::ptrdiff_t>(y))[x] = values[y * columns + x];
  plane.replicate();
  return plane;
}

TEST(Plane, ReplicateCopiesEdgesIntoTheWholeBorder) {
  const Plane plane = replicated(2, 3, {1, 2, 3, 4, 5, 6});
  for (std::ptrdiff_t k = 1; k <= 3; ++k) {
    EXPECT_EQ(plane.at(0, -k), 1);
    EXPECT_EQ(plane.at(0, 2 + k), 3);
    EXPECT_EQ(plane.at(1, -k), 4);
    EXPECT_EQ(plane.at(1, 2 + k), 6);
    EXPECT_EQ(plane.at(-k, -3), 1);  // corners come from the replicated rows
    EXPECT_EQ(plane.at(-k, 1), 2);
    EXPECT_EQ(plane.at(1 + k, 5), 6);
    EXPECT_EQ(plane.at(1 + k, 0), 4);
  }
}

TEST(Context, ConstantPlanesGiveZeroFeaturesAndRunValues) {
  const Plane plane = replicated(4, 5, std::vector<std::int32_t>(20, 9));
  Work work;
  for (bool is_3d : {false, true}) {
    const std::size_t stride = is_3d ? 32 : 16;
    row_context(is_3d, plane, &plane, &plane, 2, stride, work);
    for (std::size_t x = 0; x < 5; ++x) {
      EXPECT_EQ(work.base[x], 9);
      EXPECT_EQ(work.scale[x], 4);
      EXPECT_EQ(work.recip[x], 1048576);
      EXPECT_EQ(work.run_value[x], 9);
      for (std::size_t k = 0; k < stride; ++k) EXPECT_EQ(static_cast<std::int8_t>(work.features[x * stride + k]), 0) << x << " " << k;
    }
  }
}

TEST(Context, FeaturesFollowTheNeighbourOrderAndScale) {
  // Row 1 of a 3x4 plane; N differs from base by 0, so pick the sample with a different NN:
  // column 1 of row 2 sees N = 5, NN = (0,1) = 6 -> activity 1 (|NN - N|), t = 1, scale 4.
  Plane plane = replicated(3, 4, {5, 6, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5});
  Work work;
  row_context(false, plane, nullptr, nullptr, 2, 16, work);
  const std::size_t x = 1;
  EXPECT_EQ(work.base[x], 5);
  EXPECT_EQ(work.scale[x], 4);
  EXPECT_EQ(static_cast<std::int8_t>(work.features[x * 16 + 0]), 0);   // N
  EXPECT_EQ(static_cast<std::int8_t>(work.features[x * 16 + 1]), 16);  // NN = base + 1: (1 x 2^20) >> 16 = 16
  EXPECT_EQ(static_cast<std::int8_t>(work.features[x * 16 + 11]), 0);  // logq(4)
  EXPECT_EQ(work.run_value[x], 5);
  // Column 0 sees NN = (0, 0) = 5 and NNE = (0, 1) = 6 as feature 5 (-2, 1).
  EXPECT_EQ(static_cast<std::int8_t>(work.features[0 * 16 + 5]), 16);
  // A difference of 100 at scale 4 compands to 109.
  plane.row(0)[1] = 105;
  row_context(false, plane, nullptr, nullptr, 2, 16, work);
  EXPECT_EQ(work.scale[x], 4 * 100 / 3 + 2);
  plane.row(0)[1] = 5;
  plane.row(-1)[1] = 105;  // (-3, 0) does not enter the activity
  row_context(false, plane, nullptr, nullptr, 2, 16, work);
  EXPECT_EQ(work.scale[x], 4);
  EXPECT_EQ(static_cast<std::int8_t>(work.features[x * 16 + 8]), 109);
}

TEST(Context, ThreeDBaseIsClampedGradientAndBottomBorderIsReplicated) {
  const Plane previous = replicated(2, 1, {12, 30});
  Work work;
  // y = 1: N = 10, P = 30, PN = 12: N + P - PN = 28 lies between N and P.
  row_context(true, replicated(2, 1, {10, 20}), &previous, &previous, 1, 32, work);
  EXPECT_EQ(work.base[0], 28);
  // N = 40: the gradient 58 is clamped to max(N, P) = 40.
  row_context(true, replicated(2, 1, {40, 20}), &previous, &previous, 1, 32, work);
  EXPECT_EQ(work.base[0], 40);
  // prev(y + 1) and prev(y + 2) at the last row are copies of prev(y) = 30.
  EXPECT_NE(static_cast<std::int8_t>(work.features[0 * 32 + 11]), 0);
  EXPECT_EQ(static_cast<std::int8_t>(work.features[0 * 32 + 15]), static_cast<std::int8_t>(work.features[0 * 32 + 11]));
  EXPECT_EQ(static_cast<std::int8_t>(work.features[0 * 32 + 23]), static_cast<std::int8_t>(work.features[0 * 32 + 11]));
  EXPECT_EQ(work.run_value[0], -1);
}

TEST(Context, VectorFormMatchesThePlainFormula) {
  std::mt19937 random(3);
  const std::size_t rows = 6, columns = 37;
  std::vector<std::int32_t> a(rows * columns), b(rows * columns), c(rows * columns);
  for (auto* v : {&a, &b, &c})
    for (auto& x : *v) x = static_cast<std::int32_t>(random() % 65536);
  const Plane cur = replicated(rows, columns, a), prev = replicated(rows, columns, b), two = replicated(rows, columns, c);
  Work work;
  row_context(true, cur, &prev, &two, 4, 32, work);
  for (std::size_t x = 0; x < columns; ++x) {
    const auto ix = static_cast<std::ptrdiff_t>(x);
    const std::int64_t d = std::int64_t{prev.at(4, ix)} - work.base[x];
    const std::int64_t mag = ((d < 0 ? -d : d) * work.recip[x]) >> 16;
    const std::int32_t expected = static_cast<std::int32_t>(d < 0 ? -compand(static_cast<std::int32_t>(mag)) : (d > 0 ? compand(static_cast<std::int32_t>(mag)) : 0));
    EXPECT_EQ(static_cast<std::int8_t>(work.features[x * 32 + 11]), expected) << x;
  }
}

TEST(Head, PredictionAndScaleClass) {
  const std::int32_t zeros[6] = {0, 0, 0, 0, 0, 0};
  auto r = head(zeros, 100, 4, 0, 0, 0, 10, 1000);
  EXPECT_EQ(r.prediction, 1600);
  EXPECT_EQ(r.scale_class, logq(4));
  r = head(zeros, 2000, 4, 0, 0, 0, 10, 1000);
  EXPECT_EQ(r.prediction, 16000);  // clamped to 16 x max_code
  const std::int32_t down[6] = {-1000000, 0, 0, 0, 0, 0};
  EXPECT_EQ(head(down, 1, 1000, 0, 0, 0, 10, 1000).prediction, 0);
  // o0 = 64 at scale 16, shift 10: (2^13 + 16 x 16384) >> 14 = 16, one code up.
  const std::int32_t up[6] = {64, 0, 0, 0, 0, 0};
  EXPECT_EQ(head(up, 10, 16, 0, 0, 0, 10, 1000).prediction, 176);
  // o4 = 128: (512 + 1024) >> 10 = 1 above logq(scale); o5 x lw with l0 = 0 adds nothing (lw = 0).
  const std::int32_t wide[6] = {0, 0, 0, 0, 128, 1000};
  EXPECT_EQ(head(wide, 10, 4, 0, 0, 0, 10, 1000).scale_class, 1);
  // l0 = 256: |l0| + 256 = 512, L = 9, lw = T[0] + 72 - 64 = 8; 8 x 128 + 8 x 1000 = 9024.
  EXPECT_EQ(head(wide, 10, 4, 256, 0, 0, 10, 1000).scale_class, (512 + 1024 + 8000) >> 10);
}

TEST(Context, LocalValuesAreClamped) {
  EXPECT_EQ(local_value(11, 10, 1048576), 256);
  EXPECT_EQ(local_value(0, 65535, 1048576), -4096);
  EXPECT_EQ(local_value(65535, 0, 1048576), 4096);
}

}  // namespace
}  // namespace qelvo::codec
