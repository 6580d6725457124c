// Where a writer's walk down a path-compressed trie may start instead of the
// root. On a large table the walk from the root to where a change goes is a
// chain of cache misses (some twenty nodes for an IPv4 /24 among a million
// prefixes); the nodes just above the first 18 address bits are the costly
// part of it. A table of 2^18 slots, one per value of those bits, remembers
// for each a node that every walk for a key under the slot passes: the
// deepest one it has seen within kWindow bits above the slot's end.
//
// What a slot holds: 0, or a node reached at depth d (where its edge starts)
// with limit - kWindow <= d <= limit, limit being the slot's end in the
// trie's key space, tagged with limit - d in the node's low bits (nodes are
// 64-byte aligned). The node's path, the first d key bits, is a prefix of
// every key under the slot. The slot may also be marked dense (see Deep
// slots), with or without a node.
//
// Thread safety: any number of writers read and set slots at once; readers
// of the trie never look at them.
// - A writer starts a walk at a slot's node inside its epoch Guard. The node
//   may have left the trie meanwhile: the walk then passes through a frozen
//   node, and the algorithms already handle that (a writer that locks a node
//   it wants to change finds it unlinked and starts again from the root; a
//   live node keeps its depth and path, however it was reached).
// - A slot never holds a node that has been retired. A writer records a node
//   only while holding the node's version word and seeing it linked; the
//   writer that unlinks a node marks it under the same word, then clears the
//   slots that hold it, before releasing it to the epoch. Whichever of the
//   two takes the word first, the other sees its work: the lock hand-off
//   orders a recording before the unlinker's scan, or the unlinked mark
//   before the recording's check. So slot loads and stores need no ordering
//   of their own beyond acquire/release for the node's contents.
// - The gather that brings the read index up to date may start at a slot's
//   node too, but only at one it sees linked (a validated read): a walk
//   from a node unlinked before it began would miss later changes.
//
// Deep slots. Where a table packs many prefixes under one slot (an
// organisation's /64s under its /32, a carrier's subscribers under its /10)
// the walk from the slot's node is long again: a dozen nodes and more for a
// million /32s under one /10. So keys at least `deep_bits` long (after the
// offset) have a second place to start, keyed by their first `deep_bits`
// bits: a node every walk for such a key passes, at most kDeepWindow bits
// above that end.
// - Only under dense first-level slots. A walk that passes kDenseAfter
//   nodes or more below its slot's end marks the slot dense: a flag in the
//   slot's word (with or without a node: where all of a slot's keys share
//   the bits past its end, no node starts in its window), set by
//   compare-exchange from the word the walk read, so never on a slot
//   cleared meanwhile. Only walks under a dense slot look up and record
//   deep slots. Elsewhere, as in a table of scattered hosts, a deep slot
//   would cost a miss of its own and save none.
// - There are too many such keys for a direct table, so the deep slots are
//   a hash table that keeps one key per slot: a key whose slot another has
//   taken walks from its first-level slot instead.
// - A deep slot's key and node are read and written together under one of
//   kDeepStripes mutexes, taken inside a node's lock and never around one.
//   The rules above hold for them as they are: a node is recorded under its
//   version word and seen linked, and the writer that unlinks it clears the
//   deep slots of all 2^(deep_bits - depth) keys whose walks pass it, where
//   it may have been recorded.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "traits.hpp"
#include "trie/keys.hpp"

namespace korvane::trie {

class Shortcuts {
 public:
  static constexpr unsigned kBits = 18;
  // Nodes this many bits or fewer above a slot's end are recorded: a node
  // that leaves the trie then has at most 2^kWindow slots to clear.
  static constexpr unsigned kWindow = 8;

  // Deep slots (see above): nodes this many bits or fewer above their end.
  // Small, since a node that leaves the trie has 2^kDeepWindow of them to
  // clear, each a hash and a lock.
  static constexpr unsigned kDeepWindow = 4;
  static constexpr unsigned kDenseAfter = 8;
  static constexpr unsigned kDeepSlotBits = 16;
  static constexpr std::size_t kDeepStripes = 64;

  // For a trie whose keys all start with `offset` zero bits (96 for the
  // IPv4 trie, 0 for IPv6), with deep slots for keys of at least
  // `deep_bits` bits after the offset (kBits < deep_bits <= 64). Holds no
  // table until enable(): walks start at the root.
  Shortcuts(unsigned offset, unsigned deep_bits) noexcept;
  ~Shortcuts();
  Shortcuts(const Shortcuts&) = delete;
  Shortcuts& operator=(const Shortcuts&) = delete;

  // One writer's walk for one key: where it starts, and the deepest
  // recordable node it passed, recorded at the end.
  class Walk {
   public:
    Walk() = default;
    // The node to start at (null: the root) and its depth: the deep slot's
    // when it has one.
    TrieNode* start() const noexcept { return node_of(deep_seen_ != 0 ? deep_seen_ : seen_); }
    unsigned start_depth() const noexcept {
      return deep_seen_ != 0 ? deep_limit_ - distance_of(deep_seen_) : limit_ - distance_of(seen_);
    }
    // The walk went back to the root: what it passed before no longer counts.
    void restart() noexcept {
      deepest_ = deep_deepest_ = 0;
      passed_ = 0;
    }
    // The walk reached node n at depth d.
    void passed(TrieNode* n, unsigned d) noexcept {
      passed_ += d > limit_;
      if (slot_ != nullptr && d <= limit_ && limit_ - d <= kWindow) deepest_ = tag(n, limit_ - d);
      if (deep_ != nullptr && d <= deep_limit_ && deep_limit_ - d <= kDeepWindow) deep_deepest_ = tag(n, deep_limit_ - d);
    }
    // Records the deepest node passed, if it is deeper than the slot's (or
    // the slot's has gone). Call with no node lock held.
    void record() noexcept;

   private:
    friend class Shortcuts;
    std::atomic<std::uintptr_t>* slot_ = nullptr;
    std::uintptr_t seen_ = 0;
    std::uintptr_t deepest_ = 0;
    unsigned limit_ = 0;
    unsigned passed_ = 0;  // nodes passed below the slot's end
    // The deep slot's table, or null when the key has none.
    Shortcuts* deep_ = nullptr;
    std::uint64_t deep_key_ = 0;
    std::uintptr_t deep_seen_ = 0;
    std::uintptr_t deep_deepest_ = 0;
    unsigned deep_limit_ = 0;
  };

  // Makes the tables (3 MiB of address space, backed as slots are set), if
  // there is none yet and the system gives the memory. A trie small enough
  // to stay in cache gains nothing from it, so its owner calls this once the
  // trie has grown.
  void enable() noexcept;

  // A walk for `key` (in the trie's key space); one that starts at the root
  // and records nothing when the key ends before the slot does, or there is
  // no table.
  Walk walk(const PrefixKey& key) noexcept;

  // A node that every walk for `key` passes, seen linked, and its depth; or
  // null. For a key at least kBits (after the offset) long. The node lies
  // at most `most_bits` bits (after the offset) in.
  TrieNode* linked_start(const PrefixKey& key, unsigned most_bits, unsigned& depth) const noexcept;

  // Node n, reached at depth d with path `path` (its first d bits), has just
  // been marked unlinked: no slot may keep it.
  void forget(const TrieNode* n, unsigned d, u128 path) noexcept;

  // Empties every slot. Only with no other writer running.
  void clear() noexcept;

 private:
  static constexpr std::uintptr_t kTagMask = 63;  // nodes are 64-byte aligned
  static constexpr std::uintptr_t kDistanceMask = 31;
  static constexpr std::uintptr_t kDense = 32;  // first-level slots only
  static_assert(kWindow <= kDistanceMask && kDeepWindow <= kDistanceMask);

  struct DeepSlot {
    std::uint64_t key;     // the first deep_bits_ bits after the offset
    std::uintptr_t word;  // 0, or a tagged node as in the first-level slots
  };

  // The deep slot of a key's first deep_bits_ bits (after the offset), and
  // the mutex that guards it.
  std::size_t deep_index(std::uint64_t key) const noexcept {
    std::uint64_t z = key * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(z >> (64 - kDeepSlotBits));
  }
  std::uint64_t deep_key_of(u128 bits) const noexcept {
    return static_cast<std::uint64_t>(shift_left(bits, offset_) >> (128 - deep_bits_));
  }
  std::mutex& deep_stripe(std::size_t index) const noexcept { return deep_stripes_[index % kDeepStripes]; }
  // The node recorded for `key`, or 0.
  std::uintptr_t deep_word(DeepSlot* slots, std::uint64_t key) const noexcept;
  void forget_deep(const TrieNode* n, unsigned d, u128 path) noexcept;

  static std::uintptr_t tag(const TrieNode* n, unsigned distance) noexcept {
    return reinterpret_cast<std::uintptr_t>(n) | distance;
  }
  static TrieNode* node_of(std::uintptr_t word) noexcept {
    return reinterpret_cast<TrieNode*>(word & ~kTagMask);
  }
  static unsigned distance_of(std::uintptr_t word) noexcept { return static_cast<unsigned>(word & kDistanceMask); }
  std::size_t index_of(u128 bits) const noexcept {
    return static_cast<std::size_t>(shift_left(bits, offset_) >> (128 - kBits));
  }

  const unsigned offset_;
  const unsigned limit_;  // offset_ + kBits
  const unsigned deep_bits_;
  const unsigned deep_limit_;  // offset_ + deep_bits_
  // Null until enable(); then set once, by compare-exchange (release), and
  // loaded with acquire.
  std::atomic<std::atomic<std::uintptr_t>*> slots_{nullptr};
  // The same for the deep slots, set after slots_.
  std::atomic<DeepSlot*> deep_slots_{nullptr};
  mutable std::mutex deep_stripes_[kDeepStripes];
};

// Bytes the process's shortcut tables span (for memory figures; each is
// backed only where touched).
std::size_t shortcut_table_bytes() noexcept;

}  // namespace korvane::trie
