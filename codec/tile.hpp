#pragma once
// One tile coded on its own: the first slice with the 2-D model, every further slice with the
// 3-D model, row by row: features, one network run per row, then per sample a run bit or a
// residual.
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "codec/container.hpp"
#include "codec/error.hpp"
#include "codec/model.hpp"
#include "codec/packing.hpp"

namespace qelvo::codec {

struct TileShape {
  std::size_t slices = 0;
  std::size_t rows = 0;
  std::size_t columns = 0;
  std::size_t samples() const { return slices * rows * columns; }
};

// Every coded sample narrows the coder's range by at least 1/32768 of itself (no decision is ever
// certain), about 4.4e-5 bits, so a byte of stream holds at most about 182,000 samples. A stream
// shorter than this bound allows cannot hold its tile: it would run out before the tile ends.
inline constexpr std::uint64_t kMaxSamplesPerStreamByte = std::uint64_t{1} << 18;
inline bool stream_can_hold(std::uint64_t stream_bytes, std::uint64_t samples) {
  return samples / kMaxSamplesPerStreamByte <= stream_bytes;
}

struct EncodedTile {
  std::vector<std::uint8_t> stream;
  std::uint32_t samples_crc = 0;
};

// `codes` holds the tile's codes in tile order (slice, row, column), all within 0..mapping.max_code.
EncodedTile encode_tile(std::span<const std::int32_t> codes, TileShape shape, const Model& model_2d,
                        const Model& model_3d, const ValueMapping& mapping);

// Decodes tile `index` from its stream with every check; the codes come back in tile order.
std::expected<std::vector<std::int32_t>, Error> decode_tile(std::span<const std::uint8_t> stream,
                                                            const TileEntry& entry, std::size_t index,
                                                            TileShape shape, const Model& model_2d,
                                                            const Model& model_3d, const ValueMapping& mapping);

}  // namespace qelvo::codec
