#include "read_index.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <new>

#include "epoch.hpp"

namespace korvane {

using index_detail::Block;
using index_detail::Node;
using trie::u128;

namespace index_detail {
// Allocated with its children and records behind it; immutable once
// published.
struct Block {
  std::uint32_t children;
  std::uint32_t leaves;
};
}  // namespace index_detail

namespace {

using Rep = detail::MetadataRep;

std::atomic<std::size_t> block_bytes{0};  // relaxed: a figure, ordering nothing

constexpr std::uintptr_t kRecordTag = 1;
// 18 top bits: IPv4's commonest length, /24, then ends at a slot of the
// first level, and the top table (2 MiB, backed lazily) stays cache-sized.
constexpr unsigned kTopBits = 18;
inline unsigned top_slot(u128 key) noexcept { return static_cast<unsigned>(key >> (128 - kTopBits)); }
constexpr unsigned kStride = 6;

inline const Node* children_of(const Block* b) noexcept {
  return reinterpret_cast<const Node*>(reinterpret_cast<const char*>(b) + sizeof(Block));
}
inline Node* children_of(Block* b) noexcept {
  return reinterpret_cast<Node*>(reinterpret_cast<char*>(b) + sizeof(Block));
}
inline Rep* const* leaves_of(const Node& n) noexcept {
  return reinterpret_cast<Rep* const*>(children_of(n.block) + std::popcount(n.child_bits));
}

std::size_t block_size(std::uint32_t children, std::uint32_t leaves) noexcept {
  return sizeof(Block) + children * sizeof(Node) + leaves * sizeof(Rep*);
}

Block* new_block(std::uint32_t children, std::uint32_t leaves) {
  const std::size_t size = block_size(children, leaves);
  auto* b = static_cast<Block*>(::operator new(size));
  b->children = children;
  b->leaves = leaves;
  block_bytes.fetch_add(size, std::memory_order_relaxed);
  return b;
}

void free_block(const Block* b) noexcept {
  block_bytes.fetch_sub(block_size(b->children, b->leaves), std::memory_order_relaxed);
  ::operator delete(const_cast<Block*>(b));
}

void free_subtree(const Block* b) noexcept {
  const Node* kids = children_of(b);
  for (std::uint32_t i = 0; i < b->children; ++i) free_subtree(kids[i].block);
  free_block(b);
}

void release_block_now(void* b) { free_block(static_cast<const Block*>(b)); }
void release_subtree_now(void* b) { free_subtree(static_cast<const Block*>(b)); }
void retire_block(const Block* b) { epoch::retire(const_cast<Block*>(b), &release_block_now); }
void retire_subtree(const Block* b) { epoch::retire(const_cast<Block*>(b), &release_subtree_now); }

bool is_holder(std::uintptr_t word) noexcept { return word != 0 && (word & kRecordTag) == 0; }
const Block* holder_of(std::uintptr_t word) noexcept { return reinterpret_cast<const Block*>(word); }
std::uintptr_t record_word(Rep* rep) noexcept {
  return rep == nullptr ? 0 : reinterpret_cast<std::uintptr_t>(rep) | kRecordTag;
}

std::size_t count_subtree(const Block* b) noexcept {
  std::size_t n = b->children;
  for (std::uint32_t i = 0; i < b->children; ++i) n += count_subtree(children_of(b)[i].block);
  return n;
}

// `count` bits of `key` from bit `from` on, as a number; bits past 127 read 0.
inline unsigned bits_at(u128 key, unsigned from, unsigned count) noexcept {
  return static_cast<unsigned>(trie::shift_right(trie::shift_left(key, from), 128 - count));
}

inline unsigned slot_at(u128 key, unsigned shift) noexcept {
  return shift <= 122 ? static_cast<unsigned>(key >> (122 - shift)) & 63u
                      : static_cast<unsigned>(key << (shift - 122)) & 63u;
}

struct ChildRange {
  std::size_t lo = 0;
  std::size_t hi = 0;
};

// Where entries[lo, hi) (inside a range of `from` bits, longer than it) fall
// among the 2^stride slots that follow: leaf[s] ends as the record of the
// longest of them no longer than from + stride that covers slot s, and the
// longer ones (markers included) go to their slot's child range. Relies on
// the preorder: a prefix comes before everything it covers.
template <class MarkChild>
void distribute(const std::vector<IndexEntry>& entries, std::size_t lo, std::size_t hi, unsigned from, unsigned stride,
                Rep** leaf, MarkChild&& mark_child) {
  const unsigned end = from + stride;
  std::size_t i = lo;
  while (i < hi) {
    const IndexEntry& e = entries[i];
    const unsigned s = bits_at(e.key, from, stride);
    if (e.length <= end) {
      std::fill_n(leaf + s, std::size_t{1} << (end - e.length), e.rep);
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    while (j < hi && entries[j].length > end && bits_at(entries[j].key, from, stride) == s) ++j;
    mark_child(s, ChildRange{i, j});
    i = j;
  }
}

// Lays out a node from its 64 slots: children where `child` says, records
// elsewhere. `make_child(s)` gives the child node of slot s.
template <class MakeChild>
Node lay_out(Rep* const* leaf, std::uint64_t child_bits, Rep* cover, MakeChild&& make_child) {
  std::uint64_t leaf_bits = 0;
  std::uint32_t runs = 0;
  bool first = true;
  Rep* previous = nullptr;
  for (unsigned s = 0; s < 64; ++s) {
    if ((child_bits >> s) & 1u) continue;
    if (first || leaf[s] != previous) {
      leaf_bits |= std::uint64_t{1} << s;
      ++runs;
    }
    first = false;
    previous = leaf[s];
  }
  const auto children = static_cast<std::uint32_t>(std::popcount(child_bits));
  Block* block = new_block(children, runs);
  Node* kids = children_of(block);
  auto** records = reinterpret_cast<Rep**>(kids + children);
  std::uint32_t made = 0;
  std::uint32_t r = 0;
  try {
    for (unsigned s = 0; s < 64; ++s) {
      if ((child_bits >> s) & 1u) {
        kids[made] = make_child(s);
        ++made;
      } else if ((leaf_bits >> s) & 1u) {
        records[r++] = leaf[s];
      }
    }
  } catch (...) {
    block->children = made;  // free what was built, and the block
    free_subtree(block);
    throw;
  }
  return Node{child_bits, leaf_bits, block, cover};
}

// A whole subtree for the range of the first `from` bits of the entries in
// entries[lo, hi) (all longer than `from`, none a marker).
Node build_subtree(const std::vector<IndexEntry>& entries, std::size_t lo, std::size_t hi, unsigned from, Rep* cover) {
  Rep* leaf[64] = {};
  ChildRange ranges[64];
  std::uint64_t child_bits = 0;
  distribute(entries, lo, hi, from, kStride, leaf, [&](unsigned s, ChildRange r) {
    child_bits |= std::uint64_t{1} << s;
    ranges[s] = r;
  });
  return lay_out(leaf, child_bits, cover, [&](unsigned s) {
    return build_subtree(entries, ranges[s].lo, ranges[s].hi, from + kStride, leaf[s]);
  });
}

bool is_empty(const Node& n) noexcept {
  return n.child_bits == 0 && n.block->leaves == 1 && leaves_of(n)[0] == nullptr;
}

// A fresh subtree for the range (key, from), built from a full gather.
Node fresh_subtree(const IndexSource& source, u128 key, unsigned from, unsigned width, Rep* cover) {
  IndexRange range;
  source.gather(key & trie::top_mask(from), from, width, range);
  return build_subtree(range.deeper, 0, range.deeper.size(), from, cover);
}

}  // namespace

std::size_t read_index_bytes() noexcept { return block_bytes.load(std::memory_order_relaxed); }

ReadIndex::ReadIndex(AddressFamily family)
    : width_(address_width_bits(family)),
      // Zeroed and backed lazily by the kernel, page by page: a small table
      // touches few pages, however many engines a program makes.
      slots_(static_cast<std::atomic<std::uintptr_t>*>(std::calloc(std::size_t{1} << kTopBits, sizeof(std::uintptr_t)))) {
  if (slots_ == nullptr) throw std::bad_alloc();
}

ReadIndex::~ReadIndex() {
  // No reader is left; what was retired earlier is the epoch's.
  for (std::size_t s = 0; s < (std::size_t{1} << kTopBits); ++s) {
    const std::uintptr_t word = slots_[s].load(std::memory_order_relaxed);
    if (is_holder(word)) free_subtree(holder_of(word));
  }
  std::free(slots_);
}

detail::MetadataRep* ReadIndex::lookup(u128 key) const noexcept {
  const std::uintptr_t word = slots_[top_slot(key)].load(std::memory_order_acquire);
  if (!is_holder(word)) return reinterpret_cast<Rep*>(word & ~kRecordTag);
  const Node* n = children_of(holder_of(word));
  Rep* best = n->cover;
  for (unsigned shift = kTopBits;; shift += kStride) {
    const std::uint64_t bit = std::uint64_t{1} << slot_at(key, shift);
    if ((n->child_bits & bit) != 0) {
      n = children_of(n->block) + std::popcount(n->child_bits & (bit - 1));
      if (n->cover != nullptr) best = n->cover;
      continue;
    }
    // (bit << 1) - 1 is every bit up to the slot; for slot 63 it wraps to
    // all ones, which is still right.
    Rep* leaf = leaves_of(*n)[std::popcount(n->leaf_bits & ((bit << 1) - 1)) - 1];
    return leaf != nullptr ? leaf : best;
  }
}

void ReadIndex::lookup_batch(const ReadIndex* const* index, const u128* keys, std::size_t count,
                             detail::MetadataRep** out) noexcept {
  constexpr std::size_t kLanes = 8;
  enum : std::uint8_t { kNode, kLeaf, kDone };
  for (std::size_t base = 0; base < count; base += kLanes) {
    const std::size_t lanes = std::min(kLanes, count - base);
    const Node* node[kLanes];
    Rep* const* leaf[kLanes];
    Rep* best[kLanes];
    unsigned shift[kLanes];
    std::uint8_t state[kLanes];
    for (std::size_t l = 0; l < lanes; ++l) {
      __builtin_prefetch(&index[base + l]->slots_[top_slot(keys[base + l])]);
    }
    std::size_t active = 0;
    for (std::size_t l = 0; l < lanes; ++l) {
      const std::uintptr_t word =
          index[base + l]->slots_[top_slot(keys[base + l])].load(std::memory_order_acquire);
      if (!is_holder(word)) {
        out[base + l] = reinterpret_cast<Rep*>(word & ~kRecordTag);
        state[l] = kDone;
        continue;
      }
      node[l] = children_of(holder_of(word));
      __builtin_prefetch(node[l]);
      shift[l] = kTopBits;
      state[l] = kNode;
      best[l] = nullptr;
      ++active;
    }
    while (active > 0) {
      for (std::size_t l = 0; l < lanes; ++l) {
        if (state[l] == kNode) {
          const Node* n = node[l];
          if (n->cover != nullptr) best[l] = n->cover;
          const std::uint64_t bit = std::uint64_t{1} << slot_at(keys[base + l], shift[l]);
          if ((n->child_bits & bit) != 0) {
            node[l] = children_of(n->block) + std::popcount(n->child_bits & (bit - 1));
            shift[l] += kStride;
            __builtin_prefetch(node[l]);
          } else {
            leaf[l] = leaves_of(*n) + (std::popcount(n->leaf_bits & ((bit << 1) - 1)) - 1);
            __builtin_prefetch(leaf[l]);
            state[l] = kLeaf;
          }
        } else if (state[l] == kLeaf) {
          out[base + l] = *leaf[l] != nullptr ? *leaf[l] : best[l];
          state[l] = kDone;
          --active;
        }
      }
    }
  }
}

void ReadIndex::rebuild_top(u128 key, unsigned length, const IndexSource& source) {
  // Every top slot inside the prefix may change: one gather for them all,
  // down to the top's stride, with markers where a slot holds longer
  // prefixes.
  const unsigned stride = kTopBits - length;
  const u128 base = key & trie::top_mask(length);
  IndexRange range;
  source.gather(base, length, kTopBits, range);
  const std::size_t slots = std::size_t{1} << stride;
  std::vector<Rep*> leaf(slots, range.cover);
  std::vector<std::uint8_t> deeper(slots, 0);
  distribute(range.deeper, 0, range.deeper.size(), length, stride, leaf.data(),
             [&](unsigned s, ChildRange) { deeper[s] = 1; });
  const std::size_t first = static_cast<std::size_t>(bits_at(base, 0, kTopBits));

  // Build every new slot word first, so that nothing after can fail.
  std::vector<std::uintptr_t> fresh(slots, 0);
  std::vector<const Block*> replaced_blocks;    // freed alone: their nodes live on
  std::vector<const Block*> replaced_subtrees;  // freed with everything below
  try {
    for (std::size_t s = 0; s < slots; ++s) {
      const std::uintptr_t old = slots_[first + s].load(std::memory_order_relaxed);
      if (!deeper[s]) {
        fresh[s] = record_word(leaf[s]);
        if (is_holder(old)) replaced_subtrees.push_back(holder_of(old));
        continue;
      }
      Block* holder = new_block(1, 0);
      fresh[s] = reinterpret_cast<std::uintptr_t>(holder);
      if (is_holder(old)) {  // the node stays; only its cover may change
        children_of(holder)[0] = children_of(holder_of(old))[0];
        children_of(holder)[0].cover = leaf[s];
        replaced_blocks.push_back(holder_of(old));
      } else {
        holder->children = 0;  // until its node is built
        const u128 slot_key = static_cast<u128>(first + s) << (128 - kTopBits);
        children_of(holder)[0] = fresh_subtree(source, slot_key, kTopBits, width_, leaf[s]);
        holder->children = 1;
      }
    }
  } catch (...) {
    for (std::size_t s = 0; s < slots; ++s) {
      if (!is_holder(fresh[s])) continue;
      auto* holder = const_cast<Block*>(holder_of(fresh[s]));
      const std::uintptr_t old = slots_[first + s].load(std::memory_order_relaxed);
      if (is_holder(old) || holder->children == 0) {
        free_block(holder);  // its node is shared with the live index, or absent
      } else {
        free_subtree(holder);
      }
    }
    throw;
  }
  for (std::size_t s = 0; s < slots; ++s) slots_[first + s].store(fresh[s], std::memory_order_release);
  for (const Block* b : replaced_subtrees) retire_subtree(b);
  for (const Block* b : replaced_blocks) retire_block(b);
}

namespace {

// The 64 slots of a node: leaf values (child slots read null) and children.
struct Slots {
  Rep* leaf[64] = {};
  std::uint64_t child_bits = 0;
  Node child[64];

  explicit Slots(const Node& n) : child_bits(n.child_bits) {
    const Node* kids = children_of(n.block);
    Rep* const* records = leaves_of(n);
    int run = -1;
    std::uint32_t k = 0;
    for (unsigned s = 0; s < 64; ++s) {
      if ((child_bits >> s) & 1u) {
        child[s] = kids[k++];
        continue;
      }
      if ((n.leaf_bits >> s) & 1u) ++run;
      leaf[s] = records[run];
    }
  }
  Node lay_out(Rep* cover) const {
    return ::korvane::lay_out(leaf, child_bits, cover, [&](unsigned s) { return child[s]; });
  }
};

}  // namespace

void ReadIndex::update(u128 key, unsigned length, const IndexSource& source) {
  std::lock_guard lock(writers_);
  if (length <= kTopBits) return rebuild_top(key, length, source);

  const unsigned slot = top_slot(key);
  const std::uintptr_t word = slots_[slot].load(std::memory_order_relaxed);  // writers_ orders it
  if (!is_holder(word)) return rebuild_top(key, kTopBits, source);

  // Down to the node whose stride holds the prefix's end, or whose slot for
  // it is a leaf that may have to become a child.
  PathStep path[kMaxDepth];
  std::size_t depth = 0;
  path[depth++] = {holder_of(word), 0};
  unsigned from = kTopBits;
  for (;;) {
    const Node& n = children_of(path[depth - 1].block)[path[depth - 1].index];
    if (length <= from + kStride) break;
    const std::uint64_t bit = std::uint64_t{1} << slot_at(key, from);
    if ((n.child_bits & bit) == 0) break;
    path[depth++] = {n.block, static_cast<unsigned>(std::popcount(n.child_bits & (bit - 1)))};
    from += kStride;
  }

  const Node& old = children_of(path[depth - 1].block)[path[depth - 1].index];
  Slots slots(old);
  std::vector<const Block*> replaced_blocks{old.block};
  std::vector<const Block*> replaced_subtrees;
  std::vector<const Block*> made;  // fresh subtrees, freed if publishing fails
  const auto make = [&](u128 at, unsigned bits, Rep* cover) {
    const Node n = fresh_subtree(source, at, bits, width_, cover);
    made.push_back(n.block);
    return n;
  };
  try {
    if (length > from + kStride) {
      // The prefix ends below a leaf slot: that slot needs a child if the
      // trie has anything there now. Its leaf value becomes the child's cover.
      const unsigned s = slot_at(key, from);
      const u128 at = key & trie::top_mask(from + kStride);
      IndexRange range;
      source.gather(at, from + kStride, from + kStride, range);
      if (range.deeper.empty()) return;  // nothing to index (a removal raced ahead)
      slots.child[s] = make(at, from + kStride, slots.leaf[s]);
      slots.child_bits |= std::uint64_t{1} << s;
      slots.leaf[s] = nullptr;
    } else {
      // The prefix ends in this node's stride: recompute the slots it covers
      // from the trie, down to the end of the stride.
      const u128 at = key & trie::top_mask(length);
      const unsigned span = from + kStride - length;
      const unsigned first = bits_at(at, from, kStride);
      IndexRange range;
      source.gather(at, length, from + kStride, range);
      Rep* leaf[64];
      std::fill_n(leaf, std::size_t{1} << span, range.cover_length > from ? range.cover : nullptr);
      std::uint64_t needs_child = 0;
      distribute(range.deeper, 0, range.deeper.size(), length, span, leaf,
                 [&](unsigned s, ChildRange) { needs_child |= std::uint64_t{1} << (first + s); });
      for (unsigned i = 0; i < (1u << span); ++i) {
        const unsigned s = first + i;
        const std::uint64_t bit = std::uint64_t{1} << s;
        const bool had = (slots.child_bits & bit) != 0;
        const bool needs = (needs_child & bit) != 0;
        if (had && !needs) replaced_subtrees.push_back(slots.child[s].block);
        if (needs && !had) {
          slots.child[s] = make((key & trie::top_mask(from)) | trie::shift_left(static_cast<u128>(s), 122 - from),
                                from + kStride, leaf[i]);
        }
        if (needs) slots.child[s].cover = leaf[i];
        slots.leaf[s] = needs ? nullptr : leaf[i];
        slots.child_bits = needs ? slots.child_bits | bit : slots.child_bits & ~bit;
      }
    }
  } catch (...) {
    for (const Block* b : made) free_subtree(b);
    throw;
  }

  // Lay the node out again. A node left with nothing (no child, no record)
  // turns into a leaf of its parent holding its cover, which may leave the
  // parent with nothing in turn.
  Node fresh;
  try {
    for (;;) {
      fresh = slots.lay_out(children_of(path[depth - 1].block)[path[depth - 1].index].cover);
      if (!is_empty(fresh)) break;
      free_block(fresh.block);
      const Node& gone = children_of(path[depth - 1].block)[path[depth - 1].index];
      if (depth == 1) {
        slots_[slot].store(record_word(gone.cover), std::memory_order_release);
        replaced_blocks.push_back(path[0].block);
        for (const Block* b : replaced_subtrees) retire_subtree(b);
        for (const Block* b : replaced_blocks) retire_block(b);
        return;
      }
      --depth;
      from -= kStride;
      const Node& parent = children_of(path[depth - 1].block)[path[depth - 1].index];
      slots = Slots(parent);
      const unsigned s = slot_at(key, from);
      slots.leaf[s] = gone.cover;
      slots.child_bits &= ~(std::uint64_t{1} << s);
      replaced_blocks.push_back(parent.block);
    }
  } catch (...) {
    for (const Block* b : made) free_subtree(b);
    throw;
  }
  publish(slot, path, depth, fresh, replaced_blocks, replaced_subtrees);
}

void ReadIndex::publish(unsigned slot, const PathStep* path, std::size_t depth, Node fresh,
                        std::vector<const Block*>& replaced_blocks, std::vector<const Block*>& replaced_subtrees) {
  // The copies are allocated first, so that nothing after can fail half way.
  Block* copies[kMaxDepth];
  std::size_t made = 0;
  try {
    for (; made < depth; ++made) copies[made] = new_block(path[made].block->children, path[made].block->leaves);
  } catch (...) {
    for (std::size_t i = 0; i < made; ++i) free_block(copies[i]);
    free_block(fresh.block);  // subtrees made for it leak here; out of memory anyway
    throw;
  }
  for (std::size_t level = depth; level-- > 0;) {
    const Block* old = path[level].block;
    const std::size_t size = block_size(old->children, old->leaves);
    std::copy_n(reinterpret_cast<const char*>(old) + sizeof(Block), size - sizeof(Block),
                reinterpret_cast<char*>(copies[level]) + sizeof(Block));
    children_of(copies[level])[path[level].index] = fresh;
    replaced_blocks.push_back(old);
    if (level > 0) {
      fresh = children_of(path[level - 1].block)[path[level - 1].index];
      fresh.block = copies[level];
    }
  }
  slots_[slot].store(reinterpret_cast<std::uintptr_t>(copies[0]), std::memory_order_release);
  for (const Block* b : replaced_subtrees) retire_subtree(b);
  for (const Block* b : replaced_blocks) retire_block(b);
}

void ReadIndex::reset() {
  std::lock_guard lock(writers_);
  for (std::size_t s = 0; s < (std::size_t{1} << kTopBits); ++s) {
    if (slots_[s].load(std::memory_order_relaxed) == 0) continue;
    const std::uintptr_t old = slots_[s].exchange(0, std::memory_order_acq_rel);
    if (is_holder(old)) retire_subtree(holder_of(old));
  }
}

std::size_t ReadIndex::node_count() const {
  std::size_t n = 0;
  for (std::size_t s = 0; s < (std::size_t{1} << kTopBits); ++s) {
    const std::uintptr_t word = slots_[s].load(std::memory_order_acquire);
    if (is_holder(word)) n += count_subtree(holder_of(word));
  }
  return n;
}

}  // namespace korvane
