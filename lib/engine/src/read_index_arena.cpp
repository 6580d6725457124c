#include "read_index_arena.hpp"

#include "injected_failure.hpp"
#include "word_arena.hpp"

namespace korvane::index_arena {

namespace {
// The largest node (64 children, 64 records, its maps and a skip tail) is
// 1080 bytes; anything larger goes to operator new.
constexpr std::size_t kLargest = 1152;

WordArena& arena() {
  // Leaked on purpose: nodes may be released during static destruction.
  // Chunks of 2 MiB, each one huge page where the kernel can.
  static WordArena* a = [] {
    auto* made = new WordArena(std::size_t{2} << 20, kLargest, true);
    made->hold_across_fork();
    return made;
  }();
  return *a;
}

// Made as the library loads: see hold_across_fork.
[[maybe_unused]] const bool arena_made = (arena(), true);

InjectedFailure injected_failure;
}  // namespace

void* allocate(std::size_t size) {
  injected_failure.check();
  return arena().allocate(size);
}
void release(void* p, std::size_t size) noexcept { arena().release(p, size); }
std::size_t bytes_in_use() noexcept { return arena().bytes_in_use(); }
std::size_t bytes_reserved() noexcept { return arena().bytes_reserved(); }

void fail_after(long successes) noexcept { injected_failure.fail_after(successes); }

}  // namespace korvane::index_arena
