#include "codec/pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace qelvo::codec {
namespace {

// Keeps the exception of the lowest failing index, whatever the order in which tiles fail.
class LowestFailure {
 public:
  void record(std::size_t index, std::exception_ptr error) {
    const std::lock_guard lock(mutex_);
    if (!error_ || index < index_) {
      index_ = index;
      error_ = std::move(error);
    }
  }

  // Only once every tile has finished, so nothing writes any more.
  void rethrow() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  std::mutex mutex_;
  std::size_t index_ = 0;
  std::exception_ptr error_;
};

// The indices of one call. Every thread that works on it claims the next unstarted index until
// none is left; that alone balances tiles of uneven cost.
struct Job {
  Job(std::size_t count, IndexTask task) : count(count), task(task) {}

  void drain() {
    for (std::size_t index; (index = next.fetch_add(1, std::memory_order_relaxed)) < count;) {
      try {
        task(index);
      } catch (...) {
        failures.record(index, std::current_exception());
      }
    }
  }

  const std::size_t count;
  const IndexTask task;
  std::atomic<std::size_t> next{0};
  LowestFailure failures;
  std::size_t helpers = 0;  // workers inside drain(); guarded by the pool's mutex
};

void run_inline(std::size_t count, IndexTask task) {
  Job job(count, task);
  job.drain();
  job.failures.rethrow();
}

class Pool;
// The pool whose tile this thread is running, if any: a call made from inside a tile stays there.
thread_local Pool* current_pool = nullptr;

class Pool {
 public:
  // `size` threads work on each call: the calling thread and `size - 1` workers. Workers that
  // cannot be started are done without; with none, the caller runs every tile itself.
  explicit Pool(std::size_t size) {
    workers_.reserve(size - 1);
    for (std::size_t i = 1; i < size; ++i) {
      try {
        workers_.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;
      }
    }
  }

  ~Pool() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }

  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  void run(std::size_t count, IndexTask task) {
    Job job(count, task);
    {
      const std::lock_guard lock(mutex_);
      open_.push_back(&job);
    }
    work_ready_.notify_all();

    Pool* const outer = std::exchange(current_pool, this);
    job.drain();
    current_pool = outer;

    // Every index is claimed now; wait for the workers still running some of them.
    std::unique_lock lock(mutex_);
    std::erase(open_, &job);
    helpers_left_.wait(lock, [&] { return job.helpers == 0; });
    lock.unlock();
    job.failures.rethrow();
  }

 private:
  void work() {
    current_pool = this;
    std::unique_lock lock(mutex_);
    for (;;) {
      work_ready_.wait(lock, [&] { return stopping_ || !open_.empty(); });
      if (open_.empty()) return;
      Job& job = *open_.front();
      ++job.helpers;
      lock.unlock();
      job.drain();
      lock.lock();
      std::erase(open_, &job);  // drained: no unstarted index is left
      if (--job.helpers == 0) helpers_left_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable helpers_left_;
  std::vector<Job*> open_;  // jobs that may still have unstarted indices, oldest first
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

// The shared pool lives for the rest of the process and is never destroyed: nothing joins its
// workers at exit.
std::mutex shared_pool_mutex;
Pool* shared_pool_instance = nullptr;

// Holding the mutex across fork() means the child never inherits it locked by another thread.
void before_fork() { shared_pool_mutex.lock(); }
void after_fork_in_parent() { shared_pool_mutex.unlock(); }
void after_fork_in_child() {
  // The parent's workers do not exist in the child, so its pool can be neither used nor joined.
  // It is abandoned, and the child builds its own on first use.
  shared_pool_instance = nullptr;
  current_pool = nullptr;
  shared_pool_mutex.unlock();
}

Pool& shared_pool() {
  const std::lock_guard lock(shared_pool_mutex);
  if (shared_pool_instance == nullptr) {
    // Registered once; a child inherits the registration. It fails only for lack of memory,
    // which aborts the process as every failed allocation does.
    static const bool fork_safe = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
    if (!fork_safe) std::abort();
    shared_pool_instance = new Pool(available_processors());
  }
  return *shared_pool_instance;
}

}  // namespace

std::size_t available_processors() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) return std::max(1, CPU_COUNT(&allowed));
  // More processors than a cpu_set_t describes: fall back on the machine's count.
  return std::max(1u, std::thread::hardware_concurrency());
}

void run_indexed(std::size_t count, std::optional<std::uint64_t> threads, IndexTask task) {
  if (count <= 1 || threads == 1) return run_inline(count, task);
  if (!threads) return (current_pool != nullptr ? *current_pool : shared_pool()).run(count, task);
  // More threads than tiles would only idle.
  const std::uint64_t wanted = *threads == 0 ? available_processors() : *threads;
  Pool pool(static_cast<std::size_t>(std::min<std::uint64_t>(wanted, count)));
  pool.run(count, task);
}

}  // namespace qelvo::codec
