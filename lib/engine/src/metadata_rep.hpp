// The shared, immutable payload behind Metadata, and the access the engine
// needs to store it in trie nodes without copying.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>

#include "korvane/types.hpp"
#include "packed_attributes.hpp"
#include "record_arena.hpp"

namespace korvane::detail {

class RecordPool;

// Made only by new (plain, or with_packed's, which allocates the packed
// attributes' block with the record), from the record arena, which aligns
// it to 16 bytes, so that a read-index node can keep four tag bits beside a
// record pointer.
struct MetadataRep {
  // Owners: every Metadata copy and every trie node field holding it.
  // Increments may be relaxed (a new owner is always made from an existing
  // one, or from a node field kept alive by the epoch scheme); the decrement
  // that reaches zero must acquire every earlier owner's writes before delete.
  std::atomic<std::uint32_t> refs{1};
  // Which threads hand this record out, sampled (see reference_stock.hpp):
  // the last sampling reader (0 for none), the crossings seen so far, and
  // whether they have made it a record read by several threads. Relaxed
  // hints; they sit in what would be padding.
  std::atomic<std::uint16_t> last_reader{0};
  std::atomic<bool> read_by_several{false};
  std::atomic<std::uint8_t> crossings{0};
  // The pool of shared records this one was entered in, or null. Claimed
  // once, by compare-exchange under that pool's lock: one record held by
  // several Metadata copies can reach two engines' pools at once, and only
  // one of them may take it. A pooled record is never changed again.
  // Acquire/release: a thread that sees the claim sees the record whole.
  std::atomic<RecordPool*> pool{nullptr};
  // The record's number (see record_ids.hpp), used by the read indexes'
  // two-byte leaves and by the threads' reference stocks; 0 until an index
  // or a stock first needs one. Set once, under that table's lock
  // (release); read with acquire, or relaxed where reference_stock.hpp
  // says why. In the first line, beside the fields a hand-out reads.
  std::atomic<std::uint16_t> index_number{0};
  // Set once the record's one holder has been handed a mutable reference
  // into it (Metadata::mutable_value, mutable_attributes), which the holder
  // may keep and write through at any later time: such a record is never
  // shared. A copy of its Metadata copies it whole, and a pool takes a copy
  // in its place (see RecordPool::intern). Set only while the record has
  // that one holder, never cleared; relaxed: a thread that copies the
  // holder's Metadata was handed it through some synchronisation of its own.
  std::atomic<bool> exposed{false};
  // Bytes of the allocation this record heads (with_packed's block
  // included), for the record arena to take back. Set before the record is
  // shared, never changed.
  std::uint32_t allocated_bytes = sizeof(MetadataRep);
  std::string value;
  // The attributes, in one of two forms; with neither, there are none.
  //  - A map (`map`, with `packed` empty): a record being made or changed,
  //    never shared while it changes.
  //  - Packed (`packed`): a record made by packed_copy for a pool (see
  //    RecordPool::intern) or by Metadata::from_views, and never changed in
  //    place (a mutator copies it to the map form first); the block follows
  //    the record in its allocation. `map` then stays null until a caller asks
  //    for the map form (Metadata::attributes): the first such caller builds
  //    one and installs it with a compare-exchange (acq_rel, so a thread that
  //    loses, or loads the pointer with acquire later, sees the map whole);
  //    a loser frees its own. From then on both forms are kept.
  mutable std::atomic<Attributes*> map{nullptr};
  PackedAttributes packed;

  MetadataRep() noexcept = default;
  MetadataRep(const MetadataRep&) = delete;
  MetadataRep& operator=(const MetadataRep&) = delete;
  ~MetadataRep() { delete map.load(std::memory_order_relaxed); }
  static void* operator new(std::size_t size) { return record_arena::allocate(size); }
  // A delete of a record frees its whole allocation, the block that
  // with_packed put after it included, whose size only the record knows.
  static void operator delete(MetadataRep* rep, std::destroying_delete_t) noexcept {
    const std::size_t bytes = rep->allocated_bytes;
    rep->~MetadataRep();
    record_arena::release(rep, bytes);
  }
  // Frees the storage of a new-expression whose constructor throws (none
  // does); delete-expressions always take the destroying delete above.
  static void operator delete(void* p, std::size_t size) noexcept { record_arena::release(p, size); }

  std::size_t attribute_count() const noexcept {
    if (packed) return packed.size();
    const Attributes* m = map.load(std::memory_order_acquire);
    return m != nullptr ? m->size() : 0;
  }
  // Calls visit(name, value) per attribute, building nothing.
  template <class F>
  void for_each_attribute(F&& visit) const {
    if (packed) {
      packed.for_each(visit);
    } else if (const Attributes* m = map.load(std::memory_order_acquire)) {
      for (const auto& [name, value] : *m) visit(std::string_view(name), std::string_view(value));
    }
  }
  // The map form, built on first use for a packed record. Throws
  // std::bad_alloc.
  const Attributes& attribute_map() const;
  bool same_attributes(const MetadataRep& other) const noexcept;
  // A new record equal to this one, with its attributes packed in a block
  // right after it, in one allocation: a fraction of the map's bytes, and
  // for a reader one stretch of memory where the map form spreads over
  // several. It moves this record's value out, so only for a record whose
  // one holder is the caller, and which then goes. Null when there is
  // nothing to pack (an empty map is dropped here). Throws std::bad_alloc,
  // leaving this record as it was.
  MetadataRep* packed_copy();
  // A new record with an empty value and `pairs` (in name order, no name
  // twice, at least one) packed right after it, in one allocation. Throws
  // std::bad_alloc.
  static std::unique_ptr<MetadataRep> with_packed(std::span<const AttributeView> pairs);

  void acquire() noexcept { refs.fetch_add(1, std::memory_order_relaxed); }
  // Takes a reference unless the count has already reached zero (the record
  // is on its way out of its pool).
  bool try_acquire() noexcept {
    std::uint32_t n = refs.load(std::memory_order_relaxed);
    while (n != 0) {
      if (refs.compare_exchange_weak(n, n + 1, std::memory_order_relaxed)) return true;
    }
    return false;
  }
  void release() noexcept { release_many(1); }
  void release_many(std::uint32_t n) noexcept {
    if (refs.fetch_sub(n, std::memory_order_acq_rel) == n) destroy();
  }
  // Leaves the pool, if any, and deletes the record.
  void destroy() noexcept;
};

static_assert(sizeof(MetadataRep) <= 72, "a record without attributes takes 80 bytes of the arena");

// Starts loading a record whose contents are read next. A record is 16-byte
// aligned and its packed attributes follow it, so a record with a few short
// attributes spans two or three lines.
inline void prefetch_record_span(const MetadataRep* record) noexcept {
  const char* const at = reinterpret_cast<const char*>(record);
  __builtin_prefetch(at);
  __builtin_prefetch(at + 64);
  __builtin_prefetch(at + 127);
  // Prefetches alone count as free of side effects: without this, a
  // compiler may drop a call that does nothing else.
  asm volatile("" ::: "memory");
}

struct MetadataAccess {
  // Takes the payload out of a Metadata, leaving it empty. The caller owns
  // one reference to the result. An empty record gets a payload of its own so
  // that a stored record is never null (null means "no record").
  static MetadataRep* take(Metadata& md) {
    if (md.rep_ == nullptr) return new MetadataRep();
    return std::exchange(md.rep_, nullptr);
  }
  // Wraps an already-owned reference.
  static Metadata adopt(MetadataRep* rep) noexcept {
    Metadata md;
    md.rep_ = rep;
    return md;
  }
  static const MetadataRep* peek(const Metadata& md) noexcept { return md.rep_; }
};

}  // namespace korvane::detail
