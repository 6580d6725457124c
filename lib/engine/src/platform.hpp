// The few facts the engine asks of the operating system, behind one small
// layer so that the rest of the library never calls it directly.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include <pthread.h>

namespace korvane::platform {

// Logical processors online; 0 when the system does not say.
unsigned logical_processors() noexcept;

// Physical memory available now, in bytes; absent when the system does not
// say.
std::optional<std::uint64_t> available_memory_bytes() noexcept;

// A fresh random 64-bit value for seeding hash keys. Cheap: seeded once per
// thread from the system's entropy source, then a fast generator.
std::uint64_t random_u64() noexcept;

// Maps `bytes` of zeroed memory aligned to `bytes` (a power of two), asks the
// kernel to back it with huge pages where it can, and returns it; null when
// the system has no memory to give.
void* map_aligned_huge(std::size_t bytes) noexcept;
// Gives a mapping made by map_aligned_huge back to the system.
void unmap(void* p, std::size_t bytes) noexcept;

// A reader-writer lock that prefers writers: once a writer waits, new
// readers queue behind it, so a steady stream of readers cannot starve it.
// Not recursive on the shared side: a thread holding it shared must not take
// it shared again (a waiting writer would deadlock them both). Meets the
// standard SharedMutex requirements, for std::shared_lock and
// std::unique_lock.
class WriterPreferringMutex {
 public:
  WriterPreferringMutex() noexcept;
  ~WriterPreferringMutex();
  WriterPreferringMutex(const WriterPreferringMutex&) = delete;
  WriterPreferringMutex& operator=(const WriterPreferringMutex&) = delete;

  void lock() noexcept;
  void unlock() noexcept;
  void lock_shared() noexcept;
  void unlock_shared() noexcept;

 private:
  pthread_rwlock_t lock_;
};

}  // namespace korvane::platform
