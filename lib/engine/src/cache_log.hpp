// The change log of the lookup cache: a short ring of the latest changes
// (the prefix of an insert or remove, or a clear), each stamped with a
// generation number.
//
// A lookup miss notes the generation before it asks the inner engine and,
// before it stores the answer, asks whether any change logged since then
// covers its address. Such a change may have run its invalidation before the
// store, so the answer must not be stored.
//
// Thread safety: record() is serialised by its own mutex (changes only);
// now() and stale_since() take no lock and write nothing, so misses never
// wait for each other here.
//
// Memory ordering:
// - each ring entry is a small seqlock: its stamp is cleared (relaxed, then a
//   release fence) before the fields are rewritten, and set to the new
//   generation with a release store after them; a reader loads the stamp
//   with acquire, the fields relaxed, then re-reads the stamp after an
//   acquire fence. An entry whose stamp is not the generation the reader
//   asked for was overwritten by a later change, and the reader treats the
//   log as no longer reaching back (stale, the safe answer);
// - generation_ is stored and loaded sequentially consistently: the cache
//   relies on a total order between "a change logs itself, then looks at a
//   stripe's entry count" and "a miss counts itself in a stripe, then reads
//   the generation" (see cache_table.hpp).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "korvane/types.hpp"

namespace korvane {

class ChangeLog {
 public:
  // Generation of the latest change; a miss reads it before its inner
  // lookup (acquire: the inner lookup then sees every logged change).
  std::uint64_t now() const noexcept { return generation_.load(std::memory_order_acquire); }

  // Logs a change: the prefix of an insert or remove, or null for a clear.
  // Must run after the inner engine has made the change and before the
  // cache drops the entries it covers.
  void record(const IpPrefix* prefix) {
    std::lock_guard<std::mutex> serial(writers_);
    const std::uint64_t g = generation_.load(std::memory_order_relaxed) + 1;
    Entry& e = ring_[g % kSize];
    e.stamp.store(0, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    if (prefix == nullptr) {
      e.shape.store(kEverything, std::memory_order_relaxed);
    } else {
      std::uint64_t w[2];
      std::memcpy(w, prefix->bytes.data(), 16);
      e.high.store(w[0], std::memory_order_relaxed);
      e.low.store(w[1], std::memory_order_relaxed);
      e.shape.store(static_cast<std::uint32_t>(prefix->family) << 8 | prefix->length, std::memory_order_relaxed);
    }
    e.stamp.store(g, std::memory_order_release);
    generation_.store(g, std::memory_order_seq_cst);
  }

  // True when a change logged after generation `before` covers the address,
  // or when the ring no longer reaches back to `before`.
  bool stale_since(std::uint64_t before, const IpAddress& address) const noexcept {
    const std::uint64_t last = generation_.load(std::memory_order_seq_cst);
    if (last == before) return false;
    if (last - before > kSize) return true;
    for (std::uint64_t g = before + 1; g <= last; ++g) {
      const Entry& e = ring_[g % kSize];
      if (e.stamp.load(std::memory_order_acquire) != g) return true;
      const std::uint32_t shape = e.shape.load(std::memory_order_relaxed);
      const std::uint64_t w[2] = {e.high.load(std::memory_order_relaxed), e.low.load(std::memory_order_relaxed)};
      std::atomic_thread_fence(std::memory_order_acquire);
      if (e.stamp.load(std::memory_order_relaxed) != g) return true;
      if (shape == kEverything) return true;
      IpPrefix p;
      p.family = static_cast<AddressFamily>(shape >> 8);
      p.length = static_cast<std::uint8_t>(shape);
      std::memcpy(p.bytes.data(), w, 16);
      if (p.covers(address)) return true;
    }
    return false;
  }

 private:
  static constexpr std::size_t kSize = 64;
  static constexpr std::uint32_t kEverything = 0xFFFFFFFFu;
  struct Entry {
    std::atomic<std::uint64_t> stamp{0};  // generation of the change held, 0 while rewritten
    std::atomic<std::uint64_t> high{0};   // prefix bytes 0..7
    std::atomic<std::uint64_t> low{0};    // prefix bytes 8..15
    std::atomic<std::uint32_t> shape{0};  // family << 8 | length, or kEverything
  };

  std::mutex writers_;
  std::array<Entry, kSize> ring_{};
  std::atomic<std::uint64_t> generation_{0};
};

}  // namespace korvane
