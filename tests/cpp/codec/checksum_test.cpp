#include "codec/checksum.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <vector>

#include "codec/model_id.hpp"

namespace qelvo::codec {
namespace {

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(Crc32c, MatchesTheCheckValue) {
  EXPECT_EQ(crc32c(bytes_of("123456789")), 0xE3069283u);
  EXPECT_EQ(crc32c_table(bytes_of("123456789")), 0xE3069283u);
  EXPECT_EQ(crc32c({}), 0u);
}

TEST(Crc32c, HardwareAndTableAgreeOnEveryLengthAndSplit) {
  if (!crc32c_hardware_available()) GTEST_SKIP() << "no CRC-32C instruction on this processor";
  std::mt19937 random(7);
  std::vector<std::uint8_t> data(1000);
  for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
  const std::span<const std::uint8_t> all(data);
  for (std::size_t length = 0; length <= 70; ++length)
    EXPECT_EQ(crc32c_hardware(all.first(length)), crc32c_table(all.first(length))) << length;
  const std::uint32_t whole = crc32c_table(all);
  for (std::size_t split : {0ul, 1ul, 7ul, 8ul, 9ul, 500ul, 999ul, 1000ul}) {
    EXPECT_EQ(crc32c_hardware(all.subspan(split), crc32c_hardware(all.first(split))), whole) << split;
    EXPECT_EQ(crc32c_table(all.subspan(split), crc32c_table(all.first(split))), whole) << split;
  }
}

TEST(Sha256, MatchesKnownDigestsAndIncrementalUse) {
  EXPECT_EQ(hex(sha256(bytes_of("abc")).data(), 32),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  Sha256 pieces;
  pieces.update(bytes_of("a"));
  pieces.update(bytes_of("bc"));
  EXPECT_EQ(pieces.finish(), sha256(bytes_of("abc")));
}

TEST(ModelId, TextIsThirtyTwoLowerCaseDigits) {
  ModelId id;
  for (std::size_t i = 0; i < id.bytes.size(); ++i) id.bytes[i] = static_cast<std::uint8_t>(i * 17);
  EXPECT_EQ(id.text(), "00112233445566778899aabbccddeeff");
}

}  // namespace
}  // namespace qelvo::codec
