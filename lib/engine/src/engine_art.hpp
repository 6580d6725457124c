// The adaptive radix tree storage engine, and the two dispatcher layouts
// that hold it: one engine (Layout::Art) or a row of shards, each a full copy
// of the data (Layout::ShardedArt).
//
// Thread safety: every operation may run on any number of threads at once.
// - Lookups, contains, len and stats take no lock: they read the tree inside
//   an epoch Guard (see art/tree.hpp for why that is enough).
// - Inserts, removes and clear of one engine serialise on its writer mutex,
//   because the tree allows one writer at a time.
// - In the sharded layout a change must reach every shard in the same order,
//   or a remove and an insert of one prefix racing shard by shard could
//   leave the copies disagreeing for good. So changes to the row serialise
//   on the group's writer mutex, which is taken before, and never while
//   holding, a shard's own.
// - A change reaches the shards one after another, first to last. While one
//   is under way, lookups read the first shard, which every other operation
//   reads too; only with no change under way does a lookup go to its hashed
//   shard. Otherwise a thread could see a change in one shard and then, in
//   its next lookup, miss it in another not yet reached (see
//   ArtShardGroup::changes).
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>

#include "art/tree.hpp"
#include "engine.hpp"
#include "korvane/types.hpp"

namespace korvane {

class alignas(64) ArtEngine {
 public:
  ArtEngine() = default;
  ArtEngine(const ArtEngine&) = delete;
  ArtEngine& operator=(const ArtEngine&) = delete;

  InsertStatus insert(const IpPrefix& prefix, Metadata metadata) const;
  std::optional<Metadata> lookup(const IpAddress& address) const;
  std::optional<Metadata> remove(const IpPrefix& prefix) const;
  bool contains(const IpPrefix& prefix) const;
  void clear() const;
  std::uint64_t len() const noexcept { return tree_.size(); }
  // Keeps no operation counters: those are 0, `size` is len.
  EngineStats stats() const noexcept;
  // Every entry, sorted as PrefixEngine::for_each promises.
  void for_each(EntryVisitor& visitor) const;

 private:
  mutable std::mutex writer_;
  mutable art::ArtTree tree_;
};

namespace detail {

struct ArtShardGroup {
  explicit ArtShardGroup(std::uint64_t n) : row(make_row(n)), shard_count(n) {}

  mutable std::mutex writers;  // serialises changes to the whole row
  // Odd while a change is reaching the shards, written under `writers`.
  // The increment that begins a change is sequenced before the change's
  // first store to a shard, so a reader that saw any of the change (through
  // the tree's acquire loads) then reads an odd or later count; the one
  // that ends it is a release, which a lookup's acquire load pairs with, so
  // a reader that reads it even sees every shard complete.
  alignas(64) mutable std::atomic<std::uint64_t> changes{0};
  std::unique_ptr<ArtEngine[]> row;
  std::uint64_t shard_count;
  std::uint8_t shard_prefix_bits = 32;

 private:
  // new[] of an over-aligned type does not check the size for overflow on
  // every compiler: an absurd count would wrap and corrupt the heap.
  static std::unique_ptr<ArtEngine[]> make_row(std::uint64_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(ArtEngine)) throw std::bad_array_new_length();
    return std::make_unique<ArtEngine[]>(n);
  }
};

inline bool is_art(const LocalLayout& layout) noexcept {
  return layout.tag == LocalEngine::Layout::Art || layout.tag == LocalEngine::Layout::ShardedArt;
}

// The dispatcher's routing for the two layouts.
InsertStatus art_insert(const LocalLayout& layout, const IpPrefix& prefix, Metadata metadata);
std::optional<Metadata> art_lookup(const LocalLayout& layout, const IpAddress& address);
std::optional<Metadata> art_remove(const LocalLayout& layout, const IpPrefix& prefix);
bool art_contains(const LocalLayout& layout, const IpPrefix& prefix);
void art_clear(const LocalLayout& layout);
std::uint64_t art_len(const LocalLayout& layout);
EngineStats art_stats(const LocalLayout& layout);
void art_for_each(const LocalLayout& layout, EntryVisitor& visitor);

}  // namespace detail

}  // namespace korvane
