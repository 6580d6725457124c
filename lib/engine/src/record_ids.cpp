#include "record_ids.hpp"

#include <mutex>

#include "platform.hpp"

namespace korvane::detail {

namespace {
// Guarded by `numbers`: the numbers given back, as a stack, and the first
// number never handed out. Fixed storage, so that giving a number back
// (inside a record's destruction) cannot fail.
std::mutex numbers;
std::uint16_t returned[RecordIds::kCount];
std::uint32_t returned_count = 0;
std::uint32_t next_fresh = 1;
// Set while every number is taken, so that writers laying out nodes with
// unnumbered records skip the mutex. Relaxed: a stale view costs one
// needless lock, or one node stored with wider leaves.
std::atomic<bool> exhausted{false};

// A forked child still numbers and gives back records. Registered as the
// library loads: see hold_across_fork.
[[maybe_unused]] const bool numbers_held = (platform::hold_across_fork(numbers), true);
}  // namespace

std::atomic<MetadataRep*> RecordIds::table_[RecordIds::kCount] = {};

bool RecordIds::assign(MetadataRep* rep, std::uint16_t& number) noexcept {
  if (exhausted.load(std::memory_order_relaxed)) return false;
  std::lock_guard lock(numbers);
  // Two writers (of two engines) may meet the same record at once.
  number = rep->index_number.load(std::memory_order_relaxed);
  if (number != 0) return true;
  if (returned_count > 0) {
    number = returned[--returned_count];
  } else if (next_fresh < kCount) {
    number = static_cast<std::uint16_t>(next_fresh++);
  } else {
    exhausted.store(true, std::memory_order_relaxed);
    return false;
  }
  // The table entry before the record's own field (release): a writer that
  // reads the number without the lock reads it with acquire, then lays out
  // and publishes a node, which orders the entry before any reader of it.
  table_[number].store(rep, std::memory_order_relaxed);
  rep->index_number.store(number, std::memory_order_release);
  return true;
}

void RecordIds::give_back(std::uint16_t number) noexcept {
  std::lock_guard lock(numbers);
  table_[number].store(nullptr, std::memory_order_relaxed);
  returned[returned_count++] = number;
  exhausted.store(false, std::memory_order_relaxed);
}

std::uint32_t RecordIds::in_use() noexcept {
  std::lock_guard lock(numbers);
  return next_fresh - 1 - returned_count;
}

}  // namespace korvane::detail
