// Helpers for OpenMP loops. No exception may leave a parallel region, so a
// loop body runs through OrderedErrors::run, which catches what the body
// throws and keeps the error of the lowest failing index; the caller rethrows
// it after the region. That is the error a sequential loop would have stopped
// at, whatever the schedule and the team size.
#ifndef TAVRIN_COMMON_PARALLEL_H_
#define TAVRIN_COMMON_PARALLEL_H_

#include <omp.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>

namespace tavrin {

class OrderedErrors {
 public:
  OrderedErrors() = default;
  OrderedErrors(const OrderedErrors&) = delete;
  OrderedErrors& operator=(const OrderedErrors&) = delete;

  // Runs body() for index i, unless an index below i has already failed (its
  // outcome no longer matters). Never throws.
  template <typename Body>
  void run(size_t i, Body&& body) noexcept {
    if (i > first_.load(std::memory_order_relaxed)) return;
    try {
      body();
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (i < first_.load(std::memory_order_relaxed)) {
        first_.store(i, std::memory_order_relaxed);
        error_ = std::current_exception();
      }
    }
  }

  bool failed() const { return first_.load() != kNone; }
  // Rethrows the recorded error, if any. Call after the parallel region.
  void rethrow() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  static constexpr size_t kNone = std::numeric_limits<size_t>::max();
  std::atomic<size_t> first_{kNone};
  std::mutex mutex_;
  std::exception_ptr error_;
};

// Runs body(i) for i in [0, n): on the OpenMP team (dynamic schedule, `chunk`
// indices at a time) when n reaches min_parallel, else in order on the
// calling thread. Rethrows the error of the lowest failing index.
template <typename Body>
void parallel_for(size_t n, size_t min_parallel, size_t chunk, const Body& body) {
  if (n < min_parallel || n < 2) {
    for (size_t i = 0; i < n; ++i) body(i);
    return;
  }
  OrderedErrors errors;
  const int64_t count = static_cast<int64_t>(n);
  const int64_t step = static_cast<int64_t>(chunk == 0 ? 1 : chunk);
#pragma omp parallel for schedule(dynamic, step)
  for (int64_t i = 0; i < count; ++i) {
    errors.run(static_cast<size_t>(i), [&] { body(static_cast<size_t>(i)); });
  }
  errors.rethrow();
}

// Inside a parallel region: the share [begin, end) of `rows` that belongs to
// the calling thread. Every row falls in exactly one share for the team size
// OpenMP actually granted, which may be smaller than asked for.
inline void thread_row_range(size_t rows, size_t* begin, size_t* end) {
  const size_t t = static_cast<size_t>(omp_get_thread_num());
  const size_t threads = static_cast<size_t>(omp_get_num_threads());
  *begin = rows * t / threads;
  *end = rows * (t + 1) / threads;
}

}  // namespace tavrin

#endif  // TAVRIN_COMMON_PARALLEL_H_
