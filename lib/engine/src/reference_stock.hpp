// References taken in advance on records that several threads hand out.
//
// Every answer a lookup gives takes a reference on its record, and every
// Metadata that goes away gives one back. When threads answer with the same
// records (a country-level GeoIP table answers with one of some 250, an
// origin-AS table with one of some thousands), the line holding such a
// record's count moves between their cores on almost every answer: with a
// thousand records shared evenly, two threads answered at 1.2 times the
// rate of one on a cache-resident table. So:
//
// - Lookups sample their answers on unmarked records (one in kSampleEvery
//   per thread). Each thread remembers the records it sampled lately
//   (kRecent of them, by address), and a record notes the last thread that
//   sampled it. A crossing is a thread sampling again a record it sampled
//   lately while another thread sampled it in between; a record with
//   kCrossings of them is marked as read by several (a sticky hint;
//   relaxed, since a late or lost mark only delays the switch). Records
//   that threads keep answering with cross within a few samples each.
//   Where answers rarely repeat (a table of a million distinct records
//   looked up at random), a thread seldom samples a record again while it
//   still remembers it, and a record needs that several times over.
// - For a marked record, each thread keeps a stock of references of its
//   own: it takes kCredit references with one atomic add, hands them out one
//   by one, and puts back into its stock the references its Metadata copies
//   give up, returning the surplus with one atomic subtract. The count's
//   line is then written once per kCredit answers instead of twice per
//   answer, and the stocks sit in memory only their own thread touches.
// - A thread's stocks are two-byte counts in an array indexed by the
//   record's number (record_ids.hpp; a record gets one when it is marked, if
//   it has none yet). The numbers of a table's records are handed out
//   densely, so the stocks of a thousand shared records fill a few cache
//   lines, which stay cached where a line per record would not; the number
//   sits in the record's first line, which the answer reads anyway. A
//   marked record without a number (all are taken) is counted the plain way.
// - A thread holds at most kMaxStocks stocks, and every kBeatsPerSweep beats
//   (below) returns those that have not served since the previous sweep,
//   so that a record removed from its table is not kept alive by stocks for
//   long, nor are its references and number. Hand-outs of unmarked records
//   count towards the sweeps too (kBeatEvery of them as a beat), so that a
//   thread that has gone on to answer with records of another table, or of
//   its own, still returns its stocks.
// - A thread uses its stocks only while other threads hand out marked
//   records too. Every kBeatEvery marked answers it beats: it notes itself
//   in one process-wide word unless it is there already. Finding another
//   thread there keeps its stocks in use for the next kBeatsInUse beats. A
//   thread alone counts the plain way even on marked records, and its
//   stocks go back at its next two sweeps: a stock is memory of its own to
//   reach on every answer, while the plain count sits in the record's line,
//   which the answer reads anyway and no other thread then writes.
// - A thread's memory of samples (8 KiB) is made at its first sample, its
//   stocks when it first hands out a marked record: 4 KiB, and 128 KiB of
//   address space for the counts, backed page by page as numbers use it.
//
// A stock holds real references, so a record stays alive while any stock
// holds some, a number with a stock names the same record for as long as
// the stock lasts, and the count can only reach zero once every stock has
// returned its share. Stocks go back at sweeps and when their thread exits,
// so a record removed from its table may outlive its last Metadata: by up
// to two sweeps of a thread that goes on handing out records, and until exit
// in a thread that stops (or only misses, or only lends records, as
// lookup_visit does); at most kMaxStocks records per thread. A forked child
// never gets back the stocks of its parent's other threads: their records
// outlive their tables in the child.
//
// Thread safety: every function may be called from any thread; each thread
// touches only its own stocks and memory of samples, and shared memory only
// through atomics: the records' fields and the beat word.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "korvane/types.hpp"
#include "metadata_rep.hpp"

namespace korvane::detail::stock {

inline constexpr std::uint32_t kSampleEvery = 32;
inline constexpr std::uint8_t kCrossings = 4;
inline constexpr std::uint32_t kBeatEvery = 1024;
inline constexpr std::uint32_t kBeatsInUse = 4;
inline constexpr std::size_t kRecent = 1024;
inline constexpr std::uint32_t kCredit = 256;
inline constexpr std::size_t kMaxStocks = 2048;
inline constexpr std::uint32_t kBeatsPerSweep = 16;

// A stock's count: the references held (at most 2 * kCredit), with kServed
// set once it has handed one out since the last sweep.
inline constexpr std::uint16_t kServed = 0x8000;
inline constexpr std::uint16_t kHeldMask = 0x7FFF;
static_assert(2 * kCredit < kServed, "a count never reaches the served bit");

// Owned by one thread: nothing in it is atomic.
struct Stocks {
  // Indexed by record number; entry 0 stays 0, so that a record without a
  // number finds no stock. Mapped, RecordIds::kCount entries.
  std::uint16_t* held = nullptr;
  // The numbers that have a stock, in no order.
  std::uint16_t numbers[kMaxStocks];
  std::uint32_t count = 0;
  std::uint32_t beats_to_sweep = kBeatsPerSweep;
  // Unmarked records handed out since the last beat they made (see
  // count_unmarked).
  std::uint32_t unmarked = 0;
};

// The records a thread sampled lately, by address slot; addresses only,
// never followed.
struct Recent {
  const MetadataRep* records[kRecent];
};

struct Local {
  Stocks* stocks = nullptr;     // null until the thread's first marked record
  Recent* recent = nullptr;     // null until the thread's first sample
  std::uint32_t countdown = 0;  // hand-outs left until the next sample
  std::uint32_t beat_countdown = 0;  // marked hand-outs left until the next beat
  std::uint32_t beats_in_use = 0;    // beats left with the stocks in use
  // Set as the thread's stocks are returned at its exit: a lookup made
  // later in the exit (by another thread-local object's destructor) makes
  // none again, as nothing would return them.
  bool exited = false;
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

// Fibonacci hashing of the address into `count` (a power of two) places:
// neighbouring records land apart.
template <std::size_t count>
inline std::size_t place_of(const MetadataRep* rep) noexcept {
  constexpr unsigned kShift = 64 - std::countr_zero(count);
  return static_cast<std::size_t>((reinterpret_cast<std::uint64_t>(rep) * 0x9E3779B97F4A7C15ull) >> kShift);
}

// The calling thread's count for `rep`, or null when it has no stocks yet.
// The number is read relaxed: a count above 0 was made by this thread after
// an acquire load of the same number, and a number, once set, never
// changes while the record lives; a stale 0 finds entry 0, which is empty.
inline std::uint16_t* count_for(const MetadataRep* rep) noexcept {
  Stocks* stocks = local().stocks;
  return stocks != nullptr ? &stocks->held[rep->index_number.load(std::memory_order_relaxed)] : nullptr;
}

// Notes that `reader` handed `rep` out, and marks the record as read by
// several threads when the crossing rule above says so.
void sample(MetadataRep* rep, std::uint16_t reader) noexcept;
// Notes whether other threads hand out marked records too (see above), and
// sweeps the stocks when it is time.
void beat(Local& state, std::uint32_t reader) noexcept;
// Counts kSampleEvery hand-outs of unmarked records towards the sweeps,
// kBeatEvery of them as one beat: a thread that goes on answering with
// records it alone hands out still returns the stocks it no longer uses.
// Only the sweeps: whether the stocks are in use stays the marked
// hand-outs' business.
void count_unmarked(Stocks& stocks) noexcept;
// The slow paths of hand_out and give_back for a marked record: a stock
// made, refilled or trimmed, or none to use.
Metadata take_marked(MetadataRep* rep) noexcept;
void trim(MetadataRep* rep, std::uint16_t& count) noexcept;

// A reference for the caller of a lookup on `rep` (alive meanwhile through
// an epoch pin), or nothing for null. `reader` names the calling thread
// (its epoch participant's index).
inline std::optional<Metadata> hand_out(MetadataRep* rep, std::uint32_t reader) noexcept {
  if (rep == nullptr) return std::nullopt;
  Local& state = local();
  if (rep->read_by_several.load(std::memory_order_relaxed)) {
    if (__builtin_expect(state.beat_countdown == 0, 0)) beat(state, reader);
    --state.beat_countdown;
    if (state.beats_in_use != 0) {
      // Keeps one back, so that give_back can always return a surplus
      // without taking the count to zero.
      if (std::uint16_t* count = count_for(rep); count != nullptr && (*count & kHeldMask) > 1) {
        *count = static_cast<std::uint16_t>((*count - 1) | kServed);
        return MetadataAccess::adopt(rep);
      }
      return take_marked(rep);
    }
    rep->acquire();
    return MetadataAccess::adopt(rep);
  }
  if (__builtin_expect(state.countdown == 0, 0)) {
    state.countdown = kSampleEvery;
    // 0 means "no reader yet".
    sample(rep, static_cast<std::uint16_t>(reader % 0xFFFF + 1));
    if (state.stocks != nullptr) count_unmarked(*state.stocks);
  }
  --state.countdown;
  rep->acquire();
  return MetadataAccess::adopt(rep);
}

// Whether the calling thread takes references on `rep` from its stocks.
inline bool stocked(const MetadataRep* rep) noexcept {
  return rep->read_by_several.load(std::memory_order_relaxed) && local().beats_in_use != 0;
}

// A further reference on a record the caller holds one on.
inline void acquire(MetadataRep* rep) noexcept {
  if (stocked(rep)) {
    if (std::uint16_t* count = count_for(rep); count != nullptr && (*count & kHeldMask) > 1) {
      --*count;
      return;
    }
  }
  rep->acquire();
}

// Gives back a reference the caller holds.
inline void give_back(MetadataRep* rep) noexcept {
  if (stocked(rep)) {
    if (std::uint16_t* count = count_for(rep); count != nullptr && (*count & kHeldMask) != 0) {
      if ((*count & kHeldMask) < 2 * kCredit) {
        ++*count;
        return;
      }
      return trim(rep, *count);
    }
  }
  rep->release();
}

}  // namespace korvane::detail::stock
