#pragma once
// The few attribute values the reader collects at the top level of a data set, and the rules
// that decode them from raw value bytes. A value that does not decode is absent; decoding never
// fails a parse.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dicom/tag.hpp"

namespace qelvo::dicom {

// Every field is absent until its element is met at the top level and decodes.
struct Attributes {
  std::optional<std::int64_t> instance_number;
  std::optional<std::int64_t> acquisition_number;
  std::optional<std::int64_t> echo_numbers;
  std::optional<std::int64_t> temporal_position_identifier;
  std::optional<std::array<double, 3>> image_position_patient;
  std::optional<std::array<double, 6>> image_orientation_patient;
  std::optional<std::array<double, 2>> pixel_spacing;
  std::optional<double> slice_thickness;
  std::optional<double> spacing_between_slices;
  std::optional<double> rescale_intercept;
  std::optional<double> rescale_slope;
  std::vector<std::string> image_type;
  std::optional<std::string> transfer_syntax_uid;
  std::optional<std::string> sop_class_uid;
  std::optional<std::string> sop_instance_uid;
  std::optional<std::string> modality;
  std::optional<std::string> study_instance_uid;
  std::optional<std::string> series_instance_uid;
  std::optional<std::string> photometric_interpretation;
  std::optional<std::uint32_t> number_of_frames;
  std::optional<std::uint16_t> samples_per_pixel;
  std::optional<std::uint16_t> planar_configuration;
  std::optional<std::uint16_t> rows;
  std::optional<std::uint16_t> columns;
  std::optional<std::uint16_t> bits_allocated;
  std::optional<std::uint16_t> bits_stored;
  std::optional<std::uint16_t> high_bit;
  std::optional<std::uint16_t> pixel_representation;

  bool operator==(const Attributes&) const = default;
};

// UTF-8 with every invalid sequence replaced by U+FFFD; never fails.
std::string lossy_utf8(std::span<const std::uint8_t> bytes);
// The bytes as text, or nullopt when they are not valid UTF-8.
std::optional<std::string> strict_utf8(std::span<const std::uint8_t> bytes);

// A text value: lossy UTF-8, trailing NUL and space and leading space removed; absent when empty.
std::optional<std::string> text(std::span<const std::uint8_t> value);
// The first value of an IS: an optional sign and decimal digits, within 64 bits.
std::optional<std::int64_t> integer(std::span<const std::uint8_t> value);
// The first N values of a DS, as finite doubles; absent when there are fewer.
template <std::size_t N>
std::optional<std::array<double, N>> decimals(std::span<const std::uint8_t> value);
// NumberOfFrames: an integer that fits 32 bits unsigned.
std::optional<std::uint32_t> frame_count(std::span<const std::uint8_t> value);
// A US value's first number in the data set's byte order.
std::optional<std::uint16_t> binary_u16(std::span<const std::uint8_t> value, bool big_endian);
// ImageType: the non-empty values, each trimmed of Unicode white space.
std::vector<std::string> image_type(std::span<const std::uint8_t> value);

// Decodes the value of a data set element into its attribute, replacing any earlier value, when
// the tag is one of the collected ones; other tags are ignored.
void collect(Attributes& attributes, Tag tag, std::span<const std::uint8_t> value, bool big_endian);

}  // namespace qelvo::dicom
