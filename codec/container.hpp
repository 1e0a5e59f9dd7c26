#pragma once
// The container: a little-endian header (magic 0x89 'Q' 'L' 'V', version 1) followed by the
// tile streams. `Header::parse` checks it field by field; `Header::write` produces it.
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "codec/checksum.hpp"
#include "codec/error.hpp"
#include "codec/model_id.hpp"

namespace qelvo::codec {

inline constexpr std::uint8_t kContainerMagic[4] = {0x89, 'Q', 'L', 'V'};
inline constexpr std::uint16_t kContainerVersion = 1;
inline constexpr std::uint16_t kFlagPacking = 1;
inline constexpr std::uint16_t kFlagMetadata = 2;
inline constexpr std::size_t kTileEntrySize = 20;
inline constexpr std::size_t kMaxMetadata = std::size_t{16} << 20;
// Tile entries are pre-reserved only up to this many; more grow as entries prove to exist.
inline constexpr std::size_t kTileReserveCap = std::size_t{1} << 20;
// Bytes of `header_length` that do not depend on P, M and T (offsets 44..119 less the variable parts).
inline constexpr std::uint32_t kFixedHeaderLength = 76;
inline constexpr std::size_t kHeaderLengthOffset = 40;
inline constexpr std::size_t kStreamAreaBase = 44;  // the stream area starts at 44 + header_length

struct TileEntry {
  std::uint64_t offset = 0;  // from the start of the stream area
  std::uint32_t length = 0;
  std::uint32_t stream_crc = 0;
  std::uint32_t samples_crc = 0;
  bool operator==(const TileEntry&) const = default;
};

struct Header {
  std::uint32_t slices = 0;
  std::uint32_t rows = 0;
  std::uint32_t columns = 0;
  std::uint8_t bits = 0;
  bool is_signed = false;
  std::int32_t base = 0;
  std::uint32_t max_code = 0;
  std::uint16_t slab = 0;
  std::uint16_t stripe = 0;
  std::uint16_t version = kContainerVersion;
  ModelId model_2d;
  ModelId model_3d;
  Digest sha256{};
  std::vector<std::uint8_t> packing_stream;  // empty when there is no packing table
  std::vector<std::uint8_t> metadata;        // empty when there is none
  std::vector<TileEntry> tiles;
  std::uint64_t stream_start = 0;  // offset of the stream area

  std::uint64_t sample_count() const { return std::uint64_t{slices} * rows * columns; }

  static std::expected<Header, Error> parse(std::span<const std::uint8_t> data, std::uint64_t max_samples);
  // Appends the complete header, trailing CRC included, to `out`; the tile entries must already
  // carry their running offsets.
  void write(std::vector<std::uint8_t>& out) const;
};

// Number of tiles of a volume cut into slabs of `slab` slices and stripes of `stripe` rows.
std::uint64_t tile_count(std::uint64_t slices, std::uint64_t rows, std::uint64_t slab, std::uint64_t stripe);

}  // namespace qelvo::codec
