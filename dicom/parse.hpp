#pragma once
// A forward-only walk over a DICOM file (Part 10 file or bare data set): where the data set
// begins, its encoding, where the top-level Pixel Data value lies, and a few attribute values.
// No element tree is built and no value bytes are copied beyond the collected attributes.
#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "dicom/attrs.hpp"
#include "dicom/tag.hpp"

namespace qelvo::dicom {

// Sequences and items together: each nested sequence inside an item adds two levels.
inline constexpr unsigned kMaxDepth = 32;

// The encodings the reader tells apart. A deflated data set is not walked.
enum class TransferSyntax : std::uint8_t {
  ImplicitVrLittle = 0,
  ExplicitVrLittle = 1,
  ExplicitVrBig = 2,  // tags, lengths and binary values byte-swapped
  DeflatedExplicitVrLittle = 3,
};

// Native: the top-level Pixel Data has a defined length; Encapsulated: it has undefined length and
// holds fragments; Absent: there is none at the top level (or the data set was not walked).
enum class PixelDataKind : std::uint8_t { Native = 0, Encapsulated = 1, Absent = 2 };

// Where the first top-level Pixel Data element lies, as offsets into the input; meaningful only
// when `kind` is not Absent.
struct PixelDataSpan {
  std::uint64_t element_offset = 0;  // the element's tag
  std::uint64_t value_offset = 0;    // the first value byte; Encapsulated: the first item tag
  std::uint64_t value_end = 0;       // just past the value; Encapsulated: past the sequence delimiter
  PixelDataKind kind = PixelDataKind::Absent;
};

struct ParsedFile {
  Attributes attributes;
  PixelDataSpan pixel_data;
  std::uint64_t dataset_offset = 0;  // 0 for a bare data set, else just past the file meta group
  bool has_preamble = false;         // 128 bytes of preamble and "DICM"
  bool float_pixel_data = false;     // a top-level Float or Double Float Pixel Data element was met
  TransferSyntax syntax = TransferSyntax::ImplicitVrLittle;
};

enum class ErrorKind : std::uint8_t { UnexpectedEnd, Malformed, TooDeep };

// Why a file could not be walked; offsets are relative to the first byte of the input.
struct Error {
  ErrorKind kind = ErrorKind::UnexpectedEnd;
  std::uint64_t offset = 0;
  Tag tag;                  // Malformed only
  const char* reason = "";  // Malformed only

  std::string display() const;
};

std::expected<ParsedFile, Error> parse(std::span<const std::uint8_t> data);

// Skips an undefined-length sequence whose value starts at `start`, `depth` levels deep (1 at the
// top level); returns the offset just past its delimiter.
std::expected<std::uint64_t, Error> skip_sequence(std::span<const std::uint8_t> data, std::uint64_t start,
                                                  TransferSyntax syntax, unsigned depth);

}  // namespace qelvo::dicom
