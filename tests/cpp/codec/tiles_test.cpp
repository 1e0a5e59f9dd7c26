#include "codec/tiles.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "codec/container.hpp"
#include "common/internal_error.hpp"

namespace qelvo::codec {

void PrintTo(const TileBox& box, std::ostream* out) {
  *out << "(" << box.slab_start << ", " << box.stripe_start << ", " << box.slab_len << ", " << box.stripe_len << ")";
}

namespace {

struct TilingCase {
  const char* name;
  std::uint64_t slices, rows, slab, stripe;
  std::vector<TileBox> expected;
};

TEST(Tiles, CutsSlabBySlabThenStripeByStripe) {
  const TilingCase cases[] = {
      {"2-D image, short last stripe", 1, 1000, 32, 512, {{0, 0, 1, 512}, {0, 512, 1, 488}}},
      {"one slice past a slab", 33, 100, 32, 512, {{0, 0, 32, 100}, {32, 0, 1, 100}}},
      {"tile larger than the volume", 5, 7, 32, 512, {{0, 0, 5, 7}}},
      {"exact multiples leave no short tile", 64, 1024, 32, 512,
       {{0, 0, 32, 512}, {0, 512, 32, 512}, {32, 0, 32, 512}, {32, 512, 32, 512}}},
      {"3 x 3 with short last slab and stripe", 70, 1200, 32, 512,
       {{0, 0, 32, 512}, {0, 512, 32, 512}, {0, 1024, 32, 176},
        {32, 0, 32, 512}, {32, 512, 32, 512}, {32, 1024, 32, 176},
        {64, 0, 6, 512}, {64, 512, 6, 512}, {64, 1024, 6, 176}}},
      {"single-row stripes of single slices", 2, 3, 1, 1,
       {{0, 0, 1, 1}, {0, 1, 1, 1}, {0, 2, 1, 1}, {1, 0, 1, 1}, {1, 1, 1, 1}, {1, 2, 1, 1}}},
  };
  for (const TilingCase& c : cases) {
    EXPECT_EQ(tiles(c.slices, c.rows, c.slab, c.stripe), c.expected) << c.name;
  }
}

// Every (slice, row) of the volume belongs to exactly one tile, and the number of tiles is the one a
// container header states for the same tiling.
TEST(Tiles, CoverEveryRowOnceAndAgreeWithTheHeaderTileCount) {
  struct Shape {
    std::uint64_t slices, rows, slab, stripe;
  };
  const Shape shapes[] = {{1, 1, 1, 1}, {7, 13, 3, 5}, {31, 17, 32, 4}, {32, 64, 32, 64}, {9, 100, 2, 33}};
  for (const Shape& s : shapes) {
    const std::vector<TileBox> boxes = tiles(s.slices, s.rows, s.slab, s.stripe);
    EXPECT_EQ(boxes.size(), tile_count(s.slices, s.rows, s.slab, s.stripe));
    std::vector<int> covered(s.slices * s.rows, 0);
    for (const TileBox& box : boxes) {
      ASSERT_LE(box.slab_start + box.slab_len, s.slices);
      ASSERT_LE(box.stripe_start + box.stripe_len, s.rows);
      for (std::uint64_t z = box.slab_start; z < box.slab_start + box.slab_len; ++z)
        for (std::uint64_t y = box.stripe_start; y < box.stripe_start + box.stripe_len; ++y) ++covered[z * s.rows + y];
    }
    EXPECT_EQ(covered, std::vector<int>(s.slices * s.rows, 1))
        << s.slices << "x" << s.rows << " by " << s.slab << "x" << s.stripe;
  }
}

TEST(Tiles, ZeroSlabOrStripeIsAnInternalError) {
  EXPECT_THROW(tiles(4, 4, 0, 2), InternalError);
  EXPECT_THROW(tiles(4, 4, 2, 0), InternalError);
}

}  // namespace
}  // namespace qelvo::codec
