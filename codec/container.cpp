#include "codec/container.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "codec/volume.hpp"
#include "common/bytes.hpp"

namespace qelvo::codec {
namespace {

// Reads fields front to back; every read first makes sure the bytes exist.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}

  bool has(std::uint64_t end) const { return end <= data_.size(); }
  template <typename T>
  T at(std::size_t offset) const {
    return load_le<T>(data_.data() + offset);
  }
  std::vector<std::uint8_t> copy(std::size_t offset, std::size_t length) const {
    return {data_.begin() + offset, data_.begin() + offset + length};
  }

 private:
  std::span<const std::uint8_t> data_;
};

std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0); }

ModelId model_id_at(std::span<const std::uint8_t> data, std::size_t offset) {
  ModelId id;
  std::memcpy(id.bytes.data(), data.data() + offset, id.bytes.size());
  return id;
}

std::string hex4(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

}  // namespace

std::uint64_t tile_count(std::uint64_t slices, std::uint64_t rows, std::uint64_t slab, std::uint64_t stripe) {
  return ceil_div(slices, slab) * ceil_div(rows, stripe);
}

std::expected<Header, Error> Header::parse(std::span<const std::uint8_t> data, std::uint64_t max_samples) {
  const Reader in(data);
  const auto truncated = std::unexpected(Error::truncated());
  if (!in.has(4) || std::memcmp(data.data(), kContainerMagic, 4) != 0) return std::unexpected(Error::not_qelvo());
  if (!in.has(6)) return truncated;
  Header h;
  h.version = in.at<std::uint16_t>(4);
  if (h.version != kContainerVersion)
    return std::unexpected(Error::unsupported("container version " + std::to_string(h.version)));
  if (!in.has(8)) return truncated;
  const auto flags = in.at<std::uint16_t>(6);
  if (flags > (kFlagPacking | kFlagMetadata)) return std::unexpected(Error::unsupported("container flags " + hex4(flags)));
  if (!in.has(22)) return truncated;
  if (data[21] > 1) return std::unexpected(Error::corrupt("signedness flag"));
  if (!in.has(24)) return truncated;
  if (in.at<std::uint16_t>(22) != 0) return std::unexpected(Error::corrupt("reserved header field"));
  if (!in.has(44)) return truncated;

  h.slices = in.at<std::uint32_t>(8);
  h.rows = in.at<std::uint32_t>(12);
  h.columns = in.at<std::uint32_t>(16);
  h.bits = data[20];
  h.is_signed = data[21] == 1;
  h.base = in.at<std::int32_t>(24);
  h.max_code = in.at<std::uint32_t>(28);
  h.slab = in.at<std::uint16_t>(32);
  h.stripe = in.at<std::uint16_t>(34);
  const auto declared_tiles = in.at<std::uint32_t>(36);
  const auto header_length = in.at<std::uint32_t>(kHeaderLengthOffset);

  std::uint64_t area = 0;
  std::uint64_t samples = 0;
  if (h.slices == 0 || h.rows == 0 || h.columns == 0 ||
      __builtin_mul_overflow(std::uint64_t{h.slices}, std::uint64_t{h.rows}, &area) ||
      __builtin_mul_overflow(area, std::uint64_t{h.columns}, &samples) || samples > max_samples)
    return std::unexpected(Error::corrupt("volume dimensions"));
  if (h.stripe == 0 || h.slab == 0 || h.bits < 1 || h.bits > kMaxBits)
    return std::unexpected(Error::corrupt("sample format or tiling"));
  const SampleRange range = sample_range(h.bits, h.is_signed);
  if (h.max_code >= (std::uint32_t{1} << 31) || h.base < range.lo ||
      std::int64_t{h.base} + std::int64_t{h.max_code} > range.hi)
    return std::unexpected(Error::corrupt("value mapping"));
  if (declared_tiles != tile_count(h.slices, h.rows, h.slab, h.stripe))
    return std::unexpected(Error::corrupt("tile count does not match the tiling"));

  const std::uint64_t header_end = kStreamAreaBase + std::uint64_t{header_length};
  if (!in.has(header_end) || !in.has(60)) return truncated;
  h.model_2d = model_id_at(data, 44);
  if (!in.has(76)) return truncated;
  h.model_3d = model_id_at(data, 60);
  if (!in.has(108)) return truncated;
  std::memcpy(h.sha256.data(), data.data() + 76, h.sha256.size());
  if (!in.has(112)) return truncated;
  const std::uint64_t packing_length = in.at<std::uint32_t>(108);
  if (!in.has(112 + packing_length)) return truncated;
  h.packing_stream = in.copy(112, packing_length);
  if ((packing_length != 0) != ((flags & kFlagPacking) != 0))
    return std::unexpected(Error::corrupt("packing flag and table disagree"));
  const std::uint64_t metadata_at = 116 + packing_length;
  if (!in.has(metadata_at)) return truncated;
  const std::uint64_t metadata_length = in.at<std::uint32_t>(112 + packing_length);
  if (!in.has(metadata_at + metadata_length)) return truncated;
  h.metadata = in.copy(metadata_at, metadata_length);
  if ((metadata_length != 0) != ((flags & kFlagMetadata) != 0))
    return std::unexpected(Error::corrupt("metadata flag and length disagree"));

  std::uint64_t cursor = metadata_at + metadata_length;
  std::uint64_t running = 0;
  h.tiles.reserve(std::min<std::size_t>(declared_tiles, kTileReserveCap));
  for (std::uint32_t i = 0; i < declared_tiles; ++i) {
    TileEntry entry;
    if (!in.has(cursor + 8)) return truncated;
    entry.offset = in.at<std::uint64_t>(cursor);
    if (!in.has(cursor + 12)) return truncated;
    entry.length = in.at<std::uint32_t>(cursor + 8);
    if (!in.has(cursor + 16)) return truncated;
    entry.stream_crc = in.at<std::uint32_t>(cursor + 12);
    if (!in.has(cursor + 20)) return truncated;
    entry.samples_crc = in.at<std::uint32_t>(cursor + 16);
    if (entry.offset != running) return std::unexpected(Error::corrupt("tile table is not contiguous"));
    if (__builtin_add_overflow(running, std::uint64_t{entry.length}, &running))
      return std::unexpected(Error::corrupt("tile table"));
    h.tiles.push_back(entry);
    cursor += kTileEntrySize;
  }
  if (!in.has(cursor + 4)) return truncated;
  if (cursor + 4 != header_end) return std::unexpected(Error::corrupt("header length"));
  if (!stored_crc_matches(crc32c(data.first(cursor)), in.at<std::uint32_t>(cursor)))
    return std::unexpected(Error::corrupt("header checksum mismatch"));
  h.stream_start = header_end;
  return h;
}

void Header::write(std::vector<std::uint8_t>& out) const {
  const std::size_t start = out.size();
  const auto packing_length = static_cast<std::uint32_t>(packing_stream.size());
  const auto metadata_length = static_cast<std::uint32_t>(metadata.size());
  const auto tiles_length = static_cast<std::uint32_t>(kTileEntrySize * tiles.size());
  const std::uint16_t flags =
      (packing_stream.empty() ? 0 : kFlagPacking) | (metadata.empty() ? 0 : kFlagMetadata);

  out.insert(out.end(), std::begin(kContainerMagic), std::end(kContainerMagic));
  store_le<std::uint16_t>(out, kContainerVersion);
  store_le<std::uint16_t>(out, flags);
  store_le<std::uint32_t>(out, slices);
  store_le<std::uint32_t>(out, rows);
  store_le<std::uint32_t>(out, columns);
  out.push_back(bits);
  out.push_back(is_signed ? 1 : 0);
  store_le<std::uint16_t>(out, 0);
  store_le<std::int32_t>(out, base);
  store_le<std::uint32_t>(out, max_code);
  store_le<std::uint16_t>(out, slab);
  store_le<std::uint16_t>(out, stripe);
  store_le<std::uint32_t>(out, static_cast<std::uint32_t>(tiles.size()));
  store_le<std::uint32_t>(out, kFixedHeaderLength + packing_length + metadata_length + tiles_length);
  out.insert(out.end(), model_2d.bytes.begin(), model_2d.bytes.end());
  out.insert(out.end(), model_3d.bytes.begin(), model_3d.bytes.end());
  out.insert(out.end(), sha256.begin(), sha256.end());
  store_le<std::uint32_t>(out, packing_length);
  out.insert(out.end(), packing_stream.begin(), packing_stream.end());
  store_le<std::uint32_t>(out, metadata_length);
  out.insert(out.end(), metadata.begin(), metadata.end());
  for (const TileEntry& entry : tiles) {
    store_le<std::uint64_t>(out, entry.offset);
    store_le<std::uint32_t>(out, entry.length);
    store_le<std::uint32_t>(out, entry.stream_crc);
    store_le<std::uint32_t>(out, entry.samples_crc);
  }
  store_le<std::uint32_t>(out, crc32c(std::span(out).subspan(start)));
}

}  // namespace qelvo::codec
