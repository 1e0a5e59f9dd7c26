#pragma once
// Running a per-tile function over all tile indices on worker threads. Results are stored by
// index, so what callers get never depends on the thread count or on scheduling.
//
// `threads` chooses where the tiles run:
//   unset  the process-wide shared pool (or, when called from a tile running on a pool, that pool);
//   1      the calling thread alone, in index order;
//   other  a pool made for this call (0 = as many threads as processors available to the
//          process), shut down before returning. Threads that cannot be started are done
//          without; with none, the calling thread runs every tile itself.
// The calling thread always takes tiles itself while it waits, so a call made from inside a tile
// cannot deadlock. Every tile runs even when some fail; an exception thrown by a tile is carried
// back to the caller, the one of the lowest failing index when several fail.
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace qelvo::codec {

// A non-owning reference to a callable taking a tile index: two pointers, no allocation. The
// callable must outlive the reference.
class IndexTask {
 public:
  template <class F>
    requires(!std::same_as<std::remove_cvref_t<F>, IndexTask> && std::invocable<F&, std::size_t>)
  IndexTask(F& f)  // implicit: callers pass their lambda as it is
      : callable_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* callable, std::size_t index) { std::invoke(*static_cast<F*>(callable), index); }) {}

  void operator()(std::size_t index) const { call_(callable_, index); }

 private:
  void* callable_;
  void (*call_)(void*, std::size_t);
};

// The number of processors this process may run on (at least 1): the default pool size.
std::size_t available_processors();

// Calls task(i) once for every i in 0 .. count-1, as `threads` chooses (see above), and returns when
// all have finished. Rethrows the exception of the lowest failing index, if any.
void run_indexed(std::size_t count, std::optional<std::uint64_t> threads, IndexTask task);

// f(i) for every tile index i, in index order. f is called from several threads at once.
template <class F>
auto map_tiles(std::size_t count, std::optional<std::uint64_t> threads, F&& f)
    -> std::vector<std::invoke_result_t<F&, std::size_t>> {
  using Result = std::invoke_result_t<F&, std::size_t>;
  // One slot per tile, each written by exactly one thread; optional so that results need no default.
  std::vector<std::optional<Result>> slots(count);
  auto fill = [&](std::size_t index) { slots[index].emplace(std::invoke(f, index)); };
  run_indexed(count, threads, IndexTask(fill));

  std::vector<Result> results;
  results.reserve(count);
  for (std::optional<Result>& slot : slots) results.push_back(std::move(*slot));
  return results;
}

}  // namespace qelvo::codec
