// The read index: a compact multibit image of one address family's trie
// that lookups walk instead of the trie itself.
//
// Shape. A direct table of 2^18 slots indexes the first 18 address bits.
// A slot holds the answer for its whole /18 (a record, or none), or a node.
// A node covers the next 6 bits with 64 slots: each is either a child node
// (the slot's range holds a stored prefix longer than the node's stride) or
// a leaf (the record of the longest stored prefix that ends within this
// node's stride and covers the slot, or none). Like Poptrie, a node is a
// pair of 64-bit maps and a pointer: the child map marks the child slots,
// the leaf map marks where a run of equal leaves begins, and the children
// (whole nodes, inline) and the runs' records sit together in one block,
// found by counting the set bits below the slot. Unlike Poptrie, records are
// not pushed down into the levels below: each node carries the record of
// the longest prefix from its parent's stride that covers it, and a lookup
// keeps the deepest one it passes. So a change touches only the node whose
// stride holds the changed prefix's end. A lookup costs one slot load and
// one node load per level; an IPv4 lookup visits at most three levels.
//
// Writers. The trie stays the structure writers change; after each change
// the writer rebuilds, from the trie, the node whose stride holds the
// changed prefix's end (keeping its child subtrees, building a child where a
// slot newly needs one and dropping one that no longer does), copies the
// nodes on the path above it (copy-on-write), publishes the new path with
// one release store into the slot, and retires every replaced block through
// the epoch. The result is always the index a fresh build from the trie
// would give: nodes exist exactly where a prefix ends below their stride.
//
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "korvane/types.hpp"
#include "metadata_rep.hpp"
#include "trie/keys.hpp"

namespace korvane {

// A stored prefix as the index sees it: its bits left-aligned in the
// family's address space (bit 0 is the first address bit), host bits clear.
struct IndexEntry {
  trie::u128 key;
  unsigned length;
  detail::MetadataRep* rep;
};

// What the trie holds for one range of the address space (a prefix).
struct IndexRange {
  // The record of the longest stored prefix no longer than the range that
  // covers it, or null.
  detail::MetadataRep* cover = nullptr;
  unsigned cover_length = 0;  // the length of that prefix
  // The stored prefixes inside the range, longer than it and no longer than
  // the gather's limit, each before the prefixes it covers, otherwise in
  // address order (a preorder walk). Where the range holds prefixes longer
  // than the limit, a marker stands for them: an entry of length limit + 1
  // with a null record.
  std::vector<IndexEntry> deeper;
};

// The trie, as the index reads it.
class IndexSource {
 public:
  virtual void gather(trie::u128 key, unsigned length, unsigned limit, IndexRange& out) const = 0;

 protected:
  ~IndexSource() = default;
};

namespace index_detail {
struct Block;
struct Node {
  std::uint64_t child_bits;   // slot i has a child node
  std::uint64_t leaf_bits;    // slot i is a leaf that starts a new run
  const Block* block;         // the children, then the runs' records
  detail::MetadataRep* cover; // longest prefix of the parent's stride covering this node
};
}  // namespace index_detail

class ReadIndex {
 public:
  explicit ReadIndex(AddressFamily family);
  ~ReadIndex();
  ReadIndex(const ReadIndex&) = delete;
  ReadIndex& operator=(const ReadIndex&) = delete;

  // The record of the longest stored prefix covering `key` (an address,
  // left-aligned), or null. Inside an epoch Guard.
  detail::MetadataRep* lookup(trie::u128 key) const noexcept;
  // The same for many keys at once, key i in index[i], overlapping their
  // memory accesses: the walks advance side by side, each prefetching its
  // next node while the others work.
  static void lookup_batch(const ReadIndex* const* index, const trie::u128* keys, std::size_t count,
                           detail::MetadataRep** out) noexcept;

  // Brings the index up to date with the trie after a change to the prefix
  // (key, length), left-aligned. Inside an epoch Guard.
  void update(trie::u128 key, unsigned length, const IndexSource& source);
  // Publishes an empty index. Inside an epoch Guard.
  void reset();

  // Index nodes reachable now (for tests).
  std::size_t node_count() const;

 private:
  using Node = index_detail::Node;
  // The top's holder block and one node per level: 18 + 6 * 19 >= 128.
  static constexpr std::size_t kMaxDepth = 21;

  struct PathStep {
    const index_detail::Block* block;  // holds the node
    unsigned index;                    // the node's place among its children
  };

  void rebuild_top(trie::u128 key, unsigned length, const IndexSource& source);
  // Publishes `fresh` in place of the node at the end of `path` (depth
  // steps), copying the path above it; retires what it replaces.
  void publish(unsigned slot, const PathStep* path, std::size_t depth, index_detail::Node fresh,
               std::vector<const index_detail::Block*>& replaced_blocks,
               std::vector<const index_detail::Block*>& replaced_subtrees);

  const unsigned width_;  // 32 or 128
  // Tagged words: 0 = no record; low bit set = a record; otherwise a block
  // holding the slot's node as its only child. Release stores publish,
  // acquire loads read.
  std::atomic<std::uintptr_t>* slots_;
  std::mutex writers_;
};

// Bytes of index blocks currently allocated in the process (for memory
// figures and tests).
std::size_t read_index_bytes() noexcept;

}  // namespace korvane
