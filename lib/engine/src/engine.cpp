#include "engine.hpp"

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <string>

#include "engine_art.hpp"
#include "epoch.hpp"
#include "node/kinds.hpp"
#include "reference_stock.hpp"
#include "trie/keys.hpp"
#include "trie/one_bit.hpp"
#include "trie/path_compressed.hpp"

namespace korvane {


namespace {

using trie::address_key;
using trie::OwnedEntry;
using trie::prefix_key;
using trie::u128;

unsigned family_index(AddressFamily family) noexcept { return static_cast<unsigned>(family); }

bool known_family(AddressFamily family) noexcept {
  return family == AddressFamily::V4 || family == AddressFamily::V6;
}

// A prefix the trie can hold: of a family, no longer than its width. Other
// inserts are refused ("Invalid prefix length") and change nothing; such a
// prefix is never stored, so remove and contains find nothing.
bool valid_length(const IpPrefix& prefix) noexcept {
  return known_family(prefix.family) && prefix.length <= address_width_bits(prefix.family);
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

// Calls f with the algorithm family for the engine's node kind.
template <class F>
decltype(auto) with_algorithms(NodeKind kind, F&& f) {
  using namespace node;
  switch (kind) {
    case NodeKind::UncompressedLocked: return f(trie::OneBit<UncompressedLocked>{});
    case NodeKind::UncompressedCompact: return f(trie::OneBit<UncompressedCompact>{});
    case NodeKind::UncompressedPadded: return f(trie::OneBit<UncompressedPadded>{});
    case NodeKind::UncompressedHashed: return f(trie::OneBit<UncompressedHashed>{});
    case NodeKind::CompressedLocked: return f(trie::PathCompressed<CompressedLocked>{});
    case NodeKind::CompressedCompact: return f(trie::PathCompressed<CompressedCompact>{});
    case NodeKind::CompressedPadded: return f(trie::PathCompressed<CompressedPadded>{});
    case NodeKind::CompressedHashed: break;
  }
  return f(trie::PathCompressed<CompressedHashed>{});
}

}  // namespace

// ---------------------------------------------------------------------------

TrieStore::TrieStore(NodeKind k)
    : kind(k),
      roots{new_node(k), new_node(k)},
      indexes{ReadIndex(AddressFamily::V4), ReadIndex(AddressFamily::V6)},
      // Deep slots for IPv4 keys of /26 and longer (a carrier's
      // subscribers, hosts), and IPv6 keys of /48 and longer (sites, their
      // /64s and hosts).
      shortcuts{trie::Shortcuts(96, 26), trie::Shortcuts(0, 48)},
      records(detail::RecordPool::create()) {}

TrieStore::~TrieStore() { records->release_ref(); }

namespace {

// An address's key in the read index: its bits left-aligned.
u128 index_key(const IpAddress& address) noexcept {
  const u128 key = address_key(address);
  return address.family == AddressFamily::V4 ? key << 96 : key;
}

// The trie of one family as the read index reads it.
class TrieSource final : public IndexSource {
 public:
  // `shortcuts`, when given, may start a gather below the root.
  TrieSource(NodeKind kind, TrieNode* root, AddressFamily family, const trie::Shortcuts* shortcuts = nullptr)
      : kind_(kind), root_(root), family_(family), shortcuts_(shortcuts) {}
  void gather(u128 key, unsigned length, unsigned limit, unsigned cover_floor, IndexRange& out) const override {
    with_algorithms(kind_, [&](auto algorithms) {
      using A = decltype(algorithms);
      if constexpr (A::kCompressed) {
        const unsigned offset = family_ == AddressFamily::V4 ? 96 : 0;
        const trie::PrefixKey range{trie::shift_right(key, offset), length + offset};
        // A shortcut node lies at most cover_floor bits in, so the covers
        // it makes the walk miss are no longer than that.
        unsigned start_depth = 0;
        const TrieNode* start = shortcuts_ != nullptr && cover_floor >= trie::Shortcuts::kBits
                                    ? shortcuts_->linked_start(range, cover_floor, start_depth)
                                    : nullptr;
        A::gather(root_, range, limit + offset, offset, out, start, start_depth);
      } else {
        A::gather(root_, key, length, limit, out);
      }
    });
  }

 private:
  NodeKind kind_;
  TrieNode* root_;
  AddressFamily family_;
  const trie::Shortcuts* shortcuts_;
};

}  // namespace

TrieEngine::TrieEngine(NodeKind kind) : TrieEngine(std::make_shared<TrieStore>(kind)) {}

TrieEngine::TrieEngine(std::shared_ptr<TrieStore> store)
    : store_(std::move(store)), stripes_(std::make_unique<LookupStripe[]>(kStripes)) {}

TrieEngine::~TrieEngine() = default;

InsertStatus TrieEngine::insert(const IpPrefix& prefix, Metadata metadata) const {
  if (!valid_length(prefix)) return std::string("Invalid prefix length");
  // Owned until a node takes them; released here if the insert throws.
  OwnedEntry entry(metadata, prefix);
  entry.share_record(*store_->records);
  {
    std::shared_lock writer(store_->writers);
    epoch::Guard pin;
    store_->indexes[family_index(prefix.family)].prefetch_for_update(index_key(prefix.address()));
    TrieNode* root = store_->roots[family_index(prefix.family)].get();
    detail::MetadataRep* replaced = nullptr;
    with_algorithms(kind(), [&](auto algorithms) {
      using A = decltype(algorithms);
      if constexpr (A::kCompressed) {
        trie::Shortcuts& shortcuts = store_->shortcuts[family_index(prefix.family)];
        if (entry_count_.load(std::memory_order_relaxed) > kShortcutsFrom) shortcuts.enable();
        A::insert(root, prefix_key(prefix), entry, replaced, entry_count_, &shortcuts);
      } else {
        A::insert(root, prefix, entry, replaced, entry_count_);
      }
    });
    update_index(prefix);
    // Only now that no index points at it may the old record go.
    node::release_rep_deferred(replaced);
  }
  inserts_.fetch_add(1, std::memory_order_relaxed);
  rebuild_stale_index(prefix.family);
  return std::nullopt;
}

void TrieEngine::update_index(const IpPrefix& prefix) const noexcept {
  const unsigned f = family_index(prefix.family);
  if (store_->index_stale[f].load(std::memory_order_acquire)) {
    store_->changes_while_stale[f].fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const TrieSource source(kind(), store_->roots[f].get(), prefix.family, &store_->shortcuts[f]);
  try {
    store_->indexes[f].update(index_key(prefix.address()) & trie::top_mask(prefix.length), prefix.length, source);
  } catch (...) {
    // Out of memory: the trie holds the change, the index could not take
    // it. Lookups walk the trie from now on; records the index still points
    // at are retired only after this store, so none is freed under a reader.
    store_->index_stale[f].store(true, std::memory_order_release);
  }
}

void TrieEngine::rebuild_stale_index(AddressFamily family) const noexcept {
  const unsigned f = family_index(family);
  if (__builtin_expect(!store_->index_stale[f].load(std::memory_order_relaxed), 1)) return;
  auto due = [&] {
    return store_->changes_while_stale[f].load(std::memory_order_relaxed) >=
           std::max(kRebuildAfter, entry_count_.load(std::memory_order_relaxed));
  };
  if (!due()) return;
  std::unique_lock writer(store_->writers);
  // Another writer, or a clear, may have got here first.
  if (!store_->index_stale[f].load(std::memory_order_relaxed) || !due()) return;
  store_->changes_while_stale[f].store(0, std::memory_order_relaxed);
  epoch::Guard pin;
  const TrieSource source(kind(), store_->roots[f].get(), family, &store_->shortcuts[f]);
  try {
    store_->indexes[f].rebuild(source);
  } catch (...) {
    return;  // still stale; lookups go on walking the trie
  }
  // Every store of the rebuild happens before a lookup that sees the flag
  // clear.
  store_->index_stale[f].store(false, std::memory_order_release);
}

detail::MetadataRep* TrieEngine::trie_lookup(const IpAddress& address) const noexcept {
  TrieNode* root = store_->roots[family_index(address.family)].get();
  return with_algorithms(kind(), [&](auto algorithms) {
    using A = decltype(algorithms);
    if constexpr (A::kCompressed) {
      return A::lookup(root, address, address_key(address));
    } else {
      return A::lookup(root, address);
    }
  });
}

inline bool TrieEngine::answered_none_unpinned(const IpAddress& address, epoch::Participant* self) const noexcept {
  // An address in an empty stretch of the table (most addresses, against an
  // allow or a deny list) is answered without the pin's locked exchange:
  // the check follows no pointer. It reads what the index's walk reads
  // first, so an address that is not answered here pays little extra.
  const unsigned f = family_index(address.family);
  if (__builtin_expect(!known_family(address.family), 0)) {  // a caller's cast: nothing covers it
    count_lookup(self->index, false);
    return true;
  }
  if (store_->index_stale[f].load(std::memory_order_acquire) ||
      !store_->indexes[f].surely_none(index_key(address)) || !epoch::skip_pin(self)) {
    return false;
  }
  count_lookup(self->index, false);
  return true;
}

inline detail::MetadataRep* TrieEngine::find_one(const IpAddress& address) const noexcept {
  // The stale flag is read here, under the caller's pin, even when the
  // caller read it before pinning: records of an index gone stale are
  // retired after it is set, so a walk that saw it clear before pinning
  // could meet one freed under it.
  const unsigned f = family_index(address.family);
  return __builtin_expect(store_->index_stale[f].load(std::memory_order_acquire), 0)
             ? trie_lookup(address)
             : store_->indexes[f].lookup(index_key(address));
}

std::optional<Metadata> TrieEngine::lookup(const IpAddress& address) const {
  epoch::Participant* self = epoch::local_participant();
  if (answered_none_unpinned(address, self)) return std::nullopt;
  epoch::pin(self);
  std::optional<Metadata> result = detail::stock::hand_out(find_one(address), self->index);
  epoch::unpin(self);
  count_lookup(self->index, result.has_value());
  return result;
}

void TrieEngine::find_batch(const IpAddress* addresses, std::size_t n, detail::MetadataRep** found) const noexcept {
  u128 keys[kBatch];
  const ReadIndex* indexes[kBatch];
  // Read once for the batch, under the caller's pin (see find_one).
  const bool stale = store_->index_stale[0].load(std::memory_order_acquire) ||
                     store_->index_stale[1].load(std::memory_order_acquire);
  // A caller's addresses may be cold (a buffer just filled, a large array
  // walked in runs): asking for all their lines first lets the misses
  // overlap where the loop below would meet them one line at a time.
  const auto* first = reinterpret_cast<const char*>(addresses);
  const auto* last = reinterpret_cast<const char*>(addresses + n) - 1;
  for (const char* line = first; line < last; line += 64) __builtin_prefetch(line);
  __builtin_prefetch(last);
  for (std::size_t i = 0; i < n; ++i) {
    if (__builtin_expect(!known_family(addresses[i].family), 0)) {
      // An address of no family (a caller's cast) matches nothing.
      for (std::size_t j = 0; j < n; ++j) found[j] = known_family(addresses[j].family) ? find_one(addresses[j]) : nullptr;
      return;
    }
    keys[i] = index_key(addresses[i]);
    indexes[i] = &store_->indexes[family_index(addresses[i].family)];
  }
  if (__builtin_expect(stale, 0)) {
    for (std::size_t i = 0; i < n; ++i) found[i] = trie_lookup(addresses[i]);
  } else if (n == 1) {
    found[0] = indexes[0]->lookup(keys[0]);
  } else {
    ReadIndex::lookup_batch(indexes, keys, n, found);
  }
}

namespace {
// Starts loading the records a batch found, so that their cache misses
// overlap rather than come one by one as the records are handed out or
// read; with `contents`, their whole span, and then also what a reader of
// each touches first when it lives apart (long values, attribute maps).
void prefetch_records(detail::MetadataRep* const* found, std::size_t n, bool contents) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    if (found[i] == nullptr) continue;
    if (contents) {
      detail::prefetch_record_span(found[i]);
    } else {
      __builtin_prefetch(found[i]);
    }
  }
  if (contents) {
    for (std::size_t i = 0; i < n; ++i) {
      if (found[i] == nullptr) continue;
      const detail::MetadataRep& rep = *found[i];
      __builtin_prefetch(rep.value.data());
      if (rep.packed) {
        __builtin_prefetch(rep.packed.data());
      } else if (const Attributes* m = rep.map.load(std::memory_order_acquire); m != nullptr && !m->empty()) {
        __builtin_prefetch(&*m->begin());
      }
    }
  }
  // Prefetches alone count as free of side effects, so without this the
  // compiler would drop the whole call as having no effect.
  asm volatile("" ::: "memory");
}
}  // namespace

void TrieEngine::lookup_many(const IpAddress* addresses, std::size_t count, std::optional<Metadata>* results) const {
  epoch::Participant* self = epoch::local_participant();
  detail::MetadataRep* found[kBatch];
  for (std::size_t base = 0; base < count; base += kBatch) {
    const std::size_t n = std::min(kBatch, count - base);
    epoch::pin(self);
    find_batch(addresses + base, n, found);
    prefetch_records(found, n, false);  // handing out touches only the count
    std::uint64_t hits = 0;
    for (std::size_t i = 0; i < n; ++i) {
      results[base + i] = detail::stock::hand_out(found[i], self->index);
      hits += found[i] != nullptr;
    }
    epoch::unpin(self);
    count_lookups(self->index, hits, n - hits);
  }
}

namespace {
// A record lent without a reference of its own: the node's reference, kept
// alive by the epoch pin, stands for it. Gives the payload back without
// releasing it, even when the visitor throws.
class Lent {
 public:
  explicit Lent(detail::MetadataRep* rep) noexcept : record_(detail::MetadataAccess::adopt(rep)) {}
  ~Lent() { (void)detail::MetadataAccess::take(record_); }
  Lent(const Lent&) = delete;
  Lent& operator=(const Lent&) = delete;
  const Metadata* get() const noexcept { return &record_; }

 private:
  Metadata record_;
};
}  // namespace

void TrieEngine::lookup_visit(const IpAddress* addresses, std::size_t count, LookupVisitor& visitor) const {
  epoch::Participant* self = epoch::local_participant();
  // One address (the Python module's single lookup) goes as lookup does,
  // lending the record where lookup hands out a reference.
  if (count == 1) {
    if (answered_none_unpinned(addresses[0], self)) return visitor.visit(0, nullptr);
    epoch::Guard pin;  // a Guard: the visitor may throw
    detail::MetadataRep* const best = find_one(addresses[0]);
    count_lookup(self->index, best != nullptr);
    if (best == nullptr) return visitor.visit(0, nullptr);
    // Asked for now, the record's lines arrive while the visitor sets up.
    detail::prefetch_record_span(best);
    const Lent record(best);
    return visitor.visit(0, record.get());
  }
  // Counted as they are answered, and added to the counters once: a
  // visitor that throws ends the run where single lookups would have ended.
  class Tally {
   public:
    Tally(const TrieEngine& engine, std::uint32_t slot) noexcept : engine_(engine), slot_(slot) {}
    ~Tally() { engine_.count_lookups(slot_, hits, misses); }
    Tally(const Tally&) = delete;
    Tally& operator=(const Tally&) = delete;
    std::uint64_t hits = 0;
    std::uint64_t misses = 0;

   private:
    const TrieEngine& engine_;
    std::uint32_t slot_;
  } tally(*this, self->index);
  detail::MetadataRep* found[kBatch];
  for (std::size_t base = 0; base < count; base += kBatch) {
    const std::size_t n = std::min(kBatch, count - base);
    epoch::Guard pin;  // a Guard: the visitor may throw
    find_batch(addresses + base, n, found);
    prefetch_records(found, n, true);  // the visitor reads each record
    for (std::size_t i = 0; i < n; ++i) {
      ++(found[i] != nullptr ? tally.hits : tally.misses);
      if (found[i] == nullptr) {
        visitor.visit(base + i, nullptr);
      } else {
        const Lent record(found[i]);
        visitor.visit(base + i, record.get());
      }
    }
  }
}

void TrieEngine::for_each(EntryVisitor& visitor) const {
  // The read index's gather already walks a range of the trie in key
  // order, ancestors first: the whole family is the range of length 0,
  // whose cover is the family's /0.
  for (const AddressFamily family : {AddressFamily::V4, AddressFamily::V6}) {
    IndexRange entries;
    std::vector<Metadata> records;  // own a reference each, taken while pinned
    {
      epoch::Guard pin;
      const TrieSource source(kind(), store_->roots[family_index(family)].get(), family);
      source.gather(0, 0, address_width_bits(family), 0, entries);
      records.reserve(entries.deeper.size() + 1);
      const auto keep = [&](detail::MetadataRep* rep) {
        rep->acquire();
        records.push_back(detail::MetadataAccess::adopt(rep));
      };
      if (entries.cover != nullptr) keep(entries.cover);
      for (const IndexEntry& e : entries.deeper) keep(e.rep);
    }
    std::size_t r = 0;
    const auto visit = [&](trie::u128 key, unsigned length) {
      IpPrefix prefix;
      prefix.family = family;
      prefix.length = static_cast<std::uint8_t>(length);
      for (std::size_t i = 0; i < address_width_bytes(family); ++i) {
        prefix.bytes[i] = static_cast<std::uint8_t>(key >> (120 - 8 * i));
      }
      visitor.visit(prefix, records[r++]);
    };
    if (entries.cover != nullptr) visit(0, 0);
    for (const IndexEntry& e : entries.deeper) visit(e.key, e.length);
  }
}

std::optional<Metadata> TrieEngine::walk_lookup(const IpAddress& address) const {
  if (!known_family(address.family)) return std::nullopt;
  epoch::Guard pin;
  return hand_out(trie_lookup(address));
}

std::optional<Metadata> TrieEngine::remove(const IpPrefix& prefix) const {
  if (!valid_length(prefix)) return std::nullopt;
  std::optional<Metadata> result;
  {
    std::shared_lock writer(store_->writers);
    epoch::Guard pin;
    store_->indexes[family_index(prefix.family)].prefetch_for_update(index_key(prefix.address()));
    TrieNode* root = store_->roots[family_index(prefix.family)].get();
    detail::MetadataRep* removed = with_algorithms(kind(), [&](auto algorithms) {
      using A = decltype(algorithms);
      if constexpr (A::kCompressed) {
        return A::remove(root, prefix_key(prefix), entry_count_, &store_->shortcuts[family_index(prefix.family)]);
      } else {
        return A::remove(root, prefix, entry_count_);
      }
    });
    if (removed == nullptr) return std::nullopt;
    update_index(prefix);
    result = hand_out_removed(removed);  // retired only now the index has let go
  }
  removals_.fetch_add(1, std::memory_order_relaxed);
  rebuild_stale_index(prefix.family);
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

std::size_t TrieEngine::node_count() const {
  epoch::Guard pin;
  std::size_t count = 0;
  for (const NodeRef& root : store_->roots) {
    count += with_algorithms(kind(), [&](auto algorithms) { return decltype(algorithms)::count_nodes(root.get()); });
  }
  return count;
}

void TrieEngine::clear() const {
  std::unique_lock writer(store_->writers);
  epoch::Guard pin;
  // The indexes let go of the records first: the trie's retire them.
  for (unsigned f = 0; f < 2; ++f) {
    store_->indexes[f].reset();
    store_->index_stale[f].store(false, std::memory_order_release);
    store_->changes_while_stale[f].store(0, std::memory_order_relaxed);
  }
  for (const NodeRef& root : store_->roots) {
    with_algorithms(kind(), [&](auto algorithms) { decltype(algorithms)::clear(root.get()); });
  }
  // No other writer runs, and the old nodes are released only after the
  // grace period: no walk can still start at one.
  for (trie::Shortcuts& s : store_->shortcuts) s.clear();
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

void TrieEngine::count_lookups(std::uint32_t slot, std::uint64_t hits, std::uint64_t misses) const noexcept {
  // As count_lookup, for a run of lookups at once.
  if (slot < kStripes - 1) {
    LookupStripe& own = stripes_[slot];
    own.hits.store(own.hits.load(std::memory_order_relaxed) + hits, std::memory_order_relaxed);
    own.misses.store(own.misses.load(std::memory_order_relaxed) + misses, std::memory_order_relaxed);
  } else {
    LookupStripe& shared = stripes_[kStripes - 1];
    shared.hits.fetch_add(hits, std::memory_order_relaxed);
    shared.misses.fetch_add(misses, std::memory_order_relaxed);
  }
}

inline void TrieEngine::count_lookup(std::uint32_t slot, bool hit) const noexcept {
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
  return shard_count == 0 ? 0 : h % shard_count;  // no shards: the single engine
}

std::shared_ptr<const LocalEngine> LocalEngine::make_trie(std::uint8_t node_kind, std::uint64_t shards) {
  if (node_kind > 7) throw std::invalid_argument("no trie node kind " + std::to_string(node_kind));
  const auto kind = static_cast<NodeKind>(node_kind);
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
namespace {
// Frees now what no reader can still see. A collection that runs out of
// memory frees less, and leaves the rest to later ones.
void collect_now() noexcept {
  try {
    epoch::collect();
  } catch (...) {
  }
}
}  // namespace

// What the engine retired (removed records, cleared trees) is freed as
// threads unpin, in batches; a program done with the engine may make no
// more reads, so what no reader can still see goes with the last handle.
LocalEngine::~LocalEngine() {
  layout_.reset();
  collect_now();
}

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

void LocalEngine::lookup_many(std::span<const IpAddress> addresses,
                              std::span<std::optional<Metadata>> results) const {
  if (layout_->single) return layout_->single->lookup_many(addresses.data(), addresses.size(), results.data());
  if (layout_->group && !layout_->group->row.empty()) {
    // The shards share one trie and its index, and stats sums their lookup
    // counters, so one shard can answer (and count) the whole batch.
    return layout_->group->row.front()->lookup_many(addresses.data(), addresses.size(), results.data());
  }
  PrefixEngine::lookup_many(addresses, results);
}

void LocalEngine::lookup_visit(std::span<const IpAddress> addresses, LookupVisitor& visitor) const {
  if (layout_->single) return layout_->single->lookup_visit(addresses.data(), addresses.size(), visitor);
  if (layout_->group && !layout_->group->row.empty()) {
    // As lookup_many: one shard answers and counts for the shared trie.
    return layout_->group->row.front()->lookup_visit(addresses.data(), addresses.size(), visitor);
  }
  PrefixEngine::lookup_visit(addresses, visitor);
}

void LocalEngine::for_each(EntryVisitor& visitor) const {
  if (detail::is_art(*layout_)) return detail::art_for_each(*layout_, visitor);
  if (layout_->single) return layout_->single->for_each(visitor);
  if (layout_->group && !layout_->group->row.empty()) return layout_->group->row.front()->for_each(visitor);
  PrefixEngine::for_each(visitor);
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
  if (detail::is_art(*layout_)) {
    detail::art_clear(*layout_);
  } else if (layout_->single) {
    layout_->single->clear();
  } else if (const auto& row = layout_->group->row; !row.empty()) {
    row.front()->clear();
  }
  // The old tree and its records are freed once no reader can still be in
  // them: now, unless a reader is, rather than after later reads.
  collect_now();
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
