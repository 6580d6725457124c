#include "record_arena.hpp"

#include <new>

#include "word_arena.hpp"

namespace korvane::record_arena {

namespace {
constexpr std::size_t kAlign = 16;
// Beyond any record a lookup table is likely to hold (a GeoIP city record
// flattened into attributes takes 1-3 KB). Records of every size should
// share the chunks: a read index names records by their distance from one
// base address (4-byte codes), and records the heap serves, far from the
// chunks, have no such name, so the index nodes holding them are larger.
constexpr std::size_t kLargest = 16384;

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

bool from_chunks(std::size_t bytes) noexcept { return rounded(bytes) <= kLargest; }

std::size_t bytes_in_use() noexcept { return arena().bytes_in_use(); }
std::size_t bytes_reserved() noexcept { return arena().bytes_reserved(); }

}  // namespace korvane::record_arena
