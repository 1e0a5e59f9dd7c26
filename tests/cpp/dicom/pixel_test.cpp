#include "dicom/pixel.hpp"

#include <gtest/gtest.h>

#include <random>

#include "common/internal_error.hpp"

namespace qelvo::dicom {
namespace {

PixelLayout layout(std::uint8_t allocated, std::uint8_t stored, std::uint8_t high, bool is_signed,
                   bool big_endian = false, std::uint32_t samples = 4) {
  return {1, samples, 1, allocated, stored, high, is_signed, big_endian};
}

std::vector<std::uint8_t> words16(std::initializer_list<std::uint16_t> words, bool big_endian = false) {
  std::vector<std::uint8_t> out;
  for (std::uint16_t w : words) {
    if (big_endian) out.insert(out.end(), {std::uint8_t(w >> 8), std::uint8_t(w)});
    else out.insert(out.end(), {std::uint8_t(w), std::uint8_t(w >> 8)});
  }
  return out;
}

// How the bits outside the stored range of generated words are filled.
enum class Fill { Zero, SignExtended, Random };

// Words of one layout whose stored bits are random and whose other bits follow `fill`.
std::vector<std::uint8_t> random_words(const PixelLayout& l, Fill fill, std::mt19937& random) {
  const unsigned shift = l.high_bit + 1 - l.bits_stored;
  const std::uint32_t word_mask = (1u << l.bits_allocated) - 1;
  const std::uint32_t above_high_bit = word_mask & ~((2u << l.high_bit) - 1);
  std::vector<std::uint8_t> bytes;
  for (std::uint64_t i = 0; i < l.sample_count(); ++i) {
    const std::uint32_t s = random() & ((1u << l.bits_stored) - 1);
    std::uint32_t w = s << shift;
    const bool negative = l.is_signed && (s >> (l.bits_stored - 1)) & 1;
    if (fill == Fill::SignExtended && negative) w |= above_high_bit;
    if (fill == Fill::Random) w = random() & word_mask;
    if (l.bits_allocated == 8) bytes.push_back(std::uint8_t(w));
    else if (l.big_endian) bytes.insert(bytes.end(), {std::uint8_t(w >> 8), std::uint8_t(w)});
    else bytes.insert(bytes.end(), {std::uint8_t(w), std::uint8_t(w >> 8)});
  }
  return bytes;
}

// For every layout: the value is the stored bits (sign-extended when signed), the convention is the
// simplest that holds, and reconstruct gives back the very bytes, pad byte included.
TEST(PixelLayout, ReconstructInvertsExtractForEveryLayout) {
  std::mt19937 random(11);
  int seen[3] = {};
  for (std::uint8_t allocated : {8, 16})
    for (std::uint8_t stored = 1; stored <= allocated; ++stored)
      for (std::uint8_t high = stored - 1; high < allocated; ++high)
        for (bool is_signed : {false, true})
          for (bool big_endian : {false, true})
            for (Fill fill : {Fill::Zero, Fill::SignExtended, Fill::Random})
              for (bool pad : {false, true}) {
                const PixelLayout l = layout(allocated, stored, high, is_signed, big_endian, 37);
                std::vector<std::uint8_t> bytes = random_words(l, fill, random);
                if (pad) bytes.push_back(0x5A);
                const auto samples = PixelLayout::extract(l, bytes);
                const std::string where = std::to_string(allocated) + " " + std::to_string(stored) + " " +
                                          std::to_string(high) + " signed " + std::to_string(is_signed) + " big " +
                                          std::to_string(big_endian) + " fill " + std::to_string(int(fill));
                ASSERT_TRUE(samples) << where;
                ++seen[int(samples->convention)];
                if (fill == Fill::Zero) {
                  EXPECT_EQ(samples->convention, BitConvention::Zero) << where;
                }
                if (fill == Fill::SignExtended && is_signed) {
                  EXPECT_NE(samples->convention, BitConvention::Irregular) << where;
                }
                EXPECT_EQ(samples->plane.has_value(), samples->convention == BitConvention::Irregular) << where;
                EXPECT_EQ(samples->tail.size(), pad ? 1u : 0u) << where;
                const std::int32_t low = is_signed ? -(1 << (stored - 1)) : 0;
                const std::int32_t top = is_signed ? (1 << (stored - 1)) - 1 : (1 << stored) - 1;
                for (std::int32_t v : samples->values) ASSERT_TRUE(v >= low && v <= top) << where << ": " << v;
                ASSERT_EQ(PixelLayout::reconstruct(l, *samples), bytes) << where;
              }
  EXPECT_GT(seen[int(BitConvention::Zero)], 0);
  EXPECT_GT(seen[int(BitConvention::SignExtended)], 0);
  EXPECT_GT(seen[int(BitConvention::Irregular)], 0);
}

TEST(PixelLayout, Conventions) {
  // Signed 12 of 16 with the top four bits set for negative samples: sign extended.
  auto s = PixelLayout::extract(layout(16, 12, 11, true), words16({0xF800, 0x07FF, 0x0001, 0xFFFF}));
  EXPECT_EQ(s->convention, BitConvention::SignExtended);
  EXPECT_EQ(s->values, (std::vector<std::int32_t>{-2048, 2047, 1, -1}));
  EXPECT_FALSE(s->plane);
  // The same values with the top bits clear: zero convention, still negative values; rebuilt as such.
  const auto clear = words16({0x0800, 0x07FF, 0x0001, 0x0FFF});
  s = PixelLayout::extract(layout(16, 12, 11, true), clear);
  EXPECT_EQ(s->convention, BitConvention::Zero);
  EXPECT_EQ(s->values, (std::vector<std::int32_t>{-2048, 2047, 1, -1}));
  EXPECT_EQ(PixelLayout::reconstruct(layout(16, 12, 11, true), *s), clear);
  // Unsigned words with bits above the high bit are never sign extended.
  EXPECT_EQ(PixelLayout::extract(layout(16, 12, 11, false), words16({0xF800, 0, 0, 0}))->convention,
            BitConvention::Irregular);
  // An overlay bit in one unsigned word: irregular, the plane holds just that bit.
  s = PixelLayout::extract(layout(16, 12, 11, false), words16({1, 2, 0x8003, 4}));
  EXPECT_EQ(s->convention, BitConvention::Irregular);
  EXPECT_EQ(*s->plane, (std::vector<std::uint16_t>{0, 0, 0x8000, 0}));
  EXPECT_EQ(s->values, (std::vector<std::int32_t>{1, 2, 3, 4}));
  // 8-bit signed, 7 stored: 0xC0 passes only the sign test, 0x40 only the zero test.
  const std::vector<std::uint8_t> c0 = {0xC0, 0xC0}, mixed = {0xC0, 0x40};
  EXPECT_EQ(PixelLayout::extract(layout(8, 7, 6, true, false, 2), c0)->convention, BitConvention::SignExtended);
  s = PixelLayout::extract(layout(8, 7, 6, true, false, 2), mixed);
  EXPECT_EQ(s->convention, BitConvention::Irregular);
  EXPECT_EQ(s->values, (std::vector<std::int32_t>{-64, -64}));
  EXPECT_EQ(*s->plane, (std::vector<std::uint16_t>{0x80, 0}));
  // Stored bits 2..11: the values are those bits; a low bit set anywhere is irregular.
  s = PixelLayout::extract(layout(16, 10, 11, false), words16({4, 8, 12, 1}));
  EXPECT_EQ(s->convention, BitConvention::Irregular);
  EXPECT_EQ(s->values, (std::vector<std::int32_t>{1, 2, 3, 0}));
  EXPECT_EQ(PixelLayout::extract(layout(16, 10, 11, false), words16({4, 8, 12, 0xFFC}))->convention,
            BitConvention::Zero);
}

TEST(PixelLayout, BigEndianWordsAndTails) {
  const PixelLayout l = layout(16, 12, 11, true, true, 2);
  auto bytes = words16({0xF801, 0x0123}, true);
  bytes.push_back(0xEE);  // tail bytes are copied as they are
  const auto s = PixelLayout::extract(l, bytes);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->values, (std::vector<std::int32_t>{-2047, 0x123}));
  EXPECT_EQ(s->convention, BitConvention::SignExtended);
  EXPECT_EQ(s->tail, (std::vector<std::uint8_t>{0xEE}));
  EXPECT_EQ(PixelLayout::reconstruct(l, *s), bytes);
}

TEST(PixelLayout, SizesAndTails) {
  const auto short_value = PixelLayout::extract(layout(16, 16, 15, false), std::vector<std::uint8_t>(7));
  ASSERT_FALSE(short_value);
  EXPECT_EQ(short_value.error().display(), "pixel data has 7 bytes, 8 expected");
  const auto padded = PixelLayout::extract(layout(16, 16, 15, false), std::vector<std::uint8_t>(9, 1));
  EXPECT_EQ(padded->tail, (std::vector<std::uint8_t>{1}));
}

TEST(PixelLayout, ReconstructRefusesSamplesThatDoNotFitTheLayout) {
  const PixelLayout l = layout(16, 12, 11, false);
  auto broken = [&](Samples s, const char* message) {
    try {
      PixelLayout::reconstruct(l, s);
      ADD_FAILURE() << "no internal error for: " << message;
    } catch (const InternalError& e) {
      EXPECT_STREQ(e.what(), message);
    }
  };
  Samples samples;
  samples.values.assign(3, 0);
  broken(samples, "sample count does not match the layout");
  samples.values.assign(4, 0);
  samples.convention = BitConvention::Irregular;
  broken(samples, "irregular convention without its plane");
  samples.plane = std::vector<std::uint16_t>(5);
  broken(samples, "irregular plane does not match the layout");
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
      {"no rows", [](Attributes& a) { a.rows.reset(); a.columns.reset(); }, "missing attribute Rows"},
      {"no columns", [](Attributes& a) { a.columns.reset(); a.bits_allocated.reset(); }, "missing attribute Columns"},
      {"no bits allocated", [](Attributes& a) { a.bits_allocated.reset(); a.rows = 0; }, "missing attribute BitsAllocated"},
      {"12 allocated", [](Attributes& a) { a.bits_allocated = 12; a.bits_stored = 0; }, "unsupported pixel data: bits allocated other than 8 or 16"},
      {"0 stored", [](Attributes& a) { a.bits_stored = 0; a.rows = 0; }, "unsupported pixel data: inconsistent bits stored and high bit"},
      {"17 stored", [](Attributes& a) { a.bits_stored = 17; }, "unsupported pixel data: inconsistent bits stored and high bit"},
      {"high bit 16", [](Attributes& a) { a.high_bit = 16; }, "unsupported pixel data: inconsistent bits stored and high bit"},
      {"high bit below stored", [](Attributes& a) { a.bits_stored = 13; a.high_bit = 11; }, "unsupported pixel data: inconsistent bits stored and high bit"},
      {"high bit 9 of 8", [](Attributes& a) { a.bits_allocated = 8; a.high_bit = 9; }, "unsupported pixel data: inconsistent bits stored and high bit"},
      {"zero rows", [](Attributes& a) { a.rows = 0; }, "unsupported pixel data: empty frame"},
      {"zero columns", [](Attributes& a) { a.columns = 0; }, "unsupported pixel data: empty frame"},
      {"2^65 bytes", [](Attributes& a) { a.rows = a.columns = 65535; a.number_of_frames = 4294967295u; }, "unsupported pixel data: pixel data larger than addressable memory"},
      {"just under 2^64 bytes", [](Attributes& a) { a.rows = a.columns = 65535; a.number_of_frames = 2147483647u; }, "unsupported pixel data: pixel data larger than addressable memory"},
  };
  for (const Case& c : cases) {
    Attributes a = base;
    c.change(a);
    const auto l = PixelLayout::from_attributes(a, TransferSyntax::ExplicitVrLittle);
    ASSERT_FALSE(l) << c.name;
    EXPECT_EQ(l.error().display(), c.message) << c.name;
  }
  const std::pair<void (*)(Attributes&), PixelLayout> accepted[] = {
      // Defaults: BitsStored = BitsAllocated, HighBit = BitsStored - 1, one frame, unsigned.
      {[](Attributes&) {}, {4, 5, 1, 16, 16, 15, false, false}},
      {[](Attributes& a) { a.number_of_frames = 0; a.pixel_representation = 2; a.samples_per_pixel = 1; }, {4, 5, 1, 16, 16, 15, false, false}},
      {[](Attributes& a) { a.bits_stored = 12; a.pixel_representation = 1; a.number_of_frames = 7; }, {4, 5, 7, 16, 12, 11, true, false}},
      {[](Attributes& a) { a.bits_allocated = 8; a.bits_stored = 7; a.high_bit = 7; }, {4, 5, 1, 8, 7, 7, false, false}},
      // Just under 2^63 bytes.
      {[](Attributes& a) { a.rows = a.columns = 65535; a.number_of_frames = 2147483647u; a.bits_allocated = 8; }, {65535, 65535, 2147483647u, 8, 8, 7, false, false}},
  };
  for (const auto& [change, expected] : accepted) {
    Attributes a = base;
    change(a);
    EXPECT_EQ(PixelLayout::from_attributes(a, TransferSyntax::ImplicitVrLittle), expected);
  }
  const auto big = PixelLayout::from_attributes(base, TransferSyntax::ExplicitVrBig);
  ASSERT_TRUE(big);
  EXPECT_TRUE(big->big_endian);
}

}  // namespace
}  // namespace qelvo::dicom
