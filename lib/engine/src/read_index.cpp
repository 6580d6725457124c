#include "read_index.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "epoch.hpp"
#include "platform.hpp"
#include "read_index_arena.hpp"
#include "record_arena.hpp"
#include "record_ids.hpp"

namespace korvane {

using index_detail::Block;
using trie::u128;

namespace {
using Rep = detail::MetadataRep;
}  // namespace

namespace index_detail {
// A node: its cover and leaf map, then (unless compact) its child map, then
// a child pointer per child slot, then (for a sparse node) its record map,
// then a record per leaf run (per run that has one, in a sparse node; a
// 4-byte code in a narrow node, the array rounded up to whole words), then,
// for a node that skips, its SkipTail. A compact node has no child map: it
// has no child, and nodes at the ends of paths are mostly compact (two
// thirds of all nodes, on a table of uniformly random prefixes).
// Immutable once published, except the child pointers, which a writer may
// swap for a new version of that child (release store; readers load them
// with acquire).
struct Block {
  // The record of the longest prefix of the parent's stride covering this
  // node, tagged in its low bits (records are 16-byte aligned):
  // - kSkips: the node skips (see SkipTail);
  // - kCompact: no child, and one run of one record with nothing around it,
  //   stored as that record alone. Most nodes at the end of a path are such,
  //   holding one prefix;
  // - kSparse: a word of record bits follows the child pointers, marking
  //   the run starts that have a record; runs without one store nothing.
  //   Taken when a node has two or more runs without a record (the gaps
  //   between scattered longer prefixes), so it never costs more than it
  //   saves.
  // - kNarrow: the records, the cover included, are stored as 4-byte codes
  //   (see RecordCode), not pointers. Taken whenever every record of the
  //   node has a code. The cover's code is then the word's high half. A
  //   narrow compact node keeps its record's code in its leaf word and has
  //   no record array.
  // - kLeavesOnly, only beside kNarrow (in a pointer the bit is address):
  //   the node has no child, so no child map either. Most nodes that end
  //   IPv4 paths are such.
  // - kNumbered, only beside kNarrow: the record array holds 2-byte record
  //   numbers (see RecordIds) instead of 4-byte codes. Taken whenever every
  //   record in the array has a number; the cover stays a code.
  // - kShortPath, only beside kNarrow in a compact node that skips fewer
  //   than 64 bits: its SkipTail keeps only the bits it skips (see there),
  //   in one word.
  // First, so that the tags say where everything else lies.
  std::uintptr_t cover_word;
  // Slot i is a leaf that starts a new run; one record each. None in a
  // node whose runs would all be without a record: its slots other than
  // children then read no leaf (leaf_index), as such runs' slots do. In a
  // compact node: the one run's first slot in bits 0-7, its end in bits
  // 8-15 (and, narrow, its record's code in bits 32-63).
  std::uint64_t leaf_bits;

  static constexpr std::uintptr_t kSkips = 1;
  static constexpr std::uintptr_t kCompact = 2;
  static constexpr std::uintptr_t kSparse = 4;
  static constexpr std::uintptr_t kNarrow = 8;
  static constexpr std::uintptr_t kTags = kSkips | kCompact | kSparse | kNarrow;
  static constexpr std::uintptr_t kLeavesOnly = 16;
  static constexpr std::uintptr_t kNumbered = 32;
  static constexpr std::uintptr_t kShortPath = 64;
  static constexpr std::uintptr_t kNarrowTags = kTags | kLeavesOnly | kNumbered | kShortPath;
  // Header bytes: the two words, and the child map unless the node is
  // compact or leaves only.
  static constexpr std::size_t kCompactHeader = 2 * sizeof(std::uint64_t);
  static constexpr std::size_t kHeader = kCompactHeader + sizeof(std::uint64_t);
  static std::size_t header_bytes(std::uintptr_t tags) noexcept {
    const bool no_map = (tags & kCompact) != 0 || (tags & (kNarrow | kLeavesOnly)) == (kNarrow | kLeavesOnly);
    return no_map ? kCompactHeader : kHeader;
  }
  // The tags, kLeavesOnly and kNumbered included where they are ones.
  std::uintptr_t tags() const noexcept { return cover_word & (narrow() ? kNarrowTags : kTags); }
  std::size_t header() const noexcept { return header_bytes(tags()); }

  // Slot i has a child node; one pointer each. Read through the node's
  // address, not a member, as a node without a map ends before it.
  std::uint64_t child_bits() const noexcept {
    return header() == kCompactHeader
               ? 0
               : *reinterpret_cast<const std::uint64_t*>(reinterpret_cast<const char*>(this) + kCompactHeader);
  }
  std::uint32_t children() const noexcept { return static_cast<std::uint32_t>(std::popcount(child_bits())); }
  // The records stored: one per run, or per run with a record.
  std::uint32_t leaves() const noexcept {
    return compact() ? (narrow() ? 0 : 1) : static_cast<std::uint32_t>(std::popcount(record_bits()));
  }
  detail::MetadataRep* cover() const noexcept;  // after RecordCode
  bool skips() const noexcept { return (cover_word & kSkips) != 0; }
  bool compact() const noexcept { return (cover_word & kCompact) != 0; }
  bool sparse() const noexcept { return (cover_word & kSparse) != 0; }
  bool narrow() const noexcept { return (cover_word & kNarrow) != 0; }
  bool short_path() const noexcept { return (cover_word & (kNarrow | kShortPath)) == (kNarrow | kShortPath); }
  // The run starts that have a record (every run start, unless sparse).
  std::uint64_t record_bits() const noexcept {
    return sparse() ? *reinterpret_cast<const std::uint64_t*>(reinterpret_cast<const char*>(this) + header() +
                                                               children() * sizeof(void*))
                    : leaf_bits;
  }
  // A compact node's run: slots [run_begin, run_end).
  unsigned run_begin() const noexcept { return static_cast<unsigned>(leaf_bits & 0xFF); }
  unsigned run_end() const noexcept { return static_cast<unsigned>((leaf_bits >> 8) & 0xFF); }
};

// Path compression. A chain of nodes that each hold nothing but one child
// (no record in any slot, and a child without cover) is stored as its last
// node alone, hung where the first one would be. That node keeps the first
// one's cover and records where it really starts: `to`, the bit its stride
// starts at, and `path`, the address bits above `to` (the rest zero). A
// lookup reaching it checks the address against the path; an address off
// the path has only the covers seen so far for an answer. Sparse IPv6 ranges
// are mostly such chains. A node with a short path (kShortPath) keeps in
// path_high only the bits from where it hangs to `to`, left-aligned: those
// above are the ones that led a lookup to it.
struct SkipTail {
  std::uint64_t path_high, path_low;
  std::uint64_t to;  // not stored in a compact node: its leaf_bits hold it in bits 16-23
};
// What a top slot holding a node says: the slot's word (the node's
// address, its used quarters, and whether its cover is wide), and the
// node's cover as a record number or, when the word says wide, as a code.
struct TopEntry {
  std::uintptr_t word;
  std::uint16_t number = 0;
  std::uint32_t code = 0;
};
// What a change leaves in a run of top slots, slot by slot.
struct TopRun {
  enum State : std::uint8_t {
    kLeaf,  // the slot holds no prefix longer than the top's stride: a record, or nothing
    kNode,  // it does: a node, whose cover is the slot's leaf
    kKeep,  // the change leaves the slot as it is
  };
  TopRun(std::size_t slots, Rep* cover, unsigned cover_length)
      : leaf(slots, cover), state(slots, kLeaf), lengths(slots, static_cast<std::uint8_t>(cover_length)) {}
  std::vector<Rep*> leaf;  // the slot's answer, or its node's cover
  std::vector<std::uint8_t> state;
  std::vector<std::uint8_t> lengths;  // the cover_length of the leaf, slot by slot
};
}  // namespace index_detail

using index_detail::SkipTail;
using index_detail::TopEntry;
using index_detail::TopRun;

namespace {

constexpr std::uintptr_t kRecordTag = 1;
using index_detail::kShortBits;
using index_detail::kTopBits;
using index_detail::short_slot;
using index_detail::top_slot;
constexpr std::size_t kTopBytes = (std::size_t{1} << kTopBits) * sizeof(std::uintptr_t);
constexpr std::size_t kCoverBytes = (std::size_t{1} << kTopBits) * sizeof(std::uint16_t);
constexpr std::size_t kWideCoverBytes = (std::size_t{1} << kTopBits) * sizeof(std::uint32_t);
constexpr std::size_t kCoverLengthBytes = (std::size_t{1} << kTopBits) / 2;
// After this many changes the top table is large enough for one huge page
// to cost no more than the small pages it has touched, and every lookup
// then saves a TLB miss on it. Smaller tables keep their few small pages,
// however many engines a program makes.
constexpr std::uint32_t kHugeTopAfter = 2048;
std::atomic<std::size_t> top_bytes{0};  // relaxed: a figure, ordering nothing
constexpr unsigned kStride = 6;

static_assert(sizeof(Block) == Block::kCompactHeader, "a compact node's storage is its two header words and what follows");
static_assert(__STDCPP_DEFAULT_NEW_ALIGNMENT__ >= 16, "a node's cover word keeps its tags in four low bits of a record's address");
static_assert(sizeof(std::uintptr_t) == 8, "a narrow node's cover word holds a 4-byte code above its tags");
static_assert(Block::kSparse * 2 == sizeof(std::uint64_t), "a sparse node's record map shifts its records by kSparse * 2");

// A record as a 4-byte code: its distance in 16-byte steps from a base
// fixed for the process, 0 for none. The base is chosen 32 GiB below the
// first record coded that lives in the record arena's chunks, so records
// within 32 GiB of it (the arena's chunks, in practice all of them) have
// codes; a node with a record outside that window keeps pointers. A record
// too large for the chunks, from the heap far away, never sets the base:
// were it the first coded, every record of the chunks would be left without
// a code. Leaves of 4 bytes instead of 8 keep more of a large index in
// cache.
//
// The base is set once, by compare-exchange (acq_rel), before the first
// coded node is built; writers load it with acquire. Readers decode only
// nodes they reached through an acquire load of a published pointer, which
// orders the base's store before them, so they load it relaxed.
class RecordCode {
 public:
  // The code of `rep`, or false when it has none.
  static bool encode(const Rep* rep, std::uint32_t& code) noexcept {
    if (rep == nullptr) {
      code = 0;
      return true;
    }
    const auto address = reinterpret_cast<std::uintptr_t>(rep);
    std::uintptr_t b = base.load(std::memory_order_acquire);
    if (b == kUnset) {
      if (!record_arena::from_chunks(rep->allocated_bytes)) return false;
      const std::uintptr_t wanted = address > kWindow / 2 ? (address - kWindow / 2) & ~std::uintptr_t{15} : 0;
      if (base.compare_exchange_strong(b, wanted, std::memory_order_acq_rel, std::memory_order_acquire)) b = wanted;
    }
    if (!in_window(address, b)) return false;
    code = static_cast<std::uint32_t>((address - b) >> 4);
    return true;
  }
  static bool has_code(const Rep* rep) noexcept {
    return in_window(reinterpret_cast<std::uintptr_t>(rep), base.load(std::memory_order_acquire));
  }
  static bool started() noexcept { return base.load(std::memory_order_acquire) != kUnset; }
  static Rep* decode(std::uint32_t code) noexcept {
    if (code == 0) return nullptr;
    return reinterpret_cast<Rep*>(base.load(std::memory_order_relaxed) + (std::uintptr_t{code} << 4));
  }

 private:
  static constexpr std::uintptr_t kUnset = ~std::uintptr_t{0};
  static constexpr std::uintptr_t kWindow = std::uintptr_t{1} << 36;  // 2^32 codes of 16 bytes
  static inline std::atomic<std::uintptr_t> base{kUnset};

  // Whether a record at `address` has a code counted from base `b` (none
  // while the base is unset: every address lies at or below kUnset).
  static bool in_window(std::uintptr_t address, std::uintptr_t b) noexcept {
    return address > b && address - b < kWindow && (address & 15) == 0;
  }
};

}  // namespace

inline detail::MetadataRep* index_detail::Block::cover() const noexcept {
  if (narrow()) return RecordCode::decode(static_cast<std::uint32_t>(cover_word >> 32));
  return reinterpret_cast<detail::MetadataRep*>(cover_word & ~kTags);
}

namespace {

inline std::atomic<const Block*>* child_array(const Block* b) noexcept {
  return reinterpret_cast<std::atomic<const Block*>*>(const_cast<char*>(reinterpret_cast<const char*>(b)) +
                                                       Block::kHeader);
}
// Where a node's records start.
inline char* leaf_array(const Block* b) noexcept {
  // A sparse node's records start one word further on.
  return const_cast<char*>(reinterpret_cast<const char*>(b)) + b->header() + b->children() * sizeof(void*) +
         ((b->cover_word & Block::kSparse) << 1);
}
// Bytes of one stored record in a node's record array.
inline std::size_t leaf_width(std::uintptr_t tags) noexcept {
  if ((tags & Block::kNarrow) == 0) return sizeof(Rep*);
  return (tags & Block::kNumbered) != 0 ? sizeof(std::uint16_t) : sizeof(std::uint32_t);
}
// Bytes of a node's records, rounded up to whole words.
inline std::size_t leaf_bytes(std::uint32_t leaves, std::uintptr_t tags) noexcept {
  return (leaves * leaf_width(tags) + 7) & ~std::size_t{7};
}
// Where record i of a node is stored, and what it is.
inline const char* leaf_address(const Block* b, std::uint32_t i) noexcept {
  if (b->narrow() && b->compact()) return reinterpret_cast<const char*>(&b->leaf_bits);
  return leaf_array(b) + i * leaf_width(b->cover_word);
}
inline Rep* leaf_at(const Block* b, std::uint32_t i) noexcept {
  if (b->narrow()) {
    if (b->compact()) return RecordCode::decode(static_cast<std::uint32_t>(b->leaf_bits >> 32));
    if ((b->cover_word & Block::kNumbered) != 0) {
      return detail::RecordIds::record(reinterpret_cast<const std::uint16_t*>(leaf_array(b))[i]);
    }
    return RecordCode::decode(reinterpret_cast<const std::uint32_t*>(leaf_array(b))[i]);
  }
  return reinterpret_cast<Rep* const*>(leaf_array(b))[i];
}
// A node's records and children mostly lie past its first line (nodes are
// packed at word granularity): asking for the next line together with the
// maps makes the two misses overlap instead of following each other.
inline void prefetch_node(const Block* b) noexcept {
  __builtin_prefetch(b);
  __builtin_prefetch(reinterpret_cast<const char*>(b) + 64);
}
// The end of the lines prefetch_node asks for.
inline const char* prefetched_end(const Block* b) noexcept {
  return reinterpret_cast<const char*>((reinterpret_cast<std::uintptr_t>(b) + 64) | 63) + 1;
}
inline const SkipTail* skip_tail(const Block* b) noexcept {
  return reinterpret_cast<const SkipTail*>(leaf_array(b) + leaf_bytes(b->leaves(), b->cover_word));
}
inline u128 skip_path(const SkipTail* t) noexcept { return (static_cast<u128>(t->path_high) << 64) | t->path_low; }
// The bits [at, to) of `key` (to - at < 64), left-aligned in a word: a
// short path.
inline std::uint64_t short_path_bits(u128 key, unsigned at, unsigned to) noexcept {
  return static_cast<std::uint64_t>(trie::shift_left(key, at) >> 64) & ~(~std::uint64_t{0} >> (to - at));
}
inline unsigned skip_to(const Block* b) noexcept {
  return b->compact() ? static_cast<unsigned>((b->leaf_bits >> 16) & 0xFF) : static_cast<unsigned>(skip_tail(b)->to);
}

std::size_t block_size(std::uint32_t children, std::uint32_t leaves, std::uintptr_t tags) noexcept {
  const bool skips = (tags & Block::kSkips) != 0;
  const bool short_path = (tags & (Block::kNarrow | Block::kShortPath)) == (Block::kNarrow | Block::kShortPath);
  const std::size_t tail = !skips                          ? 0
                           : short_path                    ? offsetof(SkipTail, path_low)
                           : (tags & Block::kCompact) != 0 ? offsetof(SkipTail, to)
                                                           : sizeof(SkipTail);
  const std::size_t records_map = (tags & Block::kSparse) != 0 ? sizeof(std::uint64_t) : 0;
  return Block::header_bytes(tags) + records_map + children * sizeof(std::atomic<const Block*>) + leaf_bytes(leaves, tags) + tail;
}

// A block for a node with these maps and tags (a sparse node's record map
// written too); the rest is the caller's to fill.
Block* new_block(std::uint64_t child_bits, std::uint64_t leaf_bits, std::uintptr_t tags, std::uint64_t record_bits = 0) {
  const std::uint32_t leaves = (tags & Block::kCompact) != 0   ? ((tags & Block::kNarrow) != 0 ? 0 : 1)
                               : (tags & Block::kSparse) != 0 ? static_cast<std::uint32_t>(std::popcount(record_bits))
                                                              : static_cast<std::uint32_t>(std::popcount(leaf_bits));
  const std::size_t size = block_size(static_cast<std::uint32_t>(std::popcount(child_bits)), leaves, tags);
  auto* b = static_cast<Block*>(index_arena::allocate(size));
  b->cover_word = tags;
  b->leaf_bits = leaf_bits;
  if (Block::header_bytes(tags) == Block::kHeader) {
    *reinterpret_cast<std::uint64_t*>(reinterpret_cast<char*>(b) + Block::kCompactHeader) = child_bits;
  }
  if ((tags & Block::kSparse) != 0) {
    *reinterpret_cast<std::uint64_t*>(reinterpret_cast<char*>(b) + b->header() + b->children() * sizeof(void*)) =
        record_bits;
  }
  return b;
}

void free_block(const Block* b) noexcept {
  index_arena::release(const_cast<Block*>(b), block_size(b->children(), b->leaves(), b->tags()));
}

constexpr std::uint32_t kNoLeaf = ~std::uint32_t{0};  // a slot of a run without a stored record

// Which stored record slot s of a node reads (s not a child slot), or
// kNoLeaf.
inline std::uint32_t leaf_index(const Block* b, unsigned s) noexcept {
  if (b->compact()) return s - b->run_begin() < b->run_end() - b->run_begin() ? 0 : kNoLeaf;
  const std::uint64_t bit = std::uint64_t{1} << s;
  // (bit << 1) - 1 is every bit up to the slot; for slot 63 it wraps to all
  // ones, which is still right.
  const std::uint64_t upto = (bit << 1) - 1;
  // In a node without runs, 0 - 1 wraps to kNoLeaf.
  if (!b->sparse()) return static_cast<std::uint32_t>(std::popcount(b->leaf_bits & upto) - 1);
  // The slot's run starts at the last run start up to it (slots below the
  // first run are children, so there is one).
  const std::uint64_t records = b->record_bits();
  const unsigned start = 63u - static_cast<unsigned>(std::countl_zero(b->leaf_bits & upto));
  if (((records >> start) & 1u) == 0) return kNoLeaf;
  return static_cast<std::uint32_t>(std::popcount(records & upto) - 1);
}

// Where a node reached at stride start `at` really starts, once the address
// is checked against its path: `at` itself for a node that does not skip;
// for one that does, its `to`, or 0 when the key is off its path.
inline unsigned enter(const Block* b, u128 key, unsigned at) noexcept {
  if (!b->skips()) return at;
  const SkipTail* t = skip_tail(b);
  const unsigned to = skip_to(b);
  if (b->short_path()) return short_path_bits(key, at, to) == t->path_high ? to : 0;
  return (key & trie::top_mask(to)) == skip_path(t) ? to : 0;
}

// `count` bits of `key` from bit `from` on, as a number; bits past 127 read 0.
inline unsigned bits_at(u128 key, unsigned from, unsigned count) noexcept {
  return static_cast<unsigned>(trie::shift_right(trie::shift_left(key, from), 128 - count));
}

inline unsigned slot_at(u128 key, unsigned shift) noexcept {
  return shift <= 122 ? static_cast<unsigned>(key >> (122 - shift)) & 63u
                      : static_cast<unsigned>(key << (shift - 122)) & 63u;
}

// Inline nodes. A node that would be compact, skipping at most kInlineSkip
// bits, and whose two records (its cover and its run's) have numbers, gets
// no block: the parent's child pointer holds it, tagged in its low bit
// (blocks are word-aligned), or the top slot does (see kInlineTopTag).
// Bits 1-6 hold the run's first slot, bits 7-13 its end, bits 14-15 how
// many strides it skips, bits 16-31 the cover's number, bits 32-47 the
// run's record's number, bits 48-59 the address bits it skips (the path
// below where it hangs; the parent's path gives those above). Such nodes
// end most paths: half of all nodes of uniformly random IPv4 prefixes,
// three fifths of a routing table's IPv6 ones. Inline, each saves its block
// (16 bytes, 32 with a path), and a lookup reaching it a cache miss.
// A coded inline node (bit 62 set) has no cover, and holds its run's record
// in bits 16-47 as a code (see RecordCode) instead: where records outnumber
// the numbers (a table with a record per prefix), the nodes at the ends of
// paths mostly have no cover of their own, and would otherwise be blocks.
// Bit 62, not 63: a top slot holds an inline node shifted up a bit.
constexpr std::uintptr_t kInlineTag = 1;
constexpr unsigned kInlineSkip = 2 * kStride;
inline bool is_inline(const Block* b) noexcept { return (reinterpret_cast<std::uintptr_t>(b) & kInlineTag) != 0; }
inline std::uintptr_t inline_bits(const Block* b) noexcept { return reinterpret_cast<std::uintptr_t>(b); }
inline unsigned inline_begin(const Block* b) noexcept { return static_cast<unsigned>((inline_bits(b) >> 1) & 63); }
inline unsigned inline_end(const Block* b) noexcept { return static_cast<unsigned>((inline_bits(b) >> 7) & 127); }
inline unsigned inline_skip(const Block* b) noexcept {
  return static_cast<unsigned>((inline_bits(b) >> 14) & 3) * kStride;
}
inline unsigned inline_path(const Block* b) noexcept { return static_cast<unsigned>((inline_bits(b) >> 48) & 0xFFF); }
constexpr std::uintptr_t kInlineCoded = std::uintptr_t{1} << 62;
inline bool inline_coded(const Block* b) noexcept { return (inline_bits(b) & kInlineCoded) != 0; }
inline Rep* inline_cover(const Block* b) noexcept {
  // Number 0 names no record: a coded node's cover.
  return detail::RecordIds::record(inline_coded(b) ? 0 : static_cast<std::uint16_t>(inline_bits(b) >> 16));
}
inline Rep* inline_record(const Block* b) noexcept {
  if (inline_coded(b)) return RecordCode::decode(static_cast<std::uint32_t>(inline_bits(b) >> 16));
  return detail::RecordIds::record(static_cast<std::uint16_t>(inline_bits(b) >> 32));
}
// The fields both forms share: the run, the strides skipped, the path.
constexpr std::uintptr_t inline_run(unsigned begin, unsigned end, unsigned skip, unsigned path) noexcept {
  return kInlineTag | std::uintptr_t{begin} << 1 | std::uintptr_t{end} << 7 | std::uintptr_t{skip / kStride} << 14 |
         std::uintptr_t{path} << 48;
}
const Block* make_inline(unsigned begin, unsigned end, unsigned skip, unsigned path, std::uint16_t cover,
                         std::uint16_t record) noexcept {
  return reinterpret_cast<const Block*>(inline_run(begin, end, skip, path) | std::uintptr_t{cover} << 16 |
                                        std::uintptr_t{record} << 32);
}
const Block* make_coded_inline(unsigned begin, unsigned end, unsigned skip, unsigned path, std::uint32_t record) noexcept {
  return reinterpret_cast<const Block*>(inline_run(begin, end, skip, path) | kInlineCoded | std::uintptr_t{record} << 16);
}
// Where inline node b, hung at stride start `at`, really starts for `key`:
// as enter() does for a block.
inline unsigned inline_enter(const Block* b, u128 key, unsigned at) noexcept {
  const unsigned skip = inline_skip(b);
  if (skip == 0) return at;
  return bits_at(key, at, skip) == inline_path(b) ? at + skip : 0;
}
// What a lookup that reached inline node b, hung at `at`, answers for
// `key`, `best` being the deepest cover above it.
inline Rep* inline_answer(const Block* b, u128 key, unsigned at, Rep* best) noexcept {
  if (Rep* cover = inline_cover(b)) best = cover;
  at = inline_enter(b, key, at);
  if (at == 0) return best;  // off its path
  const unsigned s = slot_at(key, at);
  return s - inline_begin(b) < inline_end(b) - inline_begin(b) ? inline_record(b) : best;
}
inline Rep* cover_of(const Block* b) noexcept { return is_inline(b) ? inline_cover(b) : b->cover(); }
inline std::uint64_t child_bits_of(const Block* b) noexcept { return is_inline(b) ? 0 : b->child_bits(); }

void free_subtree(const Block* b) noexcept {
  if (is_inline(b)) return;
  for (std::uint32_t i = 0; i < b->children(); ++i) free_subtree(child_array(b)[i].load(std::memory_order_relaxed));
  free_block(b);
}

void release_block_now(void* b) { free_block(static_cast<const Block*>(b)); }
void release_subtree_now(void* b) { free_subtree(static_cast<const Block*>(b)); }

// A top slot that holds a node also says, in the 16 bits above the node's
// address, which quarters of the node's 64 slots (4 slots, a /22 of IPv4,
// each) hold anything: a child, or a leaf with a record. A lookup whose
// quarter is empty has only the node's cover for an answer, which a second
// table keeps beside the slots as a record number, and leaves the node
// unread: on a routing table, two thirds of the random IPv4 lookups that
// reach a node; on uniformly random prefixes, three fifths. A node that
// skips, or whose cover has no number, claims every quarter. User-space
// addresses on Linux stay below 2^47 (the kernel maps higher only when
// asked to), which leaves the 16 bits free.
constexpr unsigned kQuarterShift = 48;
constexpr std::uintptr_t kAddressBits = (std::uintptr_t{1} << kQuarterShift) - 1;
constexpr std::uintptr_t kAllQuarters = std::uintptr_t{0xFFFF} << kQuarterShift;

// A top slot's word: 0 for nothing; a record's address with kRecordTag;
// an inline node (see kInlineTag) shifted up a bit, so kInlineTopTag;
// otherwise a node's block (records are 16-byte aligned and blocks 8-byte,
// which leaves both tags free, and a third bit), with kWideCoverTag when
// the cover of its empty quarters is a code in the wide table rather than
// a number in the narrow one.
constexpr std::uintptr_t kInlineTopTag = 2;
constexpr std::uintptr_t kWideCoverTag = 4;
bool is_node(std::uintptr_t word) noexcept { return word != 0 && (word & (kRecordTag | kInlineTopTag)) == 0; }
bool is_inline_top(std::uintptr_t word) noexcept { return (word & (kRecordTag | kInlineTopTag)) == kInlineTopTag; }
const Block* inline_of(std::uintptr_t word) noexcept { return reinterpret_cast<const Block*>(word >> 1); }
const Block* node_of(std::uintptr_t word) noexcept {
  return reinterpret_cast<const Block*>(word & kAddressBits & ~kWideCoverTag);
}
// Whether the node in a top slot's word may hold something for the slot
// `s` (0..63) of its stride.
inline bool quarter_used(std::uintptr_t word, unsigned s) noexcept { return ((word >> (kQuarterShift + s / 4)) & 1u) != 0; }
std::uintptr_t record_word(Rep* rep) noexcept {
  return rep == nullptr ? 0 : reinterpret_cast<std::uintptr_t>(rep) | kRecordTag;
}
// Slots [begin, end) of a stride, as bits.
inline std::uint64_t slot_range(unsigned begin, unsigned end) noexcept {
  const std::uint64_t below_end = end == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << end) - 1;
  return below_end & ~((std::uint64_t{1} << begin) - 1);
}
// The entry for node b.
TopEntry top_entry(const Block* b) noexcept {
  if (is_inline(b)) return {inline_bits(b) << 1, 0};  // answers alone: no quarters, no cover number
  const auto address = reinterpret_cast<std::uintptr_t>(b);
  if ((address & ~kAddressBits) != 0) std::abort();  // not on Linux: see kQuarterShift
  std::uint64_t quarters = kAllQuarters >> kQuarterShift;
  TopEntry entry{0};
  bool wide = false;
  if (!b->skips() && (detail::RecordIds::number_of(b->cover(), entry.number) ||
                      (wide = RecordCode::encode(b->cover(), entry.code)))) {
    // The slots that hold a child or a leaf with a record.
    std::uint64_t used;
    if (b->compact()) {
      used = slot_range(b->run_begin(), b->run_end());
    } else {
      const std::uint64_t children = b->child_bits();
      const std::uint64_t records = b->record_bits();
      used = children;
      std::uint32_t stored = 0;
      // A run lasts until the next run starts; child slots inside it are
      // not part of it.
      for (std::uint64_t starts = b->leaf_bits; starts != 0; starts &= starts - 1) {
        const unsigned begin = static_cast<unsigned>(std::countr_zero(starts));
        const std::uint64_t later = starts & (starts - 1);
        const unsigned end = later != 0 ? static_cast<unsigned>(std::countr_zero(later)) : 64;
        const bool has_record = b->sparse() ? ((records >> begin) & 1u) != 0 : leaf_at(b, stored++) != nullptr;
        if (has_record) used |= slot_range(begin, end) & ~children;
      }
    }
    quarters = 0;
    for (unsigned q = 0; q < 16; ++q) {
      if (((used >> (4 * q)) & 0xFu) != 0) quarters |= std::uint64_t{1} << q;
    }
  }
  entry.word = address | quarters << kQuarterShift | (wide ? kWideCoverTag : 0);
  return entry;
}

std::size_t count_subtree(const Block* b) noexcept {
  std::size_t n = 1;
  if (is_inline(b)) return n;
  for (std::uint32_t i = 0; i < b->children(); ++i) n += count_subtree(child_array(b)[i].load(std::memory_order_acquire));
  return n;
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

// Writes a fresh node's cover beside its tags: as a code in the high half
// of a narrow node's word (`code` then holds it), else as a pointer.
void set_cover(Block* b, Rep* cover, std::uint32_t code) noexcept {
  if (b->narrow()) {
    b->cover_word |= std::uintptr_t{code} << 32;
  } else {
    b->cover_word |= reinterpret_cast<std::uintptr_t>(cover);
  }
}

// A node's 64 slots spelled out: leaf values (null at child slots) and
// children.
struct Slots {
  Rep* leaf[64] = {};
  const Block* child[64] = {};
  std::uint64_t child_bits = 0;
  // For a node that skips: where its stride starts, and the path above.
  unsigned to = 0;
  u128 path = 0;

  Slots() = default;
  // The slots of a node hung at stride start `at` under the address bits
  // `above` (those before `at`; the rest is ignored), which the path of an
  // inline node or of a short path is relative to.
  Slots(const Block* b, u128 above, unsigned at) {
    if (!is_inline(b)) {
      read_block(b, above, at);
      return;
    }
    std::fill(leaf + inline_begin(b), leaf + inline_end(b), inline_record(b));
    if (const unsigned skip = inline_skip(b); skip != 0) {
      to = at + skip;
      path = (above & trie::top_mask(at)) | trie::shift_left(static_cast<u128>(inline_path(b)), 128 - to);
    }
  }

  // A node for these slots, to hang at stride start `at`: an inline node
  // if it qualifies, else a block. Nothing in it is published yet.
  const Block* lay_out(Rep* cover, unsigned at) const {
    // A run starts at the first leaf slot and wherever a leaf slot's record
    // differs from the leaf slot before it (child slots between them do not
    // break a run). Each slot is first compared with its neighbour, with no
    // dependency from one slot to the next; then the few leaf slots that
    // follow a child slot are compared with the last leaf slot before it.
    const std::uint64_t leaf_slots = ~child_bits;
    std::uint64_t differs = 1;
    std::uint64_t holds = static_cast<std::uint64_t>(leaf[0] != nullptr);
    for (unsigned s = 1; s < 64; ++s) {
      differs |= static_cast<std::uint64_t>(leaf[s] != leaf[s - 1]) << s;
      holds |= static_cast<std::uint64_t>(leaf[s] != nullptr) << s;
    }
    for (std::uint64_t after_child = (child_bits << 1) & leaf_slots; after_child != 0; after_child &= after_child - 1) {
      const unsigned s = static_cast<unsigned>(std::countr_zero(after_child));
      const std::uint64_t bit = std::uint64_t{1} << s;
      const std::uint64_t leaves_before = leaf_slots & (bit - 1);
      const bool starts =
          leaves_before == 0 || leaf[s] != leaf[63 - static_cast<unsigned>(std::countl_zero(leaves_before))];
      differs = starts ? differs | bit : differs & ~bit;
    }
    // Runs matter only where one holds a record: a node with none (children
    // only) marks no run, and stores neither a record nor a record map.
    const std::uint64_t leaf_bits = (holds & leaf_slots) != 0 ? differs & leaf_slots : 0;
    const std::uint64_t record_bits = leaf_bits & holds;
    const std::uintptr_t skips = to != 0 ? Block::kSkips : 0;
    // Compact when there is no child and one run holds a record, the rest
    // (if any) none.
    if (child_bits == 0 && std::popcount(record_bits) == 1) {
      const unsigned begin = static_cast<unsigned>(std::countr_zero(record_bits));
      const std::uint64_t after = leaf_bits & ~((record_bits << 1) - 1);
      const unsigned end = after != 0 ? static_cast<unsigned>(std::countr_zero(after)) : 64;
      std::uint16_t record_number;
      std::uint16_t cover_number;
      const unsigned skip = to == 0 ? 0 : to - at;
      if (skip <= kInlineSkip && detail::RecordIds::number_of(leaf[begin], record_number) &&
          detail::RecordIds::number_of(cover, cover_number)) {
        return make_inline(begin, end, skip, skip == 0 ? 0 : bits_at(path, at, skip), cover_number, record_number);
      }
      std::uint32_t code;
      if (skip <= kInlineSkip && cover == nullptr && RecordCode::encode(leaf[begin], code)) {
        return make_coded_inline(begin, end, skip, skip == 0 ? 0 : bits_at(path, at, skip), code);
      }
      std::uint32_t cover_code = 0;
      const bool narrow = RecordCode::encode(leaf[begin], code) && RecordCode::encode(cover, cover_code);
      const std::uint64_t run = begin | end << 8 | std::uint64_t{to} << 16;
      const bool short_path = narrow && to != 0 && to - at < 64;
      Block* b = new_block(0, narrow ? run | std::uint64_t{code} << 32 : run,
                           skips | Block::kCompact | (narrow ? Block::kNarrow : 0) |
                               (short_path ? Block::kShortPath : 0));
      set_cover(b, cover, cover_code);
      if (!narrow) *reinterpret_cast<Rep**>(leaf_array(b)) = leaf[begin];
      write_skip(b, at);
      return b;
    }
    const bool sparse = std::popcount(leaf_bits) - std::popcount(record_bits) >= 2;
    const std::uint64_t stored = sparse ? record_bits : leaf_bits;
    std::uint32_t codes[64];
    std::uint16_t numbers[64];
    std::uint32_t r = 0;
    std::uint32_t cover_code = 0;
    const bool cover_coded = RecordCode::encode(cover, cover_code);
    // Two-byte numbers if every record has one, else 4-byte codes if every
    // record has one, else pointers.
    bool numbered = cover_coded;
    for (std::uint64_t bits = stored; bits != 0 && numbered; bits &= bits - 1) {
      numbered = detail::RecordIds::number_of(leaf[std::countr_zero(bits)], numbers[r++]);
    }
    bool narrow = numbered;
    if (!numbered) {
      r = 0;
      narrow = cover_coded;
      for (std::uint64_t bits = stored; bits != 0 && narrow; bits &= bits - 1) {
        narrow = RecordCode::encode(leaf[std::countr_zero(bits)], codes[r++]);
      }
    }
    std::uintptr_t layout = 0;
    if (narrow) layout = (child_bits == 0 ? Block::kNarrow | Block::kLeavesOnly : Block::kNarrow) | (numbered ? Block::kNumbered : 0);
    Block* b = new_block(child_bits, leaf_bits, skips | (sparse ? Block::kSparse : 0) | layout, record_bits);
    set_cover(b, cover, cover_code);
    std::uint32_t k = 0;
    for (std::uint64_t bits = child_bits; bits != 0; bits &= bits - 1) {
      new (&child_array(b)[k++]) std::atomic<const Block*>(child[std::countr_zero(bits)]);
    }
    if (numbered) {
      std::copy_n(numbers, r, reinterpret_cast<std::uint16_t*>(leaf_array(b)));
    } else if (narrow) {
      std::copy_n(codes, r, reinterpret_cast<std::uint32_t*>(leaf_array(b)));
    } else {
      r = 0;
      for (std::uint64_t bits = stored; bits != 0; bits &= bits - 1) {
        reinterpret_cast<Rep**>(leaf_array(b))[r++] = leaf[std::countr_zero(bits)];
      }
    }
    write_skip(b, at);
    return b;
  }

  void write_skip(Block* b, unsigned at) const noexcept {
    if (to == 0) return;
    auto* tail = const_cast<SkipTail*>(skip_tail(b));
    if (b->short_path()) {
      tail->path_high = short_path_bits(path, at, to);
      return;
    }
    tail->path_high = static_cast<std::uint64_t>(path >> 64);
    tail->path_low = static_cast<std::uint64_t>(path);
    if (!b->compact()) tail->to = to;
  }

  // The one child slot of a node that holds nothing else (no record in any
  // slot, and a child without cover), or -1: such a node is folded into its
  // child.
  int lone_child() const noexcept {
    if (std::popcount(child_bits) != 1) return -1;
    for (Rep* r : leaf) {
      if (r != nullptr) return -1;
    }
    const int s = std::countr_zero(child_bits);
    return cover_of(child[s]) == nullptr ? s : -1;
  }

  bool empty() const noexcept {
    if (child_bits != 0) return false;
    for (Rep* r : leaf) {
      if (r != nullptr) return false;
    }
    return true;
  }

 private:
  void read_block(const Block* b, u128 above, unsigned at) {
    child_bits = b->child_bits();
    if (b->skips()) {
      to = skip_to(b);
      const SkipTail* t = skip_tail(b);
      path = !b->short_path() ? skip_path(t)
                              : (above & trie::top_mask(at)) |
                                    trie::shift_right(static_cast<u128>(t->path_high) << 64, at);
    }
    if (b->compact()) {
      std::fill(leaf + b->run_begin(), leaf + b->run_end(), leaf_at(b, 0));
      return;
    }
    std::uint32_t k = 0;
    for (std::uint64_t bits = child_bits; bits != 0; bits &= bits - 1) {
      child[std::countr_zero(bits)] = child_array(b)[k++].load(std::memory_order_relaxed);  // writers_ orders it
    }
    // Run by run: a run lasts until the next one starts, and its record
    // fills its slots; runs without a record stay null. Child slots are
    // cleared afterwards, which leaves each run one plain fill.
    const std::uint64_t records = b->record_bits();
    std::uint32_t next_record = 0;
    for (std::uint64_t starts = b->leaf_bits; starts != 0;) {
      const unsigned begin = static_cast<unsigned>(std::countr_zero(starts));
      starts &= starts - 1;
      if (((records >> begin) & 1u) == 0) continue;
      const unsigned end = starts != 0 ? static_cast<unsigned>(std::countr_zero(starts)) : 64;
      std::fill(leaf + begin, leaf + end, leaf_at(b, next_record++));
    }
    for (std::uint64_t bits = child_bits; bits != 0; bits &= bits - 1) leaf[std::countr_zero(bits)] = nullptr;
  }
};

// A whole subtree for the range of the first `from` bits of entries[lo, hi)
// (all longer than `from`, none a marker), with every chain of nodes that
// hold nothing but one child folded into its last node.
const Block* build_subtree(const std::vector<IndexEntry>& entries, std::size_t lo, std::size_t hi, unsigned from,
                           Rep* cover) {
  const unsigned start = from;
  Slots slots;
  ChildRange ranges[64];
  for (;;) {
    distribute(entries, lo, hi, from, kStride, slots.leaf, [&](unsigned s, ChildRange r) {
      slots.child_bits |= std::uint64_t{1} << s;
      ranges[s] = r;
    });
    const bool lone = std::popcount(slots.child_bits) == 1 &&
                      std::all_of(std::begin(slots.leaf), std::end(slots.leaf), [](Rep* r) { return r == nullptr; });
    if (!lone) break;
    const unsigned s = static_cast<unsigned>(std::countr_zero(slots.child_bits));
    lo = ranges[s].lo;
    hi = ranges[s].hi;
    from += kStride;
    slots.child_bits = 0;
  }
  if (from != start) {
    slots.to = from;
    slots.path = entries[lo].key & trie::top_mask(from);
  }
  unsigned made = 0;
  try {
    for (unsigned s = 0; s < 64; ++s) {
      if (!((slots.child_bits >> s) & 1u)) continue;
      slots.child[s] = build_subtree(entries, ranges[s].lo, ranges[s].hi, from + kStride, slots.leaf[s]);
      slots.leaf[s] = nullptr;
      made = s + 1;
    }
    return slots.lay_out(cover, start);
  } catch (...) {
    for (unsigned s = 0; s < made; ++s) {
      if (slots.child[s] != nullptr) free_subtree(slots.child[s]);
    }
    throw;
  }
}

// The subtree for the range (key, from) built from a full gather of the
// trie, or null when the trie holds nothing longer there.
const Block* subtree_or_null(const IndexSource& source, u128 key, unsigned from, unsigned width, Rep* cover) {
  IndexRange range;
  source.gather(key & trie::top_mask(from), from, width, width, range);  // the cover is the caller's
  if (range.deeper.empty()) return nullptr;
  return build_subtree(range.deeper, 0, range.deeper.size(), from, cover);
}

// A copy of `child`, the lone child (slot s) of a node whose stride starts
// at `from` over the range `base`, that takes the node's place (hung at
// `hung_at`): it gets the node's cover and skips to where it starts.
const Block* folded(const Block* child, unsigned s, unsigned from, u128 base, unsigned hung_at, Rep* cover) {
  const u128 child_base = base | trie::shift_left(static_cast<u128>(s), 122 - from);
  Slots slots(child, child_base, from + kStride);
  if (slots.to == 0) {
    slots.to = from + kStride;
    slots.path = child_base;
  }
  return slots.lay_out(cover, hung_at);
}

// A shallow copy of a node hung at `at` under `above` (see Slots) with
// another cover: the children (and any skip) are kept. Where the cover fits
// the node's layout as it stands (in a narrow node, a record with a code; in
// an inline one, a record with a number, or none in a coded one), the block
// is copied and its cover rewritten, a few times cheaper than laying the
// node out again, which a short prefix's change does for every node below
// it. The copy then keeps a layout that a fresh build would choose only if
// the old cover had fitted it too, which differs from that build's (say,
// pointers where codes would do) only when records lack codes or numbers:
// never in what it answers.
const Block* with_cover(const Block* b, Rep* cover, u128 above, unsigned at) {
  if (is_inline(b)) {
    std::uint16_t number;
    if (inline_coded(b)) {
      if (cover == nullptr) return b;
    } else if (detail::RecordIds::number_of(cover, number)) {
      return reinterpret_cast<const Block*>((inline_bits(b) & ~(std::uintptr_t{0xFFFF} << 16)) |
                                            std::uintptr_t{number} << 16);
    }
  } else if (!b->compact() || cover != nullptr) {  // a compact node left without a cover may fit inline
    std::uint32_t code = 0;
    if (!b->narrow() || RecordCode::encode(cover, code)) {
      const std::size_t size = block_size(b->children(), b->leaves(), b->tags());
      auto* copy = static_cast<Block*>(index_arena::allocate(size));
      // The child pointers are copied as they are: only a writer, holding
      // the index's lock, changes them.
      std::memcpy(static_cast<void*>(copy), b, size);
      copy->cover_word = b->narrow() ? (b->cover_word & 0xFFFFFFFFu) | std::uintptr_t{code} << 32
                                     : (b->cover_word & Block::kTags) | reinterpret_cast<std::uintptr_t>(cover);
      return copy;
    }
  }
  const Slots slots(b, above, at);
  return slots.lay_out(cover, at);
}

// What a change replaced, retired once its replacement is published, and
// what it built, freed if it fails before publishing.
struct Replaced {
  std::vector<const Block*> blocks;    // freed alone: their children live on
  std::vector<const Block*> subtrees;  // freed with everything below
  std::vector<const Block*> made;      // fresh subtrees
  std::vector<const Block*> copies;    // cover copies, sharing a live node's children

  void retire_all() {
    for (const Block* b : subtrees) {
      if (!is_inline(b)) epoch::retire(const_cast<Block*>(b), &release_subtree_now);
    }
    for (const Block* b : blocks) {
      if (!is_inline(b)) epoch::retire(const_cast<Block*>(b), &release_block_now);
    }
  }
  void discard_built() noexcept {
    for (const Block* b : made) {
      if (b != nullptr) free_subtree(b);
    }
    for (const Block* b : copies) {
      if (b != nullptr && !is_inline(b)) free_block(b);
    }
  }
  // Builds with `build` and notes the result in `list` (made or copies).
  // The note's room is taken first: a list that cannot grow then fails
  // before anything is built, never after, when what was built would be
  // lost to discard_built. A build that fails, or that finds nothing to
  // build, leaves a null note.
  template <class Build>
  static const Block* noted(std::vector<const Block*>& list, Build&& build) {
    list.push_back(nullptr);
    list.back() = build();
    return list.back();
  }
};

}  // namespace

ReadIndex::ReadIndex(AddressFamily family)
    : width_(address_width_bits(family)),
      // Zeroed and backed lazily by the kernel, page by page, until the
      // table has grown (kHugeTopAfter).
      slots_(static_cast<std::atomic<std::uintptr_t>*>(platform::map_aligned(kTopBytes))),
      covers_(static_cast<std::atomic<std::uint16_t>*>(platform::map_aligned(kCoverBytes))),
      cover_lengths_(static_cast<std::uint8_t*>(platform::map_aligned(kCoverLengthBytes))) {
  if (slots_ == nullptr || covers_ == nullptr || cover_lengths_ == nullptr) {
    if (slots_ != nullptr) platform::unmap(slots_, kTopBytes);
    if (covers_ != nullptr) platform::unmap(covers_, kCoverBytes);
    if (cover_lengths_ != nullptr) platform::unmap(cover_lengths_, kCoverLengthBytes);
    throw std::bad_alloc();
  }
  static_assert(kOccupiedWords * 64 == std::size_t{1} << kTopBits, "a bit per top slot");
  static_assert(kTopBits - kShortBits < 16, "a cover length less kShortBits fits in 4 bits");
  top_bytes.fetch_add(kTopBytes + kCoverBytes + kCoverLengthBytes + sizeof(occupied_), std::memory_order_relaxed);
}

bool record_codes_started() noexcept { return RecordCode::started(); }
bool record_has_code(const detail::MetadataRep* record) noexcept { return RecordCode::has_code(record); }

std::size_t read_index_bytes() noexcept {
  return index_arena::bytes_in_use() + top_bytes.load(std::memory_order_relaxed);
}

ReadIndex::~ReadIndex() {
  // No reader is left; what was retired earlier is the epoch's.
  for (std::size_t s = 0; s < (std::size_t{1} << kTopBits); ++s) {
    const std::uintptr_t word = slots_[s].load(std::memory_order_relaxed);
    if (is_node(word)) free_subtree(node_of(word));
  }
  platform::unmap(slots_, kTopBytes);
  platform::unmap(covers_, kCoverBytes);
  platform::unmap(cover_lengths_, kCoverLengthBytes);
  top_bytes.fetch_sub(kTopBytes + kCoverBytes + kCoverLengthBytes + sizeof(occupied_), std::memory_order_relaxed);
  if (wide_covers_ != nullptr) {
    platform::unmap(wide_covers_, kWideCoverBytes);
    top_bytes.fetch_sub(kWideCoverBytes, std::memory_order_relaxed);
  }
}

inline detail::MetadataRep* ReadIndex::lookup_once(u128 key, bool& settled) const noexcept {
  const std::uint64_t writes_before = writes_.load(std::memory_order_acquire);
  bool walked = false;
  Rep* found = walk(key, walked);
  if (found == nullptr) {
    found = short_[short_slot(key)].load(std::memory_order_acquire);
  } else if (!walked) {
    settled = true;  // one word's answer
    return found;
  }
  // Again only while writes begin or end under the lookup (see writes_).
  std::atomic_thread_fence(std::memory_order_acquire);
  settled = writes_.load(std::memory_order_relaxed) == writes_before;
  return found;
}

detail::MetadataRep* ReadIndex::lookup(u128 key) const noexcept {
  bool settled = false;
  Rep* found = lookup_once(key, settled);
  return __builtin_expect(settled, 1) ? found : lookup_again(key);
}

detail::MetadataRep* ReadIndex::lookup_again(u128 key) const noexcept {
  for (;;) {
    bool settled = false;
    Rep* found = lookup_once(key, settled);
    if (settled) return found;
  }
}

inline detail::MetadataRep* ReadIndex::top_cover(unsigned slot, std::uintptr_t word) const noexcept {
  // The wide table exists once a word names it: it is made before the
  // first such word is stored (release), which this word was loaded after.
  if ((word & kWideCoverTag) != 0) return RecordCode::decode(wide_covers_[slot].load(std::memory_order_acquire));
  return detail::RecordIds::record(covers_[slot].load(std::memory_order_acquire));
}

inline detail::MetadataRep* ReadIndex::walk(u128 key, bool& walked) const noexcept {
  const unsigned top = top_slot(key);
  if (!occupied(top)) return nullptr;
  const std::uintptr_t word = slots_[top].load(std::memory_order_acquire);
  if (!is_node(word)) {
    if (is_inline_top(word)) return inline_answer(inline_of(word), key, kTopBits, nullptr);
    return reinterpret_cast<Rep*>(word & ~kRecordTag);
  }
  if (!quarter_used(word, slot_at(key, kTopBits))) {
    Rep* const cover = top_cover(top, word);
    // This node's cover unless the slot changed meanwhile (see store_top);
    // then the node itself answers, as it would have.
    if (slots_[top].load(std::memory_order_acquire) == word) return cover;
  }
  const Block* b = node_of(word);
  Rep* best = nullptr;
  walked = true;
  for (unsigned shift = kTopBits;; shift += kStride) {
    prefetch_node(b);
    if (Rep* cover = b->cover()) best = cover;
    shift = enter(b, key, shift);
    if (shift == 0) return best;  // off a skipped path
    const std::uint64_t bit = std::uint64_t{1} << slot_at(key, shift);
    if ((b->child_bits() & bit) != 0) {
      const Block* child = child_array(b)[std::popcount(b->child_bits() & (bit - 1))].load(std::memory_order_acquire);
      if (is_inline(child)) return inline_answer(child, key, shift + kStride, best);
      b = child;
      continue;
    }
    const std::uint32_t i = leaf_index(b, slot_at(key, shift));
    Rep* leaf = i != kNoLeaf ? leaf_at(b, i) : nullptr;
    return leaf != nullptr ? leaf : best;
  }
}

void ReadIndex::lookup_batch(const ReadIndex* const* index, const u128* keys, std::size_t count,
                             detail::MetadataRep** out) noexcept {
  // Enough walks in flight that each node asked for has arrived by the
  // time its walk comes round again: with 8, the walks still waited on
  // most nodes.
  constexpr std::size_t kLanes = 32;
  for (std::size_t base = 0; base < count; base += kLanes) {
    const std::size_t lanes = std::min(kLanes, count - base);
    const Block* node[kLanes];
    std::uint32_t leaf[kLanes];
    Rep* best[kLanes];
    unsigned shift[kLanes];
    bool at_leaf[kLanes];
    // The walks not yet done, in lane order: each pass advances every one
    // of them by a step and drops those that finish.
    std::uint8_t walking[kLanes];
    std::size_t walks = 0;
    // As in lookup: the count of writes before the walk, and whether the
    // walk read a node.
    std::uint64_t writes_before[kLanes];
    bool walked[kLanes];
    for (std::size_t l = 0; l < lanes; ++l) {
      writes_before[l] = index[base + l]->writes_.load(std::memory_order_acquire);
      walked[l] = false;
    }
    for (std::size_t l = 0; l < lanes; ++l) {
      const unsigned top = top_slot(keys[base + l]);
      if (index[base + l]->occupied(top)) __builtin_prefetch(&index[base + l]->slots_[top]);
    }
    for (std::size_t l = 0; l < lanes; ++l) {
      if (!index[base + l]->occupied(top_slot(keys[base + l]))) {
        out[base + l] = nullptr;
        continue;
      }
      const std::uintptr_t word = index[base + l]->slots_[top_slot(keys[base + l])].load(std::memory_order_acquire);
      if (!is_node(word)) {
        out[base + l] = is_inline_top(word) ? inline_answer(inline_of(word), keys[base + l], kTopBits, nullptr)
                                            : reinterpret_cast<Rep*>(word & ~kRecordTag);
        continue;
      }
      if (!quarter_used(word, slot_at(keys[base + l], kTopBits))) {
        const unsigned top = top_slot(keys[base + l]);
        Rep* const cover = index[base + l]->top_cover(top, word);
        if (index[base + l]->slots_[top].load(std::memory_order_acquire) == word) {  // as in walk
          out[base + l] = cover;
          continue;
        }
      }
      node[l] = node_of(word);
      prefetch_node(node[l]);
      shift[l] = kTopBits;
      at_leaf[l] = false;
      best[l] = nullptr;
      walked[l] = true;
      walking[walks++] = static_cast<std::uint8_t>(l);
    }
    while (walks > 0) {
      std::size_t kept = 0;
      for (std::size_t w = 0; w < walks; ++w) {
        const std::size_t l = walking[w];
        if (at_leaf[l]) {
          Rep* found = leaf_at(node[l], leaf[l]);
          out[base + l] = found != nullptr ? found : best[l];
          continue;
        }
        const Block* b = node[l];
        if (Rep* cover = b->cover()) best[l] = cover;
        shift[l] = enter(b, keys[base + l], shift[l]);
        if (shift[l] == 0) {  // off a skipped path
          out[base + l] = best[l];
          continue;
        }
        const std::uint64_t bit = std::uint64_t{1} << slot_at(keys[base + l], shift[l]);
        if ((b->child_bits() & bit) != 0) {
          const Block* child =
              child_array(b)[std::popcount(b->child_bits() & (bit - 1))].load(std::memory_order_acquire);
          shift[l] += kStride;
          if (is_inline(child)) {
            out[base + l] = inline_answer(child, keys[base + l], shift[l], best[l]);
            continue;
          }
          node[l] = child;
          prefetch_node(node[l]);
        } else {
          const std::uint32_t i = leaf_index(b, slot_at(keys[base + l], shift[l]));
          if (i == kNoLeaf) {
            out[base + l] = best[l];
            continue;
          }
          // A record within the two lines prefetch_node asked for is read
          // now: they were asked for a whole pass ago. One further on is
          // asked for, and read on the next pass.
          const char* record = leaf_address(b, i);
          if (record < prefetched_end(b)) {
            Rep* found = leaf_at(b, i);
            out[base + l] = found != nullptr ? found : best[l];
            continue;
          }
          __builtin_prefetch(record);
          leaf[l] = i;
          at_leaf[l] = true;
        }
        walking[kept++] = static_cast<std::uint8_t>(l);
      }
      walks = kept;
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    for (std::size_t l = 0; l < lanes; ++l) {
      const ReadIndex& at = *index[base + l];
      bool one_word = !walked[l];
      if (out[base + l] == nullptr) {
        out[base + l] = at.short_[short_slot(keys[base + l])].load(std::memory_order_acquire);
        one_word = false;
      }
      if (!one_word && at.writes_.load(std::memory_order_relaxed) != writes_before[l]) {
        out[base + l] = at.lookup(keys[base + l]);
      }
    }
  }
}

void ReadIndex::rebuild_short(u128 key, unsigned length, const IndexSource& source) {
  const u128 base = key & trie::top_mask(length);
  IndexRange range;
  source.gather(base, length, kShortBits, 0, range);
  Rep* leaf[1u << kShortBits];
  const unsigned span = kShortBits - length;
  std::fill_n(leaf, std::size_t{1} << span, range.cover);
  distribute(range.deeper, 0, range.deeper.size(), length, span, leaf, [](unsigned, ChildRange) {});
  const unsigned first = bits_at(base, 0, kShortBits);
  for (unsigned i = 0; i < (1u << span); ++i) short_[first + i].store(leaf[i], std::memory_order_release);
}

void ReadIndex::rebuild_top(u128 key, unsigned length, const IndexSource& source, bool afresh) {
  // Every top slot inside the prefix may change: one gather for them all,
  // down to the top's stride, with markers where a slot holds longer
  // prefixes.
  const unsigned stride = kTopBits - length;
  const u128 base = key & trie::top_mask(length);
  IndexRange range;
  source.gather(base, length, kTopBits, 0, range);
  const bool covered = range.cover_length > kShortBits;
  TopRun run(std::size_t{1} << stride, covered ? range.cover : nullptr, covered ? range.cover_length : 0);
  distribute(range.deeper, 0, range.deeper.size(), length, stride, run.leaf.data(),
             [&](unsigned s, ChildRange) { run.state[s] = TopRun::kNode; });
  // The entries come shorter first where they nest, as their records do.
  for (const IndexEntry& e : range.deeper) {
    if (e.length > kTopBits) continue;  // a marker
    std::fill_n(run.lengths.begin() + bits_at(e.key, length, stride), std::size_t{1} << (kTopBits - e.length),
                static_cast<std::uint8_t>(e.length));
  }
  write_top_run(static_cast<std::size_t>(bits_at(base, 0, kTopBits)), run, source, afresh);
}

void ReadIndex::update_top_cover(u128 key, unsigned length, const IndexSource& source) {
  // A prefix of 9 to 18 bits changes no node below the top: only the
  // record that answers for, or covers the node of, each top slot it spans
  // whose answer came from a prefix no longer than it (itself, or one
  // covering it). After the change, those slots all answer with the cover
  // of the prefix's range: itself if stored, else the prefix around it.
  // Slots answered by a longer prefix inside it keep their answer. So the
  // cover is all the trie is asked for, where gathering the prefixes inside
  // the range would walk every trie node down to the top's stride (in a
  // dense table, thousands for a /9).
  // Concurrent writers: each change's update follows its change to the
  // trie, so the last update to reach a slot read the trie after the last
  // change that decides the slot's answer.
  const u128 base = key & trie::top_mask(length);
  IndexRange range;
  source.gather(base, length, length, 0, range);
  const bool covered = range.cover_length > kShortBits;
  Rep* const cover = covered ? range.cover : nullptr;
  const std::size_t first = static_cast<std::size_t>(bits_at(base, 0, kTopBits));
  TopRun run(std::size_t{1} << (kTopBits - length), cover, covered ? range.cover_length : 0);
  for (std::size_t s = 0; s < run.state.size(); ++s) {
    const std::uintptr_t word = slots_[first + s].load(std::memory_order_relaxed);  // writers_ orders it
    if (cover_length(first + s) > length) {
      run.state[s] = TopRun::kKeep;
    } else if (is_node(word) || is_inline_top(word)) {
      run.state[s] = TopRun::kNode;
    }
  }
  write_top_run(first, run, source, false);
}

void ReadIndex::write_top_run(std::size_t first, TopRun& run, const IndexSource& source, bool afresh) {
  // Every new slot word first, so that nothing after can fail.
  const std::size_t slots = run.state.size();
  std::vector<std::uintptr_t> fresh(slots, 0);
  std::vector<TopEntry> fresh_covers(slots, TopEntry{0});
  Replaced replaced;
  try {
    for (std::size_t s = 0; s < slots; ++s) {
      const std::uintptr_t old = slots_[first + s].load(std::memory_order_relaxed);  // writers_ orders it
      if (run.state[s] == TopRun::kKeep) {
        fresh[s] = old;
      } else if (run.state[s] == TopRun::kLeaf) {
        fresh[s] = record_word(run.leaf[s]);
        if (is_node(old)) replaced.subtrees.push_back(node_of(old));
      } else if (!afresh && (is_node(old) || is_inline_top(old))) {
        fresh[s] = old;
        const Block* node = is_node(old) ? node_of(old) : inline_of(old);
        if (cover_of(node) != run.leaf[s]) {  // the node stays; its cover changes
          const Block* copy = Replaced::noted(replaced.copies, [&] {
            return with_cover(node, run.leaf[s], static_cast<u128>(first + s) << (128 - kTopBits), kTopBits);
          });
          fresh_covers[s] = top_entry(copy);
          fresh[s] = fresh_covers[s].word;
          replaced.blocks.push_back(node);
        }
      } else {
        const Block* node = Replaced::noted(replaced.made, [&] {
          return subtree_or_null(source, static_cast<u128>(first + s) << (128 - kTopBits), kTopBits, width_,
                                 run.leaf[s]);
        });
        if (is_node(old)) replaced.subtrees.push_back(node_of(old));
        if (node == nullptr) {
          // Nothing below the slot by now (a concurrent remove reached the
          // trie between the gathers): the slot answers with its cover, as
          // a fresh build would make it, rather than through an empty node
          // that no later change would take away.
          fresh[s] = record_word(run.leaf[s]);
          continue;
        }
        fresh_covers[s] = top_entry(node);
        fresh[s] = fresh_covers[s].word;
      }
    }
  } catch (...) {
    replaced.discard_built();
    throw;
  }
  for (std::size_t s = 0; s < slots; ++s) {
    if (run.state[s] == TopRun::kKeep) continue;
    set_cover_length(first + s, run.lengths[s]);
    if (fresh[s] == slots_[first + s].load(std::memory_order_relaxed)) continue;
    if (is_node(fresh[s])) {
      store_top(first + s, fresh_covers[s]);
    } else {
      set_top(first + s, fresh[s]);
    }
  }
  replaced.retire_all();
}

unsigned ReadIndex::cover_length(std::size_t slot) const noexcept {
  const unsigned stored = (cover_lengths_[slot >> 1] >> ((slot & 1) * 4)) & 15u;
  return stored == 0 ? 0 : stored + kShortBits;
}

void ReadIndex::set_cover_length(std::size_t slot, unsigned length) noexcept {
  const unsigned stored = length == 0 ? 0 : length - kShortBits;  // 1 to 10
  const unsigned shift = (slot & 1) * 4;
  std::uint8_t& pair = cover_lengths_[slot >> 1];
  const auto updated = static_cast<std::uint8_t>((pair & ~(15u << shift)) | (stored << shift));
  // Unchanged pairs are not written: a page of the table only read (most
  // stay 0) is the kernel's shared zero page, and costs a small table no
  // memory.
  if (updated != pair) pair = updated;
}

std::unique_lock<std::mutex> ReadIndex::lock_writers() {
  // Writers of one family queue here for the length of an update, a
  // microsecond or two. A waiter that slept in the kernel would cost itself,
  // and the holder that must wake it, more than that: two threads loading
  // one table ran at 0.6 times the rate of one. So a waiter spins first,
  // about as long as a few updates take, and only then blocks.
  constexpr unsigned kSpins = 512;
  for (unsigned spin = 0; spin < kSpins; ++spin) {
    if (writers_.try_lock()) return std::unique_lock(writers_, std::adopt_lock);
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  return std::unique_lock(writers_);
}

void ReadIndex::update(u128 key, unsigned length, const IndexSource& source) {
  const std::unique_lock lock = lock_writers();
  const Writing writing(writes_);
  if (changes_ < kHugeTopAfter && ++changes_ == kHugeTopAfter) platform::advise_huge(slots_, kTopBytes);
  if (length <= kShortBits) return rebuild_short(key, length, source);
  if (length <= kTopBits) return update_top_cover(key, length, source);

  const unsigned slot = top_slot(key);
  const std::uintptr_t word = slots_[slot].load(std::memory_order_relaxed);  // writers_ orders it
  if (!is_node(word) && !is_inline_top(word)) return rebuild_top(key, kTopBits, source);

  // Where a node reached at stride start `at` is entered for this change:
  // its own stride start, or 0 when the prefix ends inside what the node
  // skips, or off its path. Such a change needs the node's whole range
  // built afresh: a node must reappear where the prefix ends.
  auto entered = [&](const Block* b, unsigned at) -> unsigned {
    const unsigned to = is_inline(b) ? inline_enter(b, key, at) : enter(b, key, at);
    return to != 0 && (to == at || length > to) ? to : 0;
  };

  const Block* top = is_node(word) ? node_of(word) : inline_of(word);
  unsigned from = entered(top, kTopBits);
  if (from == 0) return rebuild_top_node(key, top, source);

  // Down to the node whose stride holds the prefix's end, or whose slot for
  // it is a leaf that may have to become a child. `where[d]` is the pointer
  // that publishes node d: the top slot for d = 0, else a parent's child
  // pointer; `froms[d]` is where node d's stride starts, `hung[d]` where
  // it hangs (before any skip).
  const Block* nodes[kMaxDepth];
  std::atomic<const Block*>* where[kMaxDepth];
  unsigned froms[kMaxDepth];
  unsigned hung[kMaxDepth];
  std::size_t depth = 0;
  nodes[depth] = top;
  where[depth] = nullptr;
  hung[depth] = kTopBits;
  froms[depth++] = from;
  bool rebuild_child = false;
  for (;;) {
    const Block* n = nodes[depth - 1];
    if (length <= from + kStride) break;
    const std::uint64_t bit = std::uint64_t{1} << slot_at(key, from);
    if ((child_bits_of(n) & bit) == 0) break;
    std::atomic<const Block*>* at = &child_array(n)[std::popcount(n->child_bits() & (bit - 1))];
    const Block* child = at->load(std::memory_order_relaxed);
    const unsigned child_from = entered(child, from + kStride);
    if (child_from == 0) {
      rebuild_child = true;
      break;
    }
    nodes[depth] = child;
    where[depth] = at;
    hung[depth] = from + kStride;
    froms[depth++] = child_from;
    from = child_from;
  }

  const Block* old = nodes[depth - 1];
  Slots slots(old, key, hung[depth - 1]);
  Replaced replaced;
  replaced.blocks.push_back(old);
  const Block* fresh;
  try {
    if (rebuild_child) {
      // The change falls inside what the child skips: its range afresh. The
      // child's cover comes from this node's stride, which did not change.
      const unsigned s = slot_at(key, from);
      const Block* child = slots.child[s];
      replaced.subtrees.push_back(child);
      const Block* rebuilt = Replaced::noted(replaced.made, [&] {
        return subtree_or_null(source, key & trie::top_mask(from + kStride), from + kStride, width_, cover_of(child));
      });
      if (rebuilt != nullptr) {
        slots.child[s] = rebuilt;
      } else {
        slots.child[s] = nullptr;
        slots.child_bits &= ~(std::uint64_t{1} << s);
        slots.leaf[s] = cover_of(child);
      }
    } else if (length > from + kStride) {
      // The prefix ends below a leaf slot: that slot needs a child if the
      // trie has anything there now. Its leaf value becomes the child's cover.
      const unsigned s = slot_at(key, from);
      const Block* child = Replaced::noted(replaced.made, [&] {
        return subtree_or_null(source, key & trie::top_mask(from + kStride), from + kStride, width_, slots.leaf[s]);
      });
      if (child == nullptr) return;  // nothing to index (a removal raced ahead)
      slots.child[s] = child;
      slots.child_bits |= std::uint64_t{1} << s;
      slots.leaf[s] = nullptr;
    } else {
      // The prefix ends in this node's stride: recompute the slots it covers
      // from the trie, down to the end of the stride.
      const u128 at = key & trie::top_mask(length);
      const unsigned span = from + kStride - length;
      const unsigned first = bits_at(at, from, kStride);
      IndexRange range;
      source.gather(at, length, from + kStride, from, range);  // shorter covers are the node's own
      Rep* leaf[64];
      std::fill_n(leaf, std::size_t{1} << span, range.cover_length > from ? range.cover : nullptr);
      std::uint64_t needs_child = 0;
      distribute(range.deeper, 0, range.deeper.size(), length, span, leaf,
                 [&](unsigned s, ChildRange) { needs_child |= std::uint64_t{1} << (first + s); });
      for (unsigned i = 0; i < (1u << span); ++i) {
        const unsigned s = first + i;
        const std::uint64_t bit = std::uint64_t{1} << s;
        const bool had = (slots.child_bits & bit) != 0;
        if ((needs_child & bit) == 0) {
          if (had) replaced.subtrees.push_back(slots.child[s]);
          slots.child[s] = nullptr;
          slots.child_bits &= ~bit;
          slots.leaf[s] = leaf[i];
          continue;
        }
        const u128 above = (key & trie::top_mask(from)) | trie::shift_left(static_cast<u128>(s), 122 - from);
        if (!had) {
          const Block* made = Replaced::noted(replaced.made, [&] {
            return subtree_or_null(source, above, from + kStride, width_, leaf[i]);
          });
          if (made == nullptr) {  // emptied meanwhile, as above: a leaf
            slots.leaf[s] = leaf[i];
            continue;
          }
          slots.child[s] = made;
        } else if (cover_of(slots.child[s]) != leaf[i]) {
          const Block* copy = Replaced::noted(replaced.copies, [&] {
            return with_cover(slots.child[s], leaf[i], above, from + kStride);
          });
          replaced.blocks.push_back(slots.child[s]);
          slots.child[s] = copy;
        }
        slots.child_bits |= bit;
        slots.leaf[s] = nullptr;
      }
    }

    // A node left with nothing (no child, no record) turns into a leaf of
    // its parent holding its cover, which may leave the parent with nothing
    // in turn; at the top, the slot takes the cover.
    Rep* cover = cover_of(old);
    while (slots.empty()) {
      if (depth == 1) {
        set_top(slot, record_word(cover));
        replaced.retire_all();
        return;
      }
      --depth;
      const Block* parent = nodes[depth - 1];
      slots = Slots(parent, key, hung[depth - 1]);
      const unsigned s = slot_at(key, froms[depth - 1]);
      slots.leaf[s] = cover;
      slots.child[s] = nullptr;
      slots.child_bits &= ~(std::uint64_t{1} << s);
      replaced.blocks.push_back(parent);
      cover = parent->cover();
    }
    // A node left with nothing but one child without cover is folded into
    // it. The new node is the last thing built, so nothing after it can
    // fail and lose it.
    const int lone = slots.lone_child();
    if (lone < 0) {
      fresh = slots.lay_out(cover, hung[depth - 1]);
    } else {
      const unsigned at = froms[depth - 1];
      replaced.blocks.push_back(slots.child[lone]);  // its children live on in the copy
      fresh = folded(slots.child[lone], static_cast<unsigned>(lone), at, key & trie::top_mask(at), hung[depth - 1],
                     cover);
    }
  } catch (...) {
    replaced.discard_built();
    throw;
  }
  if (depth == 1) {
    publish_top(slot, fresh);
  } else {
    where[depth - 1]->store(fresh, std::memory_order_release);
  }
  replaced.retire_all();
}

void ReadIndex::rebuild_top_node(u128 key, const Block* top, const IndexSource& source) {
  // The top slot's range afresh; its cover comes from the top's stride,
  // which a change this long did not touch.
  const unsigned slot = top_slot(key);
  const Block* fresh = subtree_or_null(source, key, kTopBits, width_, cover_of(top));
  if (fresh != nullptr) {
    publish_top(slot, fresh);
  } else {
    set_top(slot, record_word(cover_of(top)));
  }
  if (!is_inline(top)) epoch::retire(const_cast<Block*>(top), &release_subtree_now);
}

void ReadIndex::publish_top(std::size_t slot, const Block* node) noexcept {
  const TopEntry entry = top_entry(node);
  if (is_inline_top(entry.word)) return set_top(slot, entry.word);  // one word: nothing to order
  store_top(slot, entry);
}

void ReadIndex::store_top(std::size_t slot, TopEntry entry) noexcept {
  // A reader answering from the cover loads the slot's word, then the
  // number or code its word names (acquire: the record, and the codes'
  // base, come with it), then the word again, and trusts what it read only
  // if the word is unchanged. So a new number or code is published between
  // two words that both differ from the old one: first the new node
  // claiming every quarter (a reader that sees it walks the node), then
  // the number or code, then the node with its quarters. A reader that
  // loads the new one has then seen the first word stored, and its second
  // load cannot return the old word. (The new node is a new block, so its
  // words differ from any word of the old one.) Each table is written only
  // when its entry changes, and a word names one table, so a reader never
  // trusts the other table's stale entry.
  const bool wide = (entry.word & kWideCoverTag) != 0;
  if (wide && !make_wide_covers()) {
    // No memory for the wide table: the node answers every quarter itself.
    return set_top(slot, (entry.word & ~kWideCoverTag) | kAllQuarters);
  }
  // Read relaxed: writers_ orders them.
  const bool changed = wide ? wide_covers_[slot].load(std::memory_order_relaxed) != entry.code
                            : covers_[slot].load(std::memory_order_relaxed) != entry.number;
  if (changed) {
    set_top(slot, (entry.word & kAddressBits) | kAllQuarters);
    if (wide) {
      wide_covers_[slot].store(entry.code, std::memory_order_release);
    } else {
      covers_[slot].store(entry.number, std::memory_order_release);
    }
  }
  set_top(slot, entry.word);
}

bool ReadIndex::make_wide_covers() noexcept {
  if (wide_covers_ != nullptr) return true;
  void* table = platform::map_aligned(kWideCoverBytes);
  if (table == nullptr) return false;
  wide_covers_ = static_cast<std::atomic<std::uint32_t>*>(table);
  top_bytes.fetch_add(kWideCoverBytes, std::memory_order_relaxed);
  return true;
}

void ReadIndex::set_top(std::size_t slot, std::uintptr_t word) noexcept {
  // A slot's bit is set before its word becomes non-zero and cleared after
  // it becomes zero (release both ways; readers load the bit, then the
  // word, with acquire): a reader that finds the bit clear finds the slot
  // empty as a reader of the word would, and one that read a word stored
  // after the bit was set sees the bit set in every later lookup.
  const std::uint64_t bit = std::uint64_t{1} << (slot & 63);
  std::atomic<std::uint64_t>& bits = occupied_[slot >> 6];
  if (word != 0) {
    if ((bits.load(std::memory_order_relaxed) & bit) == 0) bits.fetch_or(bit, std::memory_order_release);
    slots_[slot].store(word, std::memory_order_release);
  } else {
    slots_[slot].store(0, std::memory_order_release);
    if ((bits.load(std::memory_order_relaxed) & bit) != 0) bits.fetch_and(~bit, std::memory_order_release);
  }
}

void ReadIndex::prefetch_for_update(u128 key) const noexcept {
  const std::uintptr_t word = slots_[top_slot(key)].load(std::memory_order_relaxed);
  if (is_node(word)) prefetch_node(node_of(word));
}

void ReadIndex::reset() {
  std::lock_guard lock(writers_);
  const Writing writing(writes_);
  for (auto& entry : short_) entry.store(nullptr, std::memory_order_release);
  for (std::size_t w = 0; w < kOccupiedWords; ++w) {
    for (std::uint64_t bits = occupied_[w].load(std::memory_order_relaxed); bits != 0; bits &= bits - 1) {
      const std::size_t s = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
      const std::uintptr_t old = slots_[s].load(std::memory_order_relaxed);
      set_top(s, 0);
      set_cover_length(s, 0);  // a slot with a cover length has a record, so is occupied
      if (is_node(old)) epoch::retire(const_cast<Block*>(node_of(old)), &release_subtree_now);
    }
  }
}

void ReadIndex::rebuild(const IndexSource& source) {
  std::lock_guard lock(writers_);
  const Writing writing(writes_);
  rebuild_short(0, 0, source);
  // The top in runs of top slots, one gather each: a run as long as the
  // whole top would gather every prefix of up to 18 bits at once.
  constexpr unsigned kRun = kShortBits + 1;
  for (unsigned i = 0; i < (1u << kRun); ++i) {
    rebuild_top(static_cast<u128>(i) << (128 - kRun), kRun, source, true);
  }
}

std::size_t ReadIndex::node_count() const {
  std::size_t n = 0;
  for (std::size_t s = 0; s < (std::size_t{1} << kTopBits); ++s) {
    const std::uintptr_t word = slots_[s].load(std::memory_order_acquire);
    if (is_node(word)) n += count_subtree(node_of(word));
    if (is_inline_top(word)) ++n;
  }
  return n;
}

}  // namespace korvane
