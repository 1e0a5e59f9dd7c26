#include "codec/tiles.hpp"

#include <algorithm>

#include "common/internal_error.hpp"

namespace qelvo::codec {

std::vector<TileBox> tiles(std::uint64_t slices, std::uint64_t rows, std::uint64_t slab, std::uint64_t stripe) {
  if (slab == 0 || stripe == 0) internal_error("tiles: slab and stripe must be at least 1");
  const std::uint64_t slabs = slices / slab + (slices % slab != 0);
  const std::uint64_t stripes = rows / stripe + (rows % stripe != 0);
  std::uint64_t count = 0;
  if (__builtin_mul_overflow(slabs, stripes, &count)) internal_error("tiles: tile count overflows");

  std::vector<TileBox> boxes;
  boxes.reserve(count);
  for (std::uint64_t s = 0; s < slabs; ++s) {
    const std::uint64_t slab_start = s * slab;
    const std::uint64_t slab_len = std::min(slab, slices - slab_start);
    for (std::uint64_t k = 0; k < stripes; ++k) {
      const std::uint64_t stripe_start = k * stripe;
      boxes.push_back({slab_start, stripe_start, slab_len, std::min(stripe, rows - stripe_start)});
    }
  }
  return boxes;
}

}  // namespace qelvo::codec
