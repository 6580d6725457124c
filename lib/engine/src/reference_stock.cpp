#include "reference_stock.hpp"

#include <new>
#include <utility>

namespace korvane::detail::stock {

namespace {

// A slot changes records once another marked record has wanted it this many
// times since it last served its own: two records that share a slot then
// take turns slowly rather than trading stocks on every answer.
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
    if (Table* table = std::exchange(local().table, nullptr)) {
      for (Slot& s : table->slots) return_stock(s);
      delete table;
    }
  }
};

// The calling thread's table, made on first use; null when memory is short.
Table* table() noexcept {
  Local& state = local();
  if (state.table == nullptr) {
    static thread_local ThreadExitHook hook;
    (void)&hook;  // odr-use so the hook is constructed and runs at thread exit
    state.table = new (std::nothrow) Table();
  }
  return state.table;
}

Metadata adopt_acquired(MetadataRep* rep) noexcept {
  rep->acquire();
  return MetadataAccess::adopt(rep);
}

}  // namespace

void sample(MetadataRep* rep, std::uint16_t reader) noexcept {
  Local& state = local();
  state.streak = rep == state.last_sampled ? state.streak + 1 : 0;
  state.last_sampled = rep;
  // Relaxed throughout: hints that order nothing. Samplers may race to note
  // themselves; whichever wins, the other thread's next sample sees it.
  const std::uint16_t last = rep->last_reader.load(std::memory_order_relaxed);
  if (last == reader) return;
  if (last != 0 && state.streak >= kStreak) {
    rep->read_by_several.store(true, std::memory_order_relaxed);
  } else {
    rep->last_reader.store(reader, std::memory_order_relaxed);
  }
}

Metadata take_marked(MetadataRep* rep) noexcept {
  Table* t = table();
  if (t == nullptr) return adopt_acquired(rep);
  Slot& s = slot_of(*t, rep);
  if (s.rep != rep) {
    if (s.held != 0 && ++s.misses < kMissesToReplace) return adopt_acquired(rep);
    return_stock(s);
    s.rep = rep;
  }
  s.misses = 0;
  if (s.held <= 1) {
    // Relaxed, as any acquire: the caller's pin keeps the record alive.
    rep->refs.fetch_add(kCredit, std::memory_order_relaxed);
    s.held += kCredit;
  }
  --s.held;
  return MetadataAccess::adopt(rep);
}

void give_back_marked(MetadataRep* rep) noexcept {
  Table* t = local().table;
  if (t != nullptr) {
    Slot& s = slot_of(*t, rep);
    if (s.rep == rep && s.held != 0) {
      if (++s.held > 2 * kCredit) {
        // The stock keeps kCredit references, so this never reaches zero.
        rep->refs.fetch_sub(kCredit, std::memory_order_release);
        s.held -= kCredit;
      }
      return;
    }
  }
  rep->release();
}

}  // namespace korvane::detail::stock
