// The word arena against a plain record of what it handed out: objects never
// overlap, keep their alignment, and the memory freed by objects of one size
// serves objects of another.
#include "word_arena.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "reference.hpp"

namespace korvane {
namespace {

constexpr std::size_t kChunk = std::size_t{2} << 20;

struct Held {
  unsigned char* p;
  std::size_t size;
  unsigned char mark;
};

// Every byte of an object carries its mark until it is released: a block
// handed out twice, or overlapping another, overwrites one of them.
void fill(const Held& h) { std::memset(h.p, h.mark, h.size); }
bool intact(const Held& h) {
  return std::all_of(h.p, h.p + h.size, [&](unsigned char b) { return b == h.mark; });
}

TEST(WordArena, RandomSizesNeverOverlapAndComeBack) {
  WordArena arena(kChunk, 16384, false, 16);
  std::mt19937_64 rng(7);
  std::vector<Held> held;
  std::size_t in_use = 0;
  for (int step = 0; step < 200000; ++step) {
    if (held.empty() || rng() % 100 < 55) {
      // Mostly small, some up to past the largest class (the heap's).
      const std::size_t size = 16 * (1 + (rng() % 8 == 0 ? rng() % 1100 : rng() % 40));
      Held h{static_cast<unsigned char*>(arena.allocate(size)), size, static_cast<unsigned char>(rng())};
      ASSERT_EQ(reinterpret_cast<std::uintptr_t>(h.p) % 16, 0U) << "size " << size;
      fill(h);
      held.push_back(h);
      in_use += size;
    } else {
      const std::size_t i = rng() % held.size();
      ASSERT_TRUE(intact(held[i])) << "an object of " << held[i].size << " bytes was written by another";
      arena.release(held[i].p, held[i].size);
      in_use -= held[i].size;
      held[i] = held.back();
      held.pop_back();
    }
    ASSERT_EQ(arena.bytes_in_use(), in_use);
  }
  for (const Held& h : held) {
    ASSERT_TRUE(intact(h));
    arena.release(h.p, h.size);
  }
  EXPECT_EQ(arena.bytes_in_use(), 0U);
  EXPECT_LE(arena.bytes_reserved(), kChunk) << "an emptied arena keeps one chunk";
}

// A table reloaded again and again, each time with objects a little larger
// (a record that gained a few bytes), while one object of the first load
// stays: the reloads must reuse the memory the last one freed.
TEST(WordArena, MemoryFreedBySomeSizesServesOthers) {
  if (testing::kSanitized) GTEST_SKIP() << "sanitizer builds take objects from the heap";
  WordArena arena(kChunk, 16384, false, 16);
  void* kept = arena.allocate(96);
  std::size_t peak = 0;
  for (std::size_t round = 0; round < 12; ++round) {
    const std::size_t size = 112 + 16 * round;
    std::vector<void*> table(30000);
    for (void*& p : table) p = arena.allocate(size);
    peak = std::max(peak, arena.bytes_in_use());
    for (void* p : table) arena.release(p, size);
  }
  EXPECT_LE(arena.bytes_reserved(), peak + 2 * kChunk) << "peak in use " << peak;
  arena.release(kept, 96);
}

}  // namespace
}  // namespace korvane
