#include "dicom/parse.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <set>
#include <string_view>
#include <vector>

namespace qelvo::dicom {
namespace {

using namespace std::string_view_literals;

constexpr std::uint32_t kUndefined = 0xFFFFFFFF;

// Writes elements in one encoding, field by field.
struct Writer {
  bool explicit_vr = true;
  bool big_endian = false;
  std::vector<std::uint8_t> bytes;

  Writer& u16(std::uint16_t v) {
    if (big_endian) bytes.insert(bytes.end(), {std::uint8_t(v >> 8), std::uint8_t(v)});
    else bytes.insert(bytes.end(), {std::uint8_t(v), std::uint8_t(v >> 8)});
    return *this;
  }
  Writer& u32(std::uint32_t v) {
    if (big_endian) return u16(std::uint16_t(v >> 16)).u16(std::uint16_t(v));
    return u16(std::uint16_t(v)).u16(std::uint16_t(v >> 16));
  }
  Writer& raw(std::string_view s) {
    bytes.insert(bytes.end(), s.begin(), s.end());
    return *this;
  }
  Writer& append(const std::vector<std::uint8_t>& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
    return *this;
  }
  // An element header; delimiters and implicit encodings have no VR.
  Writer& header(std::uint16_t group, std::uint16_t element, std::string_view vr, std::uint32_t length) {
    u16(group).u16(element);
    if (!explicit_vr || group == 0xFFFE) return u32(length);
    raw(vr);
    static constexpr std::string_view kLong[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ", "UC", "UN", "UR", "UT"};
    if (std::find(std::begin(kLong), std::end(kLong), vr) != std::end(kLong)) return u16(0).u32(length);
    return u16(std::uint16_t(length));
  }
  Writer& element(std::uint16_t group, std::uint16_t element, std::string_view vr, std::string_view value) {
    return header(group, element, vr, std::uint32_t(value.size())).raw(value);
  }
  Writer& us(std::uint16_t group, std::uint16_t element, std::uint16_t value) {
    return header(group, element, "US", 2).u16(value);
  }
  Writer& item(std::uint32_t length = kUndefined) { return header(0xFFFE, 0xE000, "", length); }
  Writer& item_end() { return header(0xFFFE, 0xE00D, "", 0); }
  Writer& sequence_end() { return header(0xFFFE, 0xE0DD, "", 0); }
};

Writer implicit_writer() {
  Writer w;
  w.explicit_vr = false;
  return w;
}

// A Part 10 file: preamble, "DICM" and an explicit little-endian meta group naming `syntax`.
std::vector<std::uint8_t> part10(std::string_view syntax, const std::vector<std::uint8_t>& dataset) {
  Writer meta;
  meta.raw(std::string(128, '\0')).raw("DICM");
  meta.element(0x0002, 0x0003, "UI", "1.2.3.4");
  meta.element(0x0002, 0x0010, "UI", syntax);
  return meta.append(dataset).bytes;
}

constexpr std::string_view kExplicitLittle = "1.2.840.10008.1.2.1";
constexpr std::string_view kExplicitBig = "1.2.840.10008.1.2.2";
constexpr std::string_view kJpegBaseline = "1.2.840.10008.1.2.4.50";

TEST(Parse, FindsNativePixelDataAndAttributes) {
  Writer ds;
  ds.element(0x0020, 0x000E, "UI", "1.2.9").us(0x0028, 0x0010, 4).us(0x0028, 0x0011, 2);
  ds.element(0x0018, 0x0088, "DS", "2.5 ");
  ds.element(0x7FE0, 0x0010, "OW", std::string(16, 'p'));
  ds.element(0x7FE0, 0x0010, "OW", "second");  // walked, not recorded
  ds.element(0xFFFC, 0xFFFC, "OB", std::string(6, '\0'));  // trailing padding is walked like any element
  const auto file = part10(kExplicitLittle, ds.bytes);
  const auto parsed = parse(file);
  ASSERT_TRUE(parsed) << parsed.error().display();
  EXPECT_TRUE(parsed->has_preamble);
  EXPECT_EQ(parsed->dataset_offset, 132u + 2 * 8 + 7 + 19);
  EXPECT_EQ(parsed->syntax, TransferSyntax::ExplicitVrLittle);
  EXPECT_EQ(parsed->attributes.rows, 4);
  EXPECT_EQ(parsed->attributes.series_instance_uid, "1.2.9");
  EXPECT_EQ(parsed->attributes.sop_instance_uid, "1.2.3.4");
  EXPECT_EQ(parsed->attributes.transfer_syntax_uid, kExplicitLittle);
  EXPECT_EQ(parsed->attributes.spacing_between_slices, 2.5);
  EXPECT_FALSE(parsed->float_pixel_data);
  const std::uint64_t end = file.size() - (12 + 6) - (12 + 6);
  EXPECT_EQ(parsed->pixel_data.kind, PixelDataKind::Native);
  EXPECT_EQ(parsed->pixel_data.element_offset, end - 28);
  EXPECT_EQ(parsed->pixel_data.value_offset, end - 16);
  EXPECT_EQ(parsed->pixel_data.value_end, end);
}

TEST(Parse, TransferSyntaxTable) {
  Writer explicit_ds;
  explicit_ds.us(0x0028, 0x0010, 1);
  const std::pair<std::optional<std::string_view>, TransferSyntax> cases[] = {
      {"1.2.840.10008.1.2"sv, TransferSyntax::ImplicitVrLittle},
      {"1.2.840.10008.1.2\0"sv, TransferSyntax::ImplicitVrLittle},  // padded with NUL
      {"1.2.840.10008.1.2 "sv, TransferSyntax::ImplicitVrLittle},   // padded with a space
      {kExplicitBig, TransferSyntax::ExplicitVrBig},
      {kExplicitLittle, TransferSyntax::ExplicitVrLittle},
      {kJpegBaseline, TransferSyntax::ExplicitVrLittle},
      {"1.2.840.10008.1.2.1.99"sv, TransferSyntax::DeflatedExplicitVrLittle},
      {"1.2.840.10008.1.2.20"sv, TransferSyntax::ExplicitVrLittle},  // compared whole, not by prefix
      {""sv, TransferSyntax::ExplicitVrLittle},                      // empty: guessed
      {std::nullopt, TransferSyntax::ExplicitVrLittle},              // absent: guessed
  };
  for (auto [uid, syntax] : cases) {
    Writer file;
    file.raw(std::string(128, '\0')).raw("DICM");
    if (uid) file.element(0x0002, 0x0010, "UI", *uid);
    // An empty data set is valid in every encoding; the guess needs something to look at.
    if (!uid || uid->empty()) file.append(explicit_ds.bytes);
    const std::string name(uid.value_or("absent"));
    auto parsed = parse(file.bytes);
    ASSERT_TRUE(parsed) << name;
    EXPECT_EQ(parsed->syntax, syntax) << name;
    EXPECT_EQ(parsed->pixel_data.kind, PixelDataKind::Absent) << name;
  }
  // The guess reads implicit VR when bytes 4 and 5 of the data set are not letters.
  Writer implicit_ds = implicit_writer();
  implicit_ds.us(0x0028, 0x0010, 1);
  Writer file;
  file.raw(std::string(128, '\0')).raw("DICM").element(0x0002, 0x0010, "UI", "").append(implicit_ds.bytes);
  EXPECT_EQ(parse(file.bytes)->syntax, TransferSyntax::ImplicitVrLittle);
}

TEST(Parse, DeflatedDataSetIsNotWalked) {
  Writer ds;
  ds.element(0x0020, 0x000E, "UI", "1.2.9");
  ds.raw("\x78\x9C\x01\x02\x03");  // not a valid data set
  const auto parsed = parse(part10("1.2.840.10008.1.2.1.99", ds.bytes));
  ASSERT_TRUE(parsed) << parsed.error().display();
  EXPECT_EQ(parsed->syntax, TransferSyntax::DeflatedExplicitVrLittle);
  EXPECT_EQ(parsed->pixel_data.kind, PixelDataKind::Absent);
  EXPECT_FALSE(parsed->float_pixel_data);
  EXPECT_EQ(parsed->attributes.sop_instance_uid, "1.2.3.4");  // from the meta group
  EXPECT_FALSE(parsed->attributes.series_instance_uid);
}

TEST(Parse, BareDataSetsAndMissingMetaGroups) {
  Writer implicit = implicit_writer();
  implicit.us(0x0028, 0x0010, 7);
  auto parsed = parse(implicit.bytes);
  ASSERT_TRUE(parsed);
  EXPECT_FALSE(parsed->has_preamble);
  EXPECT_EQ(parsed->syntax, TransferSyntax::ImplicitVrLittle);
  EXPECT_EQ(parsed->dataset_offset, 0u);
  EXPECT_EQ(parsed->attributes.rows, 7);

  Writer explicit_ds;
  explicit_ds.us(0x0028, 0x0011, 9);
  parsed = parse(explicit_ds.bytes);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->syntax, TransferSyntax::ExplicitVrLittle);
  EXPECT_EQ(parsed->attributes.columns, 9);

  // Preamble and "DICM" with no meta group: the encoding is guessed from bytes 136 and 137.
  Writer dicm;
  dicm.raw(std::string(128, '\0')).raw("DICM").append(explicit_ds.bytes);
  parsed = parse(dicm.bytes);
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(parsed->has_preamble);
  EXPECT_EQ(parsed->dataset_offset, 132u);
  EXPECT_EQ(parsed->syntax, TransferSyntax::ExplicitVrLittle);
  EXPECT_EQ(parsed->attributes.columns, 9);

  // A meta group without preamble, then an implicit data set.
  Writer no_preamble;
  no_preamble.element(0x0002, 0x0010, "UI", "1.2.840.10008.1.2");
  no_preamble.explicit_vr = false;
  no_preamble.us(0x0028, 0x0010, 3);
  parsed = parse(no_preamble.bytes);
  ASSERT_TRUE(parsed);
  EXPECT_FALSE(parsed->has_preamble);
  EXPECT_EQ(parsed->dataset_offset, 8u + 17);
  EXPECT_EQ(parsed->syntax, TransferSyntax::ImplicitVrLittle);
  EXPECT_EQ(parsed->attributes.rows, 3);

  // A meta group written in implicit VR is read as such throughout.
  Writer implicit_meta = implicit_writer();
  implicit_meta.raw(std::string(128, '\0')).raw("DICM").element(0x0002, 0x0010, "", "1.2.840.10008.1.2");
  implicit_meta.us(0x0028, 0x0010, 5);
  parsed = parse(implicit_meta.bytes);
  ASSERT_TRUE(parsed) << parsed.error().display();
  EXPECT_EQ(parsed->syntax, TransferSyntax::ImplicitVrLittle);
  EXPECT_EQ(parsed->attributes.rows, 5);

  parsed = parse({});
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->dataset_offset, 0u);
  EXPECT_EQ(parsed->syntax, TransferSyntax::ImplicitVrLittle);
  EXPECT_EQ(parsed->pixel_data.kind, PixelDataKind::Absent);
}

TEST(Parse, SopUidsComeFromTheMetaGroupUntilTheDataSetReplacesThem) {
  Writer file;
  file.raw(std::string(128, '\0')).raw("DICM");
  file.element(0x0002, 0x0002, "UI", "  ").element(0x0002, 0x0002, "UI", "1.1").element(0x0002, 0x0002, "UI", "1.9");
  file.element(0x0002, 0x0003, "UI", "2.1").element(0x0002, 0x0010, "UI", "1.2.840.10008.1.2");
  file.element(0x0002, 0x0010, "UI", kExplicitLittle);  // a later transfer syntax replaces the first
  auto parsed = parse(file.bytes);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->attributes.sop_class_uid, "1.1");  // the first non-empty occurrence
  EXPECT_EQ(parsed->attributes.sop_instance_uid, "2.1");
  EXPECT_EQ(parsed->syntax, TransferSyntax::ExplicitVrLittle);
  // Data set elements replace the meta values, even when they decode as absent.
  file.element(0x0008, 0x0016, "UI", "3.1").element(0x0008, 0x0018, "UI", "");
  parsed = parse(file.bytes);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->attributes.sop_class_uid, "3.1");
  EXPECT_FALSE(parsed->attributes.sop_instance_uid);
}

TEST(Parse, BigEndianValuesAndUnknownSequences) {
  Writer ds;
  ds.big_endian = true;
  ds.us(0x0028, 0x0010, 512);
  ds.element(0x0018, 0x9999, "SV", std::string(8, 'v'));  // SV takes the 2-byte length form
  // An undefined-length UN element holds implicit little-endian data.
  ds.header(0x0009, 0x1010, "UN", kUndefined);
  Writer inner = implicit_writer();
  inner.item().element(0x0028, 0x0011, "", "\x01\x00").item_end().sequence_end();
  ds.append(inner.bytes);
  ds.element(0x7FE0, 0x0010, "OW", "\x01\x02");
  const auto file = part10(kExplicitBig, ds.bytes);
  const auto parsed = parse(file);
  ASSERT_TRUE(parsed) << parsed.error().display();
  EXPECT_EQ(parsed->syntax, TransferSyntax::ExplicitVrBig);
  EXPECT_EQ(parsed->attributes.rows, 512);
  EXPECT_FALSE(parsed->attributes.columns);  // inside a sequence: never collected
  EXPECT_EQ(parsed->pixel_data.kind, PixelDataKind::Native);
  EXPECT_EQ(parsed->pixel_data.value_offset, file.size() - 2);
}

TEST(Parse, EncapsulatedPixelData) {
  Writer ds;
  ds.header(0x7FE0, 0x0010, "OB", kUndefined).item(0).item(3).raw("jpg").header(0xFFFE, 0xE0DD, "", 99);
  ds.us(0x0028, 0x0010, 1);  // elements after the pixel data are walked
  const auto file = part10(kJpegBaseline, ds.bytes);
  const auto parsed = parse(file);
  ASSERT_TRUE(parsed) << parsed.error().display();
  EXPECT_EQ(parsed->syntax, TransferSyntax::ExplicitVrLittle);
  EXPECT_EQ(parsed->pixel_data.kind, PixelDataKind::Encapsulated);
  const std::uint64_t end = file.size() - 10;  // the delimiter's length field is ignored
  EXPECT_EQ(parsed->pixel_data.value_end, end);
  EXPECT_EQ(parsed->pixel_data.value_offset, end - 8 - 11 - 8);
  EXPECT_EQ(parsed->pixel_data.element_offset, end - 8 - 11 - 8 - 12);
  EXPECT_EQ(parsed->attributes.rows, 1);
}

TEST(Parse, FloatPixelDataIsFlagged) {
  Writer ds;
  ds.header(0x7FE0, 0x0008, "OF", 4).raw("ffff");
  auto parsed = parse(part10(kExplicitLittle, ds.bytes));
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(parsed->float_pixel_data);
  EXPECT_EQ(parsed->pixel_data.kind, PixelDataKind::Absent);
  Writer both;
  both.header(0x7FE0, 0x0009, "OD", 8).raw("dddddddd").element(0x7FE0, 0x0010, "OW", "ab");
  parsed = parse(part10(kExplicitLittle, both.bytes));
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(parsed->float_pixel_data);
  EXPECT_EQ(parsed->pixel_data.kind, PixelDataKind::Native);
}

// Sequences nested `levels` deep, each in an undefined-length item; a defined-length item with
// deeper garbage inside sits in the innermost sequence and must not count.
std::vector<std::uint8_t> nested(int levels, bool big_endian = false) {
  Writer ds;
  ds.big_endian = big_endian;
  for (int k = 0; k < levels; ++k) ds.header(0x0008, 0x1115, "SQ", kUndefined).item();
  ds.item_end();
  ds.item(8).raw("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF");
  ds.sequence_end();
  for (int k = 1; k < levels; ++k) ds.item_end().sequence_end();
  return ds.bytes;
}

TEST(Parse, NestingLimit) {
  EXPECT_TRUE(parse(nested(16)));
  const auto deep = nested(17);
  const auto parsed = parse(deep);
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error().kind, ErrorKind::TooDeep);
  // The seventeenth sequence's value starts after 16 x (12-byte header + 8-byte item) + its own header.
  EXPECT_EQ(parsed.error().display(), "sequences nested deeper than 32 levels at offset " + std::to_string(16 * 20 + 12));
  // The same limit in a big-endian data set.
  const auto big = part10(kExplicitBig, nested(16, true));
  EXPECT_TRUE(parse(big)) << parse(big).error().display();
  EXPECT_EQ(parse(part10(kExplicitBig, nested(17, true))).error().kind, ErrorKind::TooDeep);
}

TEST(Parse, SkipSequenceCountsLevels) {
  Writer w = implicit_writer();
  w.item().item_end().sequence_end();
  EXPECT_EQ(skip_sequence(w.bytes, 0, TransferSyntax::ImplicitVrLittle, 31), w.bytes.size());
  // An undefined-length item would be level 33.
  auto skipped = skip_sequence(w.bytes, 0, TransferSyntax::ImplicitVrLittle, 32);
  ASSERT_FALSE(skipped);
  EXPECT_EQ(skipped.error().display(), "sequences nested deeper than 32 levels at offset 8");
  skipped = skip_sequence(w.bytes, 0, TransferSyntax::ImplicitVrLittle, 33);
  ASSERT_FALSE(skipped);
  EXPECT_EQ(skipped.error().display(), "sequences nested deeper than 32 levels at offset 0");
  // Start offsets past the end, however large, are reported without wrapping.
  for (std::uint64_t start : {w.bytes.size() + 1, std::numeric_limits<std::uint64_t>::max() - 3}) {
    skipped = skip_sequence(w.bytes, start, TransferSyntax::ExplicitVrLittle, 1);
    ASSERT_FALSE(skipped);
    EXPECT_EQ(skipped.error().display(), "unexpected end of data at offset " + std::to_string(start));
  }
}

struct ErrorCase {
  const char* name;
  std::vector<std::uint8_t> data;
  std::string message;
};

template <typename Build>
std::vector<std::uint8_t> with(Build build, bool explicit_vr = true) {
  Writer w;
  w.explicit_vr = explicit_vr;
  build(w);
  return w.bytes;
}

TEST(Parse, ReportsEachFault) {
  std::vector<ErrorCase> cases = {
      {"lower-case VR", with([](Writer& w) { w.us(0x0028, 0x0002, 1).u16(0x0028).u16(0x0010).raw("us").u16(2).u16(1); }),
       "malformed element (0028,0010) at offset 10: invalid value representation"},
      {"NUL VR", with([](Writer& w) { w.us(0x0028, 0x0010, 1).u16(0x0028).u16(0x0011).raw("\0\0\2\0\1\0"sv); }),
       "malformed element (0028,0011) at offset 10: invalid value representation"},
      {"bad VR in an item", with([](Writer& w) { w.header(0x0008, 0x1115, "SQ", kUndefined).item().u16(0x0010).u16(0x0010).raw("p1\0\0"sv); }),
       "malformed element (0010,0010) at offset 20: invalid value representation"},
      {"bad VR among fragments", with([](Writer& w) { w.header(0x7FE0, 0x0010, "OB", kUndefined).item(0).u16(0x0008).u16(0x0008).raw("cs\0\0"sv); }),
       "malformed element (0008,0008) at offset 20: invalid value representation"},
      {"value past the end", with([](Writer& w) { w.header(0x0010, 0x0010, "PN", 20).raw("abc"); }),
       "unexpected end of data at offset 8"},
      {"long header cut", with([](Writer& w) { w.us(0x0028, 0x0010, 1).raw("\xE0\x7F\x10\x00OW\x00\x00"sv); }),
       "unexpected end of data at offset 18"},
      {"top-level item delimiter", with([](Writer& w) { w.us(0x0028, 0x0010, 1).item_end(); }),
       "malformed element (FFFE,E00D) at offset 10: delimiter outside a sequence"},
      {"top-level sequence delimiter", with([](Writer& w) { w.sequence_end(); }, false),
       "malformed element (FFFE,E0DD) at offset 0: delimiter outside a sequence"},
      {"element in a sequence", with([](Writer& w) { w.header(0x0008, 0x1115, "SQ", kUndefined).us(0x0028, 0x0010, 1); }),
       "malformed element (0028,0010) at offset 12: expected an item in a sequence"},
      {"item delimiter in place of an item", with([](Writer& w) { w.header(0x0008, 0x1115, "SQ", kUndefined).item_end(); }),
       "malformed element (FFFE,E00D) at offset 12: expected an item in a sequence"},
      {"sequence delimiter in an item", with([](Writer& w) { w.header(0x0008, 0x1115, "SQ", kUndefined).item().sequence_end(); }),
       "malformed element (FFFE,E0DD) at offset 20: unexpected delimiter in an item"},
      {"item in an item", with([](Writer& w) { w.header(0x0008, 0x1115, "SQ", kUndefined).item().us(0x0028, 0x0010, 1).item(0); }),
       "malformed element (FFFE,E000) at offset 30: unexpected delimiter in an item"},
      {"unclosed sequence", with([](Writer& w) { w.header(0x0008, 0x1115, "SQ", kUndefined).item(0); }),
       "unexpected end of data at offset 20"},
      {"unclosed item", with([](Writer& w) { w.header(0x0008, 0x1115, "SQ", kUndefined).item().us(0x0028, 0x0010, 1); }),
       "unexpected end of data at offset 30"},
      {"undefined fragment", with([](Writer& w) { w.header(0x7FE0, 0x0010, "OB", kUndefined).item(0).item(); }),
       "malformed element (FFFE,E000) at offset 20: expected a pixel data fragment"},
      {"item delimiter among fragments", with([](Writer& w) { w.header(0x7FE0, 0x0010, "OB", kUndefined).item_end(); }),
       "malformed element (FFFE,E00D) at offset 12: expected a pixel data fragment"},
      {"element among fragments", with([](Writer& w) { w.header(0x7FE0, 0x0010, "OB", kUndefined).item(0).us(0x0028, 0x0010, 1); }),
       "malformed element (0028,0010) at offset 20: expected a pixel data fragment"},
      {"fragments without their delimiter", with([](Writer& w) { w.header(0x7FE0, 0x0010, "OB", kUndefined).item(0).item(2).raw("ab"); }),
       "unexpected end of data at offset 30"},
      {"fragment past the end", with([](Writer& w) { w.header(0x7FE0, 0x0010, "OB", kUndefined).item(9).raw("ab"); }),
       "unexpected end of data at offset 20"},
  };
  for (std::size_t extra = 3; extra <= 7; ++extra) {
    Writer w;
    w.us(0x0028, 0x0010, 1).raw(std::string(extra, '\x01'));
    cases.push_back({"trailing bytes", w.bytes, "unexpected end of data at offset 10"});
  }
  Writer meta;
  meta.raw(std::string(128, '\0')).raw("DICM").header(0x0002, 0x0010, "UN", kUndefined);
  cases.push_back({"undefined meta length", meta.bytes,
                   "malformed element (0002,0010) at offset 132: undefined length in file meta information"});
  Writer meta_vr;
  meta_vr.element(0x0002, 0x0001, "OB", "\0\1"sv).u16(0x0002).u16(0x0010).raw("ui\2\0ab"sv);
  cases.push_back({"bad VR in the meta group", meta_vr.bytes,
                   "malformed element (0002,0010) at offset 14: invalid value representation"});
  for (const ErrorCase& c : cases) {
    const auto parsed = parse(c.data);
    ASSERT_FALSE(parsed) << c.name;
    EXPECT_EQ(parsed.error().display(), c.message) << c.name;
  }
}

// A length of 0xFFFFFFF0 a few bytes before the end, in every place a length is read.
TEST(Parse, HostileLengthsNearTheEnd) {
  constexpr std::uint32_t kHostile = 0xFFFFFFF0;
  const ErrorCase cases[] = {
      {"top-level long value", with([](Writer& w) { w.header(0x0010, 0x0010, "UT", kHostile).raw("x"); }),
       "unexpected end of data at offset 12"},
      {"implicit value", with([](Writer& w) { w.us(0x0028, 0x0010, 1).header(0x0010, 0x0010, "", kHostile).raw("xy"); }, false),
       "unexpected end of data at offset 18"},
      {"meta value", with([](Writer& w) { w.raw(std::string(128, '\0')).raw("DICM").header(0x0002, 0x0010, "UN", kHostile).raw("1.2"); }),
       "unexpected end of data at offset 144"},
      {"defined-length item", with([](Writer& w) { w.header(0x0008, 0x1115, "SQ", kUndefined).item(kHostile).raw("abc"); }),
       "unexpected end of data at offset 20"},
      {"element in an item", with([](Writer& w) { w.header(0x0008, 0x1115, "SQ", kUndefined).item().header(0x0010, 0x0010, "OB", kHostile).raw("z"); }),
       "unexpected end of data at offset 32"},
      {"fragment", with([](Writer& w) { w.header(0x7FE0, 0x0010, "OB", kUndefined).item(kHostile).raw("abc"); }),
       "unexpected end of data at offset 20"},
      {"big-endian value", [] {
         Writer w;
         w.big_endian = true;
         w.header(0x0010, 0x0010, "OB", kHostile).raw("x");
         return part10(kExplicitBig, w.bytes);
       }(),
       "unexpected end of data at offset " + std::to_string(132 + 2 * 8 + 7 + 19 + 12)},
  };
  for (const ErrorCase& c : cases) {
    const auto parsed = parse(c.data);
    ASSERT_FALSE(parsed) << c.name;
    EXPECT_EQ(parsed.error().display(), c.message) << c.name;
  }
}

// A file with a meta group (no preamble) and a data set with a sequence, encapsulated pixel data
// and a trailing element; `boundaries` receives the offsets where top-level elements end.
std::vector<std::uint8_t> walkable_file(bool big_endian, std::set<std::size_t>& boundaries) {
  Writer w;
  auto mark = [&] { boundaries.insert(w.bytes.size()); };
  mark();
  w.element(0x0002, 0x0001, "OB", "\0\1"sv);
  mark();
  w.element(0x0002, 0x0010, "UI", big_endian ? kExplicitBig : kExplicitLittle);
  mark();
  w.big_endian = big_endian;
  w.element(0x0020, 0x000E, "UI", "1.2.3.4");
  mark();
  w.header(0x0008, 0x1115, "SQ", kUndefined).item().us(0x0028, 0x0010, 1).item_end().item(10).us(0x0028, 0x0011, 2);
  w.sequence_end();
  mark();
  w.header(0x0009, 0x1010, "UN", kUndefined);
  Writer inner = implicit_writer();
  inner.item().element(0x0010, 0x0010, "", "NAME").item_end().sequence_end();
  w.append(inner.bytes);
  mark();
  w.header(0x7FE0, 0x0010, "OB", kUndefined).item(0).item(4).raw("abcd").sequence_end();
  mark();
  w.element(0xFFFC, 0xFFFC, "OB", std::string(4, '\0'));
  mark();
  return w.bytes;
}

// Every prefix of a well-formed file parses exactly when it ends between top-level elements;
// every other cut is an unexpected end.
TEST(Parse, TruncatedFilesFailExceptAtElementBoundaries) {
  for (bool big_endian : {false, true}) {
    std::set<std::size_t> boundaries;
    const auto file = walkable_file(big_endian, boundaries);
    ASSERT_TRUE(parse(file)) << parse(file).error().display();
    for (std::size_t length = 0; length <= file.size(); ++length) {
      const auto parsed = parse(std::span(file).first(length));
      if (boundaries.contains(length)) {
        EXPECT_TRUE(parsed) << length << ": " << parsed.error().display();
      } else {
        ASSERT_FALSE(parsed) << length;
        EXPECT_EQ(parsed.error().kind, ErrorKind::UnexpectedEnd) << length << ": " << parsed.error().display();
        EXPECT_LE(parsed.error().offset, length);
      }
    }
  }
}

// Whatever the bytes, parse returns a result whose offsets lie inside the input, or an error.
void expect_sound(std::span<const std::uint8_t> data) {
  const auto parsed = parse(data);
  if (!parsed) {
    EXPECT_FALSE(parsed.error().display().empty());
    return;
  }
  EXPECT_LE(parsed->dataset_offset, data.size());
  const PixelDataSpan& span = parsed->pixel_data;
  if (span.kind != PixelDataKind::Absent) {
    EXPECT_LT(span.element_offset, span.value_offset);
    EXPECT_LE(span.value_offset, span.value_end);
    EXPECT_LE(span.value_end, data.size());
  }
}

TEST(Parse, RandomAndMutatedBytesGiveResultsOrErrors) {
  std::mt19937 random(12345);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::uint8_t> data(random() % 300);
    for (auto& b : data) b = static_cast<std::uint8_t>(random());
    if (round % 2) {
      data.insert(data.begin(), 132, 0);
      std::copy_n("DICM", 4, data.begin() + 128);
    }
    expect_sound(data);
  }
  for (bool big_endian : {false, true}) {
    std::set<std::size_t> boundaries;
    const auto file = walkable_file(big_endian, boundaries);
    for (int round = 0; round < 3000; ++round) {
      auto data = file;
      for (int flips = 1 + random() % 4; flips > 0; --flips) data[random() % data.size()] = static_cast<std::uint8_t>(random());
      expect_sound(data);
    }
  }
}

TEST(Tag, DisplayForm) {
  EXPECT_EQ((Tag{0x7FE0, 0x0010}).display(), "(7FE0,0010)");
  EXPECT_EQ((Tag{0x0002, 0x000a}).display(), "(0002,000A)");
}

}  // namespace
}  // namespace qelvo::dicom
