#include "read_index_arena.hpp"

#include <atomic>
#include <new>

#include "word_arena.hpp"

namespace korvane::index_arena {

namespace {
// The largest node (64 children, 64 records, its maps and a skip tail) is
// 1080 bytes; anything larger goes to operator new.
constexpr std::size_t kLargest = 1152;

WordArena& arena() {
  // Leaked on purpose: nodes may be released during static destruction.
  // Chunks of 2 MiB, each one huge page where the kernel can.
  static WordArena* a = new WordArena(std::size_t{2} << 20, kLargest, true);
  return *a;
}

// > 0: allocations left before the injected failure; <= 0: disarmed.
std::atomic<long> fail_countdown{0};
}  // namespace

void* allocate(std::size_t size) {
  if (__builtin_expect(fail_countdown.load(std::memory_order_relaxed) > 0, 0)) {
    if (fail_countdown.fetch_sub(1, std::memory_order_relaxed) == 1) throw std::bad_alloc();
  }
  return arena().allocate(size);
}
void release(void* p, std::size_t size) noexcept { arena().release(p, size); }
std::size_t bytes_in_use() noexcept { return arena().bytes_in_use(); }
std::size_t bytes_reserved() noexcept { return arena().bytes_reserved(); }

void fail_after(long successes) noexcept {
  fail_countdown.store(successes < 0 ? 0 : successes + 1, std::memory_order_relaxed);
}

}  // namespace korvane::index_arena
