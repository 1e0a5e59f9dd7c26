#pragma once
// Native pixel data split losslessly into what the volume codec codes (each sample's stored bits)
// and the little needed to put every other bit back: trailing bytes, and a plane of leftover bits
// when the words follow no simple convention.
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dicom/attrs.hpp"
#include "dicom/parse.hpp"

namespace qelvo::dicom {

// How the bits outside the stored range are filled, for a whole instance.
enum class BitConvention : std::uint8_t { Zero = 0, SignExtended = 1, Irregular = 2 };

struct Samples {
  std::vector<std::int32_t> values;                  // each sample's stored bits, sign-extended when signed
  std::vector<std::uint8_t> tail;                    // value bytes beyond the samples (a pad byte, say)
  std::optional<std::vector<std::uint16_t>> plane;   // Irregular only: word XOR (stored bits << shift)
  BitConvention convention = BitConvention::Zero;
};

enum class PixelErrorKind : std::uint8_t { MissingAttribute, Unsupported, SizeMismatch };

struct PixelError {
  PixelErrorKind kind;
  const char* text = "";  // MissingAttribute: the keyword; Unsupported: the reason
  std::uint64_t expected = 0;
  std::uint64_t actual = 0;

  std::string display() const;
};

struct PixelLayout {
  std::uint32_t rows = 0;
  std::uint32_t columns = 0;
  std::uint32_t frames = 0;
  std::uint8_t bits_allocated = 0;
  std::uint8_t bits_stored = 0;
  std::uint8_t high_bit = 0;
  bool is_signed = false;
  bool big_endian = false;

  static std::expected<PixelLayout, PixelError> from_attributes(const Attributes& attributes, TransferSyntax syntax);
  static std::expected<Samples, PixelError> extract(const PixelLayout& layout, std::span<const std::uint8_t> bytes);
  static std::vector<std::uint8_t> reconstruct(const PixelLayout& layout, const Samples& samples);

  std::uint64_t sample_count() const { return std::uint64_t{rows} * columns * frames; }
  std::uint64_t expected_size() const { return sample_count() * (bits_allocated / 8); }
  unsigned shift() const { return high_bit + 1u - bits_stored; }
  bool operator==(const PixelLayout&) const = default;
};

}  // namespace qelvo::dicom
