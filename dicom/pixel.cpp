#include "dicom/pixel.hpp"

#include <algorithm>

#include "common/internal_error.hpp"
#include "dicom/byte_order.hpp"

namespace qelvo::dicom {
namespace {

std::unexpected<PixelError> unsupported(const char* reason) {
  return std::unexpected(PixelError{PixelErrorKind::Unsupported, reason});
}

// Calls f(i, word) for each of `count` words; the word form is fixed outside the loop so that the
// loop body stays simple enough to vectorise.
template <typename F>
void for_each_word(const PixelLayout& l, const std::uint8_t* bytes, std::size_t count, F&& f) {
  if (l.bits_allocated == 8) {
    for (std::size_t i = 0; i < count; ++i) f(i, std::uint32_t{bytes[i]});
  } else if (l.big_endian) {
    for (std::size_t i = 0; i < count; ++i) f(i, std::uint32_t{load_be<std::uint16_t>(bytes + 2 * i)});
  } else {
    for (std::size_t i = 0; i < count; ++i) f(i, std::uint32_t{load_le<std::uint16_t>(bytes + 2 * i)});
  }
}

// Writes word_of(i) for each of `count` words in the layout's byte order.
template <typename F>
void write_words(const PixelLayout& l, std::uint8_t* out, std::size_t count, F&& word_of) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t word = word_of(i);
    if (l.bits_allocated == 8) {
      out[i] = static_cast<std::uint8_t>(word);
    } else {
      const auto high = static_cast<std::uint8_t>(word >> 8), low = static_cast<std::uint8_t>(word);
      out[2 * i] = l.big_endian ? high : low;
      out[2 * i + 1] = l.big_endian ? low : high;
    }
  }
}

// Where the stored bits sit in a word, and what sign extension puts above them.
struct StoredBits {
  unsigned shift;
  std::uint32_t mask;  // of the stored bits, before shifting
  std::uint32_t sign;  // the sign bit of the stored bits, before shifting
  std::uint32_t fill;  // the bits above the high bit
  bool is_signed;

  explicit StoredBits(const PixelLayout& l)
      : shift(l.shift()),
        mask((std::uint32_t{1} << l.bits_stored) - 1),
        sign(std::uint32_t{1} << (l.bits_stored - 1)),
        fill(((std::uint32_t{1} << l.bits_allocated) - 1) & ~((std::uint32_t{2} << l.high_bit) - 1)),
        is_signed(l.is_signed) {}

  bool negative(std::uint32_t stored) const { return is_signed && (stored & sign) != 0; }
  std::int32_t value(std::uint32_t stored) const {
    return negative(stored) ? static_cast<std::int32_t>(stored) - static_cast<std::int32_t>(mask + 1)
                            : static_cast<std::int32_t>(stored);
  }
};

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
  std::uint64_t size = 0;
  const bool overflow = __builtin_mul_overflow(std::uint64_t{*a.columns} * *a.rows, std::uint64_t{frames} * (allocated / 8), &size);
  if (overflow || size >= (std::uint64_t{1} << 63)) return unsupported("pixel data larger than addressable memory");
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
  const std::size_t count = l.sample_count();
  const StoredBits bits(l);
  Samples out;
  out.values.resize(count);
  // The conventions are decided by two running tests over every word.
  bool zero = true, sign_extended = l.is_signed;
  for_each_word(l, bytes.data(), count, [&](std::size_t i, std::uint32_t w) {
    const std::uint32_t s = (w >> bits.shift) & bits.mask;
    out.values[i] = bits.value(s);
    zero &= w == (s << bits.shift);
    sign_extended &= w == ((s << bits.shift) | (bits.negative(s) ? bits.fill : 0));
  });
  out.convention = zero ? BitConvention::Zero : sign_extended ? BitConvention::SignExtended : BitConvention::Irregular;
  if (out.convention == BitConvention::Irregular) {
    std::vector<std::uint16_t> plane(count);
    for_each_word(l, bytes.data(), count, [&](std::size_t i, std::uint32_t w) {
      plane[i] = static_cast<std::uint16_t>(w ^ (((w >> bits.shift) & bits.mask) << bits.shift));
    });
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
  const bool sign_extended = samples.convention == BitConvention::SignExtended;
  const StoredBits bits(l);
  std::vector<std::uint8_t> out(count * width + samples.tail.size());
  write_words(l, out.data(), count, [&](std::size_t i) {
    const std::int32_t v = samples.values[i];
    std::uint32_t word = (static_cast<std::uint32_t>(v) & bits.mask) << bits.shift;
    if (sign_extended && v < 0) word |= bits.fill;
    if (irregular) word ^= (*samples.plane)[i];
    return word;
  });
  std::ranges::copy(samples.tail, out.begin() + static_cast<std::ptrdiff_t>(count * width));
  return out;
}

}  // namespace qelvo::dicom
