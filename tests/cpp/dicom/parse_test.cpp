#include "dicom/parse.hpp"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace qelvo::dicom {
namespace {

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

// A Part 10 file: preamble, "DICM" and an explicit little-endian meta group naming `syntax`.
std::vector<std::uint8_t> part10(std::string_view syntax, const std::vector<std::uint8_t>& dataset) {
  Writer meta;
  meta.raw(std::string(128, '\0')).raw("DICM");
  meta.element(0x0002, 0x0003, "UI", "1.2.3.4");
  meta.element(0x0002, 0x0010, "UI", syntax);
  meta.bytes.insert(meta.bytes.end(), dataset.begin(), dataset.end());
  return meta.bytes;
}

constexpr std::string_view kExplicitLittle = "1.2.840.10008.1.2.1";

TEST(Parse, FindsNativePixelDataAndAttributes) {
  Writer ds;
  ds.element(0x0020, 0x000E, "UI", "1.2.9").us(0x0028, 0x0010, 4).us(0x0028, 0x0011, 2);
  ds.element(0x0018, 0x0088, "DS", "2.5 ");
  ds.element(0x7FE0, 0x0010, "OW", std::string(16, 'p'));
  const auto file = part10(kExplicitLittle, ds.bytes);
  const auto parsed = parse(file);
  ASSERT_TRUE(parsed) << parsed.error().display();
  EXPECT_TRUE(parsed->has_preamble);
  EXPECT_EQ(parsed->syntax, TransferSyntax::ExplicitVrLittle);
  EXPECT_EQ(parsed->attributes.rows, 4);
  EXPECT_EQ(parsed->attributes.series_instance_uid, "1.2.9");
  EXPECT_EQ(parsed->attributes.sop_instance_uid, "1.2.3.4");
  EXPECT_EQ(parsed->attributes.spacing_between_slices, 2.5);
  EXPECT_EQ(parsed->pixel_data.kind, PixelDataKind::Native);
  EXPECT_EQ(parsed->pixel_data.value_end, file.size());
  EXPECT_EQ(parsed->pixel_data.value_offset, file.size() - 16);
  EXPECT_EQ(parsed->pixel_data.element_offset, file.size() - 28);
}

TEST(Parse, TransferSyntaxTable) {
  using namespace std::string_view_literals;
  const std::pair<std::string_view, TransferSyntax> cases[] = {
      {"1.2.840.10008.1.2\0"sv, TransferSyntax::ImplicitVrLittle},
      {"1.2.840.10008.1.2.2", TransferSyntax::ExplicitVrBig},
      {"1.2.840.10008.1.2.1", TransferSyntax::ExplicitVrLittle},
      {"1.2.840.10008.1.2.4.50", TransferSyntax::ExplicitVrLittle},
      {"1.2.840.10008.1.2.1.99", TransferSyntax::DeflatedExplicitVrLittle},
  };
  for (auto [uid, syntax] : cases) {
    // The data set is garbage for every syntax but the deflated one, so only check that one fully.
    const auto file = part10(uid, {});
    const auto parsed = parse(file);
    ASSERT_TRUE(parsed) << uid;
    EXPECT_EQ(parsed->syntax, syntax) << uid;
  }
  const auto deflated = part10("1.2.840.10008.1.2.1.99", {0x78, 0x9C, 0x01, 0x02, 0x03});
  ASSERT_TRUE(parse(deflated));
  EXPECT_EQ(parse(deflated)->pixel_data.kind, PixelDataKind::Absent);
}

TEST(Parse, BareDataSetsAndMissingMetaGroups) {
  Writer implicit;
  implicit.explicit_vr = false;
  implicit.us(0x0028, 0x0010, 7);
  auto parsed = parse(implicit.bytes);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->syntax, TransferSyntax::ImplicitVrLittle);
  EXPECT_EQ(parsed->dataset_offset, 0u);
  EXPECT_EQ(parsed->attributes.rows, 7);

  Writer explicit_ds;
  explicit_ds.us(0x0028, 0x0011, 9);
  parsed = parse(explicit_ds.bytes);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->syntax, TransferSyntax::ExplicitVrLittle);

  std::vector<std::uint8_t> dicm(128, 0);
  dicm.insert(dicm.end(), {'D', 'I', 'C', 'M'});
  dicm.insert(dicm.end(), explicit_ds.bytes.begin(), explicit_ds.bytes.end());
  parsed = parse(dicm);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->dataset_offset, 132u);
  EXPECT_EQ(parsed->syntax, TransferSyntax::ExplicitVrLittle);

  Writer no_preamble;
  no_preamble.element(0x0002, 0x0010, "UI", "1.2.840.10008.1.2");
  no_preamble.explicit_vr = false;
  no_preamble.us(0x0028, 0x0010, 3);
  parsed = parse(no_preamble.bytes);
  ASSERT_TRUE(parsed);
  EXPECT_FALSE(parsed->has_preamble);
  EXPECT_EQ(parsed->syntax, TransferSyntax::ImplicitVrLittle);
  EXPECT_EQ(parsed->attributes.rows, 3);

  parsed = parse({});
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->pixel_data.kind, PixelDataKind::Absent);
}

TEST(Parse, BigEndianValuesAndUnknownSequences) {
  Writer ds;
  ds.big_endian = true;
  ds.us(0x0028, 0x0010, 512);
  ds.element(0x0018, 0x9999, "SV", std::string(8, 'v'));  // SV takes the 2-byte length form
  // An undefined-length UN element holds implicit little-endian data.
  ds.header(0x0009, 0x1010, "UN", kUndefined);
  Writer inner;
  inner.explicit_vr = false;
  inner.item().element(0x0010, 0x0010, "", "NAME").item_end().sequence_end();
  ds.bytes.insert(ds.bytes.end(), inner.bytes.begin(), inner.bytes.end());
  ds.element(0x7FE0, 0x0010, "OW", "\x01\x02");
  const auto parsed = parse(part10("1.2.840.10008.1.2.2", ds.bytes));
  ASSERT_TRUE(parsed) << parsed.error().display();
  EXPECT_EQ(parsed->attributes.rows, 512);
  EXPECT_EQ(parsed->pixel_data.kind, PixelDataKind::Native);
}

TEST(Parse, EncapsulatedPixelDataAndFloatPixels) {
  Writer ds;
  ds.header(0x7FE0, 0x0008, "OF", 4).raw("ffff");
  ds.header(0x7FE0, 0x0010, "OB", kUndefined).item(0).item(3).raw("jpg").sequence_end();
  const auto file = part10("1.2.840.10008.1.2.4.50", ds.bytes);
  const auto parsed = parse(file);
  ASSERT_TRUE(parsed) << parsed.error().display();
  EXPECT_TRUE(parsed->float_pixel_data);
  EXPECT_EQ(parsed->pixel_data.kind, PixelDataKind::Encapsulated);
  EXPECT_EQ(parsed->pixel_data.value_end, file.size());
  EXPECT_EQ(parsed->pixel_data.value_offset, file.size() - 8 - 11 - 8);
}

// Sequences nested `levels` deep, each in an undefined-length item.
std::vector<std::uint8_t> nested(int levels) {
  Writer ds;
  for (int k = 0; k < levels; ++k) ds.header(0x0008, 0x1115, "SQ", kUndefined).item();
  for (int k = 0; k < levels; ++k) ds.item_end().sequence_end();
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
}

struct ErrorCase {
  const char* name;
  std::vector<std::uint8_t> data;
  std::string message;
};

TEST(Parse, ReportsEachFault) {
  auto with = [](auto build) {
    Writer w;
    build(w);
    return w.bytes;
  };
  std::vector<ErrorCase> cases = {
      {"lower-case VR", with([](Writer& w) { w.us(0x0028, 0x0002, 1).u16(0x0028).u16(0x0010).raw("us").u16(2).u16(1); }),
       "malformed element (0028,0010) at offset 10: invalid value representation"},
      {"NUL VR", with([](Writer& w) { w.us(0x0028, 0x0010, 1).u16(0x0028).u16(0x0011); w.bytes.insert(w.bytes.end(), {0, 0, 2, 0, 1, 0}); }),
       "malformed element (0028,0011) at offset 10: invalid value representation"},
      {"value past the end", with([](Writer& w) { w.header(0x0010, 0x0010, "PN", 20).raw("abc"); }),
       "unexpected end of data at offset 8"},
      {"long header cut", with([](Writer& w) { w.us(0x0028, 0x0010, 1).raw(std::string_view("\xE0\x7F\x10\x00OW\x00\x00", 8)); }),
       "unexpected end of data at offset 18"},
      {"top-level delimiter", with([](Writer& w) { w.us(0x0028, 0x0010, 1).sequence_end(); }),
       "malformed element (FFFE,E0DD) at offset 10: delimiter outside a sequence"},
      {"element in a sequence", with([](Writer& w) { w.header(0x0008, 0x1115, "SQ", kUndefined).us(0x0028, 0x0010, 1); }),
       "malformed element (0028,0010) at offset 12: expected an item in a sequence"},
      {"delimiter in an item", with([](Writer& w) { w.header(0x0008, 0x1115, "SQ", kUndefined).item().sequence_end(); }),
       "malformed element (FFFE,E0DD) at offset 20: unexpected delimiter in an item"},
      {"unclosed sequence", with([](Writer& w) { w.header(0x0008, 0x1115, "SQ", kUndefined).item(0); }),
       "unexpected end of data at offset 20"},
      {"undefined fragment", with([](Writer& w) { w.header(0x7FE0, 0x0010, "OB", kUndefined).item(0).item(); }),
       "malformed element (FFFE,E000) at offset 20: expected a pixel data fragment"},
      {"fragments without their delimiter", with([](Writer& w) { w.header(0x7FE0, 0x0010, "OB", kUndefined).item(0).item(2).raw("ab"); }),
       "unexpected end of data at offset 30"},
      {"fragment past the end", with([](Writer& w) { w.header(0x7FE0, 0x0010, "OB", kUndefined).item(9).raw("ab"); }),
       "unexpected end of data at offset 20"},
      {"hostile length near the end", with([](Writer& w) { w.header(0x0010, 0x0010, "UT", 0xFFFFFFF0).raw("x"); }),
       "unexpected end of data at offset 12"},
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
  for (const ErrorCase& c : cases) {
    const auto parsed = parse(c.data);
    ASSERT_FALSE(parsed) << c.name;
    EXPECT_EQ(parsed.error().display(), c.message) << c.name;
  }
}

TEST(Parse, RandomBytesNeverCrash) {
  std::uint32_t state = 12345;
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::uint8_t> data(state % 300);
    for (auto& b : data) b = static_cast<std::uint8_t>((state = state * 1664525 + 1013904223) >> 24);
    if (round % 2) data.insert(data.begin(), 132, 0), data[128] = 'D', data[129] = 'I', data[130] = 'C', data[131] = 'M';
    const auto parsed = parse(data);
    if (parsed && parsed->pixel_data.kind != PixelDataKind::Absent) {
      EXPECT_LE(parsed->pixel_data.value_end, data.size());
    }
  }
}

TEST(Tag, DisplayForm) { EXPECT_EQ((Tag{0x7FE0, 0x0010}).display(), "(7FE0,0010)"); }

}  // namespace
}  // namespace qelvo::dicom
