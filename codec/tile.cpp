#include "codec/tile.hpp"

#include <algorithm>
#include <array>
#include <new>

#include "codec/checksum.hpp"
#include "codec/context.hpp"
#include "codec/residual.hpp"
#include "codec/volume.hpp"
#include "common/internal_error.hpp"

namespace qelvo::codec {
namespace {

constexpr const char* kUnexpectedEnd = "tile stream does not end where expected";

// The tile's first code is sent raw in this many bits.
unsigned first_code_bits(std::int32_t max_code) {
  return max_code <= 1 ? 1u : 32u - static_cast<unsigned>(__builtin_clz(static_cast<std::uint32_t>(max_code)));
}

class EncodePass {
 public:
  EncodePass(std::span<const std::int32_t> codes) : encoder_(codes.size()), codes_(codes) {}

  std::int32_t first(unsigned bits) {
    encoder_.encode_bypass(static_cast<std::uint32_t>(codes_[0]), bits);
    return codes_[0];
  }
  bool run(entropy::BitContext& context, std::int32_t west, std::size_t index) {
    const bool hit = codes_[index] == west;
    encoder_.encode_bit(context, !hit);
    return hit;
  }
  std::int32_t sample(CoderState& state, const ResidualContext& where, std::size_t index) {
    encode_residual(encoder_, state, where, codes_[index]);
    return codes_[index];
  }
  void emit(std::size_t, std::int32_t) {}
  bool exhausted() const { return false; }
  std::vector<std::uint8_t> finish() && { return std::move(encoder_).finish(); }

 private:
  entropy::Encoder encoder_;
  std::span<const std::int32_t> codes_;
};

class DecodePass {
 public:
  DecodePass(std::span<const std::uint8_t> stream, std::int32_t max_code, std::vector<std::int32_t>& out)
      : decoder_(stream), max_code_(max_code), out_(out) {}

  // The first code, or -1 with the error set.
  std::int32_t first(unsigned bits) {
    const std::uint32_t code = decoder_.decode_bypass(bits);
    if (code > static_cast<std::uint32_t>(max_code_)) {
      error = Error::corrupt("first sample outside the value range");
      return -1;
    }
    return static_cast<std::int32_t>(code);
  }
  bool run(entropy::BitContext& context, std::int32_t, std::size_t) { return !decoder_.decode_bit(context); }
  std::int32_t sample(CoderState& state, const ResidualContext& where, std::size_t) {
    return decode_residual(decoder_, state, where, max_code_, error);
  }
  void emit(std::size_t index, std::int32_t code) { out_[index] = code; }
  // A stream read past its end can no longer end where expected: the tile stops at once instead
  // of decoding the rest of its declared samples from zeros.
  bool exhausted() {
    if (decoder_.overrun() == 0) return false;
    error = Error::corrupt(kUnexpectedEnd);
    return true;
  }
  bool ended_cleanly(std::size_t length) const { return decoder_.overrun() == 0 && decoder_.position() == length; }

  Error error = Error::truncated();  // meaningful only after a step returned -1

 private:
  entropy::Decoder decoder_;
  std::int32_t max_code_;
  std::vector<std::int32_t>& out_;
};

void fill_top_border(Plane& plane, std::int32_t value) {
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
      if (pass.run(state.run_contexts[2 * is_3d + after_run], west, index)) {
        row[x] = west;
        pass.emit(index, west);
        after_run = true;
        if (pass.exhausted()) return false;
        continue;
      }
    }
    const std::int32_t base = work.base[i], recip = work.recip[i];
    const HeadResult h = head(work.outputs.data() + kOutputsPerSample * i, base, work.scale[i],
                              local_value(west, base, recip), local_value(row[x - 2], base, recip),
                              local_value(row[x - 3], base, recip), model.head_shift, max_code);
    const std::int32_t code = pass.sample(state, ResidualContext(h.prediction, h.scale_class), index);
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

// The loop shared by the encoder and the decoder; false when the pass failed.
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
      if (!code_row(pass, state, model, is_3d, cur, work, y, index, max_code)) return false;
    }
    cur.replicate();
  }
  return true;
}

}  // namespace

EncodedTile encode_tile(std::span<const std::int32_t> codes, TileShape shape, const Model& model_2d,
                        const Model& model_3d, const ValueMapping& mapping) {
  EncodePass pass(codes);
  code_tile(pass, shape, model_2d, model_3d, mapping.max_code);
  return {std::move(pass).finish(), crc_of_samples(codes, mapping)};
}

std::expected<std::vector<std::int32_t>, Error> decode_tile(std::span<const std::uint8_t> stream,
                                                            const TileEntry& entry, std::size_t index,
                                                            TileShape shape, const Model& model_2d,
                                                            const Model& model_3d, const ValueMapping& mapping) {
  if (crc32c(stream) != entry.stream_crc)
    return std::unexpected(Error::checksum("stream of tile " + std::to_string(index)));
  std::vector<std::int32_t> codes;
  try {
    codes.resize(shape.samples());
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::too_large(shape.samples()));
  }
  DecodePass pass(stream, mapping.max_code, codes);
  if (!code_tile(pass, shape, model_2d, model_3d, mapping.max_code)) return std::unexpected(pass.error);
  if (!pass.ended_cleanly(stream.size()))
    return std::unexpected(Error::corrupt(kUnexpectedEnd));
  if (crc_of_samples(codes, mapping) != entry.samples_crc)
    return std::unexpected(Error::checksum("samples of tile " + std::to_string(index)));
  return codes;
}

}  // namespace qelvo::codec
