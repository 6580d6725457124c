// The trie node interface: node kinds, the shared node handle and the
// per-field operations every node kind offers.
//
// Thread safety: any number of threads may call any operation on the same
// node at once. Each operation is atomic for its own field only; a sequence
// of operations is not atomic. Readers write nothing shared: single-word
// fields are atomics, and the 16-byte edge is read optimistically against the
// node's version word and retried if a writer intervened.
//
// Lifetime: nodes are reference counted. A node's child slots own one
// reference each; a NodeRef owns one. When a slot drops a child, the
// reference is given up only after every reader that might still be walking
// through it has left its epoch Guard (see epoch.hpp), so walkers inside a
// Guard may hold plain TrieNode pointers without counting.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

#include "korvane/types.hpp"
#include "metadata_rep.hpp"

namespace korvane {

// The eight concrete node kinds. 0..3 are one-bit-per-level nodes, 4..7
// path-compressed nodes; within a family the offset is the flavour.
enum class NodeKind : std::uint8_t {
  UncompressedLocked = 0,
  UncompressedCompact = 1,
  UncompressedPadded = 2,
  UncompressedHashed = 3,
  CompressedLocked = 4,
  CompressedCompact = 5,
  CompressedPadded = 6,
  CompressedHashed = 7,
};

constexpr bool is_compressed(NodeKind kind) noexcept { return static_cast<std::uint8_t>(kind) >= 4; }

class NodeRef;

// An immutable stored prefix, shared by the node fields that hold it (a split
// or a merge hands the same box to the node that takes the entry over).
// Prefixes that fit in a node's word need none: StoredPrefix below.
struct PrefixBox {
  explicit PrefixBox(const IpPrefix& p) noexcept : prefix(p) {}
  PrefixBox(const PrefixBox&) = delete;
  PrefixBox& operator=(const PrefixBox&) = delete;

  // There is a box per stored prefix not held in its node's word (see
  // StoredPrefix): they come from a word arena, 24 bytes each, where the
  // general allocator takes 32.
  static void* operator new(std::size_t size);
  static void operator delete(void* p, std::size_t size) noexcept;

  // Increments may be relaxed: a new holder always comes from an existing
  // one. The decrement that reaches zero acquires every holder's accesses.
  void acquire() noexcept { refs.fetch_add(1, std::memory_order_relaxed); }
  void release() noexcept {
    if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  const IpPrefix prefix;
  std::atomic<std::uint32_t> refs{1};
};
static_assert(sizeof(PrefixBox) % 8 == 0, "a box is whole words, as its arena gives out");
// Bytes the process's prefix boxes take (for memory figures).
std::size_t prefix_box_bytes() noexcept;

// A node's stored prefix as one word. A prefix whose address has nothing set
// past its first 55 bits (every IPv4 prefix, and most IPv6 prefixes of a
// routing table or a GeoIP database) is held in the word itself: the first
// 55 address bits in bits 9..63, the length in bits 2..8, the family in bit
// 1 (set for IPv6) and bit 0 set. Any other prefix is a PrefixBox, whose
// address is word aligned, so bit 0 tells the two apart; zero is no prefix.
// This saves a 24-byte box per prefix, and the trie walk's check of the
// answer's prefix reads no other line.
class StoredPrefix {
 public:
  StoredPrefix() noexcept = default;
  static StoredPrefix from_word(std::uintptr_t word) noexcept { return StoredPrefix(word); }
  // Holds `prefix` inline, or in a new box (throws std::bad_alloc) that the
  // result owns one reference of.
  static StoredPrefix make(const IpPrefix& prefix);

  std::uintptr_t word() const noexcept { return word_; }
  explicit operator bool() const noexcept { return word_ != 0; }
  IpPrefix get() const noexcept;
  bool covers(const IpAddress& address) const noexcept;

  // References, for boxes; an inline prefix has none to count.
  void acquire() const noexcept {
    if (PrefixBox* b = box()) b->acquire();
  }
  void release() const noexcept {
    if (PrefixBox* b = box()) b->release();
  }
  PrefixBox* box() const noexcept {
    return (word_ & kInlineTag) == 0 ? reinterpret_cast<PrefixBox*>(word_) : nullptr;
  }

 private:
  static constexpr std::uintptr_t kInlineTag = 1;
  static constexpr std::uintptr_t kV6Family = 2;
  static constexpr std::uintptr_t kTagBits = 0x1FF;  // tag, family, length
  static constexpr unsigned kMaxInlineLength = 127;  // a /128 needs all 128 bits
  explicit StoredPrefix(std::uintptr_t word) noexcept : word_(word) {}
  std::uintptr_t word_ = 0;
};
static_assert(sizeof(std::uintptr_t) == 8, "an inline prefix needs a 64-bit word");
static_assert(alignof(PrefixBox) >= 2, "a box's address must leave bit 0 free for the inline tag");

// Common header of every node kind. The concrete kinds (node/uncompressed.hpp
// and node/compressed.hpp) derive from it; the kind byte says which one an
// object is, and every operation dispatches on it.
class alignas(64) TrieNode {
 public:
  TrieNode(const TrieNode&) = delete;
  TrieNode& operator=(const TrieNode&) = delete;

  NodeKind kind() const noexcept { return kind_; }

  // Nodes come from the node arena (node/arena.hpp).
  static void* operator new(std::size_t size, std::align_val_t);
  static void operator delete(void* p, std::size_t size, std::align_val_t) noexcept;

  // 1. Auxiliary value; always absent on compressed kinds.
  std::optional<std::uint8_t> aux() const;
  // 2, 3. Children; an empty NodeRef when absent.
  NodeRef left() const;
  NodeRef right() const;
  // 4. A copy of the entry's record.
  std::optional<Metadata> metadata() const;
  // 5. The stored prefix.
  std::optional<IpPrefix> prefix() const;
  // 6, 7. Replace a child; an empty handle removes it. The previous child is
  // released once no walker can still see it.
  void set_left(NodeRef child);
  void set_right(NodeRef child);
  // 8, 9. Replace or remove the entry's record.
  void set_metadata(Metadata md);
  void clear_metadata();
  // 10. Set the auxiliary value; no effect on compressed kinds.
  void set_aux(std::uint8_t value);
  // 11. Set the stored prefix.
  void set_prefix(const IpPrefix& prefix);
  // 12. Edge bits, most significant bit of byte 0 first; absent on
  // uncompressed kinds.
  std::optional<std::array<std::uint8_t, 16>> edge() const;
  // 13. Edge length in bits; absent on uncompressed kinds.
  std::optional<std::uint64_t> edge_len() const;
  // 14. Write the edge bits, then the length. Stops the process on an
  // uncompressed kind: only the path-compressed algorithms call it.
  void set_edge(const std::array<std::uint8_t, 16>& bits, std::uint64_t length);

  // --- Reference counting, for NodeRef and the node kinds.
  void acquire_ref() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
  // Gives up one reference now; the last one destroys the node. Only for
  // references no walker can reach through a shared slot.
  void release_ref() noexcept;
  // Gives up one reference once no walker can still see the node through a
  // slot it was just unlinked from.
  static void release_deferred(TrieNode* node) noexcept;
  // The same through the epoch's shared list, for a large subtree that any
  // thread may collect (see epoch::retire_shared).
  static void release_deferred_shared(TrieNode* node);

  // --- The node's version word. Writers that change several fields as one
  // step (the engine's algorithms, set_edge) hold it odd; optimistic readers
  // read it before and after and retry when it moved.
  std::uint32_t read_begin() const noexcept {
    const std::uint32_t v = version_.load(std::memory_order_acquire);
    if (__builtin_expect((v & 1u) == 0, 1)) return v;
    return wait_for_writer();
  }
  bool read_valid(std::uint32_t begin) const noexcept {
    return version_.load(std::memory_order_relaxed) == begin;
  }
  void write_lock() noexcept;
  void write_unlock() noexcept { version_.fetch_add(1, std::memory_order_release); }

  // --- Unlinking. A node taken out of its trie (pruned, or merged into its
  // parent) is marked while its version word is held and is never changed
  // again: walkers already inside it read a frozen, consistent node, and a
  // writer that locks it sees the mark and starts again from the root. Read
  // only while holding the version word, so relaxed ordering suffices.
  bool unlinked() const noexcept { return (aux_word_.load(std::memory_order_relaxed) & kUnlinkedBit) != 0; }
  void mark_unlinked() noexcept { aux_word_.fetch_or(kUnlinkedBit, std::memory_order_relaxed); }

 protected:
  explicit TrieNode(NodeKind kind) noexcept : kind_(kind) {}
  ~TrieNode() = default;

  // Owners: NodeRefs, parent slots, and deferred releases still pending.
  std::atomic<std::uint32_t> refs_{1};
  std::atomic<std::uint32_t> version_{0};
  const NodeKind kind_;
  // Compact flavours: the auxiliary byte (kinds 1, 3; 0 = absent, else
  // value + 1) or the edge-length cache (kind 5; 255 = read the full length).
  // Relaxed is enough: the byte stands alone and is only a hint elsewhere.
  std::atomic<std::uint8_t> plain_byte_{0};
  // Kinds 0 and 2: the auxiliary value, bit 8 set when present. Every
  // kind: kUnlinkedBit once the node has left its trie.
  static constexpr std::uint16_t kUnlinkedBit = 0x8000u;
  std::atomic<std::uint16_t> aux_word_{0};
  // Compressed kinds: the edge length in bits.
  std::atomic<std::uint32_t> edge_len_{0};

  friend void destroy_node(TrieNode* node) noexcept;

 private:
  std::uint32_t wait_for_writer() const noexcept;
};

// Holds a node's version word for one scope, and lets it go on every exit
// path, exceptions included.
class NodeWriteLock {
 public:
  explicit NodeWriteLock(TrieNode* node) noexcept : node_(node) { node_->write_lock(); }
  ~NodeWriteLock() {
    if (node_ != nullptr) node_->write_unlock();
  }
  NodeWriteLock(const NodeWriteLock&) = delete;
  NodeWriteLock& operator=(const NodeWriteLock&) = delete;
  void unlock() noexcept { std::exchange(node_, nullptr)->write_unlock(); }

 private:
  TrieNode* node_;
};

// Shared handle to a node; empty means no node.
class NodeRef {
 public:
  NodeRef() noexcept = default;
  // Takes over one reference the caller owns.
  static NodeRef adopt(TrieNode* node) noexcept {
    NodeRef r;
    r.node_ = node;
    return r;
  }
  // Adds a reference to a node the caller can see (inside a Guard, or
  // through another handle).
  static NodeRef share(TrieNode* node) noexcept {
    if (node != nullptr) node->acquire_ref();
    return adopt(node);
  }
  NodeRef(const NodeRef& other) noexcept : node_(other.node_) {
    if (node_ != nullptr) node_->acquire_ref();
  }
  NodeRef(NodeRef&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
  NodeRef& operator=(NodeRef other) noexcept {
    std::swap(node_, other.node_);
    return *this;
  }
  ~NodeRef() {
    if (node_ != nullptr) node_->release_ref();
  }

  TrieNode* get() const noexcept { return node_; }
  TrieNode* operator->() const noexcept { return node_; }
  TrieNode& operator*() const noexcept { return *node_; }
  explicit operator bool() const noexcept { return node_ != nullptr; }
  // Hands the reference to the caller.
  TrieNode* release() noexcept { return std::exchange(node_, nullptr); }

 private:
  TrieNode* node_ = nullptr;
};

// A fresh node of the given kind: no children, no entry, no auxiliary value,
// an empty edge.
NodeRef new_node(NodeKind kind);

// Destroys a node whose last reference is gone.
void destroy_node(TrieNode* node) noexcept;

// Shard count of the Hashed flavour's child maps: four per processor, at
// least 4, rounded up to a power of two. Computed once per process.
std::size_t default_child_map_shards();

}  // namespace korvane
