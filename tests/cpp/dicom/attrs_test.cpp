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
  EXPECT_FALSE(decimals<3>(bytes("1\\2")));
  EXPECT_EQ(decimals<3>(bytes("1\\2\\3\\4")), (std::array<double, 3>{1, 2, 3}));
  EXPECT_EQ(decimals<3>(bytes(" 0.5 \\1e-3\\2 ")), (std::array<double, 3>{0.5, 0.001, 2}));
  EXPECT_EQ(decimals<1>(bytes("-.5")), (std::array<double, 1>{-0.5}));
  EXPECT_EQ(decimals<1>(bytes("+3.")), (std::array<double, 1>{3}));
  EXPECT_EQ(decimals<1>(bytes("1e-400")), (std::array<double, 1>{0}));
  for (std::string_view bad : {"inf", "NaN", "1e400", "1e", ".", "1.2.3", "0x10", "", "1,5"})
    EXPECT_FALSE(decimals<1>(bytes(bad))) << bad;
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
  EXPECT_TRUE(image_type(bytes("  ")).empty());
}

TEST(Attributes, LaterOccurrencesReplaceEarlierOnes) {
  Attributes a;
  collect(a, tags::kInstanceNumber, bytes("5"), false);
  collect(a, tags::kInstanceNumber, bytes("x"), false);
  EXPECT_FALSE(a.instance_number);
  collect(a, tags::kSopInstanceUid, bytes("1.2"), false);
  EXPECT_EQ(a.sop_instance_uid, "1.2");
  collect(a, tags::kTransferSyntaxUid, bytes("1.2.840.10008.1.2"), false);  // only the meta group sets it
  EXPECT_FALSE(a.transfer_syntax_uid);
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
