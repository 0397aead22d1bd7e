#include "util/ordered_parallel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace {

class OrderedRun {
 public:
  OrderedRun(int unit_count, int max_ahead)
      : unit_count_(unit_count), max_ahead_(max_ahead), done_(max_ahead), errors_(max_ahead) {}

  void worker_loop(int worker, const std::function<void(int, int)>& work) {
    for (;;) {
      int unit = 0;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock,
                   [&] { return stop_ || next_ >= unit_count_ || next_ < consumed_ + max_ahead_; });
        if (stop_ || next_ >= unit_count_) return;
        unit = next_++;
      }
      std::exception_ptr error;
      try {
        work(unit, worker);
      } catch (...) {
        error = std::current_exception();
      }
      std::lock_guard<std::mutex> lock(mutex_);
      errors_[slot(unit)] = error;
      done_[slot(unit)] = true;
      // A failed unit ends the run: no later unit needs to start.
      if (error) stop_ = true;
      finished_.notify_all();
    }
  }

  void consume_all(const std::function<void(int)>& consume) {
    for (int unit = 0; unit < unit_count_; ++unit) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        finished_.wait(lock, [&] { return static_cast<bool>(done_[slot(unit)]); });
        if (errors_[slot(unit)]) std::rethrow_exception(errors_[slot(unit)]);
      }
      consume(unit);
      std::lock_guard<std::mutex> lock(mutex_);
      done_[slot(unit)] = false;  // the slot passes to unit + max_ahead
      consumed_ = unit + 1;
      room_.notify_all();
    }
  }

  void stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    room_.notify_all();
  }

 private:
  // Units in flight lie within max_ahead of the first not consumed: a ring holds them,
  // so a run of a million units keeps no per-unit state.
  std::size_t slot(int unit) const { return static_cast<std::size_t>(unit % max_ahead_); }

  const int unit_count_;
  const int max_ahead_;
  std::mutex mutex_;
  std::condition_variable room_;      // a worker may claim another unit
  std::condition_variable finished_;  // a unit is done
  int next_ = 0;
  int consumed_ = 0;
  bool stop_ = false;
  std::vector<char> done_;                  // by slot
  std::vector<std::exception_ptr> errors_;  // by slot
};

}  // namespace

void run_in_order(int unit_count, int threads, int max_ahead,
                  const std::function<void(int unit, int worker)>& work,
                  const std::function<void(int unit)>& consume) {
  if (threads <= 1) {
    for (int unit = 0; unit < unit_count; ++unit) {
      work(unit, 0);
      consume(unit);
    }
    return;
  }
  OrderedRun run(unit_count, max_ahead < 1 ? 1 : max_ahead);
  std::vector<std::thread> pool;
  pool.reserve(static_cast<std::size_t>(threads));
  for (int w = 0; w < threads; ++w) {
    pool.emplace_back([&run, &work, w] { run.worker_loop(w, work); });
  }
  std::exception_ptr error;
  try {
    run.consume_all(consume);
  } catch (...) {
    error = std::current_exception();
    run.stop();
  }
  for (std::thread& t : pool) t.join();
  if (error) std::rethrow_exception(error);
}

void parallel_for(int count, int threads, const std::function<void(int index, int thread)>& body) {
  threads = std::max(1, std::min(threads, count));
  if (threads == 1) {
    for (int i = 0; i < count; ++i) body(i, 0);
    return;
  }
  // Batches small enough to even out uneven pieces, large enough to keep the counter cold.
  const int batch = std::max(1, std::min(16, count / (8 * threads)));
  std::atomic<int> next{0};
  std::atomic<bool> stop{false};
  std::mutex failure_mutex;
  int failed_index = count;
  std::exception_ptr failure;
  auto run = [&](int thread) {
    while (!stop.load(std::memory_order_relaxed)) {
      const int first = next.fetch_add(batch);
      if (first >= count) return;
      for (int i = first; i < std::min(count, first + batch); ++i) {
        try {
          body(i, thread);
        } catch (...) {
          std::lock_guard<std::mutex> lock(failure_mutex);
          if (i < failed_index) {
            failed_index = i;
            failure = std::current_exception();
          }
          stop = true;
          return;
        }
      }
    }
  };
  std::vector<std::thread> pool;
  pool.reserve(static_cast<std::size_t>(threads - 1));
  for (int t = 1; t < threads; ++t) pool.emplace_back(run, t);
  run(0);
  for (std::thread& thread : pool) thread.join();
  if (failure) std::rethrow_exception(failure);
}
