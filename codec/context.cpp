#include "codec/context.hpp"

#include <algorithm>
#include <cstdlib>

#include "common/internal_error.hpp"

namespace qelvo::codec {
namespace {

constexpr std::int32_t kEighthBits[8] = {0, 1, 3, 4, 5, 6, 6, 7};

struct Offset {
  std::ptrdiff_t dy, dx;
};

// Neighbours in feature order: the current plane contributes only rows above the sample, the
// planes of completed slices also rows below it.
constexpr Offset kCurrentNeighbours[] = {{-1, 0}, {-2, 0},  {-1, -1}, {-1, 1}, {-2, -1}, {-2, 1},
                                         {-1, -2}, {-1, 2}, {-3, 0},  {-2, -2}, {-2, 2}};
constexpr Offset kPreviousNeighbours[] = {{0, 0},  {0, -1}, {0, 1},  {-1, 0}, {1, 0},  {-1, -1}, {-1, 1},
                                          {1, -1}, {1, 1},  {0, -2}, {0, 2},  {-2, 0}, {2, 0}};
constexpr Offset kTwoBackNeighbours[] = {{0, 0}, {0, -1}, {0, 1}, {-1, 0}, {1, 0}};

std::size_t floor_log2(std::uint64_t v) { return 63 - static_cast<std::size_t>(__builtin_clzll(v)); }

void prepare(Work& work, std::size_t columns, std::size_t feature_stride) {
  if (work.feature_stride != feature_stride || work.feature_columns != columns) {
    // The bytes beyond a sample's features must stay 0: the network reads the whole stride.
    work.features.assign(columns * feature_stride, 0);
    work.feature_stride = feature_stride;
    work.feature_columns = columns;
  }
  for (auto* v : {&work.base, &work.scale, &work.recip, &work.run_value}) v->resize(columns);
  work.recip_high.resize(columns);
  work.recip_low.resize(columns);
  work.feature_rows.resize(columns);
}

// Features of one neighbour for the whole row, computed into a contiguous row so the loop over
// columns is a straight run of 32-bit arithmetic, then interleaved into the sample records.
// (|d| x recip) >> 16 is computed exactly from the split recip: |d| x (recip >> 16) +
// ((|d| x (recip & 0xFFFF)) >> 16), both products within 32 bits since |d| <= 65535. Integer
// arithmetic only, so the AVX2 clone and the portable one give the same bytes.
__attribute__((target_clones("avx2", "default"))) void neighbour_features(const std::int32_t* source,
                                                                         std::size_t columns, std::size_t feature,
                                                                         Work& work) {
  std::int8_t* row = work.feature_rows.data();
  const std::int32_t* base = work.base.data();
  const std::uint32_t* high = work.recip_high.data();
  const std::uint32_t* low = work.recip_low.data();
  for (std::size_t x = 0; x < columns; ++x) {
    const std::int32_t d = source[x] - base[x];
    const auto magnitude = static_cast<std::uint32_t>(d < 0 ? -d : d);
    const auto a = static_cast<std::int32_t>(magnitude * high[x] + ((magnitude * low[x]) >> 16));
    const std::int32_t c = compand(a);
    row[x] = static_cast<std::int8_t>(d < 0 ? -c : (d > 0 ? c : 0));
  }
  const std::size_t stride = work.feature_stride;
  std::uint8_t* out = work.features.data() + feature;
  for (std::size_t x = 0; x < columns; ++x) out[x * stride] = static_cast<std::uint8_t>(row[x]);
}

void base_and_scale(bool is_3d, const Plane& current, const Plane* previous, std::ptrdiff_t y, Work& work) {
  const std::int32_t* above = current.row(y - 1);
  const std::int32_t* above2 = current.row(y - 2);
  const std::int32_t* here_prev = is_3d ? previous->row(y) : nullptr;
  const std::int32_t* above_prev = is_3d ? previous->row(y - 1) : nullptr;
  for (std::size_t i = 0; i < current.columns; ++i) {
    const auto x = static_cast<std::ptrdiff_t>(i);
    const std::int32_t n = above[x], nw = above[x - 1], ne = above[x + 1], nn = above2[x];
    std::int32_t activity = std::abs(n - nw) + std::abs(n - ne) + std::abs(nn - n);
    std::int32_t base = n, t = 0, run = (nw == n && ne == n) ? n : -1;
    if (is_3d) {
      const std::int32_t p = here_prev[x], pn = above_prev[x];
      base = std::clamp(n + p - pn, std::min(n, p), std::max(n, p));
      activity += std::abs(p - pn) + std::abs(n - pn);
      t = 4 * activity / 5;
      run = (run == n && p == n) ? n : -1;
    } else {
      t = 4 * activity / 3;
    }
    const std::int32_t scale = std::max(t, 2) + 2;
    const std::int32_t recip = 4194304 / scale;
    work.base[i] = base;
    work.scale[i] = scale;
    work.recip[i] = recip;
    work.recip_high[i] = static_cast<std::uint32_t>(recip) >> 16;
    work.recip_low[i] = static_cast<std::uint32_t>(recip) & 0xFFFF;
    work.run_value[i] = run;
  }
}

}  // namespace

Plane::Plane(std::size_t rows_, std::size_t columns_)
    : values((rows_ + 2 * kBorder) * (columns_ + 2 * kBorder), 0),
      columns(columns_),
      rows(rows_),
      stride(columns_ + 2 * kBorder) {}

void Plane::replicate() {
  const auto last_column = static_cast<std::ptrdiff_t>(columns) - 1;
  for (std::ptrdiff_t y = 0; y < static_cast<std::ptrdiff_t>(rows); ++y) {
    std::int32_t* r = row(y);
    std::fill(r - kBorder, r, r[0]);
    std::fill(r + last_column + 1, r + last_column + 1 + kBorder, r[last_column]);
  }
  const auto first_row = values.begin() + kBorder * static_cast<std::ptrdiff_t>(stride);
  const auto last_row = values.begin() + (static_cast<std::ptrdiff_t>(rows) + kBorder - 1) * static_cast<std::ptrdiff_t>(stride);
  for (std::ptrdiff_t k = 1; k <= kBorder; ++k) {
    std::copy(first_row, first_row + static_cast<std::ptrdiff_t>(stride), first_row - k * static_cast<std::ptrdiff_t>(stride));
    std::copy(last_row, last_row + static_cast<std::ptrdiff_t>(stride), last_row + k * static_cast<std::ptrdiff_t>(stride));
  }
}

std::int32_t logq(std::uint64_t s) {
  if (s == 0) return -16;
  const std::size_t r = floor_log2(s);
  const auto q = static_cast<std::size_t>(((static_cast<unsigned __int128>(s) * 8) >> r) & 7);
  return static_cast<std::int32_t>(8 * r) + kEighthBits[q] - 16;
}

void row_context(bool is_3d, const Plane& current, const Plane* previous, const Plane* two_back, std::ptrdiff_t y,
                 std::size_t feature_stride, Work& work) {
  const std::size_t feature_count = is_3d ? kFeatures3d : kFeatures2d;
  if (feature_stride < feature_count) internal_error("feature stride too small for the features of a sample");
  if (is_3d && (previous == nullptr || two_back == nullptr)) internal_error("3-D features need two earlier planes");
  const std::size_t columns = current.columns;
  prepare(work, columns, feature_stride);
  base_and_scale(is_3d, current, previous, y, work);

  std::size_t feature = 0;
  for (const Offset o : kCurrentNeighbours) neighbour_features(current.row(y + o.dy) + o.dx, columns, feature++, work);
  if (is_3d) {
    for (const Offset o : kPreviousNeighbours) neighbour_features(previous->row(y + o.dy) + o.dx, columns, feature++, work);
    for (const Offset o : kTwoBackNeighbours) neighbour_features(two_back->row(y + o.dy) + o.dx, columns, feature++, work);
  }
  for (std::size_t x = 0; x < columns; ++x)
    work.features[x * feature_stride + feature] =
        static_cast<std::uint8_t>(std::clamp(logq(static_cast<std::uint64_t>(work.scale[x])), -127, 127));
}

std::int64_t local_value(std::int32_t v, std::int32_t base, std::int32_t recip) {
  const std::int64_t l = (std::int64_t{recip} * (std::int64_t{v} - base)) >> 12;
  return std::clamp<std::int64_t>(l, -4096, 4096);
}

HeadResult head(const std::int32_t* o, std::int32_t base, std::int32_t scale, std::int64_t l0, std::int64_t l1,
                std::int64_t l2, unsigned h, std::int64_t max_code) {
  if (max_code > (std::int64_t{1} << 58)) internal_error("max_code too large for a prediction");
  constexpr std::int64_t kLimit = std::int64_t{1} << 40;
  const std::int64_t m = std::clamp<std::int64_t>(256 * std::int64_t{o[0]} + o[1] * l0 + o[2] * l1 + o[3] * l2, -kLimit, kLimit);
  const std::int64_t rounded = ((std::int64_t{1} << (h + 3)) + std::int64_t{scale} * m) >> (h + 4);
  const std::int64_t prediction = std::clamp<std::int64_t>(16 * std::int64_t{base} + rounded, 0, 16 * max_code);
  const auto magnitude = static_cast<std::uint64_t>(l0 < 0 ? -l0 : l0) + 256;
  const std::size_t big_l = floor_log2(magnitude);
  const std::int64_t lw = kEighthBits[(magnitude >> (big_l - 3)) & 7] + 8 * static_cast<std::int64_t>(big_l) - 64;
  const std::int64_t scale_class =
      logq(static_cast<std::uint64_t>(scale)) +
      (((std::int64_t{1} << (h - 1)) + 8 * std::int64_t{o[4]} + std::int64_t{o[5]} * lw) >> h);
  return {prediction, scale_class};
}

}  // namespace qelvo::codec
