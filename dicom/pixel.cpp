#include "dicom/pixel.hpp"

#include "common/internal_error.hpp"

namespace qelvo::dicom {
namespace {

std::unexpected<PixelError> unsupported(const char* reason) {
  return std::unexpected(PixelError{PixelErrorKind::Unsupported, reason});
}

std::uint32_t read_word(const std::uint8_t* p, const PixelLayout& l) {
  if (l.bits_allocated == 8) return p[0];
  return l.big_endian ? (std::uint32_t{p[0]} << 8) | p[1] : p[0] | (std::uint32_t{p[1]} << 8);
}

void write_word(std::uint8_t* p, std::uint32_t word, const PixelLayout& l) {
  if (l.bits_allocated == 8) {
    p[0] = static_cast<std::uint8_t>(word);
  } else if (l.big_endian) {
    p[0] = static_cast<std::uint8_t>(word >> 8);
    p[1] = static_cast<std::uint8_t>(word);
  } else {
    p[0] = static_cast<std::uint8_t>(word);
    p[1] = static_cast<std::uint8_t>(word >> 8);
  }
}

// The bits above the high bit of a word: what sign extension sets for a negative sample.
std::uint32_t high_fill(const PixelLayout& l) {
  return ((std::uint32_t{1} << l.bits_allocated) - 1) & ~((std::uint32_t{2} << l.high_bit) - 1);
}

}  // namespace

std::string PixelError::display() const {
  switch (kind) {
    case PixelErrorKind::MissingAttribute: return std::string("missing attribute ") + text;
    case PixelErrorKind::Unsupported: return std::string("unsupported pixel data: ") + text;
    case PixelErrorKind::SizeMismatch:
      return "pixel data has " + std::to_string(actual) + " bytes, " + std::to_string(expected) + " expected";
  }
  return {};
}

std::expected<PixelLayout, PixelError> PixelLayout::from_attributes(const Attributes& a, TransferSyntax syntax) {
  if (a.samples_per_pixel && *a.samples_per_pixel != 1) return unsupported("more than one sample per pixel");
  if (!a.rows) return std::unexpected(PixelError{PixelErrorKind::MissingAttribute, "Rows"});
  if (!a.columns) return std::unexpected(PixelError{PixelErrorKind::MissingAttribute, "Columns"});
  if (!a.bits_allocated) return std::unexpected(PixelError{PixelErrorKind::MissingAttribute, "BitsAllocated"});
  const std::uint16_t allocated = *a.bits_allocated;
  if (allocated != 8 && allocated != 16) return unsupported("bits allocated other than 8 or 16");
  const std::uint16_t stored = a.bits_stored.value_or(allocated);
  const std::uint16_t high = a.high_bit.value_or(stored == 0 ? 0 : stored - 1);
  if (stored < 1 || stored > allocated || high >= allocated || high + 1 < stored)
    return unsupported("inconsistent bits stored and high bit");
  const std::uint32_t frames = a.number_of_frames && *a.number_of_frames != 0 ? *a.number_of_frames : 1;
  if (*a.rows == 0 || *a.columns == 0) return unsupported("empty frame");
  unsigned __int128 bytes = static_cast<unsigned __int128>(*a.columns) * *a.rows * frames * (allocated / 8);
  if (bytes >= (static_cast<unsigned __int128>(1) << 63)) return unsupported("pixel data larger than addressable memory");
  return PixelLayout{*a.rows,
                     *a.columns,
                     frames,
                     static_cast<std::uint8_t>(allocated),
                     static_cast<std::uint8_t>(stored),
                     static_cast<std::uint8_t>(high),
                     a.pixel_representation == std::optional<std::uint16_t>(1),
                     syntax == TransferSyntax::ExplicitVrBig};
}

std::expected<Samples, PixelError> PixelLayout::extract(const PixelLayout& l, std::span<const std::uint8_t> bytes) {
  const std::uint64_t expected = l.expected_size();
  if (bytes.size() < expected)
    return std::unexpected(PixelError{PixelErrorKind::SizeMismatch, "", expected, bytes.size()});
  const std::size_t count = l.sample_count(), width = l.bits_allocated / 8;
  const unsigned shift = l.shift();
  const std::uint32_t mask = (std::uint32_t{1} << l.bits_stored) - 1, fill = high_fill(l);
  const std::uint32_t sign_bit = std::uint32_t{1} << (l.bits_stored - 1);
  Samples out;
  out.values.resize(count);
  bool zero = true, sign = l.is_signed;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t w = read_word(bytes.data() + i * width, l);
    const std::uint32_t s = (w >> shift) & mask;
    const bool negative = l.is_signed && (s & sign_bit) != 0;
    out.values[i] = negative ? static_cast<std::int32_t>(s) - static_cast<std::int32_t>(mask + 1) : static_cast<std::int32_t>(s);
    zero &= w == (s << shift);
    sign &= w == ((s << shift) | (negative ? fill : 0));
  }
  out.convention = zero ? BitConvention::Zero : sign ? BitConvention::SignExtended : BitConvention::Irregular;
  if (out.convention == BitConvention::Irregular) {
    std::vector<std::uint16_t> plane(count);
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint32_t w = read_word(bytes.data() + i * width, l);
      plane[i] = static_cast<std::uint16_t>(w ^ (((w >> shift) & mask) << shift));
    }
    out.plane = std::move(plane);
  }
  out.tail.assign(bytes.begin() + static_cast<std::ptrdiff_t>(expected), bytes.end());
  return out;
}

std::vector<std::uint8_t> PixelLayout::reconstruct(const PixelLayout& l, const Samples& samples) {
  const std::size_t count = l.sample_count(), width = l.bits_allocated / 8;
  if (samples.values.size() != count) internal_error("sample count does not match the layout");
  const bool irregular = samples.convention == BitConvention::Irregular;
  if (irregular && !samples.plane) internal_error("irregular convention without its plane");
  if (irregular && samples.plane->size() != count) internal_error("irregular plane does not match the layout");
  const unsigned shift = l.shift();
  const std::uint32_t mask = (std::uint32_t{1} << l.bits_stored) - 1, fill = high_fill(l);
  std::vector<std::uint8_t> out(count * width + samples.tail.size());
  for (std::size_t i = 0; i < count; ++i) {
    const std::int32_t v = samples.values[i];
    std::uint32_t word = (static_cast<std::uint32_t>(v) & mask) << shift;
    if (samples.convention == BitConvention::SignExtended && v < 0) word |= fill;
    if (irregular) word ^= (*samples.plane)[i];
    write_word(out.data() + i * width, word, l);
  }
  std::copy(samples.tail.begin(), samples.tail.end(), out.begin() + static_cast<std::ptrdiff_t>(count * width));
  return out;
}

}  // namespace qelvo::dicom
