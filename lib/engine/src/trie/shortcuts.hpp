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
// every key under the slot.
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
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "traits.hpp"
#include "trie/keys.hpp"

namespace korvane::trie {

class Shortcuts {
 public:
  static constexpr unsigned kBits = 18;
  // Nodes this many bits or fewer above a slot's end are recorded: a node
  // that leaves the trie then has at most 2^kWindow slots to clear.
  static constexpr unsigned kWindow = 8;

  // For a trie whose keys all start with `offset` zero bits (96 for the
  // IPv4 trie, 0 for IPv6). Holds no table until enable(): walks start at
  // the root.
  explicit Shortcuts(unsigned offset) noexcept;
  ~Shortcuts();
  Shortcuts(const Shortcuts&) = delete;
  Shortcuts& operator=(const Shortcuts&) = delete;

  // One writer's walk for one key: where it starts, and the deepest
  // recordable node it passed, recorded at the end.
  class Walk {
   public:
    Walk() = default;
    // The node to start at (null: the root) and its depth.
    TrieNode* start() const noexcept { return node_of(seen_); }
    unsigned start_depth() const noexcept { return limit_ - distance_of(seen_); }
    // The walk went back to the root: what it passed before no longer counts.
    void restart() noexcept { deepest_ = 0; }
    // The walk reached node n at depth d.
    void passed(TrieNode* n, unsigned d) noexcept {
      if (slot_ != nullptr && d <= limit_ && limit_ - d <= kWindow) deepest_ = tag(n, limit_ - d);
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
  };

  // Makes the table (2 MiB of address space, backed as slots are set), if
  // there is none yet and the system gives the memory. A trie small enough
  // to stay in cache gains nothing from it, so its owner calls this once the
  // trie has grown.
  void enable() noexcept;

  // A walk for `key` (in the trie's key space); one that starts at the root
  // and records nothing when the key ends before the slot does, or there is
  // no table.
  Walk walk(const PrefixKey& key) noexcept;

  // A node that every walk for `key` passes, seen linked, and its depth; or
  // null. For a key at least kBits (after the offset) long.
  TrieNode* linked_start(const PrefixKey& key, unsigned& depth) const noexcept;

  // Node n, reached at depth d with path `path` (its first d bits), has just
  // been marked unlinked: no slot may keep it.
  void forget(const TrieNode* n, unsigned d, u128 path) noexcept;

  // Empties every slot. Only with no other writer running.
  void clear() noexcept;

 private:
  static constexpr std::uintptr_t kDistanceMask = 63;  // nodes are 64-byte aligned

  static std::uintptr_t tag(const TrieNode* n, unsigned distance) noexcept {
    return reinterpret_cast<std::uintptr_t>(n) | distance;
  }
  static TrieNode* node_of(std::uintptr_t word) noexcept {
    return reinterpret_cast<TrieNode*>(word & ~kDistanceMask);
  }
  static unsigned distance_of(std::uintptr_t word) noexcept { return static_cast<unsigned>(word & kDistanceMask); }
  std::size_t index_of(u128 bits) const noexcept {
    return static_cast<std::size_t>(shift_left(bits, offset_) >> (128 - kBits));
  }

  const unsigned offset_;
  const unsigned limit_;  // offset_ + kBits
  // Null until enable(); then set once, by compare-exchange (release), and
  // loaded with acquire.
  std::atomic<std::atomic<std::uintptr_t>*> slots_{nullptr};
};

// Bytes the process's shortcut tables span (for memory figures; each is
// backed only where touched).
std::size_t shortcut_table_bytes() noexcept;

}  // namespace korvane::trie
