#include "read_index_arena.hpp"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>

#include "platform.hpp"

namespace korvane::index_arena {

namespace {

constexpr std::size_t kWord = 8;
constexpr std::size_t kChunk = std::size_t{2} << 20;
// The largest node (64 children, 64 records, its maps and a skip tail) is
// 1080 bytes; anything larger goes to operator new.
constexpr std::size_t kLargest = 1152;
constexpr std::size_t kClasses = kLargest / kWord;

// Relaxed: figures for tests and benchmarks, ordering nothing.
std::atomic<std::size_t> in_use{0};
std::atomic<std::size_t> reserved{0};

struct FreeNode {
  FreeNode* next;
};

// The first word of each chunk links the chunks; nodes are carved after it.
struct ChunkHeader {
  ChunkHeader* next;
};

// Every field is guarded by `mutex`.
struct Heap {
  std::mutex mutex;
  FreeNode* free[kClasses] = {};
  ChunkHeader* chunks = nullptr;  // newest first; `bump` carves the newest
  char* bump = nullptr;
  char* end = nullptr;
  std::size_t live = 0;  // bytes of chunk nodes handed out

  void* carve(std::size_t size) {
    if (bump == nullptr || static_cast<std::size_t>(end - bump) < size) {
      void* memory = platform::map_aligned_huge(kChunk);
      if (memory == nullptr) throw std::bad_alloc();
      reserved.fetch_add(kChunk, std::memory_order_relaxed);
      // The old chunk's tail, shorter than this node, is left unused.
      chunks = new (memory) ChunkHeader{chunks};
      bump = static_cast<char*>(memory) + sizeof(ChunkHeader);
      end = static_cast<char*>(memory) + kChunk;
    }
    void* out = bump;
    bump += size;
    return out;
  }

  // No node is handed out: every chunk but the newest goes back to the
  // system, and the newest starts over, so that an index built and dropped
  // leaves one chunk behind, not its peak.
  void start_over() noexcept {
    if (chunks == nullptr) return;
    for (ChunkHeader* c = chunks->next; c != nullptr;) {
      ChunkHeader* next = c->next;
      platform::unmap(c, kChunk);
      reserved.fetch_sub(kChunk, std::memory_order_relaxed);
      c = next;
    }
    chunks->next = nullptr;
    for (FreeNode*& head : free) head = nullptr;
    bump = reinterpret_cast<char*>(chunks) + sizeof(ChunkHeader);
  }
};

Heap& heap() {
  // Leaked on purpose: nodes may be released during static destruction.
  static Heap* h = new Heap();
  return *h;
}

}  // namespace

void* allocate(std::size_t size) {
  if (!platform::kSanitizedBuild && size <= kLargest) {
    Heap& h = heap();
    std::lock_guard lock(h.mutex);
    FreeNode*& head = h.free[size / kWord - 1];
    void* out;
    if (head != nullptr) {
      out = head;
      head = head->next;
    } else {
      out = h.carve(size);
    }
    h.live += size;
    in_use.fetch_add(size, std::memory_order_relaxed);
    return out;
  }
  void* out = ::operator new(size);
  in_use.fetch_add(size, std::memory_order_relaxed);
  return out;
}

void release(void* p, std::size_t size) noexcept {
  in_use.fetch_sub(size, std::memory_order_relaxed);
  if (!platform::kSanitizedBuild && size <= kLargest) {
    Heap& h = heap();
    std::lock_guard lock(h.mutex);
    FreeNode*& head = h.free[size / kWord - 1];
    head = new (p) FreeNode{head};
    h.live -= size;
    if (h.live == 0) h.start_over();
    return;
  }
  ::operator delete(p);
}

std::size_t bytes_in_use() noexcept { return in_use.load(std::memory_order_relaxed); }
std::size_t bytes_reserved() noexcept { return reserved.load(std::memory_order_relaxed); }

}  // namespace korvane::index_arena
