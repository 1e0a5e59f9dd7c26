#include "codec/packing.hpp"

#include <gtest/gtest.h>

#include <numeric>

namespace qelvo::codec {
namespace {

std::vector<std::int32_t> values_with(std::int32_t lo, std::int32_t span, std::int32_t distinct) {
  // `distinct` values spread over lo..lo+span, both ends included.
  std::vector<std::int32_t> values;
  for (std::int32_t i = 0; i < distinct; ++i) values.push_back(lo + static_cast<std::int32_t>(std::int64_t{span} * i / (distinct - 1)));
  return values;
}

TEST(Packing, ChoosesATableOnlyForSparseWideRanges) {
  struct Case {
    const char* name;
    std::vector<std::int32_t> samples;
    bool packing;
    bool table;
    std::int32_t max_code;
  };
  std::vector<std::int32_t> all_bytes(256);
  std::iota(all_bytes.begin(), all_bytes.end(), 0);
  const Case cases[] = {
      {"two far values", {0, 1000, 1000, 0}, true, true, 1},
      {"every byte value", all_bytes, true, false, 255},
      {"span 64 with 48 values", values_with(0, 64, 48), true, true, 47},
      {"span 64 with 49 values", values_with(0, 64, 49), true, false, 64},
      {"span 63 is never packed", {0, 63}, true, false, 63},
      {"constant", {7, 7, 7}, true, false, 0},
      {"packing off", {0, 1000}, false, false, 1000},
  };
  for (const Case& c : cases) {
    const MappedSamples mapped = map_values(c.samples, c.packing);
    EXPECT_EQ(mapped.mapping.table.has_value(), c.table) << c.name;
    EXPECT_EQ(mapped.mapping.max_code, c.max_code) << c.name;
    for (std::size_t i = 0; i < c.samples.size(); ++i)
      EXPECT_EQ(mapped.mapping.value_of(mapped.codes[i]), c.samples[i]) << c.name << " " << i;
  }
}

TEST(Packing, SignedValuesAreOffsetFromTheSmallest) {
  const MappedSamples mapped = map_values(std::vector<std::int32_t>{1000, -1000, 0}, true);
  EXPECT_EQ(mapped.mapping.base, -1000);
  EXPECT_EQ(*mapped.mapping.table, (std::vector<std::int32_t>{0, 1000, 2000}));
  EXPECT_EQ(mapped.codes, (std::vector<std::int32_t>{2, 0, 1}));
}

TEST(Packing, StreamRoundTripsTables) {
  const std::vector<std::vector<std::int32_t>> tables = {
      {0, 1000}, {0, 65535}, {0, 1, 2, 3, 100, 101, 102, 5000}, values_with(0, 65535, 300)};
  for (const auto& table : tables) {
    const auto stream = write_packing_stream(table);
    const auto mapping = read_mapping(stream, -5, static_cast<std::int32_t>(table.size()) - 1);
    ASSERT_TRUE(mapping) << mapping.error().display();
    EXPECT_EQ(*mapping->table, table);
    EXPECT_EQ(mapping->base, -5);
  }
  const auto plain = read_mapping({}, 3, 9);
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->table);
}

TEST(Packing, DamagedStreamsAreReportedInOrder) {
  const std::vector<std::int32_t> table = {0, 10, 2000};
  const auto stream = write_packing_stream(table);
  auto extended = stream;
  extended.push_back(0);
  auto shortened = stream;
  shortened.pop_back();
  const std::string stream_text = "corrupt container: packing table stream";
  EXPECT_EQ(read_mapping(extended, 0, 2).error().display(), stream_text);
  EXPECT_EQ(read_mapping(shortened, 0, 2).error().display(), stream_text);
  EXPECT_EQ(read_mapping(stream, 0, 3).error().display(), "corrupt container: packing table does not match the header");
  // A span above 65,536 (17 bits all ones) is refused before any presence bit is read.
  const std::vector<std::uint8_t> huge_span = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(read_mapping(huge_span, 0, 2).error().display(), "corrupt container: packing table span out of range");
}

}  // namespace
}  // namespace qelvo::codec
