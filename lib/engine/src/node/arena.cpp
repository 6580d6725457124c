#include "node/arena.hpp"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>

#include "platform.hpp"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KORVANE_PLAIN_NODE_ALLOCATION 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KORVANE_PLAIN_NODE_ALLOCATION 1
#endif
#endif

namespace korvane::node {

namespace {

constexpr std::size_t kLine = 64;
constexpr std::size_t kChunk = std::size_t{2} << 20;
// Classes of 64, 128, 192 and 256 bytes; larger nodes use operator new.
constexpr std::size_t kClasses = 4;

std::atomic<std::size_t> reserved{0};
std::atomic<std::size_t> in_use{0};

struct FreeNode {
  FreeNode* next;
};

struct SizeClass {
  std::mutex mutex;
  FreeNode* free = nullptr;
  char* bump = nullptr;
  char* end = nullptr;
};

SizeClass& size_class(std::size_t index) {
  // Leaked on purpose: nodes may be released during static destruction.
  static SizeClass* classes = new SizeClass[kClasses];
  return classes[index];
}

std::size_t class_of(std::size_t size) noexcept { return (size + kLine - 1) / kLine - 1; }

}  // namespace

void* arena_allocate(std::size_t size) {
#if !defined(KORVANE_PLAIN_NODE_ALLOCATION)
  const std::size_t index = class_of(size);
  if (index < kClasses) {
    const std::size_t block = (index + 1) * kLine;
    SizeClass& c = size_class(index);
    in_use.fetch_add(block, std::memory_order_relaxed);
    std::lock_guard lock(c.mutex);
    if (FreeNode* node = c.free) {
      c.free = node->next;
      return node;
    }
    if (c.bump == nullptr || c.bump + block > c.end) {
      void* chunk = platform::map_aligned_huge(kChunk);
      if (chunk == nullptr) throw std::bad_alloc();
      reserved.fetch_add(kChunk, std::memory_order_relaxed);
      c.bump = static_cast<char*>(chunk);
      c.end = c.bump + kChunk;
    }
    void* out = c.bump;
    c.bump += block;
    return out;
  }
#endif
  return ::operator new(size, std::align_val_t{kLine});
}

void arena_release(void* p, std::size_t size) noexcept {
#if !defined(KORVANE_PLAIN_NODE_ALLOCATION)
  const std::size_t index = class_of(size);
  if (index < kClasses) {
    SizeClass& c = size_class(index);
    in_use.fetch_sub((index + 1) * kLine, std::memory_order_relaxed);
    std::lock_guard lock(c.mutex);
    c.free = new (p) FreeNode{c.free};
    return;
  }
#endif
  ::operator delete(p, std::align_val_t{kLine});
}

std::size_t arena_bytes_reserved() noexcept { return reserved.load(std::memory_order_relaxed); }
std::size_t arena_bytes_in_use() noexcept { return in_use.load(std::memory_order_relaxed); }

}  // namespace korvane::node
