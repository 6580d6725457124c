// Storage for many small objects of a few sizes, each a whole number of
// words: objects are carved from chunks one after another, with no header
// of their own, and each size keeps a list of released objects for reuse.
// Chunks are kept while any object lives; when the last object of the arena
// is released they go back to the system, but for one kept to start over.
//
// Thread safety: allocate and release may be called from any thread; one
// mutex guards the lists and the chunks, held for one push or pop (and, once
// per chunk, a map).
//
// Sanitizer builds use the ordinary allocator instead, so that the
// sanitizers keep seeing every object's lifetime.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>

namespace korvane {

class WordArena {
 public:
  static constexpr std::size_t kWord = 8;

  // Objects up to `largest` bytes come from chunks of `chunk` bytes (a power
  // of two), asked to be backed with huge pages when `huge`; larger ones
  // from operator new. With `align` 16, every object starts on 16 bytes,
  // provided every size asked for is a multiple of 16 (objects follow one
  // another in a chunk); operator new aligns to 16 as well.
  WordArena(std::size_t chunk, std::size_t largest, bool huge, std::size_t align = kWord) noexcept;
  WordArena(const WordArena&) = delete;
  WordArena& operator=(const WordArena&) = delete;

  // 8-byte aligned storage for one object of `size` bytes, a multiple of 8.
  // Throws std::bad_alloc when the system has no memory to give.
  void* allocate(std::size_t size);
  // Takes back storage from allocate, of the same size.
  void release(void* p, std::size_t size) noexcept;

  // Bytes of objects handed out now.
  std::size_t bytes_in_use() const noexcept { return in_use_.load(std::memory_order_relaxed); }
  // For an arena that lives as long as the process: its lock is held
  // across fork() (platform::hold_across_fork), so that a child can use it.
  void hold_across_fork() noexcept;

  // Bytes held in mapped chunks, in use or not.
  std::size_t bytes_reserved() const noexcept { return reserved_.load(std::memory_order_relaxed); }

 private:
  struct FreeNode {
    FreeNode* next;
  };
  // The first word of each chunk links the chunks; objects are carved after it.
  struct ChunkHeader {
    ChunkHeader* next;
  };
  // Sizes up to 16 KiB (records with many attributes); a list head each.
  static constexpr std::size_t kMaxClasses = 2048;

  void* carve(std::size_t size);
  void start_over() noexcept;

  const std::size_t chunk_;
  const std::size_t largest_;
  const bool huge_;
  const std::size_t header_;  // the chunk header, padded to the alignment
  // Relaxed: figures for tests and benchmarks, ordering nothing.
  std::atomic<std::size_t> in_use_{0};
  std::atomic<std::size_t> reserved_{0};
  // Every field below is guarded by mutex_.
  std::mutex mutex_;
  FreeNode* free_[kMaxClasses] = {};
  ChunkHeader* chunks_ = nullptr;  // newest first; `bump_` carves the newest
  char* bump_ = nullptr;
  char* end_ = nullptr;
  std::size_t live_ = 0;  // bytes of chunk objects handed out
};

}  // namespace korvane
