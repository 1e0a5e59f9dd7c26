#include "dicom/parse.hpp"

#include <cstring>
#include <string_view>

#include "common/bytes.hpp"

namespace qelvo::dicom {
namespace {

constexpr std::uint32_t kUndefinedLength = 0xFFFFFFFF;
constexpr std::uint16_t kItemGroup = 0xFFFE;
constexpr std::uint16_t kItem = 0xE000, kItemEnd = 0xE00D, kSequenceEnd = 0xE0DD;
constexpr std::uint16_t kPixelGroup = 0x7FE0;
constexpr std::uint16_t kPixelData = 0x0010, kFloatPixelData = 0x0008, kDoubleFloatPixelData = 0x0009;
constexpr std::uint16_t kMetaGroup = 0x0002;
constexpr std::size_t kPreamble = 128;

struct Encoding {
  bool explicit_vr;
  bool big_endian;
};

Encoding encoding_of(TransferSyntax syntax) {
  return {syntax != TransferSyntax::ImplicitVrLittle, syntax == TransferSyntax::ExplicitVrBig};
}

struct ElementHeader {
  Tag tag;
  char vr[2] = {0, 0};
  std::uint32_t length = 0;
  std::uint64_t size = 8;  // header bytes

  bool undefined() const { return length == kUndefinedLength; }
  bool is(std::uint16_t group, std::uint16_t element) const { return tag.group == group && tag.element == element; }
  bool vr_is(const char* name) const { return vr[0] == name[0] && vr[1] == name[1]; }
};

std::unexpected<Error> unexpected_end(std::uint64_t offset) { return std::unexpected(Error{ErrorKind::UnexpectedEnd, offset, {}, ""}); }
std::unexpected<Error> malformed(Tag tag, std::uint64_t offset, const char* reason) {
  return std::unexpected(Error{ErrorKind::Malformed, offset, tag, reason});
}
std::unexpected<Error> too_deep(std::uint64_t offset) { return std::unexpected(Error{ErrorKind::TooDeep, offset, {}, ""}); }

bool upper(std::uint8_t c) { return c >= 'A' && c <= 'Z'; }

bool long_length_vr(const char* vr) {
  static constexpr std::string_view kLong[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ", "UC", "UN", "UR", "UT"};
  for (std::string_view name : kLong)
    if (name[0] == vr[0] && name[1] == vr[1]) return true;
  return false;
}

template <typename T>
T load(const std::uint8_t* p, bool big_endian) {
  const T little = load_le<T>(p);
  return big_endian ? static_cast<T>(__builtin_bswap32(static_cast<std::uint32_t>(little)) >> (32 - 8 * sizeof(T)))
                    : little;
}

bool remains(std::span<const std::uint8_t> data, std::uint64_t p, std::uint64_t n) {
  return p <= data.size() && data.size() - p >= n;
}

std::expected<ElementHeader, Error> read_header(std::span<const std::uint8_t> data, std::uint64_t p, Encoding e) {
  if (!remains(data, p, 8)) return unexpected_end(p);
  const std::uint8_t* at = data.data() + p;
  ElementHeader h;
  h.tag = {load<std::uint16_t>(at, e.big_endian), load<std::uint16_t>(at + 2, e.big_endian)};
  if (!e.explicit_vr || h.tag.group == kItemGroup) {
    h.length = load<std::uint32_t>(at + 4, e.big_endian);
    return h;
  }
  if (!upper(at[4]) || !upper(at[5])) return malformed(h.tag, p, "invalid value representation");
  h.vr[0] = static_cast<char>(at[4]);
  h.vr[1] = static_cast<char>(at[5]);
  if (long_length_vr(h.vr)) {
    if (!remains(data, p, 12)) return unexpected_end(p + 8);
    h.length = load<std::uint32_t>(at + 8, e.big_endian);
    h.size = 12;
  } else {
    h.length = load<std::uint16_t>(at + 6, e.big_endian);
  }
  return h;
}

// The end of a defined-length value, or UnexpectedEnd at its first byte.
std::expected<std::uint64_t, Error> value_end(std::span<const std::uint8_t> data, std::uint64_t p,
                                              const ElementHeader& h) {
  const std::uint64_t start = p + h.size;
  if (!remains(data, start, h.length)) return unexpected_end(start);
  return start + h.length;
}

// Undefined-length UN elements hold implicit little-endian data, whatever the file's encoding.
TransferSyntax nested_syntax(const ElementHeader& h, TransferSyntax syntax) {
  return h.vr_is("UN") ? TransferSyntax::ImplicitVrLittle : syntax;
}

std::expected<std::uint64_t, Error> skip_item(std::span<const std::uint8_t> data, std::uint64_t r, TransferSyntax syntax,
                                              unsigned depth) {
  const Encoding e = encoding_of(syntax);
  while (true) {
    auto h = read_header(data, r, e);
    if (!h) return std::unexpected(h.error());
    if (h->is(kItemGroup, kItemEnd)) return r + 8;
    if (h->tag.group == kItemGroup) return malformed(h->tag, r, "unexpected delimiter in an item");
    if (h->undefined()) {
      auto end = skip_sequence(data, r + h->size, nested_syntax(*h, syntax), depth + 2);
      if (!end) return end;
      r = *end;
      continue;
    }
    auto end = value_end(data, r, *h);
    if (!end) return end;
    r = *end;
  }
}

// Walks encapsulated pixel data from its first item; returns the offset past its delimiter.
std::expected<std::uint64_t, Error> scan_fragments(std::span<const std::uint8_t> data, std::uint64_t q, Encoding e) {
  while (true) {
    auto h = read_header(data, q, e);
    if (!h) return std::unexpected(h.error());
    if (h->is(kItemGroup, kSequenceEnd)) return q + 8;
    if (!h->is(kItemGroup, kItem) || h->undefined()) return malformed(h->tag, q, "expected a pixel data fragment");
    if (!remains(data, q + 8, h->length)) return unexpected_end(q + 8);
    q += 8 + h->length;
  }
}

bool explicit_vr_at(std::span<const std::uint8_t> data, std::uint64_t p) {
  return remains(data, p, 6) && upper(data[p + 4]) && upper(data[p + 5]);
}

TransferSyntax syntax_of(const std::optional<std::string>& uid, std::span<const std::uint8_t> data, std::uint64_t at) {
  if (!uid) return explicit_vr_at(data, at) ? TransferSyntax::ExplicitVrLittle : TransferSyntax::ImplicitVrLittle;
  if (*uid == "1.2.840.10008.1.2") return TransferSyntax::ImplicitVrLittle;
  if (*uid == "1.2.840.10008.1.2.2") return TransferSyntax::ExplicitVrBig;
  if (*uid == "1.2.840.10008.1.2.1.99") return TransferSyntax::DeflatedExplicitVrLittle;
  return TransferSyntax::ExplicitVrLittle;
}

// The file meta group: always little endian; returns the offset just past it.
std::expected<std::uint64_t, Error> read_meta(std::span<const std::uint8_t> data, std::uint64_t p, Attributes& a) {
  const Encoding e{explicit_vr_at(data, p), false};
  while (p < data.size() && data.size() - p >= 2 && load_le<std::uint16_t>(data.data() + p) == kMetaGroup) {
    auto h = read_header(data, p, e);
    if (!h) return std::unexpected(h.error());
    if (h->undefined()) return malformed(h->tag, p, "undefined length in file meta information");
    auto end = value_end(data, p, *h);
    if (!end) return end;
    const auto value = data.subspan(p + h->size, h->length);
    if (h->is(kMetaGroup, 0x0002) && !a.sop_class_uid) a.sop_class_uid = text(value);
    if (h->is(kMetaGroup, 0x0003) && !a.sop_instance_uid) a.sop_instance_uid = text(value);
    if (h->is(kMetaGroup, 0x0010)) a.transfer_syntax_uid = text(value);
    p = *end;
  }
  return p;
}

std::optional<Error> read_dataset(std::span<const std::uint8_t> data, ParsedFile& file) {
  const Encoding e = encoding_of(file.syntax);
  std::uint64_t p = file.dataset_offset;
  while (p < data.size()) {
    auto h = read_header(data, p, e);
    if (!h) return h.error();
    if (h->tag.group == kPixelGroup && (h->tag.element == kFloatPixelData || h->tag.element == kDoubleFloatPixelData))
      file.float_pixel_data = true;
    const bool pixel_data = h->is(kPixelGroup, kPixelData);
    if (pixel_data && h->undefined()) {
      auto end = scan_fragments(data, p + h->size, e);
      if (!end) return end.error();
      if (file.pixel_data.kind == PixelDataKind::Absent)
        file.pixel_data = {p, p + h->size, *end, PixelDataKind::Encapsulated};
      p = *end;
    } else if (h->tag.group == kItemGroup) {
      return Error{ErrorKind::Malformed, p, h->tag, "delimiter outside a sequence"};
    } else if (h->undefined()) {
      auto end = skip_sequence(data, p + h->size, nested_syntax(*h, file.syntax), 1);
      if (!end) return end.error();
      p = *end;
    } else {
      auto end = value_end(data, p, *h);
      if (!end) return end.error();
      collect(file.attributes, h->tag.group, h->tag.element, data.subspan(p + h->size, h->length), e.big_endian);
      if (pixel_data && file.pixel_data.kind == PixelDataKind::Absent)
        file.pixel_data = {p, p + h->size, *end, PixelDataKind::Native};
      p = *end;
    }
  }
  return std::nullopt;
}

}  // namespace

std::string Error::display() const {
  switch (kind) {
    case ErrorKind::UnexpectedEnd: return "unexpected end of data at offset " + std::to_string(offset);
    case ErrorKind::Malformed:
      return "malformed element " + tag.display() + " at offset " + std::to_string(offset) + ": " + reason;
    case ErrorKind::TooDeep:
      return "sequences nested deeper than " + std::to_string(kMaxDepth) + " levels at offset " + std::to_string(offset);
  }
  return {};
}

std::expected<std::uint64_t, Error> skip_sequence(std::span<const std::uint8_t> data, std::uint64_t start,
                                                  TransferSyntax syntax, unsigned depth) {
  if (depth > kMaxDepth) return too_deep(start);
  const Encoding e = encoding_of(syntax);
  std::uint64_t q = start;
  while (true) {
    auto h = read_header(data, q, e);
    if (!h) return std::unexpected(h.error());
    if (h->tag.group != kItemGroup || !(h->tag.element == kItem || h->tag.element == kSequenceEnd))
      return malformed(h->tag, q, "expected an item in a sequence");
    if (h->tag.element == kSequenceEnd) return q + 8;
    if (!h->undefined()) {
      if (!remains(data, q + 8, h->length)) return unexpected_end(q + 8);
      q += 8 + h->length;
      continue;
    }
    if (depth + 1 > kMaxDepth) return too_deep(q + 8);
    auto end = skip_item(data, q + 8, syntax, depth);
    if (!end) return end;
    q = *end;
  }
}

std::expected<ParsedFile, Error> parse(std::span<const std::uint8_t> data) {
  ParsedFile file;
  std::uint64_t meta_start = 0;
  bool has_meta = true;
  if (data.size() >= kPreamble + 4 && std::memcmp(data.data() + kPreamble, "DICM", 4) == 0) {
    file.has_preamble = true;
    meta_start = kPreamble + 4;
  } else if (!(data.size() >= 2 && data[0] == 0x02 && data[1] == 0x00)) {
    has_meta = false;
  }
  if (has_meta) {
    auto end = read_meta(data, meta_start, file.attributes);
    if (!end) return std::unexpected(end.error());
    file.dataset_offset = *end;
  }
  file.syntax = syntax_of(has_meta ? file.attributes.transfer_syntax_uid : std::nullopt, data, file.dataset_offset);
  if (file.syntax == TransferSyntax::DeflatedExplicitVrLittle) return file;
  if (auto fault = read_dataset(data, file)) return std::unexpected(*fault);
  return file;
}

}  // namespace qelvo::dicom
