#include "art/tree.hpp"

#include <algorithm>
#include <array>
#include <bit>

#include "epoch.hpp"
#include "node/fields.hpp"

namespace korvane::art {

namespace {

constexpr unsigned key_bytes(AddressFamily family) noexcept { return family == AddressFamily::V4 ? 4 : 16; }
constexpr unsigned index_of(AddressFamily family) noexcept { return static_cast<unsigned>(family); }

void retire_locals(Locals* locals) noexcept {
  if (locals != nullptr) epoch::retire(locals, [](void* p) { free_locals(static_cast<Locals*>(p)); });
}

// Makes `updated` (from add_child or remove_child) take `old`'s place as far
// as ownership goes: a new allocation retires the old one.
Inner* superseding(Inner* old, Inner* updated) noexcept {
  if (updated != old) retire_node(old);
  return updated;
}

bool same_prefix(const Leaf* leaf, const std::uint8_t* key, unsigned n, unsigned length) noexcept {
  return leaf->prefix_len == length && matches(leaf, key, n);
}

// Locals of a node at depth d: the entry `length - 8d` bits into byte d.
unsigned slot_at(const std::uint8_t* key, unsigned depth, unsigned length) noexcept {
  return local_slot(length - 8 * depth, key[depth]);
}

// Stores rep in a slot of the node's Locals (in place when the slot is
// taken, else through a new array).
void set_local(Inner* node, unsigned slot, MetadataRep* rep, bool& added) {
  Locals* current = node->locals.load(std::memory_order_relaxed);
  if (current != nullptr && current->has(slot)) {
    node::release_rep_deferred(current->records()[current->rank(slot)].exchange(rep, std::memory_order_acq_rel));
    return;
  }
  node->locals.store(locals_with(current, slot, rep), std::memory_order_release);
  retire_locals(current);
  added = true;
}

// Puts a leaf that must leave its slot into a fresh node at depth d one
// level below: into its Locals when the prefix ends inside byte d, else as
// a child under its byte d.
Inner* place_leaf(Inner* fresh, Leaf* leaf, unsigned depth) {
  if (leaf->prefix_len < 8 * depth + 8) {
    MetadataRep* rep = leaf->record.load(std::memory_order_relaxed);
    rep->acquire();  // the leaf keeps its own until readers are done with it
    bool added = false;
    set_local(fresh, slot_at(leaf->key, depth, leaf->prefix_len), rep, added);
    retire_node(leaf);
    return fresh;
  }
  return superseding(fresh, add_child(fresh, leaf->key[depth], leaf));
}

// Inserts into the subtree of `node` at `depth`; returns the node to take
// its place.
Inner* insert_at(Inner* node, const std::uint8_t* key, unsigned n, unsigned depth, unsigned length,
                 MetadataRep* rep, bool& added) {
  if (length < 8 * depth + 8) {
    set_local(node, slot_at(key, depth, length), rep, added);
    return node;
  }
  const std::uint8_t b = key[depth];  // wholly inside the prefix
  Node* child = find_child(node, b);
  if (child == nullptr) {
    added = true;
    return superseding(node, add_child(node, b, make_leaf(key, n, length, rep)));
  }
  if (is_leaf(child)) {
    auto* leaf = static_cast<Leaf*>(child);
    if (same_prefix(leaf, key, n, length)) {
      node::release_rep_deferred(leaf->record.exchange(rep, std::memory_order_acq_rel));
      return node;
    }
    // Two entries now share this path: push the leaf down one level. Both
    // are at least 8(depth+1) bits long and differ, so at least one of them
    // is longer and the new node sits at most at depth n-1.
    Inner* below = place_leaf(new_node4(), leaf, depth + 1);
    below = insert_at(below, key, n, depth + 1, length, rep, added);
    replace_child(node, b, below);
    return node;
  }
  auto* inner = static_cast<Inner*>(child);
  Inner* replacement = insert_at(inner, key, n, depth + 1, length, rep, added);
  if (replacement != inner) replace_child(node, b, replacement);
  return node;
}

// An inner node other than a root that no longer earns its place: with no
// entries left it goes, with only a leaf left it gives way to the leaf.
Node* tidy(Inner* node, bool is_root) noexcept {
  if (is_root || node->locals.load(std::memory_order_relaxed) != nullptr) return node;
  const unsigned count = child_count(node);
  if (count > 1) return node;
  Node* only = nullptr;
  for_each_child(node, [&](std::uint8_t, Node* c) { only = c; });
  if (only != nullptr && !is_leaf(only)) return node;
  retire_node(node);
  return only;
}

// Removes from the subtree of `node` at `depth`; returns what takes its
// place (itself, a new node, a leaf, or null). `out` gets the record.
Node* remove_at(Inner* node, const std::uint8_t* key, unsigned n, unsigned depth, unsigned length,
                MetadataRep*& out, bool is_root) {
  if (length < 8 * depth + 8) {
    const unsigned slot = slot_at(key, depth, length);
    Locals* current = node->locals.load(std::memory_order_relaxed);
    if (current == nullptr || !current->has(slot)) return node;
    MetadataRep* rep = current->records()[current->rank(slot)].load(std::memory_order_relaxed);
    node->locals.store(locals_without(current, slot), std::memory_order_release);
    retire_locals(current);
    // The caller gets a reference; the array's goes once readers are done.
    rep->acquire();
    node::release_rep_deferred(rep);
    out = rep;
    return tidy(node, is_root);
  }
  const std::uint8_t b = key[depth];
  Node* child = find_child(node, b);
  if (child == nullptr) return node;
  if (is_leaf(child)) {
    auto* leaf = static_cast<Leaf*>(child);
    if (!same_prefix(leaf, key, n, length)) return node;
    out = leaf->record.load(std::memory_order_relaxed);
    out->acquire();  // the leaf's own reference goes when it is freed
    retire_node(leaf);
    return tidy(superseding(node, remove_child(node, b)), is_root);
  }
  auto* inner = static_cast<Inner*>(child);
  Node* replacement = remove_at(inner, key, n, depth + 1, length, out, false);
  if (replacement == inner) return node;
  if (replacement == nullptr) return tidy(superseding(node, remove_child(node, b)), is_root);
  replace_child(node, b, replacement);
  return tidy(node, is_root);
}

void free_entries(Locals* locals) noexcept {
  if (locals == nullptr) return;
  const unsigned count = locals->count();
  for (unsigned i = 0; i < count; ++i) locals->records()[i].load(std::memory_order_relaxed)->release();
  free_locals(locals);
}

}  // namespace

void replace_child(Inner* node, std::uint8_t b, Node* child) noexcept {
  std::atomic<Node*>* slot = nullptr;
  switch (node->kind) {
    case Kind::Node4: {
      auto* n = static_cast<Node4*>(node);
      for (unsigned i = 0; i < n->num_children && slot == nullptr; ++i) {
        if (n->keys[i] == b) slot = &n->children[i];
      }
      break;
    }
    case Kind::Node16: {
      auto* n = static_cast<Node16*>(node);
      for (unsigned i = 0; i < n->num_children && slot == nullptr; ++i) {
        if (n->keys[i] == b) slot = &n->children[i];
      }
      break;
    }
    case Kind::Node48: {
      auto* n = static_cast<Node48*>(node);
      if (n->child_index[b] < Node48::kEmpty) slot = &n->children[n->child_index[b]];
      break;
    }
    case Kind::Node256:
      slot = &static_cast<Node256*>(node)->children[b];
      break;
    case Kind::Leaf:
      break;
  }
  if (slot != nullptr) slot->store(child, std::memory_order_release);
}

void free_subtree(Node* node) noexcept {
  if (node == nullptr) return;
  if (!is_leaf(node)) {
    auto* inner = static_cast<Inner*>(node);
    // Depth is bounded by the address: at most 17 levels of recursion.
    for_each_child(inner, [](std::uint8_t, Node* c) { free_subtree(c); });
    free_entries(inner->locals.load(std::memory_order_relaxed));
  }
  free_node(node);
}

namespace {

// Walks the subtree of `node`, at `depth`, reached by path[0 .. depth-1].
void collect_from(const Inner* node, AddressFamily family, unsigned depth, std::array<std::uint8_t, 16>& path,
                  std::vector<std::pair<IpPrefix, const MetadataRep*>>& out) {
  if (const Locals* locals = node->locals.load(std::memory_order_acquire)) {
    unsigned rank = 0;  // records follow in slot order
    for (unsigned slot = 1; slot < 256; ++slot) {
      if (!locals->has(slot)) continue;
      const unsigned r = 31 - static_cast<unsigned>(std::countl_zero(slot));  // bits into the byte
      IpPrefix prefix;
      prefix.family = family;
      std::copy_n(path.begin(), depth, prefix.bytes.begin());
      prefix.bytes[depth] = r == 0 ? 0 : static_cast<std::uint8_t>((slot - (1u << r)) << (8 - r));
      prefix.length = static_cast<std::uint8_t>(8 * depth + r);
      out.emplace_back(prefix, locals->records()[rank++].load(std::memory_order_acquire));
    }
  }
  for_each_child(node, [&](std::uint8_t b, const Node* child) {
    if (is_leaf(child)) {
      const auto* leaf = static_cast<const Leaf*>(child);
      IpPrefix prefix;
      prefix.family = family;
      std::copy_n(leaf->key, key_bytes(family), prefix.bytes.begin());
      prefix.length = leaf->prefix_len;
      out.emplace_back(prefix, leaf->record.load(std::memory_order_acquire));
      return;
    }
    path[depth] = b;
    collect_from(static_cast<const Inner*>(child), family, depth + 1, path, out);
  });
}

}  // namespace

ArtTree::ArtTree() : roots_{new_node4(), new_node4()} {}

void ArtTree::collect(AddressFamily family, std::vector<std::pair<IpPrefix, const MetadataRep*>>& out) const {
  std::array<std::uint8_t, 16> path{};
  collect_from(roots_[index_of(family)].load(std::memory_order_acquire), family, 0, path, out);
}

ArtTree::~ArtTree() {
  for (auto& root : roots_) free_subtree(root.load(std::memory_order_relaxed));
}

bool ArtTree::insert(AddressFamily family, const std::uint8_t* key, unsigned length, MetadataRep* rep) noexcept {
  std::atomic<Inner*>& root = roots_[index_of(family)];
  bool added = false;
  Inner* current = root.load(std::memory_order_relaxed);
  Inner* updated = insert_at(current, key, key_bytes(family), 0, length, rep, added);
  if (updated != current) root.store(updated, std::memory_order_release);
  // Only the one writer changes the count; readers load it.
  if (added) size_.store(size_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  return added;
}

MetadataRep* ArtTree::remove(AddressFamily family, const std::uint8_t* key, unsigned length) noexcept {
  std::atomic<Inner*>& root = roots_[index_of(family)];
  MetadataRep* out = nullptr;
  Inner* current = root.load(std::memory_order_relaxed);
  // A root is never tidied away, so what comes back is an inner node.
  auto* updated = static_cast<Inner*>(remove_at(current, key, key_bytes(family), 0, length, out, true));
  if (updated != current) root.store(updated, std::memory_order_release);
  if (out != nullptr) size_.store(size_.load(std::memory_order_relaxed) - 1, std::memory_order_release);
  return out;
}

void ArtTree::clear() noexcept {
  for (auto& root : roots_) {
    Inner* old = root.exchange(new_node4(), std::memory_order_acq_rel);
    // Shared: the clearing thread may go idle, and the whole old tree would
    // wait for it.
    epoch::retire_shared(old, [](void* p) { free_subtree(static_cast<Node*>(p)); });
  }
  size_.store(0, std::memory_order_release);
}

const MetadataRep* ArtTree::lookup(AddressFamily family, const std::uint8_t* key) const noexcept {
  const unsigned n = key_bytes(family);
  const Inner* node = roots_[index_of(family)].load(std::memory_order_acquire);
  const MetadataRep* best = nullptr;
  for (unsigned depth = 0; depth < n; ++depth) {
    const std::uint8_t x = key[depth];
    if (const Locals* locals = node->locals.load(std::memory_order_acquire)) {
      // The longest entry of this node covering x; anything found deeper
      // is longer still.
      for (int r = 7; r >= 0; --r) {
        const unsigned slot = local_slot(static_cast<unsigned>(r), x);
        if (locals->has(slot)) {
          best = locals->records()[locals->rank(slot)].load(std::memory_order_acquire);
          break;
        }
      }
    }
    const Node* child = find_child(node, x);
    if (child == nullptr) return best;
    if (is_leaf(child)) {
      const auto* leaf = static_cast<const Leaf*>(child);
      return matches(leaf, key, n) ? leaf->record.load(std::memory_order_acquire) : best;
    }
    node = static_cast<const Inner*>(child);
  }
  return best;
}

bool ArtTree::contains(AddressFamily family, const std::uint8_t* key, unsigned length) const noexcept {
  const unsigned n = key_bytes(family);
  const Inner* node = roots_[index_of(family)].load(std::memory_order_acquire);
  for (unsigned depth = 0; depth < n; ++depth) {
    if (length < 8 * depth + 8) {
      const Locals* locals = node->locals.load(std::memory_order_acquire);
      return locals != nullptr && locals->has(slot_at(key, depth, length));
    }
    const Node* child = find_child(node, key[depth]);
    if (child == nullptr) return false;
    if (is_leaf(child)) return same_prefix(static_cast<const Leaf*>(child), key, n, length);
    node = static_cast<const Inner*>(child);
  }
  return false;
}

}  // namespace korvane::art
