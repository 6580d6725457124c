// What the trie algorithms' writers share: ownership of the entry being
// stored, nodes allocated before any lock is taken, and the path a walk went
// down.
//
// Writers never allocate while they hold a node's version word: a failed
// allocation would leave the node locked and every reader of it spinning. So
// an insert works out how many nodes it will need, allocates them unlocked,
// and starts the locked step again when it turns out to need more.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "metadata_rep.hpp"
#include "record_pool.hpp"
#include "node/fields.hpp"
#include "traits.hpp"

namespace korvane::trie {

// The record and stored prefix an insert brings. Whatever the insert has not
// stored when it leaves (by an exception) is released here.
class OwnedEntry {
 public:
  // Takes the record out of `metadata`, then makes the stored prefix (a box
  // for those that do not fit in a word); if that allocation fails the
  // record is released again.
  OwnedEntry(Metadata& metadata, const IpPrefix& prefix) : rep_(detail::MetadataAccess::take(metadata)) {
    try {
      prefix_ = StoredPrefix::make(prefix);
    } catch (...) {
      rep_->release();
      throw;
    }
  }
  ~OwnedEntry() {
    if (rep_ != nullptr) rep_->release();
    prefix_.release();
  }
  OwnedEntry(const OwnedEntry&) = delete;
  OwnedEntry& operator=(const OwnedEntry&) = delete;

  detail::MetadataRep* take_rep() noexcept { return std::exchange(rep_, nullptr); }
  // Swaps the record for the pool's equal one. The record stays held here
  // if the pool throws (it could not grow), for the destructor to release.
  void share_record(detail::RecordPool& pool) { rep_ = pool.intern(rep_); }
  StoredPrefix take_prefix() noexcept { return std::exchange(prefix_, StoredPrefix()); }

 private:
  detail::MetadataRep* rep_;
  StoredPrefix prefix_;
};

// The engine's count of stored entries. An insert counts the entry it makes
// in under the lock of the node the entry goes into or hangs from, just
// before the store that publishes it; a remove counts an entry out under the
// same node's lock, just after the store that takes it away. A remove finds an entry only after it was
// published, so the count never passes below zero, and an insert that only
// replaces a record never moves it. Publishing stores cannot fail, so an
// entry counted in is always published. acq_rel, so the increment is ordered
// before the publishing store and every remove's decrement after it.
using EntryCount = std::atomic<std::uint64_t>;

inline void count_in(EntryCount& entries) noexcept { entries.fetch_add(1, std::memory_order_acq_rel); }
inline void count_out(EntryCount& entries) noexcept { entries.fetch_sub(1, std::memory_order_acq_rel); }

// Up to two fresh, unpublished nodes. Those not used are freed at the end.
template <class N>
class SpareNodes {
 public:
  SpareNodes() = default;
  ~SpareNodes() {
    while (count_ > 0) nodes_[--count_]->release_ref();
  }
  SpareNodes(const SpareNodes&) = delete;
  SpareNodes& operator=(const SpareNodes&) = delete;

  // Allocates until `wanted` nodes are at hand. Call with no node locked.
  void reserve(unsigned wanted) {
    while (count_ < wanted) nodes_[count_++] = static_cast<N*>(new_node(N::kKind).release());
  }
  unsigned available() const noexcept { return count_; }
  // Hands out one node, which the caller publishes (or puts back, when
  // publishing it failed).
  N* take() noexcept { return nodes_[--count_]; }
  void put_back(N* n) noexcept { nodes_[count_++] = n; }

 private:
  N* nodes_[2] = {nullptr, nullptr};
  unsigned count_ = 0;
};

template <class N>
bool has_children(const N* n) noexcept {
  return n->children.child(0) != nullptr || n->children.child(1) != nullptr;
}

template <class N>
bool is_empty(const N* n) noexcept {
  return n->entry.load_metadata() == nullptr && !has_children(n);
}

// Every node reachable from `root`, root included; for tests.
template <class N>
std::size_t count_reachable(const TrieNode* root) noexcept {
  const auto* n = static_cast<const N*>(root);
  std::size_t count = 1;
  for (unsigned b = 0; b < 2; ++b) {
    if (const TrieNode* child = n->children.child(b)) count += count_reachable<N>(child);
  }
  return count;
}

// The nodes a walk passed, root first, with the depth each was reached at.
// A root-to-leaf walk visits at most 129 nodes (each step consumes a bit).
template <class N>
struct Path {
  static constexpr unsigned kCapacity = 130;
  N* nodes[kCapacity];
  unsigned depths[kCapacity];
  unsigned size = 0;

  void clear() noexcept { size = 0; }
  void push(N* n, unsigned depth) noexcept {
    nodes[size] = n;
    depths[size] = depth;
    ++size;
  }
};

}  // namespace korvane::trie
