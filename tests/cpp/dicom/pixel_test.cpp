#include "dicom/pixel.hpp"

#include <gtest/gtest.h>

#include <random>

namespace qelvo::dicom {
namespace {

PixelLayout layout(std::uint8_t allocated, std::uint8_t stored, std::uint8_t high, bool is_signed,
                   bool big_endian = false, std::uint32_t samples = 4) {
  return {1, samples, 1, allocated, stored, high, is_signed, big_endian};
}

std::vector<std::uint8_t> words16(std::initializer_list<std::uint16_t> words) {
  std::vector<std::uint8_t> out;
  for (std::uint16_t w : words) out.insert(out.end(), {std::uint8_t(w), std::uint8_t(w >> 8)});
  return out;
}

TEST(PixelLayout, ReconstructInvertsExtractForEveryLayout) {
  std::mt19937 random(11);
  int irregular = 0, sign_extended = 0;
  for (std::uint8_t allocated : {8, 16})
    for (std::uint8_t stored = 1; stored <= allocated; ++stored)
      for (std::uint8_t high = stored - 1; high < allocated; ++high)
        for (bool is_signed : {false, true})
          for (bool big_endian : {false, true})
            for (int style = 0; style < 3; ++style) {
              const PixelLayout l = layout(allocated, stored, high, is_signed, big_endian, 37);
              const unsigned shift = high + 1 - stored;
              std::vector<std::uint8_t> bytes;
              for (std::uint32_t i = 0; i < 37; ++i) {
                std::uint32_t s = random() & ((1u << stored) - 1);
                std::uint32_t w = s << shift;  // style 0: zero convention
                const bool negative = is_signed && (s >> (stored - 1)) & 1;
                if (style == 1 && negative) w |= ((1u << allocated) - 1) & ~((2u << high) - 1);
                if (style == 2) w = random() & ((1u << allocated) - 1);
                if (allocated == 8) bytes.push_back(std::uint8_t(w));
                else if (big_endian) bytes.insert(bytes.end(), {std::uint8_t(w >> 8), std::uint8_t(w)});
                else bytes.insert(bytes.end(), {std::uint8_t(w), std::uint8_t(w >> 8)});
              }
              if (style == 2) bytes.push_back(0x5A);  // a pad byte
              const auto samples = PixelLayout::extract(l, bytes);
              ASSERT_TRUE(samples);
              irregular += samples->convention == BitConvention::Irregular;
              sign_extended += samples->convention == BitConvention::SignExtended;
              ASSERT_EQ(PixelLayout::reconstruct(l, *samples), bytes)
                  << int(allocated) << " " << int(stored) << " " << int(high) << " " << is_signed << " " << style;
            }
  EXPECT_GT(irregular, 0);
  EXPECT_GT(sign_extended, 0);
}

TEST(PixelLayout, Conventions) {
  // Signed 12 of 16 with the top four bits set for negative samples: sign extended.
  auto s = PixelLayout::extract(layout(16, 12, 11, true), words16({0xF800, 0x07FF, 0x0001, 0xFFFF}));
  EXPECT_EQ(s->convention, BitConvention::SignExtended);
  EXPECT_EQ(s->values, (std::vector<std::int32_t>{-2048, 2047, 1, -1}));
  EXPECT_FALSE(s->plane);
  // The same values with the top bits clear: zero convention, still negative values.
  s = PixelLayout::extract(layout(16, 12, 11, true), words16({0x0800, 0x07FF, 0x0001, 0x0FFF}));
  EXPECT_EQ(s->convention, BitConvention::Zero);
  EXPECT_EQ(s->values, (std::vector<std::int32_t>{-2048, 2047, 1, -1}));
  // An overlay bit in one unsigned word: irregular, the plane holds just that bit.
  s = PixelLayout::extract(layout(16, 12, 11, false), words16({1, 2, 0x8003, 4}));
  EXPECT_EQ(s->convention, BitConvention::Irregular);
  EXPECT_EQ(*s->plane, (std::vector<std::uint16_t>{0, 0, 0x8000, 0}));
  // 8-bit signed, 7 stored: 0xC0 passes only the sign test, 0x40 only the zero test.
  const std::vector<std::uint8_t> c0 = {0xC0, 0xC0}, mixed = {0xC0, 0x40};
  EXPECT_EQ(PixelLayout::extract(layout(8, 7, 6, true, false, 2), c0)->convention, BitConvention::SignExtended);
  s = PixelLayout::extract(layout(8, 7, 6, true, false, 2), mixed);
  EXPECT_EQ(s->convention, BitConvention::Irregular);
  EXPECT_EQ(s->values, (std::vector<std::int32_t>{-64, -64}));
  // Stored bits 2..11: a low bit set anywhere is irregular.
  EXPECT_EQ(PixelLayout::extract(layout(16, 10, 11, false), words16({4, 8, 12, 1}))->convention, BitConvention::Irregular);
  // Big-endian words.
  s = PixelLayout::extract(layout(16, 16, 15, false, true, 1), std::vector<std::uint8_t>{0x01, 0x02});
  EXPECT_EQ(s->values, (std::vector<std::int32_t>{0x0102}));
}

TEST(PixelLayout, SizesAndTails) {
  const auto short_value = PixelLayout::extract(layout(16, 16, 15, false), std::vector<std::uint8_t>(7));
  ASSERT_FALSE(short_value);
  EXPECT_EQ(short_value.error().display(), "pixel data has 7 bytes, 8 expected");
  const auto padded = PixelLayout::extract(layout(16, 16, 15, false), std::vector<std::uint8_t>(9, 1));
  EXPECT_EQ(padded->tail, (std::vector<std::uint8_t>{1}));
}

TEST(PixelLayout, FromAttributesChecksInOrder) {
  Attributes base;
  base.rows = 4;
  base.columns = 5;
  base.bits_allocated = 16;
  struct Case {
    const char* name;
    void (*change)(Attributes&);
    std::string message;
  };
  const Case cases[] = {
      {"three samples", [](Attributes& a) { a.samples_per_pixel = 3; a.rows.reset(); }, "unsupported pixel data: more than one sample per pixel"},
      {"no rows", [](Attributes& a) { a.rows.reset(); }, "missing attribute Rows"},
      {"no columns", [](Attributes& a) { a.columns.reset(); }, "missing attribute Columns"},
      {"no bits allocated", [](Attributes& a) { a.bits_allocated.reset(); }, "missing attribute BitsAllocated"},
      {"12 allocated", [](Attributes& a) { a.bits_allocated = 12; }, "unsupported pixel data: bits allocated other than 8 or 16"},
      {"0 stored", [](Attributes& a) { a.bits_stored = 0; }, "unsupported pixel data: inconsistent bits stored and high bit"},
      {"high bit 16", [](Attributes& a) { a.high_bit = 16; }, "unsupported pixel data: inconsistent bits stored and high bit"},
      {"high bit below stored", [](Attributes& a) { a.bits_stored = 13; a.high_bit = 11; }, "unsupported pixel data: inconsistent bits stored and high bit"},
      {"zero rows", [](Attributes& a) { a.rows = 0; }, "unsupported pixel data: empty frame"},
  };
  for (const Case& c : cases) {
    Attributes a = base;
    c.change(a);
    const auto l = PixelLayout::from_attributes(a, TransferSyntax::ExplicitVrLittle);
    ASSERT_FALSE(l) << c.name;
    EXPECT_EQ(l.error().display(), c.message) << c.name;
  }
  Attributes a = base;
  a.number_of_frames = 0;
  a.pixel_representation = 2;
  const auto l = PixelLayout::from_attributes(a, TransferSyntax::ExplicitVrBig);
  ASSERT_TRUE(l);
  EXPECT_EQ(*l, (PixelLayout{4, 5, 1, 16, 16, 15, false, true}));
}

}  // namespace
}  // namespace qelvo::dicom
