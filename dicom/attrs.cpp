#include "dicom/attrs.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include "dicom/byte_order.hpp"

namespace qelvo::dicom {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence at `i`, or 0 with `skip` set to the bytes of the maximal
// invalid subpart that one U+FFFD replaces.
std::size_t utf8_sequence(std::span<const std::uint8_t> s, std::size_t i, std::size_t& skip) {
  const std::uint8_t lead = s[i];
  skip = 1;
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  std::uint8_t low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k < length; ++k) {
    const bool in_range = i + k < s.size() && s[i + k] >= (k == 1 ? low : 0x80) && s[i + k] <= (k == 1 ? high : 0xBF);
    if (!in_range) {
      skip = k;
      return 0;
    }
  }
  return length;
}

bool is_padding(char c) { return c == '\0' || c == ' '; }

std::string_view trim_trailing_padding(std::string_view s) {
  while (!s.empty() && is_padding(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view trim_padding(std::string_view s) {
  s = trim_trailing_padding(s);
  while (!s.empty() && is_padding(s.front())) s.remove_prefix(1);
  return s;
}

// Length of the Unicode white-space character at the start of `s`, 0 if there is none.
std::size_t white_space_at(std::string_view s) {
  static constexpr std::string_view kWide[] = {
      "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
      "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
      "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
      "\xE3\x80\x80"};
  if (s.empty()) return 0;
  if (s[0] == ' ' || (s[0] >= '\t' && s[0] <= '\r')) return 1;
  for (std::string_view w : kWide)
    if (s.starts_with(w)) return w.size();
  return 0;
}

std::size_t white_space_before(std::string_view s) {
  for (std::size_t n : {1, 2, 3})
    if (s.size() >= n && white_space_at(s.substr(s.size() - n)) == n) return n;
  return 0;
}

std::string_view trim_white_space(std::string_view s) {
  while (std::size_t n = white_space_at(s)) s.remove_prefix(n);
  while (std::size_t n = white_space_before(s)) s.remove_suffix(n);
  return s;
}

std::string_view first_piece(std::string_view s) { return s.substr(0, s.find('\\')); }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether a well-formed unsigned decimal that does not fit a double is too large rather than too
// small: the place value of its leading significant digit is at least 10^0.
bool overflows(std::string_view body) {
  const std::size_t e = std::min(body.find_first_of("eE"), body.size());
  const std::string_view mantissa = body.substr(0, e);
  const std::size_t first = mantissa.find_first_of("123456789");
  if (first == std::string_view::npos) return false;
  const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
  const std::int64_t place = static_cast<std::int64_t>(point) - static_cast<std::int64_t>(first) - (first < point ? 1 : 0);
  std::string_view digits = e < body.size() ? body.substr(e + 1) : std::string_view();
  const bool negative = !digits.empty() && digits[0] == '-';
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
  // Clamped far beyond any place a value of 2^32 bytes can have, so the sum keeps its sign.
  constexpr std::int64_t kLimit = 1'000'000'000'000'000;
  std::int64_t exponent = 0;
  for (char c : digits) exponent = std::min<std::int64_t>(exponent * 10 + (c - '0'), kLimit);
  return place + (negative ? -exponent : exponent) >= 0;
}

// A decimal number: sign, digits with an optional point (digits on at least one side), an
// optional exponent. Parsed without locale; nullopt for anything else or a non-finite result.
std::optional<double> parse_decimal(std::string_view s) {
  std::size_t i = 0;
  const bool negative = i < s.size() && s[i] == '-';
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  const std::size_t mantissa_start = i;
  std::size_t digits = 0;
  while (i < s.size() && is_digit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    const std::size_t exponent_digits = i;
    while (i < s.size() && is_digit(s[i])) ++i;
    if (i == exponent_digits) return std::nullopt;
  }
  if (i != s.size()) return std::nullopt;
  const std::string_view body = s.substr(mantissa_start);
  double value = 0;
  const auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
  if (end != body.data() + body.size()) return std::nullopt;
  if (ec == std::errc::result_out_of_range) {
    // Too small a number underflows to zero; too large a one would be infinite, which is refused.
    if (overflows(body)) return std::nullopt;
    value = 0;
  } else if (ec != std::errc() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

}  // namespace

std::string lossy_utf8(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t skip = 0;
    const std::size_t length = utf8_sequence(bytes, i, skip);
    if (length == 0) {
      out += kReplacement;
      i += skip;
    } else {
      out.append(reinterpret_cast<const char*>(bytes.data() + i), length);
      i += length;
    }
  }
  return out;
}

std::optional<std::string> strict_utf8(std::span<const std::uint8_t> bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t skip = 0;
    const std::size_t length = utf8_sequence(bytes, i, skip);
    if (length == 0) return std::nullopt;
    i += length;
  }
  return std::string(bytes.begin(), bytes.end());
}

std::optional<std::string> text(std::span<const std::uint8_t> value) {
  const std::string decoded = lossy_utf8(value);
  std::string_view s = trim_trailing_padding(decoded);
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  return std::string(s);
}

std::optional<std::int64_t> integer(std::span<const std::uint8_t> value) {
  const auto decoded = strict_utf8(value);
  if (!decoded) return std::nullopt;
  std::string_view s = trim_padding(first_piece(*decoded));
  const bool negative = !s.empty() && s[0] == '-';
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::uint64_t magnitude = 0;
  for (char c : s) {
    if (!is_digit(c)) return std::nullopt;
    if (__builtin_mul_overflow(magnitude, std::uint64_t{10}, &magnitude) ||
        __builtin_add_overflow(magnitude, static_cast<std::uint64_t>(c - '0'), &magnitude))
      return std::nullopt;
  }
  constexpr std::uint64_t kMaxPositive = std::numeric_limits<std::int64_t>::max();
  if (negative) {
    if (magnitude > kMaxPositive + 1) return std::nullopt;
    return static_cast<std::int64_t>(0 - magnitude);
  }
  if (magnitude > kMaxPositive) return std::nullopt;
  return static_cast<std::int64_t>(magnitude);
}

template <std::size_t N>
std::optional<std::array<double, N>> decimals(std::span<const std::uint8_t> value) {
  const auto decoded = strict_utf8(value);
  if (!decoded) return std::nullopt;
  std::string_view rest = trim_trailing_padding(*decoded);
  std::array<double, N> out{};
  for (std::size_t k = 0; k < N; ++k) {
    if (k > 0) {
      const std::size_t separator = rest.find('\\');
      if (separator == std::string_view::npos) return std::nullopt;
      rest.remove_prefix(separator + 1);
    }
    const auto parsed = parse_decimal(trim_white_space(first_piece(rest)));
    if (!parsed) return std::nullopt;
    out[k] = *parsed;
  }
  return out;
}

template std::optional<std::array<double, 1>> decimals<1>(std::span<const std::uint8_t>);
template std::optional<std::array<double, 2>> decimals<2>(std::span<const std::uint8_t>);
template std::optional<std::array<double, 3>> decimals<3>(std::span<const std::uint8_t>);
template std::optional<std::array<double, 6>> decimals<6>(std::span<const std::uint8_t>);

std::optional<std::uint32_t> frame_count(std::span<const std::uint8_t> value) {
  const auto count = integer(value);
  if (!count || *count < 0 || *count > 0xFFFFFFFFll) return std::nullopt;
  return static_cast<std::uint32_t>(*count);
}

std::optional<std::uint16_t> binary_u16(std::span<const std::uint8_t> value, bool big_endian) {
  if (value.size() < 2) return std::nullopt;
  return load<std::uint16_t>(value.data(), big_endian);
}

std::vector<std::string> image_type(std::span<const std::uint8_t> value) {
  const std::string decoded = lossy_utf8(value);
  std::string_view rest = trim_trailing_padding(decoded);
  std::vector<std::string> pieces;
  while (true) {
    const std::size_t separator = rest.find('\\');
    const std::string_view piece = trim_white_space(rest.substr(0, separator));
    if (!piece.empty()) pieces.emplace_back(piece);
    if (separator == std::string_view::npos) break;
    rest.remove_prefix(separator + 1);
  }
  return pieces;
}

namespace {

std::optional<double> single(std::span<const std::uint8_t> value) {
  const auto one = decimals<1>(value);
  return one ? std::optional<double>((*one)[0]) : std::nullopt;
}

}  // namespace

void collect(Attributes& a, Tag tag, std::span<const std::uint8_t> value, bool big_endian) {
  switch (tag.key()) {
    case tags::kInstanceNumber.key(): a.instance_number = integer(value); break;
    case tags::kAcquisitionNumber.key(): a.acquisition_number = integer(value); break;
    case tags::kEchoNumbers.key(): a.echo_numbers = integer(value); break;
    case tags::kTemporalPositionIdentifier.key(): a.temporal_position_identifier = integer(value); break;
    case tags::kImagePositionPatient.key(): a.image_position_patient = decimals<3>(value); break;
    case tags::kImageOrientationPatient.key(): a.image_orientation_patient = decimals<6>(value); break;
    case tags::kPixelSpacing.key(): a.pixel_spacing = decimals<2>(value); break;
    case tags::kSliceThickness.key(): a.slice_thickness = single(value); break;
    case tags::kSpacingBetweenSlices.key(): a.spacing_between_slices = single(value); break;
    case tags::kRescaleIntercept.key(): a.rescale_intercept = single(value); break;
    case tags::kRescaleSlope.key(): a.rescale_slope = single(value); break;
    case tags::kImageType.key(): a.image_type = image_type(value); break;
    case tags::kSopClassUid.key(): a.sop_class_uid = text(value); break;
    case tags::kSopInstanceUid.key(): a.sop_instance_uid = text(value); break;
    case tags::kModality.key(): a.modality = text(value); break;
    case tags::kStudyInstanceUid.key(): a.study_instance_uid = text(value); break;
    case tags::kSeriesInstanceUid.key(): a.series_instance_uid = text(value); break;
    case tags::kPhotometricInterpretation.key(): a.photometric_interpretation = text(value); break;
    case tags::kNumberOfFrames.key(): a.number_of_frames = frame_count(value); break;
    case tags::kSamplesPerPixel.key(): a.samples_per_pixel = binary_u16(value, big_endian); break;
    case tags::kPlanarConfiguration.key(): a.planar_configuration = binary_u16(value, big_endian); break;
    case tags::kRows.key(): a.rows = binary_u16(value, big_endian); break;
    case tags::kColumns.key(): a.columns = binary_u16(value, big_endian); break;
    case tags::kBitsAllocated.key(): a.bits_allocated = binary_u16(value, big_endian); break;
    case tags::kBitsStored.key(): a.bits_stored = binary_u16(value, big_endian); break;
    case tags::kHighBit.key(): a.high_bit = binary_u16(value, big_endian); break;
    case tags::kPixelRepresentation.key(): a.pixel_representation = binary_u16(value, big_endian); break;
    default: break;
  }
}

}  // namespace qelvo::dicom
