// The one-bit-per-level trie (node kinds 0..3). A prefix of length L lives
// in the node reached by its first L address bits from its family's root.
//
// Concurrency:
// - Readers (lookup, contains) take no lock: every field is one atomic word,
//   and nodes they reach stay allocated until they leave their epoch Guard.
// - Every write to a node's children or entry happens while holding that
//   node's version word; a remove prunes the nodes it leaves empty, locking
//   parent before child, and marks each pruned node unlinked. A writer that
//   locks an unlinked node starts again from the root, so nothing is ever
//   written below a node that has left the trie.
// - A node is pruned only when it holds no entry and has no children, so
//   every live node's parent is live, and a node never changes its place.
#pragma once

#include "read_index.hpp"
#include "trie/keys.hpp"
#include "trie/write_support.hpp"

namespace korvane::trie {

template <class N>
struct OneBit {
  static constexpr bool kCompressed = false;
  static std::size_t count_nodes(const TrieNode* root) noexcept { return count_reachable<N>(root); }

  // Counts a new entry in `entries`; `replaced` receives the record it
  // replaced, which the caller releases.
  static void insert(TrieNode* root, const IpPrefix& prefix, OwnedEntry& entry, detail::MetadataRep*& replaced,
                     EntryCount& entries) {
    const IpAddress address = prefix.address();
    SpareNodes<N> spare;
    for (;;) {
      N* n = nullptr;
      try {
        n = descend_creating(static_cast<N*>(root), address, prefix.length, spare);
      } catch (...) {
        // Out of memory part way down: the nodes installed so far hold
        // nothing, and go as a remove's would.
        prune(path_to(static_cast<N*>(root), address, prefix.length), address);
        throw;
      }
      if (n == nullptr) continue;  // met an unlinked node
      NodeWriteLock lock(n);
      if (n->unlinked()) continue;
      // The version word serialises writers of this entry, so the record and
      // its prefix are replaced as one, and whether one was there is exact.
      if (n->entry.load_metadata() == nullptr) count_in(entries);
      n->entry.replace_prefix(entry.take_prefix());
      replaced = n->entry.exchange_metadata(entry.take_rep());
      return;
    }
  }

  static detail::MetadataRep* lookup(TrieNode* root, const IpAddress& address) noexcept {
    detail::MetadataRep* best = nullptr;
    auto* n = static_cast<N*>(root);
    for (unsigned depth = 0; n != nullptr; ++depth) {
      // A node's prefix is the path to it, so the containment test can only
      // fail for a prefix written with a different length; it is kept as
      // the guarantee that no record is handed out for a non-covering prefix.
      if (detail::MetadataRep* rep = n->entry.load_metadata()) {
        const StoredPrefix stored = n->entry.load_prefix();
        if (stored && stored.covers(address)) best = rep;
      }
      n = static_cast<N*>(n->children.child(address.bit(depth)));
    }
    return best;
  }

  // Counts the entry it takes out of `entries`.
  static detail::MetadataRep* remove(TrieNode* root, const IpPrefix& prefix, EntryCount& entries) {
    const IpAddress address = prefix.address();
    for (;;) {
      const Path<N> path = path_to(static_cast<N*>(root), address, prefix.length);
      if (path.size != prefix.length + 1u) return nullptr;
      N* n = path.nodes[path.size - 1];
      NodeWriteLock lock(n);
      if (n->unlinked()) continue;  // pruned meanwhile; the prefix may be stored anew
      detail::MetadataRep* old = n->entry.exchange_metadata(nullptr);
      if (old != nullptr) count_out(entries);
      lock.unlock();
      if (old != nullptr) prune(path, address);
      return old;
    }
  }

  static bool contains(TrieNode* root, const IpPrefix& prefix) noexcept {
    const IpAddress address = prefix.address();
    const auto* n = static_cast<const N*>(root);
    for (unsigned i = 0; i < prefix.length && n != nullptr; ++i) {
      n = static_cast<const N*>(n->children.child(address.bit(i)));
    }
    return n != nullptr && n->entry.load_metadata() != nullptr;
  }

  // For the read index: the cover of the range (key, length) of the
  // family's address space and the prefixes inside it up to `limit` bits,
  // in preorder, with a marker for each subtree that goes on below `limit`.
  static void gather(TrieNode* root, u128 key, unsigned length, unsigned limit, IndexRange& out) {
    const auto* n = static_cast<const N*>(root);
    for (unsigned depth = 0;; ++depth) {
      if (detail::MetadataRep* rep = n->entry.load_metadata()) {
        out.cover = rep;
        out.cover_length = depth;
      }
      if (depth == length) break;
      n = static_cast<const N*>(n->children.child(bit_at(key, depth)));
      if (n == nullptr) return;
    }
    for (unsigned b = 0; b < 2; ++b) {
      if (const TrieNode* child = n->children.child(b)) collect(child, length + 1, key | with_bit(length, b), limit, out);
    }
  }

  static void clear(TrieNode* root) {
    auto* n = static_cast<N*>(root);
    NodeWriteLock lock(n);
    // The old subtrees may be large; any thread collects them.
    TrieNode::release_deferred_shared(n->children.take_child(0));
    TrieNode::release_deferred_shared(n->children.take_child(1));
    node::release_rep_deferred(n->entry.exchange_metadata(nullptr));
  }

 private:
  static u128 with_bit(unsigned position, unsigned b) noexcept {
    return b == 0 ? u128{0} : shift_right(u128{1} << 127, position);
  }

  // `node` is at `depth`, reached by the first depth bits of `key`.
  static void collect(const TrieNode* node, unsigned depth, u128 key, unsigned limit, IndexRange& out) {
    if (depth > limit) {
      out.deeper.push_back({key, limit + 1, nullptr});
      return;
    }
    const auto* n = static_cast<const N*>(node);
    if (detail::MetadataRep* rep = n->entry.load_metadata()) out.deeper.push_back({key, depth, rep});
    for (unsigned b = 0; b < 2; ++b) {
      if (const TrieNode* child = n->children.child(b)) collect(child, depth + 1, key | with_bit(depth, b), limit, out);
    }
  }

  // The nodes on the first `length` bits of `address` from the root, as far
  // as they go.
  static Path<N> path_to(N* n, const IpAddress& address, unsigned length) {
    Path<N> path;
    path.push(n, 0);
    for (unsigned i = 0; i < length; ++i) {
      n = static_cast<N*>(n->children.child(address.bit(i)));
      if (n == nullptr) break;
      path.push(n, i + 1);
    }
    return path;
  }

  // Walks the first `length` bits of `address`, creating missing nodes.
  // Returns the node reached, or null when it met an unlinked node.
  static N* descend_creating(N* n, const IpAddress& address, unsigned length, SpareNodes<N>& spare) {
    for (unsigned i = 0; i < length; ++i) {
      const unsigned b = address.bit(i);
      TrieNode* child = n->children.child(b);
      if (child == nullptr) {
        spare.reserve(1);
        NodeWriteLock lock(n);
        if (n->unlinked()) return nullptr;
        child = n->children.child(b);  // a racing insert may have installed one
        if (child == nullptr) {
          N* fresh = spare.take();
          try {
            n->children.replace_child(b, fresh);
          } catch (...) {  // the Hashed flavour's map could not take it
            spare.put_back(fresh);
            throw;
          }
          child = fresh;
        }
      }
      n = static_cast<N*>(child);
    }
    return n;
  }

  // Unlinks the empty nodes at the end of `path`, bottom up, stopping at the
  // first node that holds an entry or leads to one. The root stays.
  static void prune(const Path<N>& path, const IpAddress& address) {
    for (unsigned i = path.size - 1; i > 0; --i) {
      N* child = path.nodes[i];
      N* parent = path.nodes[i - 1];
      const unsigned b = address.bit(i - 1);
      NodeWriteLock parent_lock(parent);
      // A node's parent never changes, so a parent that has left the trie,
      // or no longer holds this child, means someone else pruned it.
      if (parent->unlinked() || parent->children.child(b) != child) return;
      {
        NodeWriteLock child_lock(child);
        if (child->unlinked() || !is_empty(child)) return;
        child->mark_unlinked();
      }
      parent->children.replace_child(b, nullptr);  // released after the grace period
    }
  }
};

}  // namespace korvane::trie
