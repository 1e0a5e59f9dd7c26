#include "dicom/parse.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "dicom/byte_order.hpp"

namespace qelvo::dicom {
namespace {

constexpr std::uint32_t kUndefinedLength = 0xFFFFFFFF;
constexpr std::uint64_t kPreambleLength = 128;
constexpr std::string_view kMagic = "DICM";
constexpr std::uint64_t kDelimiterLength = 8;  // a delimiter or item header: tag and 32-bit length

// Value representations whose length is 32 bits, after two reserved bytes.
constexpr std::array<std::string_view, 11> kLongLengthVrs = {"OB", "OD", "OF", "OL", "OV", "OW",
                                                             "SQ", "UC", "UN", "UR", "UT"};

constexpr std::string_view kImplicitVrLittleUid = "1.2.840.10008.1.2";
constexpr std::string_view kExplicitVrBigUid = "1.2.840.10008.1.2.2";
constexpr std::string_view kDeflatedUid = "1.2.840.10008.1.2.1.99";

using Bytes = std::span<const std::uint8_t>;

struct Encoding {
  bool explicit_vr;
  bool big_endian;
};

Encoding encoding_of(TransferSyntax syntax) {
  return {syntax != TransferSyntax::ImplicitVrLittle, syntax == TransferSyntax::ExplicitVrBig};
}

struct ElementHeader {
  Tag tag;
  std::string_view vr;  // empty in implicit VR and for delimiters
  std::uint32_t length = 0;
  std::uint64_t size = 8;  // header bytes

  bool undefined() const { return length == kUndefinedLength; }
  bool delimiter_group() const { return tag.group == tags::kDelimiterGroup; }
};

std::unexpected<Error> unexpected_end(std::uint64_t offset) {
  return std::unexpected(Error{ErrorKind::UnexpectedEnd, offset, {}, ""});
}
std::unexpected<Error> malformed(Tag tag, std::uint64_t offset, const char* reason) {
  return std::unexpected(Error{ErrorKind::Malformed, offset, tag, reason});
}
std::unexpected<Error> too_deep(std::uint64_t offset) {
  return std::unexpected(Error{ErrorKind::TooDeep, offset, {}, ""});
}

bool upper(std::uint8_t c) { return c >= 'A' && c <= 'Z'; }

// At least n bytes remain from p; never overflows.
bool remains(Bytes data, std::uint64_t p, std::uint64_t n) { return p <= data.size() && data.size() - p >= n; }

std::expected<ElementHeader, Error> read_header(Bytes data, std::uint64_t p, Encoding e) {
  if (!remains(data, p, 8)) return unexpected_end(p);
  const std::uint8_t* at = data.data() + p;
  ElementHeader h;
  h.tag = {load<std::uint16_t>(at, e.big_endian), load<std::uint16_t>(at + 2, e.big_endian)};
  if (!e.explicit_vr || h.delimiter_group()) {
    h.length = load<std::uint32_t>(at + 4, e.big_endian);
    return h;
  }
  if (!upper(at[4]) || !upper(at[5])) return malformed(h.tag, p, "invalid value representation");
  h.vr = std::string_view(reinterpret_cast<const char*>(at + 4), 2);
  if (std::ranges::find(kLongLengthVrs, h.vr) == kLongLengthVrs.end()) {
    h.length = load<std::uint16_t>(at + 6, e.big_endian);
    return h;
  }
  if (!remains(data, p, 12)) return unexpected_end(p + 8);
  h.length = load<std::uint32_t>(at + 8, e.big_endian);
  h.size = 12;
  return h;
}

// The end of a defined-length value, or UnexpectedEnd at its first byte.
std::expected<std::uint64_t, Error> value_end(Bytes data, std::uint64_t p, const ElementHeader& h) {
  const std::uint64_t start = p + h.size;
  if (!remains(data, start, h.length)) return unexpected_end(start);
  return start + h.length;
}

// Undefined-length UN elements hold implicit little-endian data, whatever the file's encoding.
TransferSyntax nested_syntax(const ElementHeader& h, TransferSyntax syntax) {
  return h.vr == "UN" ? TransferSyntax::ImplicitVrLittle : syntax;
}

// Walks the elements of an undefined-length item from r; returns the offset past its delimiter.
std::expected<std::uint64_t, Error> skip_item(Bytes data, std::uint64_t r, TransferSyntax syntax, unsigned depth) {
  const Encoding e = encoding_of(syntax);
  while (true) {
    auto h = read_header(data, r, e);
    if (!h) return std::unexpected(h.error());
    if (h->tag == tags::kItemDelimiter) return r + kDelimiterLength;
    if (h->delimiter_group()) return malformed(h->tag, r, "unexpected delimiter in an item");
    auto end = h->undefined() ? skip_sequence(data, r + h->size, nested_syntax(*h, syntax), depth + 2)
                              : value_end(data, r, *h);
    if (!end) return end;
    r = *end;
  }
}

// Walks encapsulated pixel data from its first item; returns the offset past its delimiter.
std::expected<std::uint64_t, Error> scan_fragments(Bytes data, std::uint64_t q, Encoding e) {
  while (true) {
    auto h = read_header(data, q, e);
    if (!h) return std::unexpected(h.error());
    if (h->tag == tags::kSequenceDelimiter) return q + kDelimiterLength;
    if (h->tag != tags::kItem || h->undefined()) return malformed(h->tag, q, "expected a pixel data fragment");
    auto end = value_end(data, q, *h);
    if (!end) return end;
    q = *end;
  }
}

// Explicit VR is recognised by two upper-case letters where an implicit element has its length.
bool looks_explicit(Bytes data, std::uint64_t p) { return remains(data, p, 6) && upper(data[p + 4]) && upper(data[p + 5]); }

TransferSyntax syntax_of(const std::optional<std::string>& uid, Bytes data, std::uint64_t dataset_offset) {
  if (!uid) return looks_explicit(data, dataset_offset) ? TransferSyntax::ExplicitVrLittle : TransferSyntax::ImplicitVrLittle;
  if (*uid == kImplicitVrLittleUid) return TransferSyntax::ImplicitVrLittle;
  if (*uid == kExplicitVrBigUid) return TransferSyntax::ExplicitVrBig;
  if (*uid == kDeflatedUid) return TransferSyntax::DeflatedExplicitVrLittle;
  // Explicit VR little endian, and every encapsulated syntax: encapsulation shows in the pixel data.
  return TransferSyntax::ExplicitVrLittle;
}

// The file meta group, always little endian; returns the offset just past it.
std::expected<std::uint64_t, Error> read_meta(Bytes data, std::uint64_t p, Attributes& a) {
  const Encoding e{looks_explicit(data, p), false};
  while (remains(data, p, 2) && load_le<std::uint16_t>(data.data() + p) == tags::kMetaGroup) {
    auto h = read_header(data, p, e);
    if (!h) return std::unexpected(h.error());
    if (h->undefined()) return malformed(h->tag, p, "undefined length in file meta information");
    auto end = value_end(data, p, *h);
    if (!end) return end;
    const Bytes value = data.subspan(p + h->size, h->length);
    // The data set's SOP Class and Instance UIDs replace these later; here the first non-empty one wins.
    if (h->tag == tags::kMediaStorageSopClassUid && !a.sop_class_uid) a.sop_class_uid = text(value);
    if (h->tag == tags::kMediaStorageSopInstanceUid && !a.sop_instance_uid) a.sop_instance_uid = text(value);
    if (h->tag == tags::kTransferSyntaxUid) a.transfer_syntax_uid = text(value);
    p = *end;
  }
  return p;
}

bool float_pixels(Tag tag) { return tag == tags::kFloatPixelData || tag == tags::kDoubleFloatPixelData; }

// The top level of the data set: collects attributes and records the first Pixel Data element.
std::expected<void, Error> read_dataset(Bytes data, ParsedFile& file) {
  const Encoding e = encoding_of(file.syntax);
  std::uint64_t p = file.dataset_offset;
  while (p < data.size()) {
    auto h = read_header(data, p, e);
    if (!h) return std::unexpected(h.error());
    if (float_pixels(h->tag)) file.float_pixel_data = true;
    const bool first_pixel_data = h->tag == tags::kPixelData && file.pixel_data.kind == PixelDataKind::Absent;
    if (h->tag == tags::kPixelData && h->undefined()) {
      auto end = scan_fragments(data, p + h->size, e);
      if (!end) return std::unexpected(end.error());
      if (first_pixel_data) file.pixel_data = {p, p + h->size, *end, PixelDataKind::Encapsulated};
      p = *end;
    } else if (h->delimiter_group()) {
      return malformed(h->tag, p, "delimiter outside a sequence");
    } else if (h->undefined()) {
      auto end = skip_sequence(data, p + h->size, nested_syntax(*h, file.syntax), 1);
      if (!end) return std::unexpected(end.error());
      p = *end;
    } else {
      auto end = value_end(data, p, *h);
      if (!end) return std::unexpected(end.error());
      collect(file.attributes, h->tag, data.subspan(p + h->size, h->length), e.big_endian);
      if (first_pixel_data) file.pixel_data = {p, p + h->size, *end, PixelDataKind::Native};
      p = *end;
    }
  }
  return {};
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

std::expected<std::uint64_t, Error> skip_sequence(Bytes data, std::uint64_t start, TransferSyntax syntax,
                                                  unsigned depth) {
  if (depth > kMaxDepth) return too_deep(start);
  const Encoding e = encoding_of(syntax);
  std::uint64_t q = start;
  while (true) {
    auto h = read_header(data, q, e);
    if (!h) return std::unexpected(h.error());
    if (h->tag == tags::kSequenceDelimiter) return q + kDelimiterLength;
    if (h->tag != tags::kItem) return malformed(h->tag, q, "expected an item in a sequence");
    if (!h->undefined()) {
      auto end = value_end(data, q, *h);
      if (!end) return end;
      q = *end;
      continue;
    }
    if (depth + 1 > kMaxDepth) return too_deep(q + kDelimiterLength);
    auto end = skip_item(data, q + kDelimiterLength, syntax, depth);
    if (!end) return end;
    q = *end;
  }
}

std::expected<ParsedFile, Error> parse(Bytes data) {
  ParsedFile file;
  std::uint64_t meta_start = 0;
  const bool preamble = data.size() >= kPreambleLength + kMagic.size() &&
                        std::ranges::equal(data.subspan(kPreambleLength, kMagic.size()), kMagic);
  if (preamble) {
    file.has_preamble = true;
    meta_start = kPreambleLength + kMagic.size();
  }
  // Without a preamble, a file meta group shows as group 0x0002 little endian at the start.
  const bool meta = preamble || (data.size() >= 2 && load_le<std::uint16_t>(data.data()) == tags::kMetaGroup);
  if (meta) {
    auto end = read_meta(data, meta_start, file.attributes);
    if (!end) return std::unexpected(end.error());
    file.dataset_offset = *end;
  }
  file.syntax = syntax_of(file.attributes.transfer_syntax_uid, data, file.dataset_offset);
  if (file.syntax == TransferSyntax::DeflatedExplicitVrLittle) return file;
  if (auto walked = read_dataset(data, file); !walked) return std::unexpected(walked.error());
  return file;
}

}  // namespace qelvo::dicom
