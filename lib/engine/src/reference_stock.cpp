#include "reference_stock.hpp"

#include <atomic>
#include <new>
#include <utility>

namespace korvane::detail::stock {

namespace {

// A full set gives up its stalest stock once marked records without a
// stock have found the set full this many times since that stock last
// served: records that outnumber a set's ways then take turns slowly rather
// than trading stocks on every answer.
constexpr std::uint32_t kMissesToReplace = 16;

void return_stock(Slot& s) noexcept {
  if (s.held != 0) s.rep->release_many(s.held);
  s.rep = nullptr;
  s.held = 0;
  s.misses = 0;
}

// Returns the thread's stocks when it exits.
struct ThreadExitHook {
  ~ThreadExitHook() {
    Local& state = local();
    if (Table* table = std::exchange(state.table, nullptr)) {
      for (Set& set : table->sets) {
        for (Slot& s : set.ways) return_stock(s);
      }
      delete table;
    }
    delete std::exchange(state.recent, nullptr);
  }
};

// Made on first use; null when memory is short.
template <class T>
T* made(T*& place) noexcept {
  if (place == nullptr) {
    static thread_local ThreadExitHook hook;
    (void)&hook;  // odr-use so the hook is constructed and runs at thread exit
    place = new (std::nothrow) T();
  }
  return place;
}

Metadata adopt_acquired(MetadataRep* rep) noexcept {
  rep->acquire();
  return MetadataAccess::adopt(rep);
}

// The way of a full set that `rep` may take, or null while the set's
// stocks still serve: every way notes the miss, and the one that has gone
// longest without serving gives way once it reaches kMissesToReplace.
Slot* claim(Set& set) noexcept {
  Slot* stalest = nullptr;
  for (Slot& s : set.ways) {
    if (s.held == 0) return &s;
    ++s.misses;
    if (stalest == nullptr || s.misses > stalest->misses) stalest = &s;
  }
  if (stalest->misses < kMissesToReplace) return nullptr;
  return_stock(*stalest);
  return stalest;
}

}  // namespace

void sample(MetadataRep* rep, std::uint16_t reader) noexcept {
  Recent* recent = made(local().recent);
  if (recent == nullptr) return;
  const MetadataRep*& remembered = recent->records[place_of<kRecent>(rep)];
  const bool again = remembered == rep;
  remembered = rep;
  // Relaxed throughout: hints that order nothing. Samplers may race to note
  // themselves or count a crossing; a lost update only delays the mark.
  const std::uint16_t last = rep->last_reader.load(std::memory_order_relaxed);
  if (last == reader) return;
  rep->last_reader.store(reader, std::memory_order_relaxed);
  if (last == 0 || !again) return;
  const std::uint8_t crossings = rep->crossings.load(std::memory_order_relaxed) + 1;
  if (crossings >= kCrossings) {
    rep->read_by_several.store(true, std::memory_order_relaxed);
  } else {
    rep->crossings.store(crossings, std::memory_order_relaxed);
  }
}

void beat(Local& state, std::uint32_t reader) noexcept {
  state.beat_countdown = kBeatEvery;
  // The last thread to beat, relaxed: a hint. Written only when it changes,
  // so a thread alone never writes it again, and threads beating in turn
  // move its line once per kBeatEvery marked answers each.
  static std::atomic<std::uint32_t> last_beat{~0u};
  if (last_beat.load(std::memory_order_relaxed) != reader) {
    last_beat.store(reader, std::memory_order_relaxed);
    state.beats_in_use = kBeatsInUse;
  } else if (state.beats_in_use != 0) {
    --state.beats_in_use;
  }
}

Metadata take_marked(MetadataRep* rep) noexcept {
  Table* t = made(local().table);
  if (t == nullptr) return adopt_acquired(rep);
  Set& set = set_of(*t, rep);
  Slot* s = find(set, rep);
  if (s == nullptr) {
    s = claim(set);
    if (s == nullptr) return adopt_acquired(rep);
    s->rep = rep;
  }
  s->misses = 0;
  if (s->held <= 1) {
    // Relaxed, as any acquire: the caller's pin keeps the record alive.
    rep->refs.fetch_add(kCredit, std::memory_order_relaxed);
    s->held += kCredit;
  }
  --s->held;
  return MetadataAccess::adopt(rep);
}

void give_back_marked(MetadataRep* rep) noexcept {
  if (Table* t = local().table; t != nullptr) {
    if (Slot* s = find(set_of(*t, rep), rep); s != nullptr) {
      if (++s->held > 2 * kCredit) {
        // The stock keeps kCredit references, so this never reaches zero.
        rep->refs.fetch_sub(kCredit, std::memory_order_release);
        s->held -= kCredit;
      }
      return;
    }
  }
  rep->release();
}

}  // namespace korvane::detail::stock
