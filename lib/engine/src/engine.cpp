#include "engine.hpp"

#include <algorithm>
#include <mutex>

#include "engine_art.hpp"
#include "epoch.hpp"
#include "node/kinds.hpp"

namespace korvane {

using node::ChildSlots;
using node::visit_node;

namespace {

// ---------------------------------------------------------------------------
// 128-bit keys. Bit i of a key is bit 127 - i of the integer, so key bit 0 is
// the most significant bit, and edges are packed the same way from bit 0.

__extension__ typedef unsigned __int128 u128;

constexpr u128 make_u128(std::uint64_t hi, std::uint64_t lo) noexcept {
  return (static_cast<u128>(hi) << 64) | lo;
}
constexpr std::uint64_t high_word(u128 x) noexcept { return static_cast<std::uint64_t>(x >> 64); }
constexpr std::uint64_t low_word(u128 x) noexcept { return static_cast<std::uint64_t>(x); }

constexpr u128 shift_left(u128 x, unsigned n) noexcept { return n >= 128 ? 0 : x << n; }

// The top `len` bits set.
constexpr u128 top_mask(unsigned len) noexcept {
  if (len == 0) return 0;
  if (len >= 128) return ~u128{0};
  return ~(~u128{0} >> len);
}

constexpr unsigned bit_at(u128 key, unsigned i) noexcept {
  return i >= 128 ? 0u : static_cast<unsigned>((key >> (127 - i)) & 1u);
}

// Key bits from .. from + len - 1, packed from bit 0; bits past 127 read 0.
constexpr u128 key_bits(u128 key, unsigned from, unsigned len) noexcept {
  return shift_left(key, from) & top_mask(len);
}

// First index below `limit` where a and b differ, or `limit`.
inline unsigned first_difference(u128 a, u128 b, unsigned limit) noexcept {
  const u128 x = (a ^ b) & top_mask(limit);
  if (x == 0) return limit;
  const std::uint64_t hi = high_word(x);
  const unsigned index = hi != 0 ? static_cast<unsigned>(__builtin_clzll(hi))
                                 : 64u + static_cast<unsigned>(__builtin_clzll(low_word(x)));
  return std::min(index, limit);
}

// The key of an address: IPv6 as it is, IPv4 as twelve zero bytes followed
// by the address.
inline u128 address_key(const IpAddress& address) noexcept {
  if (address.family == AddressFamily::V4) {
    return (static_cast<u128>(address.bytes[0]) << 24) | (static_cast<u128>(address.bytes[1]) << 16) |
           (static_cast<u128>(address.bytes[2]) << 8) | static_cast<u128>(address.bytes[3]);
  }
  std::uint64_t hi = 0;
  std::uint64_t lo = 0;
  for (int i = 0; i < 8; ++i) {
    hi = (hi << 8) | address.bytes[i];
    lo = (lo << 8) | address.bytes[8 + i];
  }
  return make_u128(hi, lo);
}

struct PrefixKey {
  u128 bits;        // host bits cleared
  unsigned length;  // 96 + L for IPv4, L for IPv6
};

inline PrefixKey prefix_key(const IpPrefix& prefix) noexcept {
  const unsigned length = prefix.family == AddressFamily::V4 ? 96u + prefix.length : prefix.length;
  return {address_key(prefix.address()) & top_mask(length), length};
}

unsigned family_index(AddressFamily family) noexcept { return static_cast<unsigned>(family); }

bool valid_length(const IpPrefix& prefix) noexcept {
  return prefix.length <= address_width_bits(prefix.family) &&
         (prefix.family == AddressFamily::V4 || prefix.family == AddressFamily::V6);
}

// Takes a reference for the caller on a record reached inside a Guard; the
// node field's own reference keeps it alive until then.
std::optional<Metadata> hand_out(detail::MetadataRep* rep) {
  if (rep == nullptr) return std::nullopt;
  rep->acquire();
  return detail::MetadataAccess::adopt(rep);
}

// Gives up a record unlinked from a node: the caller gets a reference of its
// own, the node's reference goes once no reader can still reach the record.
std::optional<Metadata> hand_out_removed(detail::MetadataRep* rep) {
  if (rep == nullptr) return std::nullopt;
  std::optional<Metadata> out = hand_out(rep);
  node::release_rep_deferred(rep);
  return out;
}

template <class N>
bool has_children(const N* n) noexcept {
  return n->children.child(0) != nullptr || n->children.child(1) != nullptr;
}

template <class N>
N* fresh_node() {
  return static_cast<N*>(new_node(N::kKind).release());
}

// ---------------------------------------------------------------------------
// One bit per level (node kinds 0..3). A prefix of length L lives in the
// node reached by its first L address bits from its family's root.

template <class N>
struct Uncompressed {
  static constexpr bool kCompressed = false;
  // Returns true when a new entry was created. `rep` and `box` are owned.
  static bool insert(TrieNode* root, const IpPrefix& prefix, detail::MetadataRep* rep, PrefixBox* box) {
    const IpAddress address = prefix.address();
    auto* n = static_cast<N*>(root);
    for (unsigned i = 0; i < prefix.length; ++i) {
      const unsigned b = address.bit(i);
      TrieNode* child = n->children.child(b);
      if (child == nullptr) {
        // Install only into an empty slot; a racing insert that got there
        // first wins and we continue below its node, so nothing inserted
        // under it can be lost.
        N* created = fresh_node<N>();
        child = n->children.install_if_empty(b, created);
        if (child == nullptr) {
          child = created;
        } else {
          created->release_ref();  // never published
        }
      }
      n = static_cast<N*>(child);
    }
    // The version word serialises writers of this entry, so the record and
    // its prefix are replaced as one and the created/replaced answer is exact.
    n->write_lock();
    n->entry.replace_prefix(box);
    detail::MetadataRep* old = n->entry.exchange_metadata(rep);
    n->write_unlock();
    node::release_rep_deferred(old);
    return old == nullptr;
  }

  static N* find(TrieNode* root, const IpPrefix& prefix) noexcept {
    const IpAddress address = prefix.address();
    auto* n = static_cast<N*>(root);
    for (unsigned i = 0; i < prefix.length && n != nullptr; ++i) {
      n = static_cast<N*>(n->children.child(address.bit(i)));
    }
    return n;
  }

  static detail::MetadataRep* lookup(TrieNode* root, const IpAddress& address) noexcept {
    detail::MetadataRep* best = nullptr;
    auto* n = static_cast<N*>(root);
    for (unsigned depth = 0; n != nullptr; ++depth) {
      // A node's prefix is the path to it, so the containment test can only
      // fail for a prefix written with a different length; it is kept as
      // the guarantee that no record is handed out for a non-covering prefix.
      if (detail::MetadataRep* rep = n->entry.load_metadata()) {
        const PrefixBox* box = n->entry.load_prefix();
        if (box != nullptr && box->prefix.covers(address)) best = rep;
      }
      n = static_cast<N*>(n->children.child(address.bit(depth)));
    }
    return best;
  }

  static detail::MetadataRep* remove(TrieNode* root, const IpPrefix& prefix) noexcept {
    N* n = find(root, prefix);
    if (n == nullptr) return nullptr;
    n->write_lock();
    detail::MetadataRep* old = n->entry.exchange_metadata(nullptr);
    n->write_unlock();
    return old;
  }

  static bool contains(TrieNode* root, const IpPrefix& prefix) noexcept {
    const N* n = find(root, prefix);
    return n != nullptr && n->entry.load_metadata() != nullptr;
  }

  static void clear(TrieNode* root) {
    auto* n = static_cast<N*>(root);
    n->write_lock();
    n->children.replace_child(0, nullptr);
    n->children.replace_child(1, nullptr);
    node::release_rep_deferred(n->entry.exchange_metadata(nullptr));
    n->write_unlock();
  }
};

// ---------------------------------------------------------------------------
// Path compression (node kinds 4..7). A node reached at depth d covers key
// bits d .. d + e - 1 with its edge of length e; key bit d + e selects the
// child, which starts at depth d + e + 1.
//
// Every visit reads the node optimistically: version word, edge, the fields
// it needs, version word again, retrying on a change. A writer locks only the
// node it changes and re-reads it under the lock, because it may have changed
// between the optimistic read and the lock. A split changes the node, moves
// its entry and children into a new child and publishes that child, all under
// the node's lock, so a reader sees the node either before or after the split
// and never loses an entry stored there. A split keeps the absolute depth of
// every subtree, so a walker that passed the node before the split is still
// on the right path below it.

struct EdgeView {
  u128 bits;
  unsigned length;
};

template <class N>
EdgeView read_edge(const N* n) noexcept {
  const std::uint64_t length = n->edge_length();
  return {make_u128(n->edge_hi(), n->edge_lo()),
          static_cast<unsigned>(std::min<std::uint64_t>(length, 1u << 16))};
}

template <class N>
struct Compressed {
  static constexpr bool kCompressed = true;
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

  // A new node holding the rest of the key from `from` on and the entry.
  static N* leaf(const PrefixKey& key, unsigned from, detail::MetadataRep* rep, PrefixBox* box) {
    N* d = fresh_node<N>();
    const unsigned length = key.length > from ? key.length - from : 0;
    const u128 bits = key_bits(key.bits, from, length);
    d->store_edge(high_word(bits), low_word(bits), length);
    d->entry.prefix.store(box, std::memory_order_relaxed);
    d->entry.metadata.store(rep, std::memory_order_relaxed);
    return d;  // published later by a releasing store into a slot
  }

  // Returns true when a new entry was created. `rep` and `box` are owned.
  static bool insert(TrieNode* root, const PrefixKey& key, detail::MetadataRep* rep, PrefixBox* box) {
    auto* n = static_cast<N*>(root);
    unsigned depth = 0;
    for (;;) {
      // Pass through without locking when the key clearly goes on below an
      // existing child.
      {
        const std::uint32_t v = n->read_begin();
        const Position p = position(n, key, depth);
        if (p.matched == p.edge.length && p.edge.length < p.remaining) {
          TrieNode* child = n->children.child(bit_at(key.bits, depth + p.matched));
          if (child != nullptr && n->read_valid(v)) {
            depth += p.matched + 1;
            n = static_cast<N*>(child);
            continue;
          }
        }
      }

      n->write_lock();
      const Position p = position(n, key, depth);
      const unsigned r = p.remaining;
      const unsigned m = p.matched;
      const unsigned e = p.edge.length;

      if (e == 0 && n->entry.load_metadata() == nullptr && !has_children(n)) {
        // Empty node (a fresh or cleared root): it takes the whole key.
        const u128 bits = key_bits(key.bits, depth, r);
        n->store_edge(high_word(bits), low_word(bits), r);
        n->entry.replace_prefix(box);
        detail::MetadataRep* old = n->entry.exchange_metadata(rep);
        n->write_unlock();
        node::release_rep_deferred(old);
        return old == nullptr;
      }

      if (m == e && m == r) {
        // The key ends exactly here: store or replace the entry.
        n->entry.replace_prefix(box);
        detail::MetadataRep* old = n->entry.exchange_metadata(rep);
        n->write_unlock();
        node::release_rep_deferred(old);
        return old == nullptr;
      }

      if (m == e) {
        // The edge matched and the key goes on.
        const unsigned b = bit_at(key.bits, depth + m);
        if (TrieNode* child = n->children.child(b)) {
          n->write_unlock();
          depth += m + 1;
          n = static_cast<N*>(child);
          continue;
        }
        n->children.replace_child(b, leaf(key, depth + m + 1, rep, box));
        n->write_unlock();
        return true;
      }

      // Split: the key leaves the edge at index m, or ends inside it.
      N* c = fresh_node<N>();
      const u128 rest = key_bits(p.edge.bits, m + 1, e - m - 1);
      c->store_edge(high_word(rest), low_word(rest), e - m - 1);
      // The entry moves to c; the node keeps its stored prefix.
      c->entry.metadata.store(n->entry.exchange_metadata(nullptr), std::memory_order_relaxed);
      if (const PrefixBox* own = n->entry.load_prefix()) {
        c->entry.prefix.store(new PrefixBox{own->prefix}, std::memory_order_relaxed);
      }
      // The children move with their references.
      c->children.replace_child(0, n->children.take_child(0));
      c->children.replace_child(1, n->children.take_child(1));

      const u128 head = p.edge.bits & top_mask(m);
      n->store_edge(high_word(head), low_word(head), m);
      const unsigned edge_bit = bit_at(p.edge.bits, m);
      n->children.replace_child(edge_bit, c);
      if (m < r) {
        n->children.replace_child(1 - edge_bit, leaf(key, depth + m + 1, rep, box));
      } else {
        n->entry.replace_prefix(box);
        n->entry.metadata.store(rep, std::memory_order_release);  // emptied above
      }
      n->write_unlock();
      return true;
    }
  }

  // An entry sits where its key ends, and the walk only passes a node after
  // matching its whole edge, so every entry it meets belongs to a prefix
  // that covers the address. The stored prefix is therefore checked once, for
  // the answer, rather than at every candidate (each check is a cache miss);
  // should it ever fail, the walk is repeated checking every candidate.
  static detail::MetadataRep* lookup(TrieNode* root, const IpAddress& address, u128 key) noexcept {
    const PrefixBox* box = nullptr;
    detail::MetadataRep* best = walk<false>(root, address, key, box);
    if (best == nullptr || (box != nullptr && box->prefix.covers(address))) return best;
    return walk<true>(root, address, key, box);
  }

  template <bool kCheckEveryCandidate>
  static detail::MetadataRep* walk(TrieNode* root, const IpAddress& address, u128 key,
                                   const PrefixBox*& best_box) noexcept {
    detail::MetadataRep* best = nullptr;
    best_box = nullptr;
    auto* n = static_cast<N*>(root);
    unsigned depth = 0;
    for (;;) {
      detail::MetadataRep* rep;
      const PrefixBox* box;
      TrieNode* child;
      unsigned next;
      for (;;) {
        const std::uint32_t v = n->read_begin();
        const EdgeView edge = read_edge(n);
        const unsigned available = 128 - depth;
        const bool leaves = edge.length > available ||
                            ((shift_left(key, depth) ^ edge.bits) & top_mask(edge.length)) != 0;
        if (leaves) {
          if (!n->read_valid(v)) continue;
          return best;  // the key leaves the trie inside this edge
        }
        rep = n->entry.load_metadata();
        box = rep != nullptr ? n->entry.load_prefix() : nullptr;  // pointer only, not read
        next = depth + edge.length;
        child = next < 128 ? n->children.child(bit_at(key, next)) : nullptr;
        if (n->read_valid(v)) break;
      }
      if (rep != nullptr && box != nullptr) {
        if (!kCheckEveryCandidate || box->prefix.covers(address)) {
          best = rep;
          best_box = box;
        }
      }
      if (child == nullptr) return best;
      depth = next + 1;
      n = static_cast<N*>(child);
    }
  }

  // The node holding exactly this key, or null. With `lock`, the node is
  // returned with its version word held.
  static N* find(TrieNode* root, const PrefixKey& key, bool lock) noexcept {
    auto* n = static_cast<N*>(root);
    unsigned depth = 0;
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
        depth += p.edge.length + 1;
        n = static_cast<N*>(child);
        continue;
      }
      if (!lock) {
        if (!n->read_valid(v)) continue;
        return n;
      }
      n->write_lock();
      const Position q = position(n, key, depth);
      if (q.matched == q.edge.length && q.remaining == q.edge.length) return n;
      n->write_unlock();  // split meanwhile; look again from here
    }
  }

  static detail::MetadataRep* remove(TrieNode* root, const PrefixKey& key) noexcept {
    N* n = find(root, key, true);
    if (n == nullptr) return nullptr;
    detail::MetadataRep* old = n->entry.exchange_metadata(nullptr);
    n->write_unlock();
    return old;
  }

  static bool contains(TrieNode* root, const PrefixKey& key) noexcept {
    auto* n = static_cast<N*>(root);
    for (;;) {
      N* found = find(n, key, false);
      if (found == nullptr) return false;
      // The answer must come from the same version as the match.
      const std::uint32_t v = found->read_begin();
      const bool present = found->entry.load_metadata() != nullptr;
      if (found->read_valid(v)) return present;
    }
  }

  static void clear(TrieNode* root) {
    auto* n = static_cast<N*>(root);
    n->write_lock();
    n->store_edge(0, 0, 0);
    node::release_rep_deferred(n->entry.exchange_metadata(nullptr));
    n->children.replace_child(0, nullptr);
    n->children.replace_child(1, nullptr);
    n->write_unlock();
  }
};

// Calls f with the algorithm family for the engine's node kind.
template <class F>
decltype(auto) with_algorithms(NodeKind kind, F&& f) {
  using namespace node;
  switch (kind) {
    case NodeKind::UncompressedLocked: return f(Uncompressed<UncompressedLocked>{});
    case NodeKind::UncompressedCompact: return f(Uncompressed<UncompressedCompact>{});
    case NodeKind::UncompressedPadded: return f(Uncompressed<UncompressedPadded>{});
    case NodeKind::UncompressedHashed: return f(Uncompressed<UncompressedHashed>{});
    case NodeKind::CompressedLocked: return f(Compressed<CompressedLocked>{});
    case NodeKind::CompressedCompact: return f(Compressed<CompressedCompact>{});
    case NodeKind::CompressedPadded: return f(Compressed<CompressedPadded>{});
    case NodeKind::CompressedHashed: break;
  }
  return f(Compressed<CompressedHashed>{});
}

}  // namespace

// ---------------------------------------------------------------------------

TrieStore::TrieStore(NodeKind k) : kind(k), roots{new_node(k), new_node(k)} {}

TrieEngine::TrieEngine(NodeKind kind) : TrieEngine(std::make_shared<TrieStore>(kind)) {}

TrieEngine::TrieEngine(std::shared_ptr<TrieStore> store)
    : store_(std::move(store)), stripes_(std::make_unique<LookupStripe[]>(kStripes)) {}

TrieEngine::~TrieEngine() = default;

InsertStatus TrieEngine::insert(const IpPrefix& prefix, Metadata metadata) const {
  if (!valid_length(prefix)) return std::string("Invalid prefix length");
  detail::MetadataRep* rep = detail::MetadataAccess::take(metadata);
  auto* box = new PrefixBox{prefix};
  bool created;
  {
    std::shared_lock writer(store_->writers);
    epoch::Guard pin;
    TrieNode* root = store_->roots[family_index(prefix.family)].get();
    created = with_algorithms(kind(), [&](auto algorithms) {
      using A = decltype(algorithms);
      if constexpr (A::kCompressed) {
        return A::insert(root, prefix_key(prefix), rep, box);
      } else {
        return A::insert(root, prefix, rep, box);
      }
    });
    // Inside the writer lock, so a concurrent clear sees the entry and its
    // count together.
    if (created) entry_count_.fetch_add(1, std::memory_order_acq_rel);
  }
  inserts_.fetch_add(1, std::memory_order_relaxed);
  return std::nullopt;
}

std::optional<Metadata> TrieEngine::lookup(const IpAddress& address) const {
  epoch::Participant* self = epoch::local_participant();
  epoch::pin(self);
  TrieNode* root = store_->roots[family_index(address.family)].get();
  detail::MetadataRep* best = with_algorithms(kind(), [&](auto algorithms) {
    using A = decltype(algorithms);
    if constexpr (A::kCompressed) {
      return A::lookup(root, address, address_key(address));
    } else {
      return A::lookup(root, address);
    }
  });
  std::optional<Metadata> result = hand_out(best);
  epoch::unpin(self);
  count_lookup(self->index, result.has_value());
  return result;
}

std::optional<Metadata> TrieEngine::remove(const IpPrefix& prefix) const {
  if (!valid_length(prefix)) return std::nullopt;
  std::optional<Metadata> result;
  {
    std::shared_lock writer(store_->writers);
    epoch::Guard pin;
    TrieNode* root = store_->roots[family_index(prefix.family)].get();
    detail::MetadataRep* removed = with_algorithms(kind(), [&](auto algorithms) {
      using A = decltype(algorithms);
      if constexpr (A::kCompressed) {
        return A::remove(root, prefix_key(prefix));
      } else {
        return A::remove(root, prefix);
      }
    });
    if (removed == nullptr) return std::nullopt;
    entry_count_.fetch_sub(1, std::memory_order_acq_rel);
    result = hand_out_removed(removed);
  }
  removals_.fetch_add(1, std::memory_order_relaxed);
  return result;
}

bool TrieEngine::contains(const IpPrefix& prefix) const {
  if (!valid_length(prefix)) return false;
  epoch::Guard pin;
  TrieNode* root = store_->roots[family_index(prefix.family)].get();
  return with_algorithms(kind(), [&](auto algorithms) {
    using A = decltype(algorithms);
    if constexpr (A::kCompressed) {
      return A::contains(root, prefix_key(prefix));
    } else {
      return A::contains(root, prefix);
    }
  });
}

void TrieEngine::clear() const {
  std::unique_lock writer(store_->writers);
  epoch::Guard pin;
  for (const NodeRef& root : store_->roots) {
    with_algorithms(kind(), [&](auto algorithms) { decltype(algorithms)::clear(root.get()); });
  }
  entry_count_.store(0, std::memory_order_release);
}

EngineStats TrieEngine::stats() const noexcept {
  EngineStats out;
  for (std::size_t i = 0; i < kStripes; ++i) {
    out.hits += stripes_[i].hits.load(std::memory_order_relaxed);
    out.misses += stripes_[i].misses.load(std::memory_order_relaxed);
  }
  out.lookups = out.hits + out.misses;
  out.inserts = inserts_.load(std::memory_order_relaxed);
  out.removals = removals_.load(std::memory_order_relaxed);
  out.size = len();
  return out;
}

void TrieEngine::count_lookup(std::uint32_t slot, bool hit) const noexcept {
  if (slot < kStripes - 1) {
    // Only this thread writes this stripe: a plain increment suffices, and
    // relaxed atomics keep concurrent readers of stats well defined. A
    // slot handed to a new thread passes through the participant's
    // release/acquire handover, which orders the old owner's writes first.
    std::atomic<std::uint64_t>& counter = hit ? stripes_[slot].hits : stripes_[slot].misses;
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  } else {
    LookupStripe& shared = stripes_[kStripes - 1];
    (hit ? shared.hits : shared.misses).fetch_add(1, std::memory_order_relaxed);
  }
}

// ---------------------------------------------------------------------------
// The dispatcher's trie layouts.
//
// In the sharded layouts every shard holds the same trie, so a change needs
// to be made only once. The first shard makes it; the others only count the
// call, which leaves every counter where a shard-by-shard repeat would leave
// it. Repeating the change on every shard instead would let a concurrent
// remove and insert of one prefix interleave between shards and leave the
// first shard's entry count disagreeing with the trie.

std::uint64_t select_shard(const IpAddress& address, std::uint64_t shard_count) noexcept {
  std::uint64_t h = 0;
  for (int i = 0; i < 4; ++i) h = h * 31 + address.bytes[i];
  return h % shard_count;
}

std::shared_ptr<const LocalEngine> LocalEngine::make_trie(std::uint8_t node_kind, std::uint64_t shards) {
  const auto kind = static_cast<NodeKind>(node_kind & 7u);
  auto layout = std::make_unique<detail::LocalLayout>();
  const bool compressed = is_compressed(kind);
  if (shards <= 1) {
    layout->tag = compressed ? Layout::CompressedTrie : Layout::Trie;
    layout->single = std::make_shared<const TrieEngine>(kind);
  } else {
    layout->tag = compressed ? Layout::ShardedCompressed : Layout::ShardedTrie;
    auto group = std::make_shared<detail::TrieShardGroup>();
    auto store = std::make_shared<TrieStore>(kind);
    group->row.reserve(shards);
    for (std::uint64_t i = 0; i < shards; ++i) group->row.push_back(std::make_shared<const TrieEngine>(store));
    group->shard_count = shards;
    group->shard_prefix_bits = 32;
    layout->group = std::move(group);
  }
  return std::make_shared<const LocalEngine>(std::move(layout));
}

LocalEngine::LocalEngine(std::unique_ptr<detail::LocalLayout> layout) : layout_(std::move(layout)) {}
LocalEngine::~LocalEngine() = default;

LocalEngine::Layout LocalEngine::layout() const noexcept { return layout_->tag; }

std::uint64_t LocalEngine::shard_count() const noexcept {
  if (layout_->art_group) return layout_->art_group->shard_count;
  return layout_->group ? layout_->group->shard_count : 1;
}

InsertStatus LocalEngine::insert(const IpPrefix& prefix, Metadata metadata) const {
  if (detail::is_art(*layout_)) return detail::art_insert(*layout_, prefix, std::move(metadata));
  if (layout_->single) return layout_->single->insert(prefix, std::move(metadata));
  const auto& row = layout_->group->row;
  if (row.empty()) return std::nullopt;
  if (InsertStatus error = row.front()->insert(prefix, std::move(metadata))) return error;
  for (std::size_t i = 1; i < row.size(); ++i) row[i]->count_insert();
  return std::nullopt;
}

std::optional<Metadata> LocalEngine::lookup(const IpAddress& address) const {
  if (detail::is_art(*layout_)) return detail::art_lookup(*layout_, address);
  if (layout_->single) return layout_->single->lookup(address);
  const auto& group = *layout_->group;
  if (group.shard_count == 0) return std::nullopt;
  return group.row[select_shard(address, group.shard_count)]->lookup(address);
}

std::optional<Metadata> LocalEngine::remove(const IpPrefix& prefix) const {
  if (detail::is_art(*layout_)) return detail::art_remove(*layout_, prefix);
  if (layout_->single) return layout_->single->remove(prefix);
  const auto& row = layout_->group->row;
  if (row.empty()) return std::nullopt;
  return row.front()->remove(prefix);
}

bool LocalEngine::contains(const IpPrefix& prefix) const {
  if (detail::is_art(*layout_)) return detail::art_contains(*layout_, prefix);
  if (layout_->single) return layout_->single->contains(prefix);
  const auto& row = layout_->group->row;
  return !row.empty() && row.front()->contains(prefix);
}

void LocalEngine::clear() const {
  if (detail::is_art(*layout_)) return detail::art_clear(*layout_);
  if (layout_->single) return layout_->single->clear();
  const auto& row = layout_->group->row;
  if (!row.empty()) row.front()->clear();
}

std::uint64_t LocalEngine::len() const {
  if (detail::is_art(*layout_)) return detail::art_len(*layout_);
  if (layout_->single) return layout_->single->len();
  const auto& row = layout_->group->row;
  return row.empty() ? 0 : row.front()->len();
}

EngineStats LocalEngine::stats() const {
  if (detail::is_art(*layout_)) return detail::art_stats(*layout_);
  if (layout_->single) return layout_->single->stats();
  const auto& row = layout_->group->row;
  if (row.empty()) return {};
  EngineStats out = row.front()->stats();
  out.lookups = out.hits = out.misses = 0;
  for (const auto& shard : row) {
    const EngineStats s = shard->stats();
    out.lookups += s.lookups;
    out.hits += s.hits;
    out.misses += s.misses;
  }
  return out;
}

}  // namespace korvane
