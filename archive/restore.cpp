// Restoring every file of an archive, each proved by its size and SHA-256.
#include <optional>

#include "archive/format.hpp"
#include "codec/codec.hpp"
#include "common/bytes.hpp"

namespace qelvo::archive {
namespace {

std::unexpected<Error> corrupt(const char* text) { return std::unexpected(Error::corrupt(text)); }

std::expected<std::vector<std::uint8_t>, Error> verified(std::vector<std::uint8_t> file, const InstanceEntry& entry,
                                                         std::size_t index) {
  if (file.size() != entry.size || codec::sha256(file) != entry.sha256) return std::unexpected(Error::mismatch(index));
  return file;
}

// The samples of an instance's slices, its tail and its plane, checked against its layout.
std::expected<dicom::Samples, Error> instance_samples(const CodedParts& coded, const codec::Volume& volume,
                                                      std::span<const std::uint8_t> tail_and_plane) {
  const dicom::PixelLayout& layout = coded.layout;
  const std::uint64_t slice = std::uint64_t{layout.rows} * layout.columns;
  const auto first = static_cast<std::ptrdiff_t>(coded.first_slice * slice);
  dicom::Samples samples;
  samples.values.assign(volume.samples.begin() + first,
                        volume.samples.begin() + first + static_cast<std::ptrdiff_t>(layout.frames * slice));
  samples.tail.assign(tail_and_plane.begin(), tail_and_plane.begin() + coded.tail_length);
  samples.convention = coded.convention;
  if (coded.convention == dicom::BitConvention::Irregular) {
    std::vector<std::uint16_t> plane(samples.values.size());
    const std::uint8_t* words = tail_and_plane.data() + coded.tail_length;
    for (std::size_t i = 0; i < plane.size(); ++i) plane[i] = load_le<std::uint16_t>(words + 2 * i);
    samples.plane = std::move(plane);
  }
  const codec::SampleRange range = codec::sample_range(layout.bits_stored, layout.is_signed);
  for (std::int32_t v : samples.values)
    if (v < range.lo || v > range.hi) return corrupt("pixel values outside the stored range");
  return samples;
}

std::expected<std::vector<std::uint8_t>, Error> restore_coded(const CodedParts& coded, const codec::Volume& volume,
                                                              std::span<const std::uint8_t> metadata) {
  const dicom::PixelLayout& layout = coded.layout;
  if (layout.rows != volume.rows || layout.columns != volume.columns)
    return corrupt("instance geometry does not match its stack");
  if (std::uint64_t{coded.first_slice} + layout.frames > volume.slices) return corrupt("instance slices outside its stack");
  std::uint64_t piece = 0;
  if (!coded.piece_size(piece)) return corrupt("section bounds");
  if (auto fault = check_section({coded.metadata_piece_offset, piece}, metadata.size())) return std::unexpected(*fault);
  const auto bytes = metadata.subspan(coded.metadata_piece_offset, piece);
  const auto prefix = bytes.first(coded.prefix_length);
  const auto suffix = bytes.subspan(coded.prefix_length, coded.suffix_length);
  auto samples = instance_samples(coded, volume, bytes.subspan(coded.prefix_length + coded.suffix_length));
  if (!samples) return std::unexpected(samples.error());
  const std::vector<std::uint8_t> pixels = dicom::PixelLayout::reconstruct(layout, *samples);
  std::vector<std::uint8_t> file;
  file.reserve(prefix.size() + pixels.size() + suffix.size());
  file.insert(file.end(), prefix.begin(), prefix.end());
  file.insert(file.end(), pixels.begin(), pixels.end());
  file.insert(file.end(), suffix.begin(), suffix.end());
  return file;
}

std::expected<std::vector<std::uint8_t>, Error> restore_stored(const StoredParts& stored,
                                                               std::span<const std::uint8_t> section, std::uint64_t size) {
  if (auto fault = check_section({stored.frame_offset, stored.frame_length}, section.size()))
    return std::unexpected(*fault);
  return unzstd(section.subspan(stored.frame_offset, stored.frame_length), size);
}

}  // namespace

std::expected<std::vector<std::vector<std::uint8_t>>, Error> Archive::restore_all(
    const codec::ModelRegistry& models) const {
  const codec::DecodeOptions options{std::nullopt, &models, std::uint64_t{1} << 34, true};
  std::vector<codec::Volume> volumes;
  volumes.reserve(stacks_.size());
  for (const Section& stack : stacks_) {
    auto volume = codec::decode(data_.subspan(stack.offset, stack.length), options);
    if (!volume) return std::unexpected(Error::codec(volume.error()));
    volumes.push_back(std::move(*volume));
  }
  const auto metadata_bytes = metadata();
  if (!metadata_bytes) return std::unexpected(metadata_bytes.error());
  // `open` has checked that every section lies inside the archive.
  const auto stored_section = data_.subspan(stored_.offset, stored_.length);

  std::vector<std::vector<std::uint8_t>> files;
  files.reserve(instances_.size());
  for (std::size_t i = 0; i < instances_.size(); ++i) {
    const InstanceEntry& entry = instances_[i];
    const auto* coded = std::get_if<CodedParts>(&entry.parts);
    auto file = coded ? restore_coded(*coded, volumes[coded->stack], *metadata_bytes)
                      : restore_stored(std::get<StoredParts>(entry.parts), stored_section, entry.size);
    if (!file) return std::unexpected(file.error());
    auto proved = verified(std::move(*file), entry, i);
    if (!proved) return std::unexpected(proved.error());
    files.push_back(std::move(*proved));
  }
  return files;
}

}  // namespace qelvo::archive
