#pragma once
// The mapping between sample values and the dense codes 0..max_code that the tile coder sees.
// When a volume uses a sparse subset of its value range, the used values are numbered densely and
// their list travels in the container as a range-coded presence bitmap (the packing stream).
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "codec/error.hpp"

namespace qelvo::codec {

struct ValueMapping {
  // When present: offsets (value - base) of every value that occurs, strictly increasing, first 0.
  std::optional<std::vector<std::int32_t>> table;
  std::int32_t base = 0;      // smallest sample value
  std::int32_t max_code = 0;  // largest code

  std::int32_t value_of(std::int32_t code) const { return base + (table ? (*table)[code] : code); }
};

struct MappedSamples {
  ValueMapping mapping;
  std::vector<std::int32_t> codes;  // one per sample, in volume order
};

// Chooses the mapping for a volume's samples (at least one, all within 16 bits) and codes them.
MappedSamples map_values(std::span<const std::int32_t> samples, bool packing);

// The packing stream of a table (17-bit span, then one context-coded presence bit per offset).
std::vector<std::uint8_t> write_packing_stream(const std::vector<std::int32_t>& table);

// Rebuilds the mapping from a container's packing stream (empty: no table), base and max_code.
std::expected<ValueMapping, Error> read_mapping(std::span<const std::uint8_t> packing_stream, std::int32_t base,
                                                std::int32_t max_code);

}  // namespace qelvo::codec
