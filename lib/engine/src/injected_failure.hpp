// Allocation failures on demand, for tests of what a structure does when
// memory runs out.
//
// Thread safety: any thread may arm it and pass through check(); the count
// is one atomic, relaxed, since a test arms it before the calls it means to
// fail and nothing else is ordered by it.
#pragma once

#include <atomic>
#include <new>

namespace korvane {

class InjectedFailure {
 public:
  // After `successes` more calls to check(), the next one throws
  // std::bad_alloc; then none do. A negative value disarms it.
  void fail_after(long successes) noexcept {
    countdown_.store(successes < 0 ? 0 : successes + 1, std::memory_order_relaxed);
  }
  void check() {
    if (__builtin_expect(countdown_.load(std::memory_order_relaxed) > 0, 0)) {
      if (countdown_.fetch_sub(1, std::memory_order_relaxed) == 1) throw std::bad_alloc();
    }
  }

 private:
  // > 0: calls left before the failure; <= 0: disarmed.
  std::atomic<long> countdown_{0};
};

}  // namespace korvane
