// References taken in advance on records that several threads hand out.
//
// Every answer a lookup gives takes a reference on its record, and every
// Metadata that goes away gives one back. When threads answer with the same
// few records (a country-level GeoIP table answers with one of some 250),
// the line holding such a record's count moves between their cores twice
// per answer, and two threads answer slower than one. So:
//
// - Lookups sample their answers (one in kSampleEvery per thread) and note
//   the sampling thread in the record. A record that a thread samples
//   kStreak times in a row beyond its first, when another thread sampled it
//   last, is marked as read by several (a sticky hint; relaxed, since a late
//   or lost mark only delays the switch). Only records that make up a good
//   part of the answers of more than one thread come up like that: of a
//   table answering evenly with a thousand records, a thread samples any
//   one twice more in a row about once in a million samples, while their
//   counts' lines rarely meet in two cores at once anyway.
// - For a marked record, each thread keeps a stock of references of its
//   own: it takes kCredit references with one atomic add, hands them out one
//   by one, and puts back into its stock the references its Metadata copies
//   give up, returning the surplus with one atomic subtract. The count's
//   line is then written once per kCredit answers instead of twice per
//   answer, and the threads' stocks sit in lines only their own thread
//   touches.
//
// A stock holds real references, so a record stays alive while any stock
// holds some, the stock's address key can never name a different record,
// and the count can only reach zero once every stock has returned its
// share. A stock is returned when another record takes its slot, and every
// stock when its thread exits: until then a record removed from its table
// may outlive its last Metadata, at most kSlots records per thread.
//
// Thread safety: every function may be called from any thread; each thread
// touches only its own stocks, and records only through their atomic
// fields.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "korvane/types.hpp"
#include "metadata_rep.hpp"

namespace korvane::detail::stock {

inline constexpr std::uint32_t kSampleEvery = 32;
inline constexpr std::uint32_t kStreak = 2;
inline constexpr std::uint32_t kCredit = 256;
inline constexpr std::size_t kSlots = 128;

struct Slot {
  MetadataRep* rep = nullptr;  // names a live record only while `held` > 0
  std::uint32_t held = 0;      // references this thread holds on `rep`
  std::uint32_t misses = 0;    // other marked records that wanted this slot
};

// Owned by one thread: nothing in it is atomic. Whole cache lines, so that
// no other thread's data shares a line with it.
struct alignas(64) Table {
  Slot slots[kSlots];
};

struct Local {
  Table* table = nullptr;       // null until the thread's first marked record
  std::uint32_t countdown = 0;  // hand-outs left until the next sample
  std::uint32_t streak = 0;     // samples in a row of last_sampled, beyond the first
  const MetadataRep* last_sampled = nullptr;  // an address only, never followed
};

// The calling thread's state: constant-initialised, so reading it needs no
// guard, and initial-exec, so it is one instruction even in a loaded module.
inline Local& local() noexcept {
#if defined(__SANITIZE_ADDRESS__)
  // The address sanitizer's runtime does not cope with initial-exec TLS.
  static thread_local Local state;
#else
  static thread_local Local state __attribute__((tls_model("initial-exec")));
#endif
  return state;
}

inline Slot& slot_of(Table& table, const MetadataRep* rep) noexcept {
  // Fibonacci hashing of the address: neighbouring records land apart.
  constexpr unsigned kShift = 64 - std::countr_zero(kSlots);
  return table.slots[(reinterpret_cast<std::uint64_t>(rep) * 0x9E3779B97F4A7C15ull) >> kShift];
}

// Notes that `reader` handed `rep` out, and marks the record as read by
// several threads when the streak rule above says so.
void sample(MetadataRep* rep, std::uint16_t reader) noexcept;
// The slow paths of hand_out and give_back for a marked record: a stock
// made, refilled or trimmed, or none to use.
Metadata take_marked(MetadataRep* rep) noexcept;
void give_back_marked(MetadataRep* rep) noexcept;

// The slot holding the calling thread's stock for `rep`, or null when it
// holds none.
inline Slot* stock_for(const MetadataRep* rep) noexcept {
  Table* table = local().table;
  if (table == nullptr) return nullptr;
  Slot& s = slot_of(*table, rep);
  return s.rep == rep && s.held != 0 ? &s : nullptr;
}

// A reference for the caller of a lookup on `rep` (alive meanwhile through
// an epoch pin), or nothing for null. `reader` names the calling thread
// (its epoch participant's index).
inline std::optional<Metadata> hand_out(MetadataRep* rep, std::uint32_t reader) noexcept {
  if (rep == nullptr) return std::nullopt;
  if (rep->read_by_several.load(std::memory_order_relaxed)) {
    if (Slot* s = stock_for(rep); s != nullptr && s->held > 1) {
      --s->held;
      s->misses = 0;
      return MetadataAccess::adopt(rep);
    }
    return take_marked(rep);
  }
  Local& state = local();
  if (__builtin_expect(state.countdown == 0, 0)) {
    state.countdown = kSampleEvery;
    // 0 means "no reader yet".
    sample(rep, static_cast<std::uint16_t>(reader % 0xFFFF + 1));
  }
  --state.countdown;
  rep->acquire();
  return MetadataAccess::adopt(rep);
}

// A further reference on a record the caller holds one on.
inline void acquire(MetadataRep* rep) noexcept {
  if (rep->read_by_several.load(std::memory_order_relaxed)) {
    // Keeps one back, so that give_back can always return a surplus
    // without taking the count to zero.
    if (Slot* s = stock_for(rep); s != nullptr && s->held > 1) {
      --s->held;
      return;
    }
  }
  rep->acquire();
}

// Gives back a reference the caller holds.
inline void give_back(MetadataRep* rep) noexcept {
  if (rep->read_by_several.load(std::memory_order_relaxed)) {
    if (Slot* s = stock_for(rep); s != nullptr && s->held < 2 * kCredit) {
      ++s->held;
      return;
    }
    return give_back_marked(rep);
  }
  rep->release();
}

}  // namespace korvane::detail::stock
