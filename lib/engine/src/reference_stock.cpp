#include "reference_stock.hpp"

#include <atomic>
#include <new>
#include <utility>

#include "platform.hpp"
#include "record_ids.hpp"

namespace korvane::detail::stock {

namespace {

constexpr std::size_t kCountBytes = RecordIds::kCount * sizeof(std::uint16_t);

// Gives the stock at numbers[i] back to its record and drops it from the
// list. The record may go with it.
void return_stock(Stocks& stocks, std::uint32_t i) noexcept {
  const std::uint16_t number = stocks.numbers[i];
  const std::uint16_t held = stocks.held[number] & kHeldMask;
  stocks.held[number] = 0;
  stocks.numbers[i] = stocks.numbers[--stocks.count];
  // The stock's references keep the record, and so its number, alive; this
  // thread read the number with acquire before making the stock, which
  // orders the table's entry before this load.
  RecordIds::record(number)->release_many(held);
}

// Returns the stocks that have not served since the last sweep, and starts
// the next period for the others.
void sweep(Stocks& stocks) noexcept {
  for (std::uint32_t i = 0; i < stocks.count;) {
    std::uint16_t& count = stocks.held[stocks.numbers[i]];
    if ((count & kServed) != 0) {
      count &= kHeldMask;
      ++i;
    } else {
      return_stock(stocks, i);  // moves the last stock to i
    }
  }
}

// Returns the thread's stocks when it exits.
struct ThreadExitHook {
  ~ThreadExitHook() {
    Local& state = local();
    state.exited = true;
    state.beats_in_use = 0;
    if (Stocks* stocks = std::exchange(state.stocks, nullptr)) {
      while (stocks->count > 0) return_stock(*stocks, 0);
      platform::unmap(stocks->held, kCountBytes);
      delete stocks;
    }
    delete std::exchange(state.recent, nullptr);
  }
};

void hook_exit() noexcept {
  static thread_local ThreadExitHook hook;
  (void)&hook;  // odr-use so the hook is constructed and runs at thread exit
}

Recent* recent_made(Local& state) noexcept {
  if (state.recent == nullptr && !state.exited) {
    hook_exit();
    state.recent = new (std::nothrow) Recent();
  }
  return state.recent;
}

// Null when memory is short, or once the thread has begun to exit.
Stocks* stocks_made(Local& state) noexcept {
  if (state.stocks == nullptr && !state.exited) {
    hook_exit();
    auto* stocks = new (std::nothrow) Stocks();
    if (stocks == nullptr) return nullptr;
    // Zeroed by the kernel, and backed only where numbers in use fall.
    stocks->held = static_cast<std::uint16_t*>(platform::map_aligned(kCountBytes));
    if (stocks->held == nullptr) {
      delete stocks;
      return nullptr;
    }
    state.stocks = stocks;
  }
  return state.stocks;
}

Metadata adopt_acquired(MetadataRep* rep) noexcept {
  rep->acquire();
  return MetadataAccess::adopt(rep);
}

}  // namespace

void sample(MetadataRep* rep, std::uint16_t reader) noexcept {
  Recent* recent = recent_made(local());
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
    // The number the stocks are indexed by; without one (all are taken) the
    // record is counted the plain way.
    std::uint16_t number = 0;
    (void)RecordIds::number_of(rep, number);
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
  if (Stocks* stocks = state.stocks; stocks != nullptr && --stocks->beats_to_sweep == 0) {
    stocks->beats_to_sweep = kBeatsPerSweep;
    sweep(*stocks);
  }
}

void count_unmarked(Stocks& stocks) noexcept {
  stocks.unmarked += kSampleEvery;
  if (stocks.unmarked < kBeatEvery) return;
  stocks.unmarked = 0;
  if (--stocks.beats_to_sweep == 0) {
    stocks.beats_to_sweep = kBeatsPerSweep;
    sweep(stocks);
  }
}

Metadata take_marked(MetadataRep* rep) noexcept {
  Stocks* stocks = stocks_made(local());
  if (stocks == nullptr) return adopt_acquired(rep);
  // Acquire: orders the number's table entry before return_stock reads it.
  const std::uint16_t number = rep->index_number.load(std::memory_order_acquire);
  if (number == 0) return adopt_acquired(rep);
  std::uint16_t& count = stocks->held[number];
  if ((count & kHeldMask) == 0) {
    if (stocks->count == kMaxStocks) return adopt_acquired(rep);
    stocks->numbers[stocks->count++] = number;
  }
  // Relaxed, as any acquire: the caller's pin keeps the record alive.
  rep->refs.fetch_add(kCredit, std::memory_order_relaxed);
  count = static_cast<std::uint16_t>(((count & kHeldMask) + kCredit - 1) | kServed);
  return MetadataAccess::adopt(rep);
}

void trim(MetadataRep* rep, std::uint16_t& count) noexcept {
  // The stock keeps more than kCredit references, so this never reaches
  // zero.
  rep->refs.fetch_sub(kCredit, std::memory_order_release);
  count = static_cast<std::uint16_t>(count + 1 - kCredit);
}

}  // namespace korvane::detail::stock
