// The result table of the lookup cache: a concurrent map from an address to
// the last lookup answer for it (a record, or "no match"), holding at most
// `capacity` entries.
//
// Layout. The table is split into stripes, each an open-addressed
// linear-probing array of its own that grows by doubling (load at most one
// half), and shrinks back to a quarter full or less once evictions or
// invalidations leave it an eighth full: so a stripe whose group was hot
// once, and held much of the table, gives its room back as its entries go,
// and the arrays of all stripes together stay within a few times the
// capacity, wherever the misses have been. An address goes to the stripe of its group: its family and leading
// bits (16 of an IPv4 address, 32 of an IPv6 one), hashed. So the stripes
// are also the group index: a change of a prefix at least that long visits
// one stripe, a shorter one only the stripes of the groups it spans (every
// stripe once it spans more groups than there are stripes).
//
// Readers. A hit writes no shared memory but its own epoch slot and the
// record's reference count (which is how the engine hands out records too).
// Each stripe has a sequence number, odd while a writer changes the stripe;
// a reader reads it, probes, re-reads it, and retries when it changed. The
// probe reads only atomics, so a torn read is harmless and then discarded.
// The record it hands out is kept alive by the epoch scheme: the table's own
// reference to a record it drops (or the array it replaces) is given up
// through epoch::retire, never while a reader pinned before the drop may
// still read it. After a few failed attempts a reader takes the stripe lock,
// so it cannot starve.
//
// Writers. A per-stripe spin lock serialises the writers of one stripe
// (stores, evictions, invalidations); writers of different stripes run in
// parallel. A writer never holds two stripe locks.
//
// Capacity. `size_` counts stored entries plus room reserved by stores in
// progress, and never exceeds `capacity`. A store takes room while the table
// is not full; when it is full it evicts one entry first (also when its own
// address turns out to be present, as the layer always has): seven times in
// eight an entry of its own stripe (the first from the address's home slot on),
// under the lock it takes anyway, otherwise (or when its stripe is empty)
// an entry of a random non-empty stripe, so that each stripe's share of the
// table follows where the misses are. A store that does not happen gives
// its room back. No recency is tracked, so
// hits need no bookkeeping.
//
// Stale stores. A store counts itself in its stripe's `count` (seq_cst),
// then asks the change log whether a change overtook its inner lookup; an
// invalidation logs its change (seq_cst) before it looks at `size_` and at
// each stripe's `count`. In the single total order of those operations,
// either the invalidation sees the store's count and takes the stripe lock
// (so it runs after the store and drops the entry) or the store sees the
// logged change and does not store.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "cache_log.hpp"
#include "korvane/types.hpp"

namespace korvane {

namespace detail {
struct MetadataRep;
}

class ResultTable {
 public:
  // A capacity of 0 behaves as 1.
  explicit ResultTable(std::uint64_t capacity);
  ~ResultTable();
  ResultTable(const ResultTable&) = delete;
  ResultTable& operator=(const ResultTable&) = delete;

  // The cached answer for the address, if the address is cached: a hit sets
  // `answer` (which may be "no match") and returns true.
  bool find(const IpAddress& address, std::optional<Metadata>& answer) const;

  // What a store did: whether the answer is now cached, and which cached
  // addresses it evicted to make room (one at most, unless other threads
  // fill the table at the same moment; beyond two they go unreported).
  struct StoreOutcome {
    bool stored = false;
    std::uint8_t evicted_count = 0;
    IpAddress evicted[2];
  };
  // Stores the answer of a miss that read generation `before` of the log
  // before its inner lookup, unless a change logged since covers the address.
  StoreOutcome store(const IpAddress& address, const std::optional<Metadata>& answer, const ChangeLog& log,
                     std::uint64_t before);

  // Drops every entry whose address the prefix covers. The change must
  // already be in the log.
  void drop_covered(const IpPrefix& prefix);
  // Drops every entry; each stripe keeps an array of the first size. The
  // clear must already be in the log.
  void drop_all();

  // Number of entries (exact when no store is in progress).
  std::size_t size() const noexcept;
  // Slots of all the stripes' arrays (for tests).
  std::size_t slot_count() const;

  // Fault injection for tests: after `successes` more stripe arrays are
  // made, making the next one throws std::bad_alloc; then making works
  // again. A negative value disarms it.
  static void fail_arrays_after(long successes) noexcept;

 private:
  struct Slot;
  struct Array;
  struct Stripe;
  struct Key {
    std::uint64_t high, low;  // address bytes 0..7 and 8..15
    std::uint64_t tag;        // hash bits << 32 | family + 1; never 0
    std::size_t home;         // full 64-bit hash; the array index is home & mask
    Stripe* stripe;
  };

  Key key_of(const IpAddress& address) const noexcept;
  std::size_t stripe_of_group(std::uint64_t group) const noexcept;
  bool try_reserve();
  // Evicts an entry of a random non-empty stripe, noting its address in
  // `outcome`; false when every stripe is empty.
  bool evict_one(StoreOutcome& outcome);
  // With the stripe locked and its sequence odd.
  static void erase_at(Array& array, std::size_t index);
  static void resize(Stripe& stripe, std::size_t slots);
  static void grow(Stripe& stripe);
  static void shrink_if_sparse(Stripe& stripe) noexcept;
  static std::size_t drop_if(Stripe& stripe, const IpPrefix* prefix);

  const std::uint64_t capacity_;
  const std::uint64_t address_seed_;
  const std::uint64_t group_seed_;
  const std::size_t stripe_mask_;  // stripe count - 1; the count is a power of two
  std::unique_ptr<Stripe[]> stripes_;
  // Entries plus reservations of stores in progress; read and updated
  // sequentially consistently (see "Stale stores" above).
  std::atomic<std::uint64_t> size_{0};
};

}  // namespace korvane
