// The path-compressed trie (node kinds 4..7). A node reached at depth d
// covers key bits d .. d + e - 1 with its edge of length e; key bit d + e
// selects the child, which starts at depth d + e + 1.
//
// Concurrency:
// - Every visit reads a node optimistically: version word, edge, the fields
//   it needs, version word again, retrying on a change. Readers write
//   nothing shared.
// - A writer locks (makes odd) the version word of the node it changes and
//   re-reads that node under the lock. When it needs a second node it locks
//   parent before child, never the other way, so writers cannot deadlock.
// - Every live node keeps its absolute depth and the key bits that lead to
//   it for as long as it is live: a split keeps the node and moves its tail
//   into a new child; a merge keeps the parent and moves its only child's
//   edge, entry and children up into it. So a walker that read a node
//   before a change is still on the right path below it.
// - A node that leaves the trie (pruned, or merged into its parent) is
//   marked unlinked under its lock and never changed again: a walker inside
//   it reads a frozen, consistent node whose children are still the live
//   ones, and a writer that locks it starts again from the root.
// - An insert or a remove may start its walk at a node its key's shortcut
//   names (see trie/shortcuts.hpp) rather than at the root: by the two rules
//   above, starting at a node the walk from the root would pass is the same
//   walk, frozen nodes included, except that a frozen node does not see
//   what was inserted after it left; so only a walk from the root may find a
//   key absent. A remove that unlinks a node takes it out of the shortcuts
//   before releasing it.
// - Structure invariant, restored by every remove before it returns: a node
//   other than the root holds an entry or has two children. The root may be
//   empty; an empty root has an empty edge. An insert that meets a node a
//   remove has just emptied, before that remove's tidy, leaves nothing for
//   the tidy to miss: it fills an empty leaf rather than split it, and tidies
//   the child it split off a node with no entry and one child.
#pragma once

#include "read_index.hpp"
#include "trie/keys.hpp"
#include "trie/shortcuts.hpp"
#include "trie/write_support.hpp"

namespace korvane::trie {

struct EdgeView {
  u128 bits;
  unsigned length;
};

template <class N>
EdgeView read_edge(const N* n) noexcept {
  const std::uint64_t length = n->edge_length();
  return {make_u128(n->edge_hi(), n->edge_lo()), static_cast<unsigned>(std::min<std::uint64_t>(length, 1u << 16))};
}

template <class N>
struct PathCompressed {
  static constexpr bool kCompressed = true;
  static std::size_t count_nodes(const TrieNode* root) noexcept { return count_reachable<N>(root); }

  // Where a key stands relative to one node.
  struct Position {
    unsigned remaining;  // r: key bits still to place
    unsigned matched;    // m: agreeing bits of key and edge
    EdgeView edge;
  };

  static Position position(const N* n, const PrefixKey& key, unsigned depth) noexcept {
    Position p;
    p.edge = read_edge(n);
    p.remaining = key.length > depth ? key.length - depth : 0;
    const u128 placed = key_bits(key.bits, depth, std::min(p.remaining, 128u));
    p.matched = first_difference(placed, p.edge.bits, std::min(p.remaining, p.edge.length));
    return p;
  }

  // Counts a new entry in `entries`; `replaced` receives the record it
  // replaced, which the caller releases. With `shortcuts`, the walk starts
  // at the key's shortcut and records a deeper one it passes.
  static void insert(TrieNode* root, const PrefixKey& key, OwnedEntry& entry, detail::MetadataRep*& replaced,
                     EntryCount& entries, Shortcuts* shortcuts = nullptr) {
    Shortcuts::Walk walk = shortcuts != nullptr ? shortcuts->walk(key) : Shortcuts::Walk();
    Leftover leftover;
    insert_from(root, key, entry, replaced, entries, walk, leftover);
    walk.record();  // every node lock is let go by now
    if (__builtin_expect(leftover.child != nullptr, 0)) tidy_leftover(root, leftover, shortcuts);
  }

 private:
  // A node an insert's split left with no entry and one child (C), its
  // parent, and the key that leads to it, for the insert to tidy once it
  // holds no lock.
  struct Leftover {
    N* child = nullptr;
    N* parent = nullptr;
    unsigned child_depth = 0;
    unsigned parent_depth = 0;
    PrefixKey key{};
  };

  [[gnu::noinline]] static void tidy_leftover(TrieNode* root, const Leftover& leftover, Shortcuts* shortcuts) {
    Path<N> path;
    path.push(leftover.parent, leftover.parent_depth);
    path.push(leftover.child, leftover.child_depth);
    tidy(root, leftover.key, path, shortcuts);
  }

  static void insert_from(TrieNode* root, const PrefixKey& key, OwnedEntry& entry, detail::MetadataRep*& replaced,
                          EntryCount& entries, Shortcuts::Walk& walk, Leftover& leftover) {
    SpareNodes<N> spare;
    auto* n = static_cast<N*>(walk.start());
    unsigned depth = walk.start_depth();
    if (n == nullptr) {
    from_root:
      walk.restart();
      n = static_cast<N*>(root);
      depth = 0;
    }
    for (;;) {
      // Pass through without locking when the key clearly goes on below an
      // existing child; otherwise count the nodes the change will need.
      unsigned wanted = 0;
      {
        const std::uint32_t v = n->read_begin();
        const Position p = position(n, key, depth);
        if (p.matched == p.edge.length && p.edge.length < p.remaining) {
          TrieNode* child = n->children.child(bit_at(key.bits, depth + p.matched));
          if (!n->read_valid(v)) continue;
          if (child != nullptr) {
            depth += p.matched + 1;
            n = static_cast<N*>(child);
            walk.passed(n, depth);
            continue;
          }
          wanted = 1;
        } else if (p.matched < p.edge.length) {
          wanted = p.matched < p.remaining ? 2 : 1;
        }
      }
      spare.reserve(wanted);

      NodeWriteLock lock(n);
      if (n->unlinked()) goto from_root;
      const Position p = position(n, key, depth);
      const unsigned r = p.remaining;
      const unsigned m = p.matched;
      const unsigned e = p.edge.length;

      // An empty node takes the whole key: the root of an empty trie, or a
      // leaf whose entry a remove has just taken and which it is about to
      // prune. (Split, such a leaf would leave an empty child that the
      // remove's tidy, finding its node with two children, never prunes.)
      if ((e == 0 || m < e) && is_empty(n)) {
        const u128 bits = key_bits(key.bits, depth, r);
        n->store_edge(high_word(bits), low_word(bits), r);
        count_in(entries);
        n->entry.replace_prefix(entry.take_prefix());
        n->entry.metadata.store(entry.take_rep(), std::memory_order_release);
        return;
      }
      if (m == r && m == e) {
        // The key ends exactly at this node, whose lock every writer of the
        // entry holds: whether one is there is exact.
        if (n->entry.load_metadata() == nullptr) count_in(entries);
        n->entry.replace_prefix(entry.take_prefix());
        replaced = n->entry.exchange_metadata(entry.take_rep());
        return;
      }
      if (m == e) {
        // The edge matched and the key goes on.
        const unsigned b = bit_at(key.bits, depth + m);
        if (TrieNode* child = n->children.child(b)) {
          lock.unlock();
          depth += m + 1;
          n = static_cast<N*>(child);
          walk.passed(n, depth);
          continue;
        }
        if (spare.available() < 1) continue;
        N* leaf = fill_leaf(spare.take(), key, depth + m + 1, entry);
        count_in(entries);
        n->children.replace_child(b, leaf);
        return;
      }
      // The edge diverges from the key, or the key ends inside it: split.
      if (spare.available() < (m < r ? 2u : 1u)) continue;
      count_in(entries);
      split(n, p, key, depth, spare, entry, leftover);
      return;
    }
  }

 public:
  // An entry sits where its key ends, and the walk only passes a node after
  // matching its whole edge, so every entry it meets belongs to a prefix
  // that covers the address. The stored prefix is therefore checked once, for
  // the answer, rather than at every candidate (each check is a cache miss);
  // should it ever fail, the walk is repeated checking every candidate.
  static detail::MetadataRep* lookup(TrieNode* root, const IpAddress& address, u128 key) noexcept {
    StoredPrefix stored;
    detail::MetadataRep* best = walk<false>(root, address, key, stored);
    if (best == nullptr || (stored && stored.covers(address))) return best;
    return walk<true>(root, address, key, stored);
  }

  // The record at the node whose edge ends exactly where the key does, read
  // within the same validated read as the match, so a split or merge racing
  // with it cannot make the answer come from another version of the node.
  static bool contains(TrieNode* root, const PrefixKey& key) noexcept {
    bool present = false;
    return find(root, key, nullptr, &present) != nullptr && present;
  }

  // With `shortcuts`, the walk starts at the key's shortcut, and at the root
  // after a retry or when it finds nothing; a node that leaves the trie
  // leaves the shortcuts too. Counts the entry it takes out of `entries`.
  static detail::MetadataRep* remove(TrieNode* root, const PrefixKey& key, EntryCount& entries,
                                     Shortcuts* shortcuts = nullptr) {
    Path<N> path;
    const Shortcuts::Walk walk = shortcuts != nullptr ? shortcuts->walk(key) : Shortcuts::Walk();
    TrieNode* start = walk.start() != nullptr ? walk.start() : root;
    unsigned start_depth = walk.start() != nullptr ? walk.start_depth() : 0;
    for (;; start = root, start_depth = 0) {
      N* n = find(start, key, &path, nullptr, start_depth);
      if (n == nullptr) {
        if (start != root) continue;
        return nullptr;
      }
      NodeWriteLock lock(n);
      if (n->unlinked()) continue;
      const Position q = position(n, key, path.depths[path.size - 1]);
      if (q.matched != q.edge.length || q.remaining != q.edge.length) continue;  // split meanwhile
      detail::MetadataRep* old = n->entry.exchange_metadata(nullptr);
      if (old != nullptr) count_out(entries);
      lock.unlock();
      if (old != nullptr) tidy(root, key, path, shortcuts);
      return old;
    }
  }

  // For the read index: the cover of the range (key, length) and the
  // prefixes inside it up to `limit` bits, in preorder, with a marker for
  // each subtree that goes on below `limit`. The range and the limit are in
  // the trie's key space; keys and lengths come out less `offset` leading
  // bits (96 for the IPv4 trie, whose keys all start with 96 zero bits), so
  // left-aligned in the family's address space.
  //
  // The walk may start at `start`, a node at depth `start_depth` on the
  // range's path, instead of the root; covers above it are then missed, so
  // only for a caller that needs no cover that short.
  static void gather(TrieNode* root, const PrefixKey& range, unsigned limit, unsigned offset, IndexRange& out,
                     const TrieNode* start = nullptr, unsigned start_depth = 0) {
    const auto* n = static_cast<const N*>(start != nullptr ? start : root);
    unsigned depth = start != nullptr ? start_depth : 0;
    for (;;) {
      const Snapshot s = snapshot(n);
      const unsigned rest = range.length > depth ? range.length - depth : 0;
      const unsigned common = std::min(rest, s.edge.length);
      if (first_difference(key_bits(range.bits, depth, std::min(rest, 128u)), s.edge.bits, common) < common) {
        return;  // the range and this subtree do not meet
      }
      if (s.edge.length > rest) {  // the whole subtree lies inside the range
        collect(s, depth, range.bits & top_mask(depth), limit, offset, out);
        return;
      }
      const unsigned end = depth + s.edge.length;
      if (s.rep != nullptr) {
        out.cover = s.rep;
        out.cover_length = end - offset;
      }
      if (s.edge.length == rest) {
        collect_children(s, end, range.bits, limit, offset, out);
        return;
      }
      n = static_cast<const N*>(s.child[bit_at(range.bits, end)]);
      if (n == nullptr) return;
      depth = end + 1;
    }
  }

  static void clear(TrieNode* root) {
    auto* n = static_cast<N*>(root);
    NodeWriteLock lock(n);
    n->store_edge(0, 0, 0);
    node::release_rep_deferred(n->entry.exchange_metadata(nullptr));
    // The old subtrees may be large; any thread collects them.
    TrieNode::release_deferred_shared(n->children.take_child(0));
    TrieNode::release_deferred_shared(n->children.take_child(1));
  }

 private:
  // One node read consistently.
  struct Snapshot {
    EdgeView edge;
    detail::MetadataRep* rep;
    TrieNode* child[2];
  };
  static Snapshot snapshot(const N* n) noexcept {
    for (;;) {
      const std::uint32_t v = n->read_begin();
      Snapshot s{read_edge(n), n->entry.load_metadata(), {n->children.child(0), n->children.child(1)}};
      if (n->read_valid(v)) return s;
    }
  }

  static u128 with_bit(unsigned position, unsigned b) noexcept {
    return b == 0 ? u128{0} : shift_right(u128{1} << 127, position);
  }

  // A node read as `s` starts at `depth` below the key bits `above`.
  static void collect(const Snapshot& s, unsigned depth, u128 above, unsigned limit, unsigned offset,
                      IndexRange& out) {
    const u128 key = above | shift_right(s.edge.bits, depth);
    const unsigned end = depth + s.edge.length;
    if (end > limit) {  // this node's entry and everything below end past the limit
      out.deeper.push_back({shift_left(key, offset), limit + 1 - offset, nullptr});
      return;
    }
    if (s.rep != nullptr) out.deeper.push_back({shift_left(key, offset), end - offset, s.rep});
    collect_children(s, end, key, limit, offset, out);
  }

  // The children of a node read as `s` whose key is `key`, `end` bits long.
  static void collect_children(const Snapshot& s, unsigned end, u128 key, unsigned limit, unsigned offset,
                               IndexRange& out) {
    for (unsigned b = 0; b < 2; ++b) {
      const auto* child = static_cast<const N*>(s.child[b]);
      if (child == nullptr) continue;
      if (end + 1 > limit) {
        // Everything below starts past the limit: a marker, without reading
        // the child (each node read is a likely cache miss).
        out.deeper.push_back({shift_left(key | with_bit(end, b), offset), limit + 1 - offset, nullptr});
      } else {
        collect(snapshot(child), end + 1, key | with_bit(end, b), limit, offset, out);
      }
    }
  }

  // A fresh, unpublished node holding the rest of the key from `from` on and
  // the entry. Published later by a releasing store into a slot.
  static N* fill_leaf(N* d, const PrefixKey& key, unsigned from, OwnedEntry& entry) noexcept {
    const unsigned length = key.length > from ? key.length - from : 0;
    const u128 bits = key_bits(key.bits, from, length);
    d->store_edge(high_word(bits), low_word(bits), length);
    d->entry.store_prefix_unpublished(entry.take_prefix());
    d->entry.metadata.store(entry.take_rep(), std::memory_order_relaxed);
    return d;
  }

  // Splits locked node n at edge index p.matched: a new child C takes the
  // edge's tail, the entry and the children; the key's entry goes into a
  // second new node D, or into n itself when the key ends at the split.
  // Everything happens under n's lock, so a reader sees n entirely before or
  // entirely after the split.
  //
  // When n had no entry and one child (a remove has just taken its entry
  // and will find it with two children or an entry, so tidies nothing),
  // C takes neither an entry nor a second child: `leftover` then names C
  // for the insert to tidy.
  static void split(N* n, const Position& p, const PrefixKey& key, unsigned depth, SpareNodes<N>& spare,
                    OwnedEntry& entry, Leftover& leftover) noexcept {
    const unsigned m = p.matched;
    const unsigned e = p.edge.length;
    N* c = spare.take();
    const u128 tail = key_bits(p.edge.bits, m + 1, e - m - 1);
    c->store_edge(high_word(tail), low_word(tail), e - m - 1);
    detail::MetadataRep* const rep = n->entry.exchange_metadata(nullptr);
    c->entry.metadata.store(rep, std::memory_order_relaxed);
    if (const StoredPrefix own = n->entry.load_prefix()) {
      own.acquire();  // C shares a box; n keeps its own reference
      c->entry.store_prefix_unpublished(own);
    }
    // The children move with their references. The Hashed flavour's maps
    // are sized for far more than two keys, so these never allocate.
    TrieNode* const moved[2] = {n->children.take_child(0), n->children.take_child(1)};
    c->children.replace_child(0, moved[0]);
    c->children.replace_child(1, moved[1]);

    const u128 head = p.edge.bits & top_mask(m);
    n->store_edge(high_word(head), low_word(head), m);
    const unsigned edge_bit = bit_at(p.edge.bits, m);
    n->children.replace_child(edge_bit, c);
    if (rep == nullptr && (moved[0] == nullptr || moved[1] == nullptr)) {
      // C's key is n's path and whole edge.
      leftover = {c, n, depth + m + 1, depth, {(key.bits & top_mask(depth)) | shift_right(p.edge.bits, depth), depth + e}};
    }
    if (m < p.remaining) {
      n->children.replace_child(1 - edge_bit, fill_leaf(spare.take(), key, depth + m + 1, entry));
    } else {
      n->entry.replace_prefix(entry.take_prefix());
      n->entry.metadata.store(entry.take_rep(), std::memory_order_release);  // emptied above
    }
  }

  template <bool kCheckEveryCandidate>
  static detail::MetadataRep* walk(TrieNode* root, const IpAddress& address, u128 key,
                                   StoredPrefix& best_prefix) noexcept {
    detail::MetadataRep* best = nullptr;
    best_prefix = StoredPrefix();
    auto* n = static_cast<N*>(root);
    unsigned depth = 0;
    for (;;) {
      detail::MetadataRep* rep;
      StoredPrefix stored;
      TrieNode* child;
      unsigned next;
      for (;;) {
        const std::uint32_t v = n->read_begin();
        const EdgeView edge = read_edge(n);
        const unsigned available = 128 - depth;
        const bool leaves =
            edge.length > available || ((shift_left(key, depth) ^ edge.bits) & top_mask(edge.length)) != 0;
        if (leaves) {
          if (!n->read_valid(v)) continue;
          return best;  // the key leaves the trie inside this edge
        }
        rep = n->entry.load_metadata();
        stored = rep != nullptr ? n->entry.load_prefix() : StoredPrefix();  // a box is not read here
        next = depth + edge.length;
        child = next < 128 ? n->children.child(bit_at(key, next)) : nullptr;
        if (n->read_valid(v)) break;
      }
      if (rep != nullptr && stored) {
        if (!kCheckEveryCandidate || stored.covers(address)) {
          best = rep;
          best_prefix = stored;
        }
      }
      if (child == nullptr) return best;
      depth = next + 1;
      n = static_cast<N*>(child);
    }
  }

  // The node whose edge ends exactly where the key does, or null. `path`,
  // when given, receives every node passed, that node last; `present`, when
  // given, whether that node holds a record, read within the same validated
  // read as the match (so a split or merge racing with it cannot make the
  // answer come from another version of the node).
  // The walk starts at `from`, the root or a node at depth `depth` on the
  // key's path (then `path` starts there too).
  static N* find(TrieNode* from, const PrefixKey& key, Path<N>* path, bool* present, unsigned depth = 0) noexcept {
    if (path != nullptr) path->clear();
    auto* n = static_cast<N*>(from);
    for (;;) {
      const std::uint32_t v = n->read_begin();
      const Position p = position(n, key, depth);
      if (p.matched != std::min(p.remaining, p.edge.length) || p.remaining < p.edge.length) {
        if (!n->read_valid(v)) continue;
        return nullptr;
      }
      if (p.remaining > p.edge.length) {
        TrieNode* child = n->children.child(bit_at(key.bits, depth + p.edge.length));
        if (!n->read_valid(v)) continue;
        if (child == nullptr) return nullptr;
        if (path != nullptr) path->push(n, depth);
        depth += p.edge.length + 1;
        n = static_cast<N*>(child);
        continue;
      }
      if (present != nullptr) *present = n->entry.load_metadata() != nullptr;
      if (!n->read_valid(v)) continue;
      if (path != nullptr) path->push(n, depth);
      return n;
    }
  }

  // Rebuilds `path` down to `target`, a node on the key's path whose parent
  // changed (a split or merge above it). False when it is no longer in the
  // trie.
  static bool relocate(TrieNode* root, const PrefixKey& key, const N* target, Path<N>& path) noexcept {
    path.clear();
    auto* n = static_cast<N*>(root);
    unsigned depth = 0;
    for (;;) {
      if (n == target) {
        path.push(n, depth);
        return true;
      }
      const std::uint32_t v = n->read_begin();
      const Position p = position(n, key, depth);
      if (p.matched != p.edge.length || p.remaining <= p.edge.length) {
        if (!n->read_valid(v)) continue;
        return false;
      }
      TrieNode* child = n->children.child(bit_at(key.bits, depth + p.edge.length));
      if (!n->read_valid(v)) continue;
      if (child == nullptr) return false;
      path.push(n, depth);
      depth += p.edge.length + 1;
      n = static_cast<N*>(child);
    }
  }

  // Restores the structure invariant after the last node of `path` (which
  // may start below the root) lost its entry: an emptied leaf is unlinked
  // from its parent, and a node left with no entry and one child absorbs
  // that child, moving up the path as long as a change leaves the next node
  // in need.
  static void tidy(TrieNode* root, const PrefixKey& key, Path<N>& path, Shortcuts* shortcuts) {
    unsigned i = path.size - 1;
    for (;;) {
      N* x = path.nodes[i];
      NodeWriteLock x_lock(x);
      if (x->unlinked() || x->entry.load_metadata() != nullptr) return;
      TrieNode* const c0 = x->children.child(0);
      TrieNode* const c1 = x->children.child(1);
      if (c0 != nullptr && c1 != nullptr) return;
      if (c0 != nullptr || c1 != nullptr) {
        absorb_only_child(x, c0 != nullptr ? 0u : 1u, shortcuts, path.depths[i], key.bits);
        continue;  // what x took over may itself lack an entry and a child
      }
      if (i == 0) {
        if (x != root) {
          // The remove's walk started below the root: x's parent is found
          // from the root, as after a change above it.
          x_lock.unlock();
          if (!relocate(root, key, x, path)) return;
          i = path.size - 1;
          continue;
        }
        if (read_edge(x).length != 0) x->store_edge(0, 0, 0);  // an empty root has an empty edge
        return;
      }
      x_lock.unlock();

      N* parent = path.nodes[i - 1];
      const unsigned b = bit_at(key.bits, path.depths[i] - 1);
      NodeWriteLock parent_lock(parent);
      if (parent->unlinked() || parent->children.child(b) != x) {
        parent_lock.unlock();
        if (!relocate(root, key, x, path)) return;
        i = path.size - 1;
        continue;
      }
      {
        NodeWriteLock relock(x);
        if (x->unlinked() || !is_empty(x)) continue;  // changed meanwhile: look again
        x->mark_unlinked();
      }
      if (shortcuts != nullptr) shortcuts->forget(x, path.depths[i], key.bits & top_mask(path.depths[i]));
      parent->children.replace_child(b, nullptr);  // released after the grace period
      --i;
    }
  }

  // Locked node x, reached at depth `depth` under the key bits `above`,
  // with no entry and only the child on side b, takes over that child's
  // edge (behind x's edge and the selecting bit), entry and children. The
  // child keeps its own contents and references, frozen, for walkers still
  // inside it; it is released after the grace period.
  static void absorb_only_child(N* x, unsigned b, Shortcuts* shortcuts, unsigned depth, u128 above) noexcept {
    auto* c = static_cast<N*>(x->children.child(b));
    // A node is unlinked only under its parent's lock, which is ours, so c
    // is live.
    NodeWriteLock c_lock(c);
    const EdgeView xe = read_edge(x);
    const EdgeView ce = read_edge(c);
    const u128 bits = xe.bits | shift_right(static_cast<u128>(b) << 127, xe.length) |
                      shift_right(ce.bits, xe.length + 1);
    detail::MetadataRep* rep = c->entry.load_metadata();
    if (rep != nullptr) rep->acquire();
    const StoredPrefix stored = c->entry.load_prefix();
    stored.acquire();
    TrieNode* grand[2] = {c->children.child(0), c->children.child(1)};
    for (TrieNode* g : grand) {
      if (g != nullptr) g->acquire_ref();
    }

    x->store_edge(high_word(bits), low_word(bits), xe.length + 1 + ce.length);
    if (stored) x->entry.replace_prefix(stored);
    node::release_rep_deferred(x->entry.exchange_metadata(rep));
    TrieNode* const old = x->children.take_child(b);
    x->children.replace_child(0, grand[0]);
    x->children.replace_child(1, grand[1]);
    c->mark_unlinked();
    c_lock.unlock();
    if (shortcuts != nullptr) {
      const unsigned c_depth = depth + xe.length + 1;
      shortcuts->forget(c, c_depth, (above & top_mask(depth)) | shift_right(xe.bits, depth) | with_bit(depth + xe.length, b));
    }
    TrieNode::release_deferred(old);
  }
};

}  // namespace korvane::trie
