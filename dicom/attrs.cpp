#include "dicom/attrs.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

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

// The power of ten of a well-formed unsigned decimal's leading digit, roughly: enough to tell a
// number too large for a double from one too small.
std::int64_t decimal_exponent(std::string_view body) {
  const std::size_t e = body.find_first_of("eE");
  std::int64_t exponent = 0;
  if (e != std::string_view::npos) {
    std::string_view digits = body.substr(e + 1);
    const bool negative = !digits.empty() && digits[0] == '-';
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
    for (char c : digits) exponent = std::min<std::int64_t>(exponent * 10 + (c - '0'), 1'000'000'000);
    if (negative) exponent = -exponent;
  }
  const std::string_view mantissa = body.substr(0, e);
  const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
  const std::size_t first = mantissa.find_first_of("123456789");
  if (first == std::string_view::npos) return -1;
  const auto position = static_cast<std::int64_t>(point) - static_cast<std::int64_t>(first);
  return exponent + (first < point ? position : position + 1);
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
    if (decimal_exponent(body) > 0) return std::nullopt;
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
  return static_cast<std::uint16_t>(big_endian ? (value[0] << 8) | value[1] : value[0] | (value[1] << 8));
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

void collect(Attributes& a, std::uint16_t group, std::uint16_t element, std::span<const std::uint8_t> value,
             bool big_endian) {
  const std::uint32_t tag = (std::uint32_t{group} << 16) | element;
  switch (tag) {
    case 0x00200013: a.instance_number = integer(value); break;
    case 0x00200012: a.acquisition_number = integer(value); break;
    case 0x00180086: a.echo_numbers = integer(value); break;
    case 0x00200100: a.temporal_position_identifier = integer(value); break;
    case 0x00200032: a.image_position_patient = decimals<3>(value); break;
    case 0x00200037: a.image_orientation_patient = decimals<6>(value); break;
    case 0x00280030: a.pixel_spacing = decimals<2>(value); break;
    case 0x00180050: a.slice_thickness = single(value); break;
    case 0x00180088: a.spacing_between_slices = single(value); break;
    case 0x00281052: a.rescale_intercept = single(value); break;
    case 0x00281053: a.rescale_slope = single(value); break;
    case 0x00080008: a.image_type = image_type(value); break;
    case 0x00080016: a.sop_class_uid = text(value); break;
    case 0x00080018: a.sop_instance_uid = text(value); break;
    case 0x00080060: a.modality = text(value); break;
    case 0x0020000D: a.study_instance_uid = text(value); break;
    case 0x0020000E: a.series_instance_uid = text(value); break;
    case 0x00280004: a.photometric_interpretation = text(value); break;
    case 0x00280008: a.number_of_frames = frame_count(value); break;
    case 0x00280002: a.samples_per_pixel = binary_u16(value, big_endian); break;
    case 0x00280006: a.planar_configuration = binary_u16(value, big_endian); break;
    case 0x00280010: a.rows = binary_u16(value, big_endian); break;
    case 0x00280011: a.columns = binary_u16(value, big_endian); break;
    case 0x00280100: a.bits_allocated = binary_u16(value, big_endian); break;
    case 0x00280101: a.bits_stored = binary_u16(value, big_endian); break;
    case 0x00280102: a.high_bit = binary_u16(value, big_endian); break;
    case 0x00280103: a.pixel_representation = binary_u16(value, big_endian); break;
    default: break;
  }
}

}  // namespace qelvo::dicom
