#include "codec/codec.hpp"

#include <algorithm>
#include <new>

#include "codec/container.hpp"
#include "codec/packing.hpp"
#include "codec/pool.hpp"
#include "codec/tile.hpp"
#include "codec/tiles.hpp"

namespace qelvo::codec {
namespace {

constexpr std::uint64_t kMaxDimension = 0xFFFFFFFFull;

TileShape shape_of(const TileBox& box, std::uint64_t columns) {
  return {static_cast<std::size_t>(box.slab_len), static_cast<std::size_t>(box.stripe_len),
          static_cast<std::size_t>(columns)};
}

// The tile's codes in tile order: its rows are contiguous in the volume, one slice after another.
std::vector<std::int32_t> tile_codes(const std::vector<std::int32_t>& codes, const TileBox& box, std::uint64_t rows,
                                     std::uint64_t columns) {
  std::vector<std::int32_t> out;
  out.reserve(box.slab_len * box.stripe_len * columns);
  for (std::uint64_t z = box.slab_start; z < box.slab_start + box.slab_len; ++z) {
    const auto first = codes.begin() + static_cast<std::ptrdiff_t>((z * rows + box.stripe_start) * columns);
    out.insert(out.end(), first, first + static_cast<std::ptrdiff_t>(box.stripe_len * columns));
  }
  return out;
}

}  // namespace

std::expected<std::vector<std::uint8_t>, Error> encode_with_metadata(const Volume& volume,
                                                                     std::span<const std::uint8_t> metadata,
                                                                     const EncodeOptions& options) {
  if (metadata.size() > kMaxMetadataBytes) return std::unexpected(Error::invalid_volume("metadata larger than 16 MiB"));
  if (options.slab == 0 || options.stripe == 0)
    return std::unexpected(Error::invalid_volume("tile dimensions must be positive"));
  if (volume.slices > kMaxDimension || volume.rows > kMaxDimension || volume.columns > kMaxDimension)
    return std::unexpected(Error::invalid_volume("dimension exceeds 2^32 - 1"));
  if (options.model_2d.is_3d || !options.model_3d.is_3d)
    return std::unexpected(Error::model("model kinds do not match their roles"));

  const MappedSamples mapped = map_values(volume.samples, options.packing);
  const std::vector<TileBox> boxes = tiles(volume.slices, volume.rows, options.slab, options.stripe);
  const std::vector<EncodedTile> coded = map_tiles(boxes.size(), options.threads, [&](std::size_t i) {
    const std::vector<std::int32_t> codes = tile_codes(mapped.codes, boxes[i], volume.rows, volume.columns);
    return encode_tile(codes, shape_of(boxes[i], volume.columns), options.model_2d, options.model_3d, mapped.mapping);
  });

  Header header;
  header.slices = static_cast<std::uint32_t>(volume.slices);
  header.rows = static_cast<std::uint32_t>(volume.rows);
  header.columns = static_cast<std::uint32_t>(volume.columns);
  header.bits = volume.bits;
  header.is_signed = volume.is_signed;
  header.base = mapped.mapping.base;
  header.max_code = static_cast<std::uint32_t>(mapped.mapping.max_code);
  header.slab = options.slab;
  header.stripe = options.stripe;
  header.model_2d = options.model_2d.id;
  header.model_3d = options.model_3d.id;
  std::uint64_t offset = 0;
  for (const EncodedTile& tile : coded) {
    if (tile.stream.size() > kMaxDimension) return std::unexpected(Error::invalid_volume("tile larger than 4 GiB"));
    header.tiles.push_back({offset, static_cast<std::uint32_t>(tile.stream.size()), crc32c(tile.stream), tile.samples_crc});
    offset += tile.stream.size();
  }
  header.sha256 = volume.sha256();
  if (mapped.mapping.table) header.packing_stream = write_packing_stream(*mapped.mapping.table);
  header.metadata.assign(metadata.begin(), metadata.end());

  std::vector<std::uint8_t> out;
  out.reserve(120 + header.packing_stream.size() + metadata.size() + kTileEntrySize * coded.size() + offset);
  header.write(out);
  for (const EncodedTile& tile : coded) out.insert(out.end(), tile.stream.begin(), tile.stream.end());
  return out;
}

std::expected<Volume, Error> decode(std::span<const std::uint8_t> data, const DecodeOptions& options) {
  auto parsed = Header::parse(data, options.max_samples);
  if (!parsed) return std::unexpected(parsed.error());
  const Header& header = *parsed;
  const std::optional<Model> model_2d = options.models->get(header.model_2d);
  if (!model_2d) return std::unexpected(Error::unknown_model(header.model_2d.text()));
  const std::optional<Model> model_3d = options.models->get(header.model_3d);
  if (!model_3d) return std::unexpected(Error::unknown_model(header.model_3d.text()));
  if (model_2d->is_3d || !model_3d->is_3d) return std::unexpected(Error::corrupt("model kinds do not match their roles"));
  auto mapping = read_mapping(header.packing_stream, header.base, static_cast<std::int32_t>(header.max_code));
  if (!mapping) return std::unexpected(mapping.error());

  const std::span<const std::uint8_t> area = data.subspan(header.stream_start);
  std::uint64_t needed = 0;
  for (const TileEntry& entry : header.tiles) needed += entry.length;
  if (needed > area.size()) return std::unexpected(Error::truncated());

  // The output is reserved before the tiles run, so each decoded tile is placed and released at
  // once: decoding holds the output plus one tile per worker. A failed reservation is reported
  // before any tile error, as it would be after decoding them. A tile whose stream is too short
  // for its samples makes the container certainly corrupt; then nothing is reserved for the
  // volume (its declared size may be anything) and the tiles only decide which error is reported.
  const std::vector<TileBox> boxes = tiles(header.slices, header.rows, header.slab, header.stripe);
  const bool certainly_corrupt = std::any_of(boxes.begin(), boxes.end(), [&](const TileBox& box) {
    const TileEntry& entry = header.tiles[static_cast<std::size_t>(&box - boxes.data())];
    return !stream_can_hold(entry.length, box.slab_len * box.stripe_len * header.columns);
  });
  const std::uint64_t count = header.sample_count();
  std::vector<std::int32_t> samples;
  try {
    if (!certainly_corrupt) samples.resize(count);
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::too_large(count));
  }
  const auto failures = map_tiles(boxes.size(), options.threads, [&](std::size_t i) -> std::optional<Error> {
    const TileEntry& entry = header.tiles[i];
    const TileBox& box = boxes[i];
    const auto codes = decode_tile(area.subspan(entry.offset, entry.length), entry, i,
                                   shape_of(box, header.columns), *model_2d, *model_3d, *mapping);
    if (!codes) return codes.error();
    if (samples.empty()) return std::nullopt;
    for (std::uint64_t k = 0; k < box.slab_len * box.stripe_len; ++k) {
      const std::uint64_t z = box.slab_start + k / box.stripe_len, y = box.stripe_start + k % box.stripe_len;
      std::copy_n(codes->begin() + static_cast<std::ptrdiff_t>(k * header.columns), header.columns,
                  samples.begin() + static_cast<std::ptrdiff_t>((z * header.rows + y) * header.columns));
    }
    return std::nullopt;
  });
  for (const std::optional<Error>& failure : failures)
    if (failure) return std::unexpected(*failure);
  for (std::int32_t& s : samples) s = mapping->value_of(s);
  auto volume = Volume::create(header.slices, header.rows, header.columns, header.bits, header.is_signed, std::move(samples));
  if (!volume) return std::unexpected(Error::corrupt("decoded values outside the declared format"));
  if (options.verify && volume->sha256() != header.sha256) return std::unexpected(Error::checksum("volume SHA-256"));
  return std::move(*volume);
}

}  // namespace qelvo::codec
