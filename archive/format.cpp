#include "archive/format.hpp"

#include <algorithm>
#include <new>

#include <zstd.h>

#include "common/bytes.hpp"
#include "dicom/attrs.hpp"

namespace qelvo::archive {
namespace {

constexpr std::size_t kStackReserveCap = 65536;
constexpr std::size_t kInstanceReserveCap = 1 << 20;
constexpr std::size_t kEntryFixed = 42;        // size, SHA-256, name length
constexpr std::size_t kStoredFields = 16;
constexpr std::size_t kCodedLayoutFields = 26;  // stack .. convention
constexpr std::size_t kCodedPieceFields = 28;   // metadata_piece_offset .. tail_length
constexpr std::uint64_t kZstdRatioBound = 65536;
constexpr std::uint8_t kKindStored = 0, kKindCoded = 1;

std::unexpected<Error> corrupt(const char* text) { return std::unexpected(Error::corrupt(text)); }

// Reads fields front to back within [0, end) of a byte span.
class Cursor {
 public:
  Cursor(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  bool fits(std::size_t n) const { return bytes_.size() - at_ >= n; }
  template <typename T>
  T take() {
    const T value = load_le<T>(bytes_.data() + at_);
    at_ += sizeof(T);
    return value;
  }
  std::span<const std::uint8_t> take_bytes(std::size_t n) {
    const auto piece = bytes_.subspan(at_, n);
    at_ += n;
    return piece;
  }
  std::size_t position() const { return at_; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

bool valid_layout(const dicom::PixelLayout& l, std::uint8_t signed_byte, std::uint8_t big_endian_byte) {
  return (l.bits_allocated == 8 || l.bits_allocated == 16) && signed_byte <= 1 && l.bits_stored != 0 &&
         l.bits_stored <= l.bits_allocated && l.high_bit < l.bits_allocated && l.high_bit + 1 >= l.bits_stored &&
         l.frames != 0 && l.columns != 0 && l.rows != 0 && big_endian_byte <= 1;
}

std::expected<CodedParts, Error> read_coded(Cursor& in) {
  if (!in.fits(kCodedLayoutFields)) return corrupt("truncated");
  CodedParts coded;
  coded.stack = in.take<std::uint32_t>();
  coded.first_slice = in.take<std::uint32_t>();
  dicom::PixelLayout& l = coded.layout;
  l.frames = in.take<std::uint32_t>();
  l.rows = in.take<std::uint32_t>();
  l.columns = in.take<std::uint32_t>();
  l.bits_allocated = in.take<std::uint8_t>();
  l.bits_stored = in.take<std::uint8_t>();
  l.high_bit = in.take<std::uint8_t>();
  const auto signed_byte = in.take<std::uint8_t>();
  const auto big_endian_byte = in.take<std::uint8_t>();
  const auto convention = in.take<std::uint8_t>();
  l.is_signed = signed_byte == 1;
  l.big_endian = big_endian_byte == 1;
  if (!valid_layout(l, signed_byte, big_endian_byte)) return corrupt("pixel layout of an instance");
  if (convention > 2) return corrupt("bit convention of an instance");
  coded.convention = static_cast<dicom::BitConvention>(convention);
  if (!in.fits(kCodedPieceFields)) return corrupt("truncated");
  coded.metadata_piece_offset = in.take<std::uint64_t>();
  coded.prefix_length = in.take<std::uint64_t>();
  coded.suffix_length = in.take<std::uint64_t>();
  coded.tail_length = in.take<std::uint32_t>();
  return coded;
}

std::expected<InstanceEntry, Error> read_entry(Cursor& in) {
  if (!in.fits(kEntryFixed)) return corrupt("truncated");
  InstanceEntry entry;
  entry.size = in.take<std::uint64_t>();
  const auto digest = in.take_bytes(entry.sha256.size());
  std::copy(digest.begin(), digest.end(), entry.sha256.begin());
  const auto name_length = in.take<std::uint16_t>();
  if (!in.fits(std::size_t{name_length} + 1)) return corrupt("truncated");
  entry.name = dicom::lossy_utf8(in.take_bytes(name_length));
  const auto kind = in.take<std::uint8_t>();
  if (kind != kKindStored && kind != kKindCoded) return corrupt("instance kind");
  if (kind == kKindStored) {
    if (!in.fits(kStoredFields)) return corrupt("truncated");
    StoredParts stored;
    stored.frame_offset = in.take<std::uint64_t>();
    stored.frame_length = in.take<std::uint64_t>();
    entry.parts = stored;
    return entry;
  }
  auto coded = read_coded(in);
  if (!coded) return std::unexpected(coded.error());
  entry.parts = *coded;
  return entry;
}

void write_entry(std::vector<std::uint8_t>& out, const InstanceEntry& entry) {
  store_le<std::uint64_t>(out, entry.size);
  out.insert(out.end(), entry.sha256.begin(), entry.sha256.end());
  const std::size_t name_length = std::min(entry.name.size(), kMaxNameBytes);
  store_le<std::uint16_t>(out, static_cast<std::uint16_t>(name_length));
  out.insert(out.end(), entry.name.begin(), entry.name.begin() + static_cast<std::ptrdiff_t>(name_length));
  if (const auto* stored = std::get_if<StoredParts>(&entry.parts)) {
    out.push_back(kKindStored);
    store_le<std::uint64_t>(out, stored->frame_offset);
    store_le<std::uint64_t>(out, stored->frame_length);
    return;
  }
  const CodedParts& coded = std::get<CodedParts>(entry.parts);
  const dicom::PixelLayout& l = coded.layout;
  out.push_back(kKindCoded);
  store_le<std::uint32_t>(out, coded.stack);
  store_le<std::uint32_t>(out, coded.first_slice);
  store_le<std::uint32_t>(out, l.frames);
  store_le<std::uint32_t>(out, l.rows);
  store_le<std::uint32_t>(out, l.columns);
  out.push_back(l.bits_allocated);
  out.push_back(l.bits_stored);
  out.push_back(l.high_bit);
  out.push_back(l.is_signed ? 1 : 0);
  out.push_back(l.big_endian ? 1 : 0);
  out.push_back(static_cast<std::uint8_t>(coded.convention));
  store_le<std::uint64_t>(out, coded.metadata_piece_offset);
  store_le<std::uint64_t>(out, coded.prefix_length);
  store_le<std::uint64_t>(out, coded.suffix_length);
  store_le<std::uint32_t>(out, coded.tail_length);
}

}  // namespace

std::optional<Error> check_section(const Section& section, std::uint64_t size) {
  std::uint64_t end = 0;
  if (__builtin_add_overflow(section.offset, section.length, &end)) return Error::corrupt("section bounds");
  if (end > size) return Error::corrupt("section outside the archive");
  return std::nullopt;
}

bool CodedParts::piece_size(std::uint64_t& size) const {
  std::uint64_t plane = 0;
  if (convention == dicom::BitConvention::Irregular &&
      (__builtin_mul_overflow(std::uint64_t{layout.rows} * layout.columns, std::uint64_t{layout.frames}, &plane) ||
       __builtin_mul_overflow(plane, std::uint64_t{2}, &plane)))
    return false;
  return !__builtin_add_overflow(prefix_length, suffix_length, &size) &&
         !__builtin_add_overflow(size, std::uint64_t{tail_length}, &size) && !__builtin_add_overflow(size, plane, &size);
}

std::expected<Archive, Error> Archive::open(std::span<const std::uint8_t> data) {
  if (data.size() < kHeaderSize || load_le<std::uint32_t>(data.data()) != kArchiveMagic)
    return std::unexpected(Error::not_archive());
  const auto version = load_le<std::uint16_t>(data.data() + 4);
  if (version != kArchiveVersion) return std::unexpected(Error::unsupported("archive version " + std::to_string(version)));
  if (load_le<std::uint16_t>(data.data() + 6) != 0) return std::unexpected(Error::unsupported("archive flags"));
  const auto instance_count = load_le<std::uint32_t>(data.data() + 8);
  const auto stack_count = load_le<std::uint32_t>(data.data() + 12);

  Archive archive;
  archive.data_ = data;
  archive.stacks_.reserve(std::min<std::size_t>(stack_count, kStackReserveCap));
  for (std::uint32_t i = 0; i < stack_count; ++i) {
    const std::size_t at = kHeaderSize + kStackEntrySize * std::size_t{i};
    if (data.size() - at < kStackEntrySize) return corrupt("truncated");
    archive.stacks_.push_back({load_le<std::uint64_t>(data.data() + at), load_le<std::uint64_t>(data.data() + at + 8)});
  }
  const std::size_t table_end = kHeaderSize + kStackEntrySize * std::size_t{stack_count};
  const std::uint32_t header_crc = codec::crc32c(data.subspan(kHeaderSize, table_end - kHeaderSize),
                                                 codec::crc32c(data.first(68)));
  if (!codec::stored_crc_matches(header_crc, load_le<std::uint32_t>(data.data() + 68)))
    return corrupt("header checksum mismatch");

  const Section instances{load_le<std::uint64_t>(data.data() + 16), load_le<std::uint64_t>(data.data() + 24)};
  archive.metadata_ = {load_le<std::uint64_t>(data.data() + 32), load_le<std::uint64_t>(data.data() + 40)};
  archive.stored_ = {load_le<std::uint64_t>(data.data() + 48), load_le<std::uint64_t>(data.data() + 56)};
  if (auto fault = check_section(instances, data.size())) return std::unexpected(*fault);
  const auto table = data.subspan(instances.offset, instances.length);
  if (!codec::stored_crc_matches(codec::crc32c(table), load_le<std::uint32_t>(data.data() + 64)))
    return corrupt("instance table checksum mismatch");

  Cursor in(table);
  archive.instances_.reserve(std::min<std::size_t>(instance_count, kInstanceReserveCap));
  for (std::uint32_t i = 0; i < instance_count; ++i) {
    auto entry = read_entry(in);
    if (!entry) return std::unexpected(entry.error());
    archive.instances_.push_back(std::move(*entry));
  }
  if (in.position() != table.size()) return corrupt("instance table length");
  for (const InstanceEntry& entry : archive.instances_)
    if (const auto* coded = std::get_if<CodedParts>(&entry.parts); coded && coded->stack >= stack_count)
      return corrupt("instance refers to a missing stack");
  for (const Section& stack : archive.stacks_)
    if (auto fault = check_section(stack, data.size())) return std::unexpected(*fault);
  for (const Section& section : {archive.metadata_, archive.stored_})
    if (auto fault = check_section(section, data.size())) return std::unexpected(*fault);
  return archive;
}

std::expected<std::vector<std::uint8_t>, Error> Archive::metadata() const {
  if (metadata_.length == 0) return std::vector<std::uint8_t>();
  std::uint64_t total = 0;
  for (const InstanceEntry& entry : instances_) {
    const auto* coded = std::get_if<CodedParts>(&entry.parts);
    std::uint64_t piece = 0;
    if (coded && (!coded->piece_size(piece) || __builtin_add_overflow(total, piece, &total)))
      return corrupt("metadata size");
  }
  if (total > kMaxMetadataBytes) return corrupt("metadata size");
  return unzstd(data_.subspan(metadata_.offset, metadata_.length), total);
}

std::expected<std::vector<std::uint8_t>, Error> unzstd(std::span<const std::uint8_t> compressed, std::uint64_t expected) {
  std::uint64_t bound = 0;
  if (__builtin_mul_overflow(std::uint64_t{compressed.size()}, kZstdRatioBound, &bound) ||
      __builtin_add_overflow(bound, kZstdRatioBound, &bound))
    bound = ~std::uint64_t{0};
  if (expected > bound) return corrupt("declared size exceeds what the zstd frame can hold");
  std::vector<std::uint8_t> out;
  try {
    out.resize(expected);
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::too_large("instance does not fit in memory"));
  } catch (const std::length_error&) {
    return std::unexpected(Error::too_large("instance does not fit in memory"));
  }
  ZSTD_DCtx* context = ZSTD_createDCtx();
  if (context == nullptr) return std::unexpected(Error::zstd("cannot create a decompression context"));
  const std::size_t produced = ZSTD_decompressDCtx(context, out.data(), out.size(), compressed.data(), compressed.size());
  ZSTD_freeDCtx(context);
  if (ZSTD_isError(produced)) return std::unexpected(Error::zstd(ZSTD_getErrorName(produced)));
  if (produced != expected) return corrupt("zstd frame length");
  return out;
}

std::vector<std::uint8_t> write_archive(const std::vector<InstanceEntry>& instances,
                                        const std::vector<std::vector<std::uint8_t>>& stacks,
                                        std::span<const std::uint8_t> metadata_frame,
                                        std::span<const std::uint8_t> stored_section) {
  std::vector<std::uint8_t> table;
  for (const InstanceEntry& entry : instances) write_entry(table, entry);

  const std::uint64_t instances_offset = kHeaderSize + kStackEntrySize * stacks.size();
  const std::uint64_t metadata_offset = instances_offset + table.size();
  const std::uint64_t stored_offset = metadata_offset + metadata_frame.size();
  std::uint64_t stack_offset = stored_offset + stored_section.size();

  std::vector<std::uint8_t> out;
  store_le<std::uint32_t>(out, kArchiveMagic);
  store_le<std::uint16_t>(out, kArchiveVersion);
  store_le<std::uint16_t>(out, 0);
  store_le<std::uint32_t>(out, static_cast<std::uint32_t>(instances.size()));
  store_le<std::uint32_t>(out, static_cast<std::uint32_t>(stacks.size()));
  for (std::uint64_t field : {instances_offset, std::uint64_t{table.size()}, metadata_offset,
                              std::uint64_t{metadata_frame.size()}, stored_offset, std::uint64_t{stored_section.size()}})
    store_le<std::uint64_t>(out, field);
  store_le<std::uint32_t>(out, codec::crc32c(table));
  store_le<std::uint32_t>(out, 0);  // the header CRC, once the stack table is written
  for (const auto& stack : stacks) {
    store_le<std::uint64_t>(out, stack_offset);
    store_le<std::uint64_t>(out, stack.size());
    stack_offset += stack.size();
  }
  const std::uint32_t header_crc = codec::crc32c(std::span(out).subspan(kHeaderSize), codec::crc32c(std::span(out).first(68)));
  std::vector<std::uint8_t> crc;
  store_le<std::uint32_t>(crc, header_crc);
  std::copy(crc.begin(), crc.end(), out.begin() + 68);

  out.insert(out.end(), table.begin(), table.end());
  out.insert(out.end(), metadata_frame.begin(), metadata_frame.end());
  out.insert(out.end(), stored_section.begin(), stored_section.end());
  for (const auto& stack : stacks) out.insert(out.end(), stack.begin(), stack.end());
  return out;
}

}  // namespace qelvo::archive
