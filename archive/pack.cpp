#include "archive/pack.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <tuple>
#include <variant>

#include <zstd.h>

#include "archive/format.hpp"
#include "dicom/parse.hpp"
#include "dicom/pixel.hpp"

namespace qelvo::archive {
namespace {

constexpr std::int64_t kUnknownLocation = std::numeric_limits<std::int64_t>::min();
constexpr std::uint64_t kMaxCount = 0xFFFFFFFFull;

// A file accepted for coding.
struct Codable {
  dicom::Samples samples;
  std::int64_t location = kUnknownLocation;
  std::int64_t instance_number = 0;
  std::string sop_instance_uid;
  std::size_t index = 0;
  std::uint64_t value_offset = 0;
  std::uint64_t value_end = 0;
  std::uint64_t size = 0;
  dicom::PixelLayout layout;
};

// Files with equal keys share a stack; stacks are numbered in key order.
struct StackKey {
  std::string series;
  std::uint32_t rows = 0;
  std::uint32_t columns = 0;
  std::uint8_t bits_stored = 0;
  bool is_signed = false;
  std::optional<std::array<std::int64_t, 6>> orientation;
  std::optional<std::uint64_t> multiframe_file;
  auto operator<=>(const StackKey&) const = default;
};

// Nearest integer, halves away from zero, saturated to 64 bits; NaN gives 0.
std::int64_t saturating_round(double v) {
  if (std::isnan(v)) return 0;
  const double r = std::round(v);
  if (r >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (r < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(r);
}

// Position along the slice normal (row cosines x column cosines), in units of 10^-4.
std::int64_t slice_location(const dicom::Attributes& a) {
  if (!a.image_orientation_patient || !a.image_position_patient) return kUnknownLocation;
  const auto& [rx, ry, rz, cx, cy, cz] = *a.image_orientation_patient;
  const auto& [px, py, pz] = *a.image_position_patient;
  const double nx = ry * cz - rz * cy, ny = rz * cx - rx * cz, nz = rx * cy - ry * cx;
  const double x = (nx * px + ny * py) + nz * pz;
  if (!std::isfinite(x)) return kUnknownLocation;
  return saturating_round(x * 10000);
}

StackKey stack_key(const dicom::Attributes& a, const dicom::PixelLayout& layout, std::size_t index) {
  StackKey key{a.series_instance_uid.value_or(""), layout.rows, layout.columns, layout.bits_stored, layout.is_signed,
               std::nullopt, std::nullopt};
  if (a.image_orientation_patient) {
    std::array<std::int64_t, 6> rounded;
    for (std::size_t i = 0; i < 6; ++i) rounded[i] = saturating_round((*a.image_orientation_patient)[i] * 1000);
    key.orientation = rounded;
  }
  if (layout.frames >= 2) key.multiframe_file = index;
  return key;
}

std::expected<std::vector<std::uint8_t>, Error> compress(std::span<const std::uint8_t> bytes, std::int32_t level) {
  std::vector<std::uint8_t> frame(ZSTD_compressBound(bytes.size()));
  const std::size_t length = ZSTD_compress(frame.data(), frame.size(), bytes.data(), bytes.size(), level);
  if (ZSTD_isError(length)) return std::unexpected(Error::zstd(ZSTD_getErrorName(length)));
  frame.resize(length);
  return frame;
}

struct Classified {
  StackKey key;
  Codable codable;
};

// Either a reason to store the file whole, or the file ready for coding and the stack it joins.
std::variant<StoredReason, Classified> classify(std::span<const std::uint8_t> bytes, std::size_t index) {
  auto parsed = dicom::parse(bytes);
  if (!parsed) return StoredReason{StoredKind::Unparsable, parsed.error().display()};
  const dicom::ParsedFile& file = *parsed;
  if (file.syntax == dicom::TransferSyntax::DeflatedExplicitVrLittle) return StoredReason{StoredKind::Deflated, {}};
  if (file.float_pixel_data) return StoredReason{StoredKind::FloatPixels, {}};
  if (file.pixel_data.kind == dicom::PixelDataKind::Absent) return StoredReason{StoredKind::NoPixelData, {}};
  if (file.pixel_data.kind == dicom::PixelDataKind::Encapsulated) return StoredReason{StoredKind::Encapsulated, {}};
  auto layout = dicom::PixelLayout::from_attributes(file.attributes, file.syntax);
  if (!layout) return StoredReason{StoredKind::Layout, layout.error().display()};
  const auto value = bytes.subspan(file.pixel_data.value_offset, file.pixel_data.value_end - file.pixel_data.value_offset);
  auto samples = dicom::PixelLayout::extract(*layout, value);
  if (!samples) return StoredReason{StoredKind::Layout, samples.error().display()};
  const dicom::Attributes& a = file.attributes;
  return Classified{stack_key(a, *layout, index),
                    Codable{std::move(*samples), slice_location(a), a.instance_number.value_or(0),
                            a.sop_instance_uid.value_or(""), index, file.pixel_data.value_offset,
                            file.pixel_data.value_end, bytes.size(), *layout}};
}

// What a pack builds before the archive is written.
struct Assembly {
  std::vector<InstanceEntry> instances;
  std::vector<std::uint8_t> stored_section;
  std::vector<std::uint8_t> metadata;
  std::vector<std::vector<std::uint8_t>> stacks;
  std::map<StackKey, std::vector<Codable>> codable;
};

// Appends the piece of the file that the stack volume does not hold: prefix, suffix, tail, plane.
void append_piece(std::vector<std::uint8_t>& metadata, std::span<const std::uint8_t> file, const Codable& c) {
  metadata.insert(metadata.end(), file.begin(), file.begin() + static_cast<std::ptrdiff_t>(c.value_offset));
  metadata.insert(metadata.end(), file.begin() + static_cast<std::ptrdiff_t>(c.value_end), file.end());
  metadata.insert(metadata.end(), c.samples.tail.begin(), c.samples.tail.end());
  if (c.samples.plane)
    for (std::uint16_t word : *c.samples.plane) {
      metadata.push_back(static_cast<std::uint8_t>(word));
      metadata.push_back(static_cast<std::uint8_t>(word >> 8));
    }
}

std::optional<Error> code_stack(const StackKey& key, std::vector<Codable>& entries, std::span<const InputFile> files,
                                const PackOptions& options, Assembly& out, PackReport& report) {
  if (out.stacks.size() > kMaxCount) return Error::too_large("stacks");
  std::stable_sort(entries.begin(), entries.end(), [](const Codable& a, const Codable& b) {
    return std::tie(a.location, a.instance_number, a.sop_instance_uid, a.index) <
           std::tie(b.location, b.instance_number, b.sop_instance_uid, b.index);
  });
  std::uint64_t slices = 0;
  for (const Codable& e : entries) slices += e.layout.frames;
  std::vector<std::int32_t> samples;
  samples.reserve(slices * key.rows * key.columns);
  std::uint32_t next_slice = 0;
  bool unknown_location = false;
  for (const Codable& e : entries) {
    samples.insert(samples.end(), e.samples.values.begin(), e.samples.values.end());
    const std::uint64_t piece_offset = out.metadata.size();
    append_piece(out.metadata, files[e.index].bytes, e);
    if (e.samples.tail.size() > kMaxCount) return Error::too_large("trailing bytes");
    InstanceEntry& entry = out.instances[e.index];
    entry.parts = CodedParts{static_cast<std::uint32_t>(out.stacks.size()), next_slice, e.layout, e.samples.convention,
                             piece_offset, e.value_offset, e.size - e.value_end,
                             static_cast<std::uint32_t>(e.samples.tail.size())};
    ++report.coded;
    next_slice += e.layout.frames;
    unknown_location |= e.location == kUnknownLocation;
  }
  const std::size_t entry_count = entries.size();
  std::vector<Codable>().swap(entries);  // the samples now live in the stack volume
  auto volume = codec::Volume::create(slices, key.rows, key.columns, key.bits_stored, key.is_signed, std::move(samples));
  if (!volume) return Error::codec(volume.error());
  codec::EncodeOptions encode = options.codec;
  // Without known locations the slice order says nothing about neighbours: code slices alone.
  if (entry_count > 1 && unknown_location) encode.slab = 1;
  auto container = codec::encode_with_metadata(*volume, {}, encode);
  if (!container) return Error::codec(container.error());
  out.stacks.push_back(std::move(*container));
  return std::nullopt;
}

}  // namespace

std::string StoredReason::debug() const {
  static constexpr const char* kNames[] = {"Unparsable", "NoPixelData", "Encapsulated", "Deflated", "FloatPixels", "Layout"};
  std::string out = kNames[static_cast<std::size_t>(kind)];
  if (kind != StoredKind::Unparsable && kind != StoredKind::Layout) return out;
  out += "(\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          static constexpr char kHex[] = "0123456789abcdef";
          out += "\\u{";
          if (c >= 16) out += kHex[c >> 4];
          out += kHex[c & 15];
          out += '}';
        } else {
          out += ch;
        }
    }
  }
  return out + "\")";
}

std::expected<std::pair<std::vector<std::uint8_t>, PackReport>, Error> pack(std::span<const InputFile> files,
                                                                             const PackOptions& options) {
  if (files.size() > kMaxCount) return std::unexpected(Error::too_large("instances"));
  PackReport report;
  Assembly out;
  out.instances.reserve(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    const InputFile& file = files[i];
    out.instances.push_back({file.name, file.bytes.size(), codec::sha256(file.bytes), StoredParts{}});
    report.input_bytes += file.bytes.size();
    auto verdict = classify(file.bytes, i);
    if (auto* classified = std::get_if<Classified>(&verdict)) {
      out.codable[classified->key].push_back(std::move(classified->codable));
      continue;
    }
    auto frame = compress(file.bytes, options.zstd_level);
    if (!frame) return std::unexpected(frame.error());
    out.instances.back().parts = StoredParts{out.stored_section.size(), frame->size()};
    out.stored_section.insert(out.stored_section.end(), frame->begin(), frame->end());
    ++report.stored[std::get<StoredReason>(verdict)];
  }
  for (auto& [key, entries] : out.codable)
    if (auto fault = code_stack(key, entries, files, options, out, report)) return std::unexpected(*fault);

  std::vector<std::uint8_t> metadata_frame;
  if (!out.metadata.empty()) {
    auto frame = compress(out.metadata, options.zstd_level);
    if (!frame) return std::unexpected(frame.error());
    metadata_frame = std::move(*frame);
  }
  std::vector<std::uint8_t> archive = write_archive(out.instances, out.stacks, metadata_frame, out.stored_section);
  report.instances = files.size();
  report.stacks = out.stacks.size();
  for (const auto& stack : out.stacks) report.stack_bytes += stack.size();
  report.metadata_bytes = metadata_frame.size();
  report.stored_bytes = out.stored_section.size();
  report.output_bytes = archive.size();
  return std::pair{std::move(archive), std::move(report)};
}

}  // namespace qelvo::archive
