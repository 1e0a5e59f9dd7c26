#pragma once
// Context features: where already-coded neighbours are kept (Plane), how a whole row of network
// inputs is built (row_context) and how the network's outputs become a prediction and a scale
// class (head). Everything is integer arithmetic that the decoder reproduces exactly.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qelvo::codec {

// Every plane has a border of this many samples on each side, so neighbours need no bounds tests.
inline constexpr std::ptrdiff_t kBorder = 3;
inline constexpr std::size_t kOutputsPerSample = 6;
inline constexpr std::size_t kFeatures2d = 12;
inline constexpr std::size_t kFeatures3d = 30;

// One slice of a tile with its border. Planes hold codes.
struct Plane {
  std::vector<std::int32_t> values;  // (rows + 6) x (columns + 6), row after row
  std::size_t columns = 0;
  std::size_t rows = 0;
  std::size_t stride = 0;  // columns + 6

  Plane(std::size_t rows, std::size_t columns);

  // Image sample (y, 0) of the row y; y and the column index may reach into the border.
  std::int32_t* row(std::ptrdiff_t y) { return values.data() + (y + kBorder) * stride + kBorder; }
  const std::int32_t* row(std::ptrdiff_t y) const { return values.data() + (y + kBorder) * stride + kBorder; }
  std::int32_t at(std::ptrdiff_t y, std::ptrdiff_t x) const { return row(y)[x]; }

  // Fills the border of a completed slice by edge replication.
  void replicate();
};

// Per-tile scratch, reused row after row; the buffers only grow.
struct Work {
  std::vector<std::uint8_t> features;  // columns x feature stride, signed bytes
  std::vector<std::int32_t> base, scale, recip, run_value;
  std::vector<std::uint32_t> recip_high, recip_low;  // recip >> 16 and recip & 0xFFFF
  std::vector<std::uint8_t> hidden_a, hidden_b;
  std::vector<std::int32_t> outputs;  // 6 per column
  std::vector<std::int8_t> feature_rows;  // one row of one feature at a time, before interleaving
  std::size_t feature_stride = 0;
  std::size_t feature_columns = 0;
};

// 8 x log2(s) - 16 in steps of 1/8 bit; -16 for 0.
std::int32_t logq(std::uint64_t s);
// Identity up to 32, slope 1/4 up to 160, slope 1/32 above, saturating at 127.
inline std::int32_t compand(std::int32_t a) {
  const std::int32_t quarter = 32 + ((a - 32) >> 2), thirty_second = 64 + ((a - 160) >> 5);
  const std::int32_t low = a < quarter ? a : quarter, high = thirty_second < 127 ? thirty_second : 127;
  return low < high ? low : high;
}

// Fills base, scale, recip, run_value and the features of every sample of row y. In the second
// slice of a tile the previous plane is passed as the plane two back as well.
void row_context(bool is_3d, const Plane& current, const Plane* previous, const Plane* two_back, std::ptrdiff_t y,
                 std::size_t feature_stride, Work& work);

// (recip x (v - base)) >> 12, clamped to [-4096, 4096].
std::int64_t local_value(std::int32_t v, std::int32_t base, std::int32_t recip);

struct HeadResult {
  std::int64_t prediction;   // in 1/16 of a code, within [0, 16 x max_code]
  std::int64_t scale_class;
};

HeadResult head(const std::int32_t* outputs, std::int32_t base, std::int32_t scale, std::int64_t l0, std::int64_t l1,
                std::int64_t l2, unsigned head_shift, std::int64_t max_code);

}  // namespace qelvo::codec
