#pragma once
// Timing helper shared by the microbenchmarks.
#include <algorithm>
#include <chrono>

namespace qelvo::bench {

// Runs `body` (which performs `work` units) repeatedly for about `seconds` and returns the rate
// of the fastest run in units per second. The fastest run is the figure least disturbed by other
// load on the machine; each run should take well under a millisecond up to a few milliseconds.
template <typename F>
double best_rate(double work, F&& body, double seconds = 1.0) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  double best = 1e300;
  do {
    const auto t0 = Clock::now();
    body();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  } while (std::chrono::duration<double>(Clock::now() - start).count() < seconds);
  return work / best;
}

}  // namespace qelvo::bench
