// The adaptive radix tree: one root per address family and a count of the
// distinct prefixes stored.
//
// Where an entry lives (see mod.hpp): a prefix of length L is kept by the
// inner node at depth L / 8 on its path, in that node's Locals, unless the
// path below some node holds no other entry, in which case it is a Leaf
// hung under that node. A lookup walks the address's bytes from the root,
// remembering the longest Locals match of every node it passes, and a Leaf at
// the end of the walk, if it covers the address, is longer than all of them.
// So the answer is the longest stored prefix of the address's family that
// covers it. Both families keep separate roots and never meet.
//
// Invariants, kept by insert and remove:
// - inner nodes sit at depths 0 .. n-1 (n = 4 or 16 address bytes), leaves
//   at 1 .. n;
// - a Leaf under byte b of a node at depth d has length >= 8d+8 and byte d
//   equal to b, and no other entry shares its part of the tree;
// - apart from the roots, every inner node holds an entry below it, and
//   none consists of a single Leaf and nothing else (it collapses into it).
//
// Thread safety: one writer at a time (insert, remove, clear), which the
// owner serialises; readers (lookup, contains, size) need no lock, and may
// run alongside the writer. Both must be inside an epoch Guard. A reader
// sees every change whole or not at all: a writer builds any new node
// completely before one release store makes it reachable, and retires what
// it unlinks through the epoch.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

#include "art/mod.hpp"
#include "korvane/types.hpp"

namespace korvane::art {

class ArtTree {
 public:
  ArtTree();
  ~ArtTree();
  ArtTree(const ArtTree&) = delete;
  ArtTree& operator=(const ArtTree&) = delete;

  // Writers. `key` holds the family's 4 or 16 address bytes; bits past
  // `length` are ignored. Running out of memory in a writer ends the
  // process: a change allocates as it goes, and what it has already
  // unlinked and retired could not be put back.

  // Stores rep (taking over its reference) for the prefix, replacing the
  // record of the same prefix. True when the prefix was not stored before.
  bool insert(AddressFamily family, const std::uint8_t* key, unsigned length, MetadataRep* rep) noexcept;
  // Removes exactly this prefix. Returns its record, a reference owned by
  // the caller, or null when it was not stored.
  MetadataRep* remove(AddressFamily family, const std::uint8_t* key, unsigned length) noexcept;
  // Removes everything.
  void clear() noexcept;

  // Readers. A record returned is valid only while the caller stays pinned.

  // The record of the longest stored prefix of the family covering the
  // address, or null.
  const MetadataRep* lookup(AddressFamily family, const std::uint8_t* key) const noexcept;
  // Whether exactly this prefix is stored.
  bool contains(AddressFamily family, const std::uint8_t* key, unsigned length) const noexcept;
  // Appends every stored prefix of the family with its record, in no
  // particular order. Records are valid only while the caller stays pinned.
  void collect(AddressFamily family, std::vector<std::pair<IpPrefix, const MetadataRep*>>& out) const;
  // Distinct prefixes stored.
  std::uint64_t size() const noexcept { return size_.load(std::memory_order_acquire); }
  // The family's root node.
  const Inner* root(AddressFamily family) const noexcept {
    return roots_[static_cast<unsigned>(family)].load(std::memory_order_acquire);
  }

 private:
  std::atomic<Inner*> roots_[2];  // by AddressFamily; never null
  std::atomic<std::uint64_t> size_{0};
};

// Overwrites the pointer under b, if b is present, in place.
void replace_child(Inner* node, std::uint8_t b, Node* child) noexcept;

// Releases the node, everything below it, every Locals array and the record
// references of every entry in it. Null is accepted. Only for a subtree no
// reader can reach.
void free_subtree(Node* node) noexcept;

}  // namespace korvane::art
