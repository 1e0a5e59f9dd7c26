#include "codec/volume.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qelvo::codec {
namespace {

struct InvalidCase {
  const char* name;
  std::uint64_t slices, rows, columns;
  std::uint8_t bits;
  bool is_signed;
  std::vector<std::int32_t> samples;
  std::string message;
};

TEST(Volume, RejectsInvalidVolumesWithTheFirstFailingCheck) {
  const std::string times = "\u00d7";
  const InvalidCase cases[] = {
      {"zero dimension", 0, 5, 5, 8, false, {}, "empty dimension"},
      {"zero bits", 1, 2, 3, 0, false, std::vector<std::int32_t>(6), "0 bits per sample; 1 to 16 are supported"},
      {"17 bits", 1, 2, 3, 17, false, std::vector<std::int32_t>(6), "17 bits per sample; 1 to 16 are supported"},
      {"bits before count", 2, 3, 4, 0, false, std::vector<std::int32_t>(23), "0 bits per sample; 1 to 16 are supported"},
      {"wrong count", 2, 3, 4, 8, false, std::vector<std::int32_t>(23), "23 samples for 2" + times + "3" + times + "4"},
      {"product overflows", 1ull << 32, 1ull << 32, 2, 8, false, {}, "0 samples for 4294967296" + times + "4294967296" + times + "2"},
      {"unsigned 16 above", 1, 1, 1, 16, false, {65536}, "value 65536 outside [0, 65535]"},
      {"signed 8 above", 1, 2, 2, 8, true, {0, -128, 127, 128}, "value 128 outside [-128, 127]"},
      {"first bad reported", 1, 2, 2, 8, true, {-129, 0, 0, 128}, "value -129 outside [-128, 127]"},
      {"signed 1 bit", 1, 1, 2, 1, true, {-1, 1}, "value 1 outside [-1, 0]"},
      {"unsigned 12 bit", 1, 1, 1, 12, false, {4096}, "value 4096 outside [0, 4095]"},
  };
  for (const InvalidCase& c : cases) {
    const auto volume = Volume::create(c.slices, c.rows, c.columns, c.bits, c.is_signed, c.samples);
    ASSERT_FALSE(volume.has_value()) << c.name;
    EXPECT_EQ(volume.error().kind, ErrorKind::InvalidVolume) << c.name;
    EXPECT_EQ(volume.error().display(), "invalid volume: " + c.message) << c.name;
  }
}

TEST(Volume, AcceptsValuesAtTheEdgesOfTheirFormat) {
  EXPECT_TRUE(Volume::create(1, 1, 1, 16, false, {65535}).has_value());
  EXPECT_TRUE(Volume::create(1, 1, 2, 16, true, {-32768, 32767}).has_value());
  EXPECT_TRUE(Volume::create(1, 1, 2, 1, true, {-1, 0}).has_value());
  EXPECT_TRUE(Volume::create(1, 1, 2, 1, false, {0, 1}).has_value());
}

TEST(Volume, Sha256HashesTheSixteenBitSampleForm) {
  // The format is not hashed: signed -1 in 8 bits and unsigned 65535 are the same two bytes.
  const auto a = Volume::create(1, 1, 1, 8, true, {-1});
  const auto b = Volume::create(1, 1, 1, 16, false, {65535});
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->sha256(), b->sha256());
  EXPECT_EQ(a->sha256(), sha256(std::vector<std::uint8_t>{0xFF, 0xFF}));

  // More than one chunk of samples, compared with one digest over the whole byte form.
  std::vector<std::int32_t> samples(10000);
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::int32_t>((i * 7919) % 40000);
    bytes.push_back(static_cast<std::uint8_t>(samples[i]));
    bytes.push_back(static_cast<std::uint8_t>(samples[i] >> 8));
  }
  const auto big = Volume::create(1, 100, 100, 16, false, samples);
  ASSERT_TRUE(big);
  EXPECT_EQ(big->sha256(), sha256(bytes));
}

TEST(CrcOfSamples, MapsCodesToValuesAndContinuesAcrossSplits) {
  EXPECT_EQ(crc_of_samples({}, ValueMapping{}), 0u);

  const ValueMapping plain{std::nullopt, -1000, 5000};
  const ValueMapping packed{std::vector<std::int32_t>{0, 1000, 2000}, -1000, 2};
  // Codes 0, 1, 2 stand for -1000, 0, 1000 under the table, and -1000, -999, -998 without.
  const std::vector<std::int32_t> codes = {0, 1, 2};
  const std::vector<std::uint8_t> packed_values = {0x18, 0xFC, 0x00, 0x00, 0xE8, 0x03};
  const std::vector<std::uint8_t> plain_values = {0x18, 0xFC, 0x19, 0xFC, 0x1A, 0xFC};
  EXPECT_EQ(crc_of_samples(codes, packed), crc32c(packed_values));
  EXPECT_EQ(crc_of_samples(codes, plain), crc32c(plain_values));

  std::vector<std::int32_t> many(9001);
  for (std::size_t i = 0; i < many.size(); ++i) many[i] = static_cast<std::int32_t>(i % 5000);
  const std::span<const std::int32_t> all(many);
  const std::uint32_t whole = crc_of_samples(all, plain);
  for (std::size_t split : {0ul, 1ul, 4096ul, 5000ul, 9001ul}) {
    std::vector<std::uint8_t> tail;
    for (std::int32_t c : all.subspan(split)) {
      const std::int32_t v = plain.value_of(c);
      tail.push_back(static_cast<std::uint8_t>(v));
      tail.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    EXPECT_EQ(crc32c(tail, crc_of_samples(all.first(split), plain)), whole) << split;
  }
}

}  // namespace
}  // namespace qelvo::codec
