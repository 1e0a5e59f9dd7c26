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

inline constexpr unsigned kMaxDepth = 32;

enum class TransferSyntax : std::uint8_t { ImplicitVrLittle, ExplicitVrLittle, ExplicitVrBig, DeflatedExplicitVrLittle };
enum class PixelDataKind : std::uint8_t { Absent, Native, Encapsulated };

struct PixelDataSpan {
  std::uint64_t element_offset = 0;
  std::uint64_t value_offset = 0;  // Encapsulated: the first item tag
  std::uint64_t value_end = 0;     // Encapsulated: just past the sequence delimitation item
  PixelDataKind kind = PixelDataKind::Absent;
};

struct ParsedFile {
  Attributes attributes;
  PixelDataSpan pixel_data;
  std::uint64_t dataset_offset = 0;
  bool has_preamble = false;
  bool float_pixel_data = false;
  TransferSyntax syntax = TransferSyntax::ImplicitVrLittle;
};

enum class ErrorKind : std::uint8_t { UnexpectedEnd, Malformed, TooDeep };

struct Error {
  ErrorKind kind;
  std::uint64_t offset = 0;
  Tag tag;                    // Malformed only
  const char* reason = "";    // Malformed only

  std::string display() const;
};

std::expected<ParsedFile, Error> parse(std::span<const std::uint8_t> data);

// Skips an undefined-length sequence whose value starts at `start`; returns the offset just past
// its delimiter.
std::expected<std::uint64_t, Error> skip_sequence(std::span<const std::uint8_t> data, std::uint64_t start,
                                                  TransferSyntax syntax, unsigned depth);

}  // namespace qelvo::dicom
