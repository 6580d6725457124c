#include "node/arena.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>

#include "injected_failure.hpp"
#include "platform.hpp"

namespace korvane::node {

namespace {

constexpr std::size_t kLine = 64;
constexpr std::size_t kChunk = std::size_t{2} << 20;
// Classes of 64, 128, 192 and 256 bytes; larger nodes use operator new.
constexpr std::size_t kClasses = 4;

// Relaxed: figures for tests and benchmarks, ordering nothing.
std::atomic<std::size_t> reserved{0};
std::atomic<std::size_t> in_use{0};
std::atomic<std::size_t> from_heap{0};  // the part of in_use operator new serves
InjectedFailure injected_failure;

struct FreeNode {
  FreeNode* next;
};

// Sits in the first block of its chunk. Every field is guarded by the size
// class's mutex.
struct ChunkHeader {
  ChunkHeader* prev = nullptr;  // in the class's list of chunks with room
  ChunkHeader* next = nullptr;
  FreeNode* free = nullptr;     // released blocks of this chunk
  char* bump = nullptr;         // blocks never handed out start here
  char* end = nullptr;
  std::size_t live = 0;         // blocks handed out
  bool listed = false;
};
static_assert(sizeof(ChunkHeader) <= kLine);

[[maybe_unused]] ChunkHeader* chunk_of(void* p) noexcept {
  return reinterpret_cast<ChunkHeader*>(reinterpret_cast<std::uintptr_t>(p) & ~(kChunk - 1));
}

struct SizeClass {
  std::mutex mutex;
  std::size_t block = 0;
  ChunkHeader* roomy = nullptr;  // chunks with at least one block to give
  ChunkHeader* spare = nullptr;  // one empty chunk kept back from the system

  // Compared as a distance: bump + block may lie past the chunk's end (2 MiB
  // is not a multiple of every block size), where a pointer may not point.
  bool has_room(const ChunkHeader* c) const noexcept {
    return c->free != nullptr || static_cast<std::size_t>(c->end - c->bump) >= block;
  }

  void link(ChunkHeader* c) noexcept {
    c->prev = nullptr;
    c->next = roomy;
    if (roomy != nullptr) roomy->prev = c;
    roomy = c;
    c->listed = true;
  }
  void unlink(ChunkHeader* c) noexcept {
    if (c->prev != nullptr) c->prev->next = c->next;
    if (c->next != nullptr) c->next->prev = c->prev;
    if (roomy == c) roomy = c->next;
    c->prev = c->next = nullptr;
    c->listed = false;
  }
  // A chunk laid out afresh: its header takes the first block.
  ChunkHeader* format(void* memory) noexcept {
    auto* c = new (memory) ChunkHeader();
    c->bump = static_cast<char*>(memory) + block;
    c->end = static_cast<char*>(memory) + kChunk;
    return c;
  }
  ChunkHeader* fresh_chunk() {
    if (ChunkHeader* c = std::exchange(spare, nullptr)) return format(c);
    void* memory = platform::map_aligned_huge(kChunk);
    if (memory == nullptr) throw std::bad_alloc();
    reserved.fetch_add(kChunk, std::memory_order_relaxed);
    return format(memory);
  }
  void retire_chunk(ChunkHeader* c) noexcept {
    if (spare == nullptr) {
      spare = c;
      return;
    }
    reserved.fetch_sub(kChunk, std::memory_order_relaxed);
    platform::unmap(c, kChunk);
  }
};

[[maybe_unused]] SizeClass& size_class(std::size_t index) {
  // Leaked on purpose: nodes may be released during static destruction.
  static SizeClass* classes = [] {
    auto* c = new SizeClass[kClasses];
    for (std::size_t i = 0; i < kClasses; ++i) {
      c[i].block = (i + 1) * kLine;
      platform::hold_across_fork(c[i].mutex);
    }
    return c;
  }();
  return classes[index];
}

// Made as the library loads, so that no fork can find a thread in the
// middle of making them (their locks are registered there).
[[maybe_unused]] const bool classes_made = (size_class(0), true);

[[maybe_unused]] std::size_t class_of(std::size_t size) noexcept { return (size + kLine - 1) / kLine - 1; }

}  // namespace

void* arena_allocate(std::size_t size) {
  injected_failure.check();
#if !defined(KORVANE_SANITIZED_BUILD)
  const std::size_t index = class_of(size);
  if (index < kClasses) {
    SizeClass& c = size_class(index);
    std::lock_guard lock(c.mutex);
    ChunkHeader* chunk = c.roomy;
    if (chunk == nullptr) {
      chunk = c.fresh_chunk();
      c.link(chunk);
    }
    void* out;
    if (FreeNode* node = chunk->free) {
      chunk->free = node->next;
      out = node;
    } else {
      out = chunk->bump;
      chunk->bump += c.block;
    }
    ++chunk->live;
    if (!c.has_room(chunk)) c.unlink(chunk);
    in_use.fetch_add(c.block, std::memory_order_relaxed);
    return out;
  }
#endif
  void* out = ::operator new(size, std::align_val_t{kLine});
  in_use.fetch_add(size, std::memory_order_relaxed);
  from_heap.fetch_add(size, std::memory_order_relaxed);
  return out;
}

void arena_release(void* p, std::size_t size) noexcept {
#if !defined(KORVANE_SANITIZED_BUILD)
  const std::size_t index = class_of(size);
  if (index < kClasses) {
    SizeClass& c = size_class(index);
    ChunkHeader* chunk = chunk_of(p);
    std::lock_guard lock(c.mutex);
    in_use.fetch_sub(c.block, std::memory_order_relaxed);
    chunk->free = new (p) FreeNode{chunk->free};
    if (--chunk->live == 0) {
      if (chunk->listed) c.unlink(chunk);
      c.retire_chunk(chunk);
    } else if (!chunk->listed) {
      c.link(chunk);
    }
    return;
  }
#endif
  in_use.fetch_sub(size, std::memory_order_relaxed);
  from_heap.fetch_sub(size, std::memory_order_relaxed);
  ::operator delete(p, std::align_val_t{kLine});
}

std::size_t arena_bytes_reserved() noexcept { return reserved.load(std::memory_order_relaxed); }
std::size_t arena_bytes_in_use() noexcept { return in_use.load(std::memory_order_relaxed); }
std::size_t arena_bytes_from_heap() noexcept { return from_heap.load(std::memory_order_relaxed); }

void arena_fail_after(long successes) noexcept { injected_failure.fail_after(successes); }

}  // namespace korvane::node
