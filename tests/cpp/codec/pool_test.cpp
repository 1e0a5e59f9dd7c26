#include "codec/pool.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "codec/error.hpp"
#include "common/internal_error.hpp"

namespace qelvo::codec {
namespace {

using namespace std::chrono_literals;

struct Mode {
  const char* name;
  std::optional<std::uint64_t> threads;
};
const Mode kModes[] = {
    {"shared pool", std::nullopt}, {"inline", 1}, {"two threads", 2}, {"default size", 0}, {"eight threads", 8},
};

// How many threads take tiles at once in a mode, given enough tiles.
std::size_t threads_at_work(std::optional<std::uint64_t> threads) {
  if (!threads || *threads == 0) return available_processors();
  return *threads;
}

// Lets `parties` tiles wait for each other. The wait is bounded so that a pool that never runs
// tiles side by side fails the test instead of hanging it.
class Rendezvous {
 public:
  explicit Rendezvous(std::size_t parties) : parties_(parties) {}

  bool arrive_and_wait() {
    arrived_.fetch_add(1);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (arrived_.load() < parties_) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(50us);
    }
    return true;
  }

 private:
  const std::size_t parties_;
  std::atomic<std::size_t> arrived_{0};
};

using TileResult = std::expected<std::vector<std::int32_t>, Error>;

// A decoder-like tile: some tiles fail with an error value, the others return owned data. Cost is
// uneven so that threads finish out of order.
TileResult uneven_tile(std::size_t index) {
  if (index % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(50 * (index % 7)));
  const auto i = static_cast<std::int32_t>(index);
  if (index % 7 == 3) return std::unexpected(Error::corrupt("tile " + std::to_string(index)));
  return std::vector<std::int32_t>{i, -i, i * i};
}

TEST(MapTiles, RunsEveryIndexOnceAndReturnsResultsInIndexOrder) {
  for (const Mode& mode : kModes) {
    for (const std::size_t count : {0uz, 1uz, 2uz, 61uz}) {
      std::vector<std::atomic<int>> calls(count);
      const std::vector<TileResult> results = map_tiles(count, mode.threads, [&](std::size_t index) {
        ++calls[index];
        return uneven_tile(index);
      });

      ASSERT_EQ(results.size(), count) << mode.name;
      for (std::size_t i = 0; i < count; ++i) {
        EXPECT_EQ(calls[i].load(), 1) << mode.name << ", tile " << i << " of " << count;
        EXPECT_EQ(results[i], uneven_tile(i)) << mode.name << ", tile " << i << " of " << count;
      }
    }
  }
}

// A mode keeps exactly its number of threads busy: fewer would leave processors idle, more would
// oversubscribe the ones the caller asked for.
TEST(MapTiles, RunsAsManyTilesAtOnceAsTheModeHasThreads) {
  for (const Mode& mode : kModes) {
    const std::size_t width = threads_at_work(mode.threads);
    Rendezvous first_wave(width);
    std::atomic<std::size_t> arrivals{0}, running{0}, peak{0};

    const std::vector<bool> met = map_tiles(3 * width, mode.threads, [&](std::size_t) {
      const std::size_t now = ++running;
      std::size_t seen = peak.load();
      while (seen < now && !peak.compare_exchange_weak(seen, now)) {
      }
      // The first `width` tiles can only all get here if `width` threads run them; they stay a
      // little so that a surplus thread would show in `peak`.
      const bool in_first_wave = arrivals++ < width;
      const bool ok = !in_first_wave || first_wave.arrive_and_wait();
      std::this_thread::sleep_for(in_first_wave ? 20ms : 1ms);
      --running;
      return ok;
    });

    EXPECT_EQ(std::count(met.begin(), met.end(), false), 0) << mode.name << ": fewer than " << width << " threads";
    EXPECT_LE(peak.load(), width) << mode.name;
  }
}

TEST(MapTiles, CarriesTheLowestFailingTilesErrorBackAfterRunningAllTiles) {
  constexpr std::size_t kCount = 20;
  for (const Mode& mode : kModes) {
    std::vector<std::atomic<int>> calls(kCount);
    std::atomic<bool> later_failed{false};
    const bool parallel = threads_at_work(mode.threads) > 1;
    try {
      map_tiles(kCount, mode.threads, [&](std::size_t index) {
        ++calls[index];
        if (index == 5) {
          // Where another thread can get there, let tile 13 fail first in time.
          for (int waited = 0; parallel && !later_failed && waited < 10000; ++waited) std::this_thread::sleep_for(1ms);
          internal_error("tile 5");
        }
        if (index == 13) {
          later_failed = true;
          internal_error("tile 13");
        }
        return index;
      });
      ADD_FAILURE() << mode.name << ": no exception reached the caller";
    } catch (const InternalError& error) {
      EXPECT_STREQ(error.what(), "tile 5") << mode.name;
    }
    for (std::size_t i = 0; i < kCount; ++i) EXPECT_EQ(calls[i].load(), 1) << mode.name << ", tile " << i;
  }
}

// The calling thread takes tiles of its own call, so a call made from inside a tile finishes even
// when every worker is busy with outer tiles.
TEST(MapTiles, CallsFromInsideATileComplete) {
  for (const Mode& outer : kModes) {
    const std::vector<std::uint64_t> sums = map_tiles(6, outer.threads, [](std::size_t index) {
      std::uint64_t sum = 0;
      for (const Mode& inner : kModes) {
        const std::vector<std::uint64_t> parts = map_tiles(40, inner.threads, [&](std::size_t j) {
          if (j % 8 == 0) std::this_thread::sleep_for(100us);
          return index * 1000 + j;
        });
        sum += std::accumulate(parts.begin(), parts.end(), std::uint64_t{0});
      }
      return sum;
    });
    for (std::size_t i = 0; i < sums.size(); ++i)
      EXPECT_EQ(sums[i], std::size(kModes) * (i * 1000 * 40 + 39 * 40 / 2)) << outer.name << ", tile " << i;
  }
}

// A call from inside a tile, with no thread count of its own, stays on that tile's pool, so the
// thread count the outer caller chose also bounds the work nested in its tiles.
TEST(MapTiles, CallsFromInsideATileKeepToTheOuterThreadCount) {
  std::atomic<std::size_t> running{0}, peak{0};
  map_tiles(4, 2, [&](std::size_t) {
    return map_tiles(8, std::nullopt, [&](std::size_t) {
      const std::size_t now = ++running;
      std::size_t seen = peak.load();
      while (seen < now && !peak.compare_exchange_weak(seen, now)) {
      }
      std::this_thread::sleep_for(2ms);
      --running;
      return 0;
    });
  });
  EXPECT_LE(peak.load(), 2u);
}

// Squares of 0..99 on the shared pool and, where there are processors for it, two tiles that must
// run side by side: a pool whose workers do not exist would leave the second one waiting.
bool shared_pool_works() {
  const std::vector<std::size_t> squares = map_tiles(100, std::nullopt, [](std::size_t i) { return i * i; });
  for (std::size_t i = 0; i < squares.size(); ++i)
    if (squares[i] != i * i) return false;
  if (available_processors() < 2) return true;
  Rendezvous both(2);
  const std::vector<bool> met = map_tiles(2, std::nullopt, [&](std::size_t) { return both.arrive_and_wait(); });
  return met[0] && met[1];
}

TEST(MapTiles, ForkedChildBuildsItsOwnSharedPool) {
  ASSERT_TRUE(shared_pool_works()) << "the parent's shared pool, before fork";

  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    alarm(60);  // a child stuck on the parent's pool is killed rather than left hanging
    _exit(shared_pool_works() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status)) << "the child was killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's map_tiles gave wrong results or ran without workers";

  EXPECT_TRUE(shared_pool_works()) << "the parent's shared pool, after fork";
}

}  // namespace
}  // namespace qelvo::codec
