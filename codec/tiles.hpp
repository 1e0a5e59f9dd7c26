#pragma once
// How a volume is cut into independently coded tiles. A tile is `slab_len` consecutive slices by
// `stripe_len` consecutive rows, always all columns. Tiles come slab by slab and, within a slab,
// stripe by stripe; only the last slab and the last stripe of each slab may be shorter.
#include <cstdint>
#include <vector>

namespace qelvo::codec {

struct TileBox {
  std::uint64_t slab_start;
  std::uint64_t stripe_start;
  std::uint64_t slab_len;
  std::uint64_t stripe_len;

  bool operator==(const TileBox&) const = default;
};

// The tiles of a volume of `slices` by `rows`, in tile order. `slab` and `stripe` must be at least 1:
// callers reject 0 before they get here.
std::vector<TileBox> tiles(std::uint64_t slices, std::uint64_t rows, std::uint64_t slab, std::uint64_t stripe);

}  // namespace qelvo::codec
