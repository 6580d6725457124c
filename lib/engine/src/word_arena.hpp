// Storage for many small objects of a few sizes, each a whole number of
// words, with no header of their own. Chunks are divided into runs (16 KiB,
// or more in an arena of large objects, so that a run holds at least four).
// A run holds objects of one size class while any of them lives, carved one
// after another, and keeps a list of its released ones for reuse. A run
// whose last object goes becomes empty and serves any class next, so memory
// freed by objects of one size is reused by objects of another (a table
// reloaded with records a little larger than before reuses the old ones'
// runs). Chunks are kept while any object lives; when the last object of
// the arena is released they go back to the system, but for one kept to
// start over.
//
// Size classes: every multiple of a word up to kFineLimit, then eight per
// doubling up to 16 KiB (a size rounds up to its class, at most 12.5%).
//
// Thread safety: allocate and release may be called from any thread; one
// mutex guards the runs, their lists and the chunks, held for one push or
// pop (and, once per chunk, a map).
//
// Sanitizer builds use the ordinary allocator instead, so that the
// sanitizers keep seeing every object's lifetime.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace korvane {

class WordArena {
 public:
  static constexpr std::size_t kWord = 8;

  // Objects up to `largest` bytes (at most 16 KiB) come from chunks of
  // `chunk` bytes (a power of two, at least 64 KiB and 16 times `largest`),
  // asked to be backed with huge pages when `huge`; larger ones from
  // operator new. With `align` 16, every object starts on 16 bytes,
  // provided every size asked for is a multiple of 16; operator new aligns
  // to 16 as well.
  WordArena(std::size_t chunk, std::size_t largest, bool huge, std::size_t align = kWord) noexcept;
  WordArena(const WordArena&) = delete;
  WordArena& operator=(const WordArena&) = delete;

  // 8-byte aligned storage for one object of `size` bytes, a multiple of 8.
  // Throws std::bad_alloc when the system has no memory to give.
  void* allocate(std::size_t size);
  // Takes back storage from allocate, of the same size.
  void release(void* p, std::size_t size) noexcept;

  // Bytes of objects handed out now, as asked for.
  std::size_t bytes_in_use() const noexcept { return in_use_.load(std::memory_order_relaxed); }
  // For an arena that lives as long as the process: its lock is held
  // across fork() (platform::hold_across_fork), so that a child can use it.
  void hold_across_fork() noexcept;

  // Bytes held in mapped chunks, in use or not.
  std::size_t bytes_reserved() const noexcept { return reserved_.load(std::memory_order_relaxed); }

 private:
  static constexpr std::size_t kFineLimit = 1024;
  static constexpr std::size_t kLargestClass = 16384;
  static constexpr std::size_t kClasses = kFineLimit / kWord + 4 * 8;  // 1 KiB to 16 KiB: four doublings
  static constexpr std::size_t kSmallestRun = std::size_t{16} << 10;

  struct FreeNode {
    FreeNode* next;
  };
  struct alignas(64) Run {
    FreeNode* free;  // its released objects
    char* bump;      // its first byte never handed out
    char* start;
    char* end;
    // In its class's list of runs with room (both links), or, while
    // empty, in the list of empty runs (`next` only).
    Run* prev;
    Run* next;
    std::uint32_t object;  // its class's object size; 0 while empty
    std::uint32_t live;    // objects handed out
    std::uint16_t size_class;
    bool has_room_listed;
  };
  // At the start of each chunk, in its first run; the chunk's runs follow
  // it, one Run each.
  struct alignas(64) ChunkHeader {
    ChunkHeader* next;
  };
  static Run* runs_of(ChunkHeader* chunk) noexcept { return reinterpret_cast<Run*>(chunk + 1); }
  static std::size_t run_bytes(std::size_t largest, std::size_t chunk, std::size_t align) noexcept;
  std::size_t header_bytes(std::size_t align) const noexcept;

  static std::size_t class_of(std::size_t size) noexcept;
  static std::size_t class_size(std::size_t c) noexcept;
  Run* run_of(void* p) const noexcept;
  Run* take_empty_run(std::size_t c);
  void map_chunk();
  void list_empty(ChunkHeader* chunk) noexcept;
  void list_room(Run* r, std::size_t c) noexcept;
  void unlist_room(Run* r, std::size_t c) noexcept;
  void make_empty(Run* r) noexcept;
  void start_over() noexcept;

  const std::size_t chunk_;
  const std::size_t largest_;
  const bool huge_;
  const std::size_t run_;
  const std::size_t runs_;    // per chunk
  const std::size_t header_;  // the chunk header with its runs, padded to the alignment
  // Relaxed: figures for tests and benchmarks, ordering nothing.
  std::atomic<std::size_t> in_use_{0};
  std::atomic<std::size_t> reserved_{0};
  // Every field below is guarded by mutex_.
  std::mutex mutex_;
  Run* room_[kClasses] = {};  // per class, its runs with room, last used first
  Run* empty_ = nullptr;
  ChunkHeader* chunks_ = nullptr;  // newest first
  std::size_t live_ = 0;  // chunk objects handed out
};

}  // namespace korvane
