#include "record_arena.hpp"

#include <new>

#include "word_arena.hpp"

namespace korvane::record_arena {

namespace {
constexpr std::size_t kAlign = 16;
// A record with a few dozen short attributes; a GeoIP city record flattened
// into attributes (1-3 KB) goes to operator new, whose header is small
// beside it.
constexpr std::size_t kLargest = 1280;

WordArena& arena() {
  // Leaked on purpose: records may be released during static destruction.
  static WordArena* a = [] {
    auto* made = new WordArena(std::size_t{2} << 20, kLargest, true, kAlign);
    made->hold_across_fork();
    return made;
  }();
  return *a;
}

// Made as the library loads: see hold_across_fork.
[[maybe_unused]] const bool arena_made = (arena(), true);

std::size_t rounded(std::size_t bytes) noexcept { return (bytes + kAlign - 1) & ~(kAlign - 1); }
}  // namespace

void* allocate(std::size_t bytes) {
  bytes = rounded(bytes);
  if (bytes > kLargest) return ::operator new(bytes);
  return arena().allocate(bytes);
}

void release(void* p, std::size_t bytes) noexcept {
  bytes = rounded(bytes);
  if (bytes > kLargest) {
    ::operator delete(p);
    return;
  }
  arena().release(p, bytes);
}

std::size_t bytes_in_use() noexcept { return arena().bytes_in_use(); }
std::size_t bytes_reserved() noexcept { return arena().bytes_reserved(); }

}  // namespace korvane::record_arena
