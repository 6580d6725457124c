// The trie storage engine, and the layouts the dispatcher keeps it in.
//
// Thread safety: every operation may run on any number of threads at once.
// - Lookups and contains take no lock and write nothing shared except one
//   per-thread counter stripe: they walk inside an epoch Guard, reading each
//   node optimistically against its version word.
// - Inserts and removes take the trie's writer lock shared, walk the same
//   way, and lock (make odd) the version word of the node they change;
//   where a change spans a parent and its child (a prune, a merge), the
//   parent is locked before the child, never the other way round.
// - Removes prune the nodes they leave empty and merge a node left with one
//   child into it (see trie/path_compressed.hpp for why walkers stay right).
// - Clear takes the trie's writer lock exclusively, so that the entry count
//   stays exact under any mix of operations. The lock prefers writers, so a
//   steady stream of inserts cannot starve a clear.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <tuple>
#include <vector>

#include "korvane/local_engine.hpp"
#include "korvane/types.hpp"
#include "platform.hpp"
#include "read_index.hpp"
#include "record_pool.hpp"
#include "traits.hpp"
#include "trie/shortcuts.hpp"

namespace korvane {

namespace epoch {
struct Participant;
}  // namespace epoch

// The order PrefixEngine::for_each lists entries in: IPv4 first, then by
// address, then by length.
inline bool listing_order(const IpPrefix& x, const IpPrefix& y) noexcept {
  return std::tie(x.family, x.bytes, x.length) < std::tie(y.family, y.bytes, y.length);
}

// The trie itself: one root per address family, so that an IPv4 prefix and
// an IPv6 prefix never share a node whatever their bits. Each family's trie
// has a read index that lookups use. Shards of a sharded layout share one
// TrieStore.
struct TrieStore {
  explicit TrieStore(NodeKind kind);

  const NodeKind kind;
  NodeRef roots[2];  // indexed by AddressFamily; never replaced
  ReadIndex indexes[2];
  // Where writers' walks start (path-compressed kinds).
  trie::Shortcuts shortcuts[2];
  // Set when an index could not be brought up to date (out of memory):
  // lookups of that family walk the trie until the index is built afresh,
  // by a writer once enough changes have passed (see
  // TrieEngine::rebuild_stale_index) or by the next clear. Release store,
  // acquire load: a lookup that sees it clear reads an index whose records
  // are still alive (they are retired only after the flag is set), and
  // that holds every change made before it was cleared.
  std::atomic<bool> index_stale[2] = {false, false};
  // Changes made to a family while its index was stale. Writers add to it
  // under the shared writer lock (relaxed: it only paces the rebuild).
  std::atomic<std::uint64_t> changes_while_stale[2] = {0, 0};
  // Equal records are stored once. Owned: released with the store (the
  // pool itself lives on while any of its records does).
  detail::RecordPool* const records;

  ~TrieStore();
  // Shared by inserts and removes, exclusive for clear. Never taken twice
  // by one thread.
  mutable platform::WriterPreferringMutex writers;
};

class TrieEngine {
 public:
  // A fresh engine with its own fresh trie.
  explicit TrieEngine(NodeKind kind);
  // An engine over an existing (shared) trie, with its own counters.
  explicit TrieEngine(std::shared_ptr<TrieStore> store);
  ~TrieEngine();

  TrieEngine(const TrieEngine&) = delete;
  TrieEngine& operator=(const TrieEngine&) = delete;

  InsertStatus insert(const IpPrefix& prefix, Metadata metadata) const;
  std::optional<Metadata> lookup(const IpAddress& address) const;
  // Lookups of many addresses at once, with their index walks interleaved.
  void lookup_many(const IpAddress* addresses, std::size_t count, std::optional<Metadata>* results) const;
  // Lends each answer to the visitor inside the epoch pin, taking no
  // reference on the record.
  void lookup_visit(const IpAddress* addresses, std::size_t count, LookupVisitor& visitor) const;
  // Every entry of the trie, IPv4 first, in key order (see
  // PrefixEngine::for_each).
  void for_each(EntryVisitor& visitor) const;
  // The answer of a walk of the trie itself, bypassing the read index and
  // the counters; for tests that compare the two.
  std::optional<Metadata> walk_lookup(const IpAddress& address) const;
  std::optional<Metadata> remove(const IpPrefix& prefix) const;
  bool contains(const IpPrefix& prefix) const;
  void clear() const;
  std::uint64_t len() const noexcept { return entry_count_.load(std::memory_order_acquire); }
  // The fewest changes after which a stale index is built afresh.
  static constexpr std::uint64_t kRebuildAfter = 1024;
  EngineStats stats() const noexcept;

  // Nodes reachable from the roots, roots included. For tests; a walk of the
  // whole trie.
  std::size_t node_count() const;

  // Counts an insert that another engine sharing this trie has stored.
  void count_insert() const noexcept { inserts_.fetch_add(1, std::memory_order_relaxed); }

  NodeKind kind() const noexcept { return store_->kind; }
  const std::shared_ptr<TrieStore>& store() const noexcept { return store_; }
  const NodeRef& root(AddressFamily family) const noexcept {
    return store_->roots[static_cast<unsigned>(family)];
  }

 private:
  struct alignas(64) LookupStripe {
    std::atomic<std::uint64_t> hits{0};
    std::atomic<std::uint64_t> misses{0};
  };
  static constexpr std::size_t kStripes = 16;

  // `slot` is the calling thread's epoch participant index.
  void count_lookup(std::uint32_t slot, bool hit) const noexcept;
  void count_lookups(std::uint32_t slot, std::uint64_t hits, std::uint64_t misses) const noexcept;
  // Brings the family's index up to date after a change to `prefix`.
  // Inside the writer lock and an epoch Guard.
  void update_index(const IpPrefix& prefix) const noexcept;
  // Builds a stale index afresh from the trie once as many changes have
  // passed since it went stale as the engine holds entries (at least
  // kRebuildAfter), so that the rebuild's walk of the whole trie costs each
  // change a bounded share. Takes the writer lock exclusively: a change
  // made during the walk could be missed. Outside the writer lock; never
  // throws (a rebuild that runs out of memory leaves the index stale, to be
  // tried again as many changes later).
  void rebuild_stale_index(AddressFamily family) const noexcept;
  detail::MetadataRep* trie_lookup(const IpAddress& address) const noexcept;
  // The record for `address`, from the index, or from the trie while the
  // index is stale. Inside an epoch pin.
  detail::MetadataRep* find_one(const IpAddress& address) const noexcept;
  // True, with the miss counted, when the index answers none for `address`
  // from what it can tell without an epoch pin (ReadIndex::surely_none), and
  // the calling thread may go without one this time (epoch::skip_pin).
  bool answered_none_unpinned(const IpAddress& address, epoch::Participant* self) const noexcept;
  // Entries from which writers' walks start at shortcuts: below this the
  // trie stays in cache, and the tables would only take address space.
  static constexpr std::uint64_t kShortcutsFrom = 16384;
  // Addresses answered together: their index walks interleave.
  static constexpr std::size_t kBatch = 64;
  // The records for addresses[0, n), n <= kBatch. Inside an epoch pin.
  void find_batch(const IpAddress* addresses, std::size_t n, detail::MetadataRep** found) const noexcept;

  std::shared_ptr<TrieStore> store_;
  // Relaxed increments: the counters order nothing else, and a reader of
  // stats only needs each value to be one that was current at some point.
  mutable std::atomic<std::uint64_t> inserts_{0};
  mutable std::atomic<std::uint64_t> removals_{0};
  // Counted in and out by the trie's writers under the node lock of the
  // entry they make or take (see trie::EntryCount).
  mutable std::atomic<std::uint64_t> entry_count_{0};
  // Lookup counters, one stripe per live thread (by its epoch participant
  // slot, which one thread owns at a time), so readers write only their own
  // cache line and need no atomic read-modify-write. Threads beyond the
  // owned stripes share the last one, with atomic increments.
  std::unique_ptr<LookupStripe[]> stripes_;
};

class ArtEngine;

namespace detail {

struct ArtShardGroup;

struct TrieShardGroup {
  std::vector<std::shared_ptr<const TrieEngine>> row;
  std::uint64_t shard_count = 0;
  std::uint8_t shard_prefix_bits = 32;
};

struct LocalLayout {
  LocalEngine::Layout tag;
  std::shared_ptr<const TrieEngine> single;   // tags 0 and 2
  std::shared_ptr<const TrieShardGroup> group;  // tags 1 and 3
  std::shared_ptr<const ArtEngine> art;           // tag 4 (engine_art)
  std::shared_ptr<const ArtShardGroup> art_group;  // tag 5 (engine_art)
};

}  // namespace detail

}  // namespace korvane
