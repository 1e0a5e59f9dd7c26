#include "dicom/attrs.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string_view>

namespace qelvo::dicom {
namespace {

std::span<const std::uint8_t> bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(Attributes, TextTrimsDicomPaddingOnly) {
  using namespace std::string_view_literals;
  EXPECT_EQ(text(bytes("1.2.840.10008.1.2\0"sv)), "1.2.840.10008.1.2");
  EXPECT_EQ(text(bytes("  CT \0 "sv)), "CT");
  EXPECT_EQ(text(bytes("\0CT"sv)), std::string("\0CT", 3));  // a leading NUL stays
  EXPECT_EQ(text(bytes("a\\b\t")), "a\\b\t");                // tabs and backslashes stay
  EXPECT_FALSE(text(bytes("    ")));
  EXPECT_FALSE(text(bytes("\0\0"sv)));
  EXPECT_EQ(text(bytes("A\xFF" "B")), "A\xEF\xBF\xBD" "B");
}

TEST(Attributes, IntegerTable) {
  using namespace std::string_view_literals;
  const std::pair<std::string_view, std::optional<std::int64_t>> cases[] = {
      {" 12 ", 12},
      {"12\\3", 12},
      {"+7", 7},
      {"-0", 0},
      {"1.0", std::nullopt},
      {"\t5", std::nullopt},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"+-1", std::nullopt},
      {"9223372036854775807", 9223372036854775807},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
      {"12\0"sv, 12},
      {"1\xFF", std::nullopt},
  };
  for (auto [input, expected] : cases) EXPECT_EQ(integer(bytes(input)), expected) << input;
}

TEST(Attributes, DecimalsTable) {
  using namespace std::string_view_literals;
  EXPECT_FALSE(decimals<3>(bytes("1\\2")));
  EXPECT_EQ(decimals<3>(bytes("1\\2\\3\\4")), (std::array<double, 3>{1, 2, 3}));
  EXPECT_EQ(decimals<3>(bytes(" 0.5 \\1e-3\\2 ")), (std::array<double, 3>{0.5, 0.001, 2}));
  EXPECT_EQ(decimals<2>(bytes("\t1.5\n\\-2E+2\0 "sv)), (std::array<double, 2>{1.5, -200}));
  EXPECT_EQ(decimals<1>(bytes("-.5")), (std::array<double, 1>{-0.5}));
  EXPECT_EQ(decimals<1>(bytes("+3.")), (std::array<double, 1>{3}));
  EXPECT_EQ(decimals<1>(bytes("1.e2")), (std::array<double, 1>{100}));
  EXPECT_EQ(decimals<1>(bytes("1.7976931348623157e308")), (std::array<double, 1>{1.7976931348623157e308}));
  // Numbers too small for a double underflow to zero, whether by exponent or by leading zeros.
  EXPECT_EQ(decimals<1>(bytes("1e-400")), (std::array<double, 1>{0}));
  EXPECT_EQ(decimals<1>(bytes("0." + std::string(400, '0') + "1")), (std::array<double, 1>{0}));
  EXPECT_EQ(decimals<1>(bytes("1" + std::string(400, '0') + "e-800")), (std::array<double, 1>{0}));
  // Too large a number is refused, whether by exponent or by digits.
  const std::string large_by_digits = "1" + std::string(400, '0');
  for (std::string_view bad : std::initializer_list<std::string_view>{"inf", "-Infinity", "NaN", "1e400", "1.8e308", "1e99999999999999999999",
                               std::string_view(large_by_digits), "1e", "e5", ".",
                               "1.2.3", "0x10", "", " ", "1,5", "+-1", "1 2", "--1", "0.1e310"})
    EXPECT_FALSE(decimals<1>(bytes(bad))) << bad;
  // Strict UTF-8 applies to the whole value, even to pieces beyond the ones read.
  EXPECT_FALSE(decimals<1>(bytes("1\\\xFF")));
  const std::string nbsp = "\xC2\xA0" "7\xE2\x80\x83";  // no-break space and em space around 7
  EXPECT_EQ(decimals<1>(bytes(nbsp)), (std::array<double, 1>{7}));
}

TEST(Attributes, BinaryFrameCountAndImageType) {
  const std::uint8_t rows[] = {0x02, 0x00};
  EXPECT_EQ(binary_u16(rows, false), 2);
  EXPECT_EQ(binary_u16(rows, true), 512);
  EXPECT_FALSE(binary_u16(std::span(rows, 1), false));
  EXPECT_EQ(frame_count(bytes("0")), 0u);
  EXPECT_EQ(frame_count(bytes("4294967295")), 4294967295u);
  EXPECT_FALSE(frame_count(bytes("-1")));
  EXPECT_FALSE(frame_count(bytes("4294967296")));
  EXPECT_EQ(image_type(bytes("DERIVED\\\\SECONDARY\\ AXIAL ")),
            (std::vector<std::string>{"DERIVED", "SECONDARY", "AXIAL"}));
  using namespace std::string_view_literals;
  EXPECT_EQ(image_type(bytes("\tA\xFF\\ \\B\0"sv)), (std::vector<std::string>{"A\xEF\xBF\xBD", "B"}));
  EXPECT_TRUE(image_type(bytes("  ")).empty());
}

TEST(Attributes, LaterOccurrencesReplaceEarlierOnes) {
  Attributes a;
  collect(a, tags::kInstanceNumber, bytes("5"), false);
  collect(a, tags::kInstanceNumber, bytes("x"), false);
  EXPECT_FALSE(a.instance_number);
  collect(a, tags::kSopInstanceUid, bytes("1.2"), false);
  EXPECT_EQ(a.sop_instance_uid, "1.2");
  collect(a, tags::kSopInstanceUid, bytes(" "), false);  // even an empty value replaces
  EXPECT_FALSE(a.sop_instance_uid);
  collect(a, tags::kImageType, bytes("A\\B"), false);
  collect(a, tags::kImageType, bytes("C"), false);  // the whole list is replaced
  EXPECT_EQ(a.image_type, std::vector<std::string>{"C"});
}

// Each collected tag lands in its own field, decoded by its rule; big-endian binary values swapped.
TEST(Attributes, EachTagFillsItsField) {
  const std::uint8_t us_big[] = {0x02, 0x00};
  Attributes a;
  collect(a, tags::kInstanceNumber, bytes("13"), true);
  collect(a, tags::kAcquisitionNumber, bytes("12"), true);
  collect(a, tags::kEchoNumbers, bytes("2\\3"), true);
  collect(a, tags::kTemporalPositionIdentifier, bytes("100"), true);
  collect(a, tags::kImagePositionPatient, bytes("1\\2\\3"), true);
  collect(a, tags::kImageOrientationPatient, bytes("1\\0\\0\\0\\1\\0"), true);
  collect(a, tags::kPixelSpacing, bytes("0.5\\0.25"), true);
  collect(a, tags::kSliceThickness, bytes("50"), true);
  collect(a, tags::kSpacingBetweenSlices, bytes("88"), true);
  collect(a, tags::kRescaleIntercept, bytes("-1024"), true);
  collect(a, tags::kRescaleSlope, bytes("2"), true);
  collect(a, tags::kImageType, bytes("ORIGINAL\\PRIMARY"), true);
  collect(a, tags::kSopClassUid, bytes("16"), true);
  collect(a, tags::kSopInstanceUid, bytes("18"), true);
  collect(a, tags::kModality, bytes("MR"), true);
  collect(a, tags::kStudyInstanceUid, bytes("0D"), true);
  collect(a, tags::kSeriesInstanceUid, bytes("0E"), true);
  collect(a, tags::kPhotometricInterpretation, bytes("MONOCHROME2 "), true);
  collect(a, tags::kNumberOfFrames, bytes("8 "), true);
  Attributes expected;
  expected.instance_number = 13;
  expected.acquisition_number = 12;
  expected.echo_numbers = 2;
  expected.temporal_position_identifier = 100;
  expected.image_position_patient = {1, 2, 3};
  expected.image_orientation_patient = {1, 0, 0, 0, 1, 0};
  expected.pixel_spacing = {0.5, 0.25};
  expected.slice_thickness = 50;
  expected.spacing_between_slices = 88;
  expected.rescale_intercept = -1024;
  expected.rescale_slope = 2;
  expected.image_type = {"ORIGINAL", "PRIMARY"};
  expected.sop_class_uid = "16";
  expected.sop_instance_uid = "18";
  expected.modality = "MR";
  expected.study_instance_uid = "0D";
  expected.series_instance_uid = "0E";
  expected.photometric_interpretation = "MONOCHROME2";
  expected.number_of_frames = 8;
  const std::pair<Tag, std::optional<std::uint16_t> Attributes::*> binary[] = {
      {tags::kSamplesPerPixel, &Attributes::samples_per_pixel}, {tags::kPlanarConfiguration, &Attributes::planar_configuration},
      {tags::kRows, &Attributes::rows},                         {tags::kColumns, &Attributes::columns},
      {tags::kBitsAllocated, &Attributes::bits_allocated},      {tags::kBitsStored, &Attributes::bits_stored},
      {tags::kHighBit, &Attributes::high_bit},                  {tags::kPixelRepresentation, &Attributes::pixel_representation},
  };
  for (const auto& [tag, field] : binary) {
    collect(a, tag, us_big, true);
    expected.*field = 512;
  }
  EXPECT_EQ(a, expected);
  // Tags outside the set, and the transfer syntax (set by the meta group only), change nothing.
  collect(a, Tag{0x0020, 0x0011}, bytes("99"), false);
  collect(a, tags::kTransferSyntaxUid, bytes("1.2.840.10008.1.2"), false);
  EXPECT_EQ(a, expected);
}

TEST(Utf8, LossyReplacesEachMaximalInvalidPart) {
  const std::uint8_t overlong[] = {0xC0, 0xAF, 'x'};
  EXPECT_EQ(lossy_utf8(overlong), "\xEF\xBF\xBD\xEF\xBF\xBDx");
  const std::uint8_t cut[] = {0xE2, 0x82, 'y'};  // a three-byte sequence missing its last byte
  EXPECT_EQ(lossy_utf8(cut), "\xEF\xBF\xBDy");
  const std::uint8_t surrogate[] = {0xED, 0xA0, 0x80};
  EXPECT_FALSE(strict_utf8(surrogate));
  const std::uint8_t euro[] = {0xE2, 0x82, 0xAC};
  EXPECT_EQ(strict_utf8(euro), "\xE2\x82\xAC");
}

}  // namespace
}  // namespace qelvo::dicom
