// Shared records: a pool in which equal records (equal value and equal
// attributes) are stored once. A table whose networks share a few thousand
// distinct records then holds a few thousand payloads, not millions.
//
// The pool does not own its records: a record stays as long as anyone holds
// it (a trie node, a caller's Metadata) and leaves the pool when its last
// holder lets go. Each pooled record holds a reference to the pool, so the
// pool outlives every record in it, whatever outlives the engine.
//
// Thread safety: every function may be called from any thread; one mutex
// guards the set, and is taken by inserts and by the death of a pooled
// record, never by lookups. A record dies on whichever thread lets go of it
// last (a caller dropping its copy, a lookup returning its stock of
// references, an epoch collection), which need not be changing any engine:
// so every live pool is listed, and the thread that forks holds all their
// mutexes across the fork, for a child to find each set whole and unlocked.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "metadata_rep.hpp"

namespace korvane::detail {

class RecordPool {
 public:
  // A new pool, with one reference for the caller.
  static RecordPool* create() { return new RecordPool(); }
  void release_ref() noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  // Takes the caller's reference to `rep` and gives back a reference to the
  // pooled record equal to it: an existing one (and `rep` is released), or
  // a new one, now pooled: `rep` itself, or, when the caller held it alone,
  // a packed copy of it (and `rep` is released). A record pooled elsewhere
  // comes back as it is. Throws std::bad_alloc (the pool could not grow)
  // with the caller's reference untouched.
  MetadataRep* intern(MetadataRep* rep);

  // Takes a dying record (count zero) out of the pool, unless an equal
  // record has replaced it there, and drops its reference to the pool.
  void forget(MetadataRep* rep) noexcept;

  // For tests: when set, forget calls it with the pool's lock held, so that
  // a test can fork at that moment. Relaxed: a test sets it before the
  // deaths it means to catch.
  static inline std::atomic<void (*)()> while_forgetting{nullptr};

 private:
  // Listed from construction to destruction (see the file comment).
  RecordPool();
  ~RecordPool();
  friend struct PoolList;

  static std::size_t content_hash(const MetadataRep* rep) noexcept;

  // A pooled record with its content hash, computed once when it enters:
  // probing compares stored hashes, and reads a record's content only when
  // the hashes agree.
  struct Entry {
    MetadataRep* rep;  // null: an empty slot
    std::size_t hash;
  };
  static bool same_content(const Entry& a, const Entry& b) noexcept {
    return a.hash == b.hash && a.rep->value == b.rep->value && a.rep->same_attributes(*b.rep);
  }

  // The set is an open-addressed table (linear probing, a power-of-two
  // size, at most three quarters full), so that a probe costs one cache
  // miss on a pool of millions of records, where chained buckets cost
  // three. A removal moves the entries after it back, leaving no markers.
  // All of it guarded by mutex_.
  std::size_t home(std::size_t hash) const noexcept { return (hash * 0x9E3779B97F4A7C15ull) >> shift_; }
  // The slot holding a record equal to `probe`, or the empty slot where
  // the probe ended.
  std::size_t find(const Entry& probe) const noexcept;
  // Room for one more entry: true when the table grew (entries moved).
  // Throws std::bad_alloc, leaving the set as it was.
  bool reserve_one();
  static constexpr std::size_t kNoSlot = ~std::size_t{0};
  void erase_at(std::size_t slot) noexcept;

  // The creator's reference and one per pooled record.
  std::atomic<std::uint32_t> refs_{1};
  std::mutex mutex_;
  std::vector<Entry> slots_;
  std::size_t count_ = 0;
  unsigned shift_ = 64;  // 64 - log2 of the table size
  // Neighbours in the list of live pools; guarded by that list's mutex.
  RecordPool* prev_ = nullptr;
  RecordPool* next_ = nullptr;
};

}  // namespace korvane::detail
