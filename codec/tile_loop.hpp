#pragma once
// The walk over one tile shared by every pass: slice by slice, row by row, the row's features and
// one network run, then per sample a run bit or a residual. A pass decides what happens at each
// coding step; it provides:
//   first(bits) -> the tile's first code, sent raw; negative when the pass failed
//   row(work, model) -> nothing; sees the row's features, base, scale and network outputs
//   run(state, context, west, index) -> whether sample `index` is a run hit (equal to west), told
//       by the run bit in state.run_contexts[context]
//   sample(state, where, locals, index) -> the code of sample `index`, negative when the pass failed
//   emit(index, code) -> nothing; the sample's code is known
//   exhausted() -> whether the pass must stop after this sample
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "codec/context.hpp"
#include "codec/model.hpp"
#include "codec/residual.hpp"
#include "codec/tile.hpp"

namespace qelvo::codec {

// The tile's first code is sent raw in this many bits.
inline unsigned first_code_bits(std::int32_t max_code) {
  return max_code <= 1 ? 1u : 32u - static_cast<unsigned>(__builtin_clz(static_cast<std::uint32_t>(max_code)));
}

// The three values from the row being coded that the head weighs besides the network outputs.
struct LocalValues {
  std::int64_t l0, l1, l2;
};

inline void fill_top_border(Plane& plane, std::int32_t value) {
  std::fill(plane.values.begin(), plane.values.begin() + kBorder * static_cast<std::ptrdiff_t>(plane.stride), value);
}

// Codes one row; false when the pass failed on a sample.
template <typename Pass>
bool code_row(Pass& pass, CoderState& state, const Model& model, bool is_3d, Plane& cur, const Work& work,
              std::ptrdiff_t y, std::size_t& index, std::int32_t max_code) {
  std::int32_t* row = cur.row(y);
  bool after_run = false;
  for (std::size_t i = 0; i < cur.columns; ++i, ++index) {
    const auto x = static_cast<std::ptrdiff_t>(i);
    const std::int32_t west = row[x - 1];
    if ((is_3d || west == row[x - 2]) && west == work.run_value[i]) {
      if (pass.run(state, 2 * is_3d + after_run, west, index)) {
        row[x] = west;
        pass.emit(index, west);
        after_run = true;
        if (pass.exhausted()) return false;
        continue;
      }
    }
    const std::int32_t base = work.base[i], recip = work.recip[i];
    const LocalValues locals{local_value(west, base, recip), local_value(row[x - 2], base, recip),
                             local_value(row[x - 3], base, recip)};
    const HeadResult h = head(work.outputs.data() + kOutputsPerSample * i, base, work.scale[i], locals.l0, locals.l1,
                              locals.l2, model.head_shift, max_code);
    const std::int32_t code = pass.sample(state, ResidualContext(h.prediction, h.scale_class), locals, index);
    if (code < 0) return false;
    row[x] = code;
    pass.emit(index, code);
    after_run = false;
    if (pass.exhausted()) return false;
  }
  const std::int32_t last = row[cur.columns - 1];
  std::fill(row + cur.columns, row + cur.columns + kBorder, last);
  return true;
}

// Walks one tile; false when the pass failed.
template <typename Pass>
bool code_tile(Pass& pass, TileShape shape, const Model& model_2d, const Model& model_3d, std::int32_t max_code) {
  const std::int32_t first = pass.first(first_code_bits(max_code));
  if (first < 0) return false;
  std::array<Plane, 3> planes = {Plane(shape.rows, shape.columns), Plane(shape.rows, shape.columns),
                                 Plane(shape.rows, shape.columns)};
  CoderState state_2d(model_2d.priors), state_3d(model_3d.priors);
  Work work;
  work.outputs.resize(kOutputsPerSample * shape.columns);
  std::size_t index = 0;
  for (std::size_t k = 0; k < shape.slices; ++k) {
    const bool is_3d = k > 0;
    const Model& model = is_3d ? model_3d : model_2d;
    CoderState& state = is_3d ? state_3d : state_2d;
    Plane& cur = planes[k % 3];
    const Plane* previous = is_3d ? &planes[(k + 2) % 3] : nullptr;
    const Plane* two_back = k > 1 ? &planes[(k + 1) % 3] : previous;
    const std::size_t stride = model.network.input_stride();
    fill_top_border(cur, first);
    for (std::size_t r = 0; r < shape.rows; ++r) {
      const auto y = static_cast<std::ptrdiff_t>(r);
      std::fill(cur.row(y) - kBorder, cur.row(y), y == 0 ? first : cur.at(y - 1, 0));
      row_context(is_3d, cur, previous, two_back, y, stride, work);
      model.network.forward(work.features, shape.columns, work.hidden_a, work.hidden_b, work.outputs);
      pass.row(work, model);
      if (!code_row(pass, state, model, is_3d, cur, work, y, index, max_code)) return false;
    }
    cur.replicate();
  }
  return true;
}

}  // namespace qelvo::codec
