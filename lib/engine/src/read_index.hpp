// The read index: a compact multibit image of one address family's trie
// that lookups walk instead of the trie itself.
//
// Shape. A direct table of 2^18 slots indexes the first 18 address bits.
// A slot holds the answer for its whole /18 (a record, or none), or a node
// and which quarters of it hold anything, so that a lookup in an empty
// quarter need not read the node (a table beside the slots keeps the
// node's cover for it). A bit per slot, in cache, says whether the slot
// holds anything at all.
// (Prefixes of 8 bits or fewer stand apart in a 256-entry table, read only
// when nothing longer matches, so that a default route costs little to
// change.)
// A node covers the next 6 bits with 64 slots: each is either a child node
// (the slot's range holds a stored prefix longer than the node's stride) or
// a leaf (the record of the longest stored prefix that ends within this
// node's stride and covers the slot, or none). Like Poptrie, a node is a
// pair of 64-bit maps over an array of children and an array of leaf runs,
// found by counting the set bits below the slot; here the node is one
// block: the maps, the node's cover, the child pointers, the runs' records
// (where several runs have none, only those that have one, found through a
// third map). A node holding one run of one record and nothing else, the
// end of most paths through sparse ranges, is no block at all: its
// parent's child pointer, or its top slot, holds it, tagged.
// Records are not pushed down across levels: each node carries the record
// of the longest prefix from its parent's stride that covers it (its
// cover), and a lookup keeps the deepest cover it passes. So a change
// touches only the node whose stride holds the changed prefix's end. A
// lookup costs one slot load and one block per level; the commonest IPv4
// prefixes, /19 to /24, end in the first level.
//
// Writers. The trie stays the structure writers change; after each change
// the writer works out, from the trie, the new version of the node whose
// stride holds the changed prefix's end (its slots in the prefix's range,
// their children kept, made or dropped, and the covers of the kept ones),
// and publishes it with one release store of its pointer, into the parent's
// child array or the top slot. A node never changes in place except for
// those child pointers. Every replaced block is retired through the epoch.
// The result is always the index a fresh build from the trie would give:
// nodes exist exactly where a prefix ends below their stride, except those
// folded away. A change that ends inside a folded chain, or off its path,
// rebuilds the folded node's range from the trie; a change that leaves a
// node with one child and nothing else folds it.
// A change to a prefix of 9 to 18 bits, which ends in the top's stride,
// rewrites only the top slots whose answer came from a prefix no longer
// than it, and needs from the trie only the cover of its range: the length
// of each slot's answering prefix is kept beside the slots for writers.
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
  // The range (key, length) gathered down to `limit`. Only a cover longer
  // than `cover_floor` bits need be reported: a source may report a shorter
  // one as none (the caller takes those from elsewhere, or needs none).
  virtual void gather(trie::u128 key, unsigned length, unsigned limit, unsigned cover_floor,
                      IndexRange& out) const = 0;

 protected:
  ~IndexSource() = default;
};

namespace index_detail {
struct Block;
struct TopEntry;
struct TopRun;
// 18 top bits: IPv4's commonest lengths, /19 to /24, then end in the first
// level, and the top table (2 MiB, backed lazily) stays cache-sized.
inline constexpr unsigned kTopBits = 18;
inline unsigned top_slot(trie::u128 key) noexcept { return static_cast<unsigned>(key >> (128 - kTopBits)); }
// Prefixes of at most 8 bits live apart, in 256 expanded entries that a
// lookup reads only when nothing longer matched: a change of 0.0.0.0/0 or
// ::/0 rewrites those 256 entries, not the 2^18 top slots.
inline constexpr unsigned kShortBits = 8;
inline unsigned short_slot(trie::u128 key) noexcept { return static_cast<unsigned>(key >> (128 - kShortBits)); }
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
  // Whether lookup(key) is null for want of anything stored at or around
  // the key's top slot, as the occupancy bits and the short prefixes tell:
  // true for most addresses outside the stored ranges of a sparse table. It
  // follows no pointer, so it needs no epoch Guard; false says nothing.
  // Both loads are made and joined without a branch: on a table whose top
  // slots are neither mostly empty nor mostly used, a branch on the first
  // would be mispredicted about every other call.
  // A used slot's word is what the walk then reads first, and on a large
  // table it is a cache miss: its load starts here, to overlap with the
  // caller's pinning. For an empty slot the prefetch goes to the occupancy
  // word just read, so a sparse table's lookups pull no slot lines in.
  bool surely_none(trie::u128 key) const noexcept {
    const std::uint64_t writes_before = writes_.load(std::memory_order_acquire);
    const unsigned slot = index_detail::top_slot(key);
    const bool used = occupied(slot);
    __builtin_prefetch(used ? static_cast<const void*>(&slots_[slot]) : static_cast<const void*>(&occupied_[slot >> 6]));
    const bool no_short = short_[index_detail::short_slot(key)].load(std::memory_order_acquire) == nullptr;
    // The acquire load above keeps this one after it (see writes_).
    const bool one_moment = writes_.load(std::memory_order_relaxed) == writes_before;
    return !used & no_short & one_moment;
  }
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
  // Builds the whole index afresh from the source, whatever it held
  // before (an index that missed changes). Inside an epoch Guard, while
  // nothing changes the source. Each slot goes straight from its old word
  // to its new one, as any update does, never through empty: a lookup that
  // began before the index missed its first change, and still walks it,
  // finds every prefix stored throughout. Throws std::bad_alloc with part
  // of the index rebuilt: a caller keeps lookups off it until a rebuild
  // succeeds.
  void rebuild(const IndexSource& source);
  // Starts loading the top slot and node an update for `key` reads first,
  // so that a writer can overlap those misses with its trie walk. Only a
  // hint: it reads one slot and dereferences nothing.
  void prefetch_for_update(trie::u128 key) const noexcept;

  // Index nodes reachable now (for tests).
  std::size_t node_count() const;

 private:
  using Block = index_detail::Block;
  // The top's slot and one node per level: 18 + 6 * 19 >= 128.
  static constexpr std::size_t kMaxDepth = 21;

  // With `afresh`, every node in the range is built again from the source;
  // otherwise nodes whose range the change does not reach are kept.
  void rebuild_top(trie::u128 key, unsigned length, const IndexSource& source, bool afresh = false);
  // A change to a prefix of 9 to 18 bits (see the definition).
  void update_top_cover(trie::u128 key, unsigned length, const IndexSource& source);
  // Publishes what a change leaves in the run of top slots from `first`.
  void write_top_run(std::size_t first, index_detail::TopRun& run, const IndexSource& source, bool afresh);
  void rebuild_short(trie::u128 key, unsigned length, const IndexSource& source);
  // Replaces the node in the key's top slot with a fresh build of its range.
  void rebuild_top_node(trie::u128 key, const Block* top, const IndexSource& source);
  // Publishes `node` in the top slot, with its cover's number.
  void publish_top(std::size_t slot, const Block* node) noexcept;
  // The same for an entry already made; its comment gives the order of
  // the stores.
  void store_top(std::size_t slot, index_detail::TopEntry entry) noexcept;
  // Every store of a top slot's word goes through here, to keep its bit.
  void set_top(std::size_t slot, std::uintptr_t word) noexcept;
  // The length (9 to 18) of the prefix whose record answers for a top
  // slot, or covers the slot's node; 0 for none. See cover_lengths_.
  unsigned cover_length(std::size_t slot) const noexcept;
  void set_cover_length(std::size_t slot, unsigned length) noexcept;
  bool occupied(unsigned slot) const noexcept {
    return ((occupied_[slot >> 6].load(std::memory_order_acquire) >> (slot & 63)) & 1u) != 0;
  }
  // One try of lookup: `settled` says whether its answer stands, or it
  // must be tried again (a write began or ended under it).
  detail::MetadataRep* lookup_once(trie::u128 key, bool& settled) const noexcept;
  // lookup's tries after its first, out of its way.
  [[gnu::noinline, gnu::cold]] detail::MetadataRep* lookup_again(trie::u128 key) const noexcept;
  // The walk below the short prefixes; `walked` is set when it read a node
  // (more than the top slot's word).
  detail::MetadataRep* walk(trie::u128 key, bool& walked) const noexcept;

  const unsigned width_;  // 32 or 128
  static constexpr std::size_t kOccupiedWords = (std::size_t{1} << index_detail::kTopBits) / 64;
  // Tagged words: 0 = no record; low bit set = a record; bit 1 set = an
  // inline node; otherwise a node's block (its used quarters in the high 16
  // bits).
  // Release stores publish, acquire loads read.
  std::atomic<std::uintptr_t>* slots_;
  // For each slot holding a node, the number of the node's cover (see
  // RecordIds), 0 for none: the answer in the node's empty quarters.
  // Release stores, acquire loads; see store_top for how a reader knows
  // the number belongs to the node it read.
  std::atomic<std::uint16_t>* covers_;
  // The same as 4-byte codes (a record's address; see RecordCode), for
  // slots whose word says so: covers without a number, which a table of
  // more distinct records than there are numbers (65535) mostly has.
  // Without it, lookups in those nodes' empty quarters would read the
  // node. Made at the first such cover (1 MiB, backed lazily), under
  // writers_, before any word names it; null until then.
  std::atomic<std::uint32_t>* wide_covers_ = nullptr;
  bool make_wide_covers() noexcept;
  // The cover a top slot's word names, from the table the word says.
  detail::MetadataRep* top_cover(unsigned slot, std::uintptr_t word) const noexcept;
  // For each top slot, 4 bits: its cover_length less 8, or 0 for none.
  // What the top slots answer is decided by the prefixes of 9 to 18 bits,
  // and a change to one of those reaches only the slots whose answer comes
  // from a prefix no longer than it; these lengths say which, without a
  // walk of the trie below. Read and written by writers alone, under
  // writers_. 128 KiB, backed lazily.
  std::uint8_t* cover_lengths_;
  // A bit per top slot, set while its word is not 0. 32 KiB, which stays
  // in cache where the 2 MiB of slots cannot: a lookup whose slot is empty
  // (on a routing table, two fifths of random IPv4 addresses) reads only
  // this. See set_top for its ordering.
  std::atomic<std::uint64_t> occupied_[kOccupiedWords] = {};
  // The prefixes of 8 bits or fewer, expanded over the first 8 bits; what a
  // lookup answers when no longer prefix covers the address.
  std::atomic<detail::MetadataRep*> short_[std::size_t{1} << index_detail::kShortBits] = {};
  // Writes begun and ended: every update, reset and rebuild bumps it as it
  // begins, before its first store, and as it ends, after its last (see
  // Writing). A lookup whose answer rests on more than one word reads it
  // before its walk and again after, and answers only when it has not
  // moved; otherwise it walks again. Two cases need it:
  // - A node is replaced by a copy that keeps its children (a new cover,
  //   a new stride), and those children go on changing in place under the
  //   copy. A walk that read the old node, and then a child changed since,
  //   would mix two moments: an old cover over a newer subtree gives an
  //   answer the table never held, or none where prefixes covered the
  //   address throughout.
  // - short_ is read after the walk, at a second moment: a /12 added, then
  //   the /8 over it removed, would give an answer the table never held.
  // A reader that sees any store of a write sees that write's first bump
  // in its second read (the bump is a release, fenced before the stores,
  // which the reader loads with acquire), and a reader whose first read
  // (acquire) sees a write's last bump sees all that write's stores.
  std::atomic<std::uint64_t> writes_{0};
  // Bumps writes_ for its lifetime. Under writers_.
  class Writing {
   public:
    explicit Writing(std::atomic<std::uint64_t>& writes) noexcept : writes_(writes) {
      writes_.fetch_add(1, std::memory_order_release);
      std::atomic_thread_fence(std::memory_order_release);
    }
    ~Writing() { writes_.fetch_add(1, std::memory_order_release); }
    Writing(const Writing&) = delete;
    Writing& operator=(const Writing&) = delete;

   private:
    std::atomic<std::uint64_t>& writes_;
  };
  std::mutex writers_;
  // Takes writers_ for an update (see the definition).
  std::unique_lock<std::mutex> lock_writers();
  // Changes made so far, up to the count at which the top table is asked
  // for huge pages. Guarded by writers_.
  std::uint32_t changes_ = 0;
};

// Bytes the read indexes of the process hold: their nodes and top tables
// (for memory figures; the nodes live outside the ordinary heap).
std::size_t read_index_bytes() noexcept;

// For tests: whether the indexes have fixed where their 4-byte record codes
// count from, and whether `record` has such a code.
bool record_codes_started() noexcept;
bool record_has_code(const detail::MetadataRep* record) noexcept;

}  // namespace korvane
