#include "codec/container.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "common/bytes.hpp"

namespace qelvo::codec {
namespace {

constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

// Two slices, slab 1: two tiles, a 3-byte packing stream and 2 bytes of metadata.
Header sample_header() {
  Header h;
  h.slices = 2;
  h.rows = 3;
  h.columns = 4;
  h.bits = 12;
  h.is_signed = false;
  h.base = 10;
  h.max_code = 100;
  h.slab = 1;
  h.stripe = 512;
  for (std::size_t i = 0; i < 16; ++i) {
    h.model_2d.bytes[i] = static_cast<std::uint8_t>(i);
    h.model_3d.bytes[i] = static_cast<std::uint8_t>(0xF0 + i);
  }
  for (std::size_t i = 0; i < 32; ++i) h.sha256[i] = static_cast<std::uint8_t>(3 * i);
  h.packing_stream = {1, 2, 3};
  h.metadata = {'h', 'i'};
  h.tiles = {{0, 5, 0x11111111, 0x22222222}, {5, 7, 0x33333333, 0x44444444}};
  return h;
}

std::vector<std::uint8_t> sample_container() {
  std::vector<std::uint8_t> bytes;
  sample_header().write(bytes);
  bytes.resize(bytes.size() + 12, 0xAB);  // the two tile streams
  return bytes;
}

// Offsets in the sample container.
constexpr std::size_t kPackingLength = 108;
constexpr std::size_t kMetadataLength = 115;
constexpr std::size_t kTileTable = 121;

template <typename T>
void put(std::vector<std::uint8_t>& bytes, std::size_t offset, T value) {
  std::vector<std::uint8_t> encoded;
  store_le<T>(encoded, value);
  std::copy(encoded.begin(), encoded.end(), bytes.begin() + offset);
}

TEST(Header, WriteThenParseRoundTrips) {
  const auto bytes = sample_container();
  const auto parsed = Header::parse(bytes, kNoLimit);
  ASSERT_TRUE(parsed) << parsed.error().display();
  const Header expected = sample_header();
  EXPECT_EQ(parsed->slices, 2u);
  EXPECT_EQ(parsed->bits, 12);
  EXPECT_EQ(parsed->base, 10);
  EXPECT_EQ(parsed->max_code, 100u);
  EXPECT_EQ(parsed->model_2d, expected.model_2d);
  EXPECT_EQ(parsed->model_3d, expected.model_3d);
  EXPECT_EQ(parsed->sha256, expected.sha256);
  EXPECT_EQ(parsed->packing_stream, expected.packing_stream);
  EXPECT_EQ(parsed->metadata, expected.metadata);
  EXPECT_EQ(parsed->tiles, expected.tiles);
  EXPECT_EQ(parsed->stream_start, bytes.size() - 12);
  EXPECT_EQ(load_le<std::uint32_t>(bytes.data() + 40), 76u + 3 + 2 + 40);
  EXPECT_EQ(load_le<std::uint16_t>(bytes.data() + 6), 3u);
}

TEST(Header, WritesNoFlagsWithoutPackingOrMetadata) {
  Header h = sample_header();
  h.packing_stream.clear();
  h.metadata.clear();
  std::vector<std::uint8_t> bytes;
  h.write(bytes);
  EXPECT_EQ(load_le<std::uint16_t>(bytes.data() + 6), 0u);
  const auto parsed = Header::parse(bytes, kNoLimit);
  ASSERT_TRUE(parsed) << parsed.error().display();
  EXPECT_TRUE(parsed->packing_stream.empty());
  EXPECT_TRUE(parsed->metadata.empty());
}

struct DamageCase {
  const char* name;
  std::function<void(std::vector<std::uint8_t>&)> damage;
  std::string message;
  std::uint64_t max_samples = kNoLimit;
};

TEST(Header, ReportsEachDamageWithItsOwnCheck) {
  using Bytes = std::vector<std::uint8_t>;
  auto cut = [](std::size_t size) { return [size](Bytes& b) { b.resize(size); }; };
  const std::string truncated = "container is truncated";
  const DamageCase cases[] = {
      {"empty", cut(0), "not a Qelvo container"},
      {"three bytes", [](Bytes& b) { b = {'a', 'b', 'c'}; }, "not a Qelvo container"},
      {"wrong magic", [](Bytes& b) { b[1] = 'X'; }, "not a Qelvo container"},
      {"magic alone", cut(4), truncated},
      {"cut in version", cut(5), truncated},
      {"version 2", [](Bytes& b) { put<std::uint16_t>(b, 4, 2); }, "unsupported: container version 2"},
      {"cut in flags", cut(7), truncated},
      {"flags 4", [](Bytes& b) { put<std::uint16_t>(b, 6, 4); }, "unsupported: container flags 0x0004"},
      {"flags 0x1f03", [](Bytes& b) { put<std::uint16_t>(b, 6, 0x1F03); }, "unsupported: container flags 0x1f03"},
      {"cut before signedness", cut(21), truncated},
      {"signedness 2", [](Bytes& b) { b[21] = 2; }, "corrupt container: signedness flag"},
      {"cut in reserved", cut(23), truncated},
      {"reserved", [](Bytes& b) { b[23] = 1; }, "corrupt container: reserved header field"},
      {"cut before models", cut(43), truncated},
      {"zero slices", [](Bytes& b) { put<std::uint32_t>(b, 8, 0); }, "corrupt container: volume dimensions"},
      {"zero columns", [](Bytes& b) { put<std::uint32_t>(b, 16, 0); }, "corrupt container: volume dimensions"},
      {"above the sample limit", [](Bytes&) {}, "corrupt container: volume dimensions", 23},
      {"zero stripe", [](Bytes& b) { put<std::uint16_t>(b, 34, 0); }, "corrupt container: sample format or tiling"},
      {"zero slab", [](Bytes& b) { put<std::uint16_t>(b, 32, 0); }, "corrupt container: sample format or tiling"},
      {"zero bits", [](Bytes& b) { b[20] = 0; }, "corrupt container: sample format or tiling"},
      {"17 bits", [](Bytes& b) { b[20] = 17; }, "corrupt container: sample format or tiling"},
      {"negative max_code", [](Bytes& b) { put<std::uint32_t>(b, 28, 0x80000000u); }, "corrupt container: value mapping"},
      {"base below the format", [](Bytes& b) { put<std::int32_t>(b, 24, -1); }, "corrupt container: value mapping"},
      {"codes above the format", [](Bytes& b) { put<std::uint32_t>(b, 28, 4086); }, "corrupt container: value mapping"},
      {"tile count", [](Bytes& b) { put<std::uint32_t>(b, 36, 3); }, "corrupt container: tile count does not match the tiling"},
      {"header length beyond the data", [](Bytes& b) { put<std::uint32_t>(b, 40, 1000); }, truncated},
      {"header length one more", [](Bytes& b) { put<std::uint32_t>(b, 40, 122); }, "corrupt container: header length"},
      {"header length one less", [](Bytes& b) { put<std::uint32_t>(b, 40, 120); }, "corrupt container: header length"},
      {"packing flag cleared", [](Bytes& b) { b[6] &= ~1; }, "corrupt container: packing flag and table disagree"},
      {"packing length beyond the data", [](Bytes& b) { put<std::uint32_t>(b, kPackingLength, 1u << 30); }, truncated},
      {"metadata flag cleared", [](Bytes& b) { b[6] &= ~2; }, "corrupt container: metadata flag and length disagree"},
      {"first offset not 0", [](Bytes& b) { put<std::uint64_t>(b, kTileTable, 1); }, "corrupt container: tile table is not contiguous"},
      {"second offset", [](Bytes& b) { put<std::uint64_t>(b, kTileTable + 20, 6); }, "corrupt container: tile table is not contiguous"},
      {"first length", [](Bytes& b) { put<std::uint32_t>(b, kTileTable + 8, 6); }, "corrupt container: tile table is not contiguous"},
      {"last length", [](Bytes& b) { put<std::uint32_t>(b, kTileTable + 28, 6); }, "corrupt container: header checksum mismatch"},
      {"stream crc", [](Bytes& b) { b[kTileTable + 12] ^= 1; }, "corrupt container: header checksum mismatch"},
      {"samples crc", [](Bytes& b) { b[kTileTable + 36] ^= 1; }, "corrupt container: header checksum mismatch"},
      {"model identifier", [](Bytes& b) { b[50] ^= 1; }, "corrupt container: header checksum mismatch"},
      {"sha256", [](Bytes& b) { b[100] ^= 1; }, "corrupt container: header checksum mismatch"},
      {"metadata byte", [](Bytes& b) { b[kMetadataLength + 4] ^= 1; }, "corrupt container: header checksum mismatch"},
      {"stored crc", [](Bytes& b) { b[kTileTable + 40] ^= 1; }, "corrupt container: header checksum mismatch"},
      {"cut inside the tile table", cut(kTileTable + 25), truncated},
      {"cut inside the crc", cut(kTileTable + 42), truncated},
  };
  for (const DamageCase& c : cases) {
    auto bytes = sample_container();
    c.damage(bytes);
    const auto parsed = Header::parse(bytes, c.max_samples);
    ASSERT_FALSE(parsed.has_value()) << c.name;
    EXPECT_EQ(parsed.error().display(), c.message) << c.name;
  }
}

TEST(Header, IgnoresTheStreamsAndTrailingBytes) {
  auto bytes = sample_container();
  const std::size_t header_end = bytes.size() - 12;
  bytes.resize(header_end);  // streams missing: the header alone still parses
  EXPECT_TRUE(Header::parse(bytes, kNoLimit).has_value());
  bytes.resize(header_end + 1000, 0x5A);
  EXPECT_TRUE(Header::parse(bytes, kNoLimit).has_value());
}

TEST(Header, HugeTileCountInAShortContainerIsTruncatedNotAllocated) {
  auto bytes = sample_container();
  put<std::uint32_t>(bytes, 8, 0xFFFFFFFFu);  // 2^32 - 1 slices of one slice per tile
  put<std::uint32_t>(bytes, 36, 0xFFFFFFFFu);
  const auto parsed = Header::parse(bytes, kNoLimit);
  ASSERT_FALSE(parsed.has_value());
  EXPECT_EQ(parsed.error().kind, ErrorKind::Truncated);
}

TEST(TileCount, CoversEveryPartialSlabAndStripe) {
  EXPECT_EQ(tile_count(1, 1000, 32, 512), 2u);
  EXPECT_EQ(tile_count(33, 100, 32, 512), 2u);
  EXPECT_EQ(tile_count(70, 1200, 32, 512), 9u);
  EXPECT_EQ(tile_count(5, 5, 100, 100), 1u);
}

}  // namespace
}  // namespace qelvo::codec
