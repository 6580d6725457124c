#include "art/mod.hpp"

#include <cstring>
#include <new>

#include "art/node16_simd.hpp"
#include "epoch.hpp"

namespace korvane::art {

// ---------------------------------------------------------------------------
// Locals

unsigned Locals::rank(unsigned slot) const noexcept {
  const unsigned word = slot >> 6;
  unsigned below = 0;
  for (unsigned w = 0; w < word; ++w) below += static_cast<unsigned>(__builtin_popcountll(bits[w]));
  const std::uint64_t low = (slot & 63) == 0 ? 0 : bits[word] & (~0ULL >> (64 - (slot & 63)));
  return below + static_cast<unsigned>(__builtin_popcountll(low));
}

unsigned Locals::count() const noexcept {
  unsigned n = 0;
  for (std::uint64_t w : bits) n += static_cast<unsigned>(__builtin_popcountll(w));
  return n;
}

namespace {

Locals* allocate_locals(unsigned count) {
  void* raw = ::operator new(sizeof(Locals) + count * sizeof(std::atomic<MetadataRep*>));
  auto* out = new (raw) Locals();
  for (unsigned i = 0; i < count; ++i) new (&out->records()[i]) std::atomic<MetadataRep*>(nullptr);
  return out;
}

MetadataRep* load(const std::atomic<MetadataRep*>& a) noexcept { return a.load(std::memory_order_relaxed); }

}  // namespace

Locals* locals_with(const Locals* from, unsigned slot, MetadataRep* rep) {
  const unsigned old_count = from == nullptr ? 0 : from->count();
  Locals* out = allocate_locals(old_count + 1);
  if (from != nullptr) std::memcpy(out->bits, from->bits, sizeof out->bits);
  out->bits[slot >> 6] |= 1ULL << (slot & 63);
  const unsigned at = out->rank(slot);
  for (unsigned i = 0, j = 0; i < old_count + 1; ++i) {
    out->records()[i].store(i == at ? rep : load(from->records()[j++]), std::memory_order_relaxed);
  }
  return out;
}

Locals* locals_without(const Locals* from, unsigned slot) {
  const unsigned old_count = from->count();
  if (old_count == 1) return nullptr;
  Locals* out = allocate_locals(old_count - 1);
  std::memcpy(out->bits, from->bits, sizeof out->bits);
  out->bits[slot >> 6] &= ~(1ULL << (slot & 63));
  const unsigned skip = from->rank(slot);
  for (unsigned i = 0, j = 0; i < old_count; ++i) {
    if (i != skip) out->records()[j++].store(load(from->records()[i]), std::memory_order_relaxed);
  }
  return out;
}

void free_locals(Locals* locals) noexcept {
  if (locals == nullptr) return;
  // The atomics and the header are trivially destructible.
  ::operator delete(locals);
}

// ---------------------------------------------------------------------------
// Inner nodes

Node48::Node48() noexcept : Inner(Kind::Node48) { std::memset(child_index, kEmpty, sizeof child_index); }

Node4* new_node4() { return new Node4(); }

unsigned child_count(const Inner* node) noexcept {
  if (node->kind == Kind::Node256 && node->num_children == 0) return 256;
  return node->num_children;
}

Node* find_child(const Inner* node, std::uint8_t b) noexcept {
  switch (node->kind) {
    case Kind::Node4: {
      const auto* n = static_cast<const Node4*>(node);
      for (unsigned i = 0; i < n->num_children; ++i) {
        if (n->keys[i] == b) return n->children[i].load(std::memory_order_acquire);
      }
      return nullptr;
    }
    case Kind::Node16: {
      const auto* n = static_cast<const Node16*>(node);
      const int i = find_key16(n->keys, n->num_children, b);
      return i < 0 ? nullptr : n->children[i].load(std::memory_order_acquire);
    }
    case Kind::Node48: {
      const auto* n = static_cast<const Node48*>(node);
      const std::uint8_t s = n->child_index[b];
      return s < Node48::kEmpty ? n->children[s].load(std::memory_order_acquire) : nullptr;
    }
    case Kind::Node256:
      return static_cast<const Node256*>(node)->children[b].load(std::memory_order_acquire);
    case Kind::Leaf:
      break;
  }
  return nullptr;
}

namespace {

Node* child_of(const std::atomic<Node*>& slot) noexcept { return slot.load(std::memory_order_relaxed); }

// A fresh node of kind T carrying `from`'s header: its count and its
// Locals, which from then on belong to the new node.
template <class T>
T* with_header_of(const Inner* from) {
  T* out = new T();
  out->num_children = from->num_children;
  out->locals.store(from->locals.load(std::memory_order_relaxed), std::memory_order_relaxed);
  return out;
}

// Node4 and Node16 keep parallel arrays in arrival order.
template <class To, class From>
To* copy_positions(const From* from) {
  To* out = with_header_of<To>(from);
  for (unsigned i = 0; i < from->num_children; ++i) {
    out->keys[i] = from->keys[i];
    out->children[i].store(child_of(from->children[i]), std::memory_order_relaxed);
  }
  return out;
}

template <class T>
T* without_position(const T* from, unsigned skip) {
  T* out = with_header_of<T>(from);
  unsigned j = 0;
  for (unsigned i = 0; i < from->num_children; ++i) {
    if (i == skip) continue;
    out->keys[j] = from->keys[i];
    out->children[j++].store(child_of(from->children[i]), std::memory_order_relaxed);
  }
  out->num_children = static_cast<std::uint8_t>(j);
  return out;
}

template <class T>
int position_of(const T* n, std::uint8_t b) noexcept {
  for (unsigned i = 0; i < n->num_children; ++i) {
    if (n->keys[i] == b) return static_cast<int>(i);
  }
  return -1;
}

Node48* node48_from(const Node16* from) {
  Node48* out = with_header_of<Node48>(from);
  for (unsigned i = 0; i < from->num_children; ++i) {
    out->child_index[from->keys[i]] = static_cast<std::uint8_t>(i);
    out->children[i].store(child_of(from->children[i]), std::memory_order_relaxed);
  }
  return out;
}

Node256* node256_from(const Node48* from) {
  Node256* out = with_header_of<Node256>(from);
  for (unsigned k = 0; k < 256; ++k) {
    const std::uint8_t s = from->child_index[k];
    if (s < Node48::kEmpty) out->children[k].store(child_of(from->children[s]), std::memory_order_relaxed);
  }
  return out;
}

Node48* node48_from(const Node256* from) {
  Node48* out = with_header_of<Node48>(from);
  unsigned j = 0;
  for (unsigned k = 0; k < 256; ++k) {
    if (Node* c = child_of(from->children[k])) {
      out->child_index[k] = static_cast<std::uint8_t>(j);
      out->children[j++].store(c, std::memory_order_relaxed);
    }
  }
  out->num_children = static_cast<std::uint8_t>(j);
  return out;
}

Node16* node16_from(const Node48* from) {
  Node16* out = with_header_of<Node16>(from);
  unsigned j = 0;
  for (unsigned k = 0; k < 256; ++k) {
    const std::uint8_t s = from->child_index[k];
    if (s == Node48::kEmpty) continue;
    if (Node* c = child_of(from->children[s])) {
      out->keys[j] = static_cast<std::uint8_t>(k);
      out->children[j++].store(c, std::memory_order_relaxed);
    }
  }
  out->num_children = static_cast<std::uint8_t>(j);
  return out;
}

template <class T>
void append(T* n, std::uint8_t b, Node* child) noexcept {
  n->keys[n->num_children] = b;
  n->children[n->num_children].store(child, std::memory_order_relaxed);
  ++n->num_children;
}

template <class To, class From>
To* copy_appending(const From* from, std::uint8_t b, Node* child) {
  To* out = copy_positions<To>(from);
  append(out, b, child);
  return out;
}

// Adds into a Node48 that has a free slot; the lowest free slot is taken,
// which is slot num_children as long as nothing was removed.
void put_into_free_slot(Node48* n, std::uint8_t b, Node* child) noexcept {
  unsigned s = 0;
  while (child_of(n->children[s]) != nullptr) ++s;
  n->children[s].store(child, std::memory_order_relaxed);
  n->child_index[b] = static_cast<std::uint8_t>(s);
  ++n->num_children;
}

}  // namespace

Inner* add_child(Inner* node, std::uint8_t b, Node* child) {
  switch (node->kind) {
    case Kind::Node4: {
      const auto* n = static_cast<const Node4*>(node);
      // A full Node4 becomes a Node16 with its positions kept.
      if (n->num_children < 4) return copy_appending<Node4>(n, b, child);
      return copy_appending<Node16>(n, b, child);
    }
    case Kind::Node16: {
      const auto* n = static_cast<const Node16*>(node);
      if (n->num_children < 16) return copy_appending<Node16>(n, b, child);
      Node48* out = node48_from(n);
      put_into_free_slot(out, b, child);
      return out;
    }
    case Kind::Node48: {
      const auto* n = static_cast<const Node48*>(node);
      if (n->num_children >= 48) {
        Node256* out = node256_from(n);
        out->children[b].store(child, std::memory_order_relaxed);
        ++out->num_children;
        return out;
      }
      Node48* out = with_header_of<Node48>(n);
      std::memcpy(out->child_index, n->child_index, sizeof out->child_index);
      for (unsigned s = 0; s < 48; ++s) out->children[s].store(child_of(n->children[s]), std::memory_order_relaxed);
      put_into_free_slot(out, b, child);
      if (out->num_children < kNode48GrowAt) return out;
      Node256* grown = node256_from(out);
      delete out;  // never published
      return grown;
    }
    case Kind::Node256: {
      // In place: readers see the slot either empty or holding a whole child.
      auto* n = static_cast<Node256*>(node);
      if (child_of(n->children[b]) == nullptr) ++n->num_children;  // wraps to 0 at 256
      n->children[b].store(child, std::memory_order_release);
      return n;
    }
    case Kind::Leaf:
      break;
  }
  return node;
}

Inner* remove_child(Inner* node, std::uint8_t b) {
  switch (node->kind) {
    case Kind::Node4: {
      const auto* n = static_cast<const Node4*>(node);
      const int i = position_of(n, b);
      if (i < 0) return node;
      return without_position(n, static_cast<unsigned>(i));  // a Node4 never shrinks
    }
    case Kind::Node16: {
      const auto* n = static_cast<const Node16*>(node);
      const int i = position_of(n, b);
      if (i < 0) return node;
      Node16* out = without_position(n, static_cast<unsigned>(i));
      if (out->num_children > kNode16ShrinkAt) return out;
      Node4* shrunk = copy_positions<Node4>(out);
      delete out;  // never published
      return shrunk;
    }
    case Kind::Node48: {
      const auto* n = static_cast<const Node48*>(node);
      const std::uint8_t s = n->child_index[b];
      if (s == Node48::kEmpty) return node;
      Node48* out = with_header_of<Node48>(n);
      std::memcpy(out->child_index, n->child_index, sizeof out->child_index);
      for (unsigned k = 0; k < 48; ++k) out->children[k].store(child_of(n->children[k]), std::memory_order_relaxed);
      out->children[s].store(nullptr, std::memory_order_relaxed);
      out->child_index[b] = Node48::kEmpty;
      --out->num_children;
      if (out->num_children > kNode48ShrinkAt) return out;
      Node16* shrunk = node16_from(out);
      delete out;  // never published
      return shrunk;
    }
    case Kind::Node256: {
      auto* n = static_cast<Node256*>(node);
      if (child_of(n->children[b]) == nullptr) return node;
      // In place, as for add_child.
      n->children[b].store(nullptr, std::memory_order_release);
      --n->num_children;  // from a wrapped 0 (all 256) to 255
      if (n->num_children > kNode256ShrinkAt) return n;
      return node48_from(n);
    }
    case Kind::Leaf:
      break;
  }
  return node;
}

// ---------------------------------------------------------------------------
// Leaves

bool matches(const Leaf* leaf, const std::uint8_t* key, unsigned n) noexcept {
  const unsigned full = leaf->prefix_len / 8;
  const unsigned r = leaf->prefix_len % 8;
  const unsigned whole = full < n ? full : n;
  if (std::memcmp(key, leaf->key, whole) != 0) return false;
  if (r == 0 || n <= full) return true;
  return ((key[full] ^ leaf->key[full]) >> (8 - r)) == 0;
}

Leaf* make_leaf(const std::uint8_t* key, unsigned n, unsigned length, MetadataRep* rep) {
  auto* leaf = new Leaf();
  const unsigned full = length / 8;
  const unsigned r = length % 8;
  const unsigned whole = full < n ? full : n;
  std::memcpy(leaf->key, key, whole);
  if (r != 0 && n > full) leaf->key[full] = static_cast<std::uint8_t>(key[full] & (0xFFu << (8 - r)));
  leaf->prefix_len = static_cast<std::uint8_t>(length);
  leaf->record.store(rep, std::memory_order_relaxed);
  return leaf;
}

// ---------------------------------------------------------------------------

void free_node(Node* node) noexcept {
  switch (node->kind) {
    case Kind::Node4: delete static_cast<Node4*>(node); return;
    case Kind::Node16: delete static_cast<Node16*>(node); return;
    case Kind::Node48: delete static_cast<Node48*>(node); return;
    case Kind::Node256: delete static_cast<Node256*>(node); return;
    case Kind::Leaf: {
      auto* leaf = static_cast<Leaf*>(node);
      if (MetadataRep* rep = leaf->record.load(std::memory_order_acquire)) rep->release();
      delete leaf;
      return;
    }
  }
}

void retire_node(Node* node) noexcept {
  epoch::retire(node, [](void* p) { free_node(static_cast<Node*>(p)); });
}

}  // namespace korvane::art
