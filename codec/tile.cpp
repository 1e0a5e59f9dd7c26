#include "codec/tile.hpp"

#include <new>

#include "codec/checksum.hpp"
#include "codec/residual.hpp"
#include "codec/tile_loop.hpp"
#include "codec/volume.hpp"

namespace qelvo::codec {
namespace {

constexpr const char* kUnexpectedEnd = "tile stream does not end where expected";

class EncodePass {
 public:
  EncodePass(std::span<const std::int32_t> codes) : encoder_(codes.size()), codes_(codes) {}

  std::int32_t first(unsigned bits) {
    encoder_.encode_bypass(static_cast<std::uint32_t>(codes_[0]), bits);
    return codes_[0];
  }
  void row(const Work&, const Model&) {}
  bool run(CoderState& state, unsigned context, std::int32_t west, std::size_t index) {
    const bool hit = codes_[index] == west;
    encoder_.encode_bit(state.run_contexts[context], !hit);
    return hit;
  }
  std::int32_t sample(CoderState& state, const ResidualContext& where, const LocalValues&, std::size_t index) {
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
  void row(const Work&, const Model&) {}
  bool run(CoderState& state, unsigned context, std::int32_t, std::size_t) {
    return !decoder_.decode_bit(state.run_contexts[context]);
  }
  std::int32_t sample(CoderState& state, const ResidualContext& where, const LocalValues&, std::size_t) {
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
  if (!stored_crc_matches(crc32c(stream), entry.stream_crc))
    return std::unexpected(Error::checksum("stream of tile " + std::to_string(index)));
  // A stream too short for its samples would be exhausted on the way: stop before reserving them.
  if (!stream_can_hold(stream.size(), shape.samples())) return std::unexpected(Error::corrupt(kUnexpectedEnd));
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
  if (!stored_crc_matches(crc_of_samples(codes, mapping), entry.samples_crc))
    return std::unexpected(Error::checksum("samples of tile " + std::to_string(index)));
  return codes;
}

}  // namespace qelvo::codec
