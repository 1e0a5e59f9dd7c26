#pragma once
// The mapping between sample values and the dense codes 0..max_code that the tile coder sees.
#include <cstdint>
#include <optional>
#include <vector>

namespace qelvo::codec {

struct ValueMapping {
  // When present: offsets (value - base) of every value that occurs, strictly increasing, first 0.
  std::optional<std::vector<std::int32_t>> table;
  std::int32_t base = 0;      // smallest sample value
  std::int32_t max_code = 0;  // largest code

  std::int32_t value_of(std::int32_t code) const { return base + (table ? (*table)[code] : code); }
};

}  // namespace qelvo::codec
