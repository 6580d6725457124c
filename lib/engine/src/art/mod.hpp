// The node kinds of the adaptive radix tree and what can be done to one node.
//
// A tree branches on one address byte per level. Inner nodes come in four
// kinds by capacity (Node4, Node16, Node48, Node256) and change kind as
// children come and go; a Leaf holds one stored prefix. Each kind is its own
// allocation of its own size.
//
// Besides its children, an inner node at depth d (reached by address bytes
// 0 .. d-1) keeps the entries whose prefix ends inside its own byte, lengths
// 8d .. 8d+7: at most 1 + 2 + ... + 128 = 255 of them, in a Locals array.
// A Leaf hung under key byte b of a node at depth d holds a prefix of length
// at least 8d+8 whose byte d is b, and it is the only entry in that part of
// the tree; it sits there until a second entry needs the same path.
//
// Concurrency. Nodes carry no locks. One writer at a time (the engine's
// writer lock) changes a tree; readers walk it without locks inside an epoch
// Guard. Key bytes, counts and Node48's index never change once a node is
// reachable: add_child and remove_child build a new node instead (except in
// a Node256, where a change is one pointer store). Child, locals and record
// pointers are atomics, stored with release and loaded with acquire, so a
// reader that reaches a node sees it fully built. What a writer unlinks it
// hands to epoch::retire, never frees directly.
#pragma once

#include <atomic>
#include <cstdint>

#include "metadata_rep.hpp"

namespace korvane::art {

using detail::MetadataRep;

enum class Kind : std::uint8_t { Node4 = 0, Node16 = 1, Node48 = 2, Node256 = 3, Leaf = 4 };

struct Node {
  explicit Node(Kind k) noexcept : kind(k) {}
  const Kind kind;
};

// Entries ending inside an inner node's byte. Slot (1 << r) | (top r bits
// of the byte), 1..255, for an entry r bits (0..7) into the byte; `bits`
// marks the occupied slots and the records follow in slot order, so a
// slot's record is at the count of occupied slots below it. Immutable but
// for the record pointers: adding or dropping a slot builds a new array.
struct Locals {
  std::uint64_t bits[4] = {0, 0, 0, 0};

  std::atomic<MetadataRep*>* records() noexcept { return reinterpret_cast<std::atomic<MetadataRep*>*>(this + 1); }
  const std::atomic<MetadataRep*>* records() const noexcept {
    return reinterpret_cast<const std::atomic<MetadataRep*>*>(this + 1);
  }
  bool has(unsigned slot) const noexcept { return (bits[slot >> 6] >> (slot & 63)) & 1u; }
  unsigned rank(unsigned slot) const noexcept;
  unsigned count() const noexcept;
};

// The slot of an entry `r` bits into a node's byte whose byte is `byte`
// (bits past r ignored).
constexpr unsigned local_slot(unsigned r, std::uint8_t byte) noexcept {
  return (1u << r) | (static_cast<unsigned>(byte) >> (8 - r));
}

// A Locals with `slot` holding `rep` added to `from` (null: none), which
// must not hold it. Takes over rep's reference; the records of `from` are
// shared with the result, so `from` is then freed with free_locals only.
Locals* locals_with(const Locals* from, unsigned slot, MetadataRep* rep);
// A Locals without `slot` (null when nothing is left); `from` holds it.
Locals* locals_without(const Locals* from, unsigned slot);
// Frees the array, not the records.
void free_locals(Locals* locals) noexcept;

struct Inner : Node {
  using Node::Node;
  // Children present, 8 bits: a full Node256 reads 0 (see child_count).
  std::uint8_t num_children = 0;
  std::atomic<Locals*> locals{nullptr};
};

struct Node4 : Inner {
  Node4() noexcept : Inner(Kind::Node4) {}
  std::uint8_t keys[4] = {0, 0, 0, 0};  // in the order the children came
  std::atomic<Node*> children[4] = {};
};

struct Node16 : Inner {
  Node16() noexcept : Inner(Kind::Node16) {}
  // Positions past num_children may hold stale bytes; searches mask them.
  std::uint8_t keys[16] = {};
  std::atomic<Node*> children[16] = {};
};

struct Node48 : Inner {
  static constexpr std::uint8_t kEmpty = 48;
  Node48() noexcept;
  std::uint8_t child_index[256];  // slot of each key byte, kEmpty for none
  std::atomic<Node*> children[48] = {};  // null: a free slot
};

struct Node256 : Inner {
  Node256() noexcept : Inner(Kind::Node256) {}
  std::atomic<Node*> children[256] = {};
};

struct Leaf : Node {
  Leaf() noexcept : Node(Kind::Leaf) {}
  std::uint8_t prefix_len = 0;
  std::uint8_t key[16] = {};  // prefix bits, zero past prefix_len
  std::atomic<MetadataRep*> record{nullptr};  // owns one reference
};

inline bool is_leaf(const Node* n) noexcept { return n->kind == Kind::Leaf; }

// Growth and shrink thresholds.
inline constexpr unsigned kNode48GrowAt = 45;     // an add leaving this many makes a Node256
inline constexpr unsigned kNode16ShrinkAt = 3;    // a Node16 left with this many becomes a Node4
inline constexpr unsigned kNode48ShrinkAt = 16;   // a Node48 left with this many becomes a Node16
inline constexpr unsigned kNode256ShrinkAt = 48;  // a Node256 left with this many becomes a Node48

Node4* new_node4();

// Children actually present (a Node256 never holds fewer than 49, so its
// wrapped count of 0 means 256).
unsigned child_count(const Inner* node) noexcept;

// The child under key byte b, or null. Reader-safe.
Node* find_child(const Inner* node, std::uint8_t b) noexcept;

// Adds `child` under b, which must be absent, growing the kind as needed.
// Returns the node to use from now on: a new allocation, whose publication
// and the retiring of `node` are the caller's, or `node` itself when it was
// changed in place (a Node256).
Inner* add_child(Inner* node, std::uint8_t b, Node* child);

// Drops the child under b (not releasing it), shrinking the kind as needed.
// Returns `node` itself when b is absent or the change was made in place,
// otherwise a new allocation, as add_child.
Inner* remove_child(Inner* node, std::uint8_t b);

// Calls f(byte, child) for every child, in ascending byte order for Node48
// and Node256 and in position order for Node4 and Node16.
template <class F>
void for_each_child(const Inner* node, F&& f);

// True when the leaf's prefix covers the address given by `key` (n bytes):
// only the first prefix_len bits are compared.
bool matches(const Leaf* leaf, const std::uint8_t* key, unsigned n) noexcept;

// A leaf for the first `length` bits of key (n bytes), owning rep's
// reference.
Leaf* make_leaf(const std::uint8_t* key, unsigned n, unsigned length, MetadataRep* rep);

// Frees the node's own allocation: not its children, not its Locals. A leaf
// gives up its record reference.
void free_node(Node* node) noexcept;
// free_node through the epoch, for a node readers may still be on.
void retire_node(Node* node) noexcept;

// ---------------------------------------------------------------------------

template <class F>
void for_each_child(const Inner* node, F&& f) {
  switch (node->kind) {
    case Kind::Node4: {
      const auto* n = static_cast<const Node4*>(node);
      for (unsigned i = 0; i < n->num_children; ++i) f(n->keys[i], n->children[i].load(std::memory_order_acquire));
      break;
    }
    case Kind::Node16: {
      const auto* n = static_cast<const Node16*>(node);
      for (unsigned i = 0; i < n->num_children; ++i) f(n->keys[i], n->children[i].load(std::memory_order_acquire));
      break;
    }
    case Kind::Node48: {
      const auto* n = static_cast<const Node48*>(node);
      for (unsigned k = 0; k < 256; ++k) {
        if (n->child_index[k] == Node48::kEmpty) continue;
        if (Node* c = n->children[n->child_index[k]].load(std::memory_order_acquire)) f(static_cast<std::uint8_t>(k), c);
      }
      break;
    }
    case Kind::Node256: {
      const auto* n = static_cast<const Node256*>(node);
      for (unsigned k = 0; k < 256; ++k) {
        if (Node* c = n->children[k].load(std::memory_order_acquire)) f(static_cast<std::uint8_t>(k), c);
      }
      break;
    }
    case Kind::Leaf:
      break;
  }
}

}  // namespace korvane::art
