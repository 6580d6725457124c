#include "record_pool.hpp"

#include <bit>
#include <functional>
#include <new>
#include <string_view>
#include <utility>

#include "platform.hpp"
#include "record_ids.hpp"

namespace korvane::detail {

// Every live pool, for the fork handlers. Its mutex is taken before any
// pool's, never after: a pool is listed and unlisted with no pool mutex
// held. Code holding a pool's mutex takes no other lock but the leaves
// held across forks (the record arena's, for a pooled copy), which the
// forking thread takes after the pools' (see platform::on_fork).
struct PoolList {
  std::mutex mutex;
  RecordPool* first = nullptr;

  static PoolList& get() {
    // Leaked: a fork, or the last record of a pool, may come after static
    // destruction has begun.
    static PoolList* const list = [] {
      auto* made = new PoolList();
      (void)platform::on_fork(&hold_all, &let_go_all, &let_go_all);
      return made;
    }();
    return *list;
  }
  static void hold_all() noexcept {
    PoolList& l = get();
    l.mutex.lock();
    for (RecordPool* p = l.first; p != nullptr; p = p->next_) p->mutex_.lock();
  }
  static void let_go_all() noexcept {
    PoolList& l = get();
    for (RecordPool* p = l.first; p != nullptr; p = p->next_) p->mutex_.unlock();
    l.mutex.unlock();
  }
};
// Made as the library loads: see hold_across_fork.
[[maybe_unused]] const bool pools_listed = (PoolList::get(), true);

RecordPool::RecordPool() {
  PoolList& l = PoolList::get();
  std::lock_guard lock(l.mutex);
  next_ = l.first;
  if (next_ != nullptr) next_->prev_ = this;
  l.first = this;
}

RecordPool::~RecordPool() {
  PoolList& l = PoolList::get();
  std::lock_guard lock(l.mutex);
  (prev_ != nullptr ? prev_->next_ : l.first) = next_;
  if (next_ != nullptr) next_->prev_ = prev_;
}

void MetadataRep::destroy() noexcept {
  if (RecordPool* owner = pool.load(std::memory_order_acquire)) owner->forget(this);
  if (const std::uint16_t number = index_number.load(std::memory_order_acquire)) RecordIds::give_back(number);
  delete this;
}

std::size_t RecordPool::content_hash(const MetadataRep* rep) noexcept {
  const std::hash<std::string_view> hash;
  std::size_t h = hash(rep->value);
  // The attributes are unordered: combine their pairs with an order-free sum.
  std::size_t pairs = 0;
  rep->for_each_attribute(
      [&](std::string_view k, std::string_view v) { pairs += hash(k) * 31 + hash(v) + 0x9E3779B97F4A7C15ull; });
  return h ^ (pairs * 0xBF58476D1CE4E5B9ull);
}

MetadataRep* RecordPool::intern(MetadataRep* rep) {
  if (rep->pool.load(std::memory_order_acquire) != nullptr) return rep;
  const Entry probe{rep, content_hash(rep)};  // outside the lock
  std::unique_lock lock(mutex_);
  // The empty slot where the probe ended, while nothing has moved since.
  std::size_t free_slot = kNoSlot;
  if (!slots_.empty()) {
    const std::size_t slot = find(probe);
    if (MetadataRep* pooled = slots_[slot].rep) {
      if (pooled->try_acquire()) {
        lock.unlock();
        rep->release();
        return pooled;
      }
      erase_at(slot);  // dying: forget() will find it gone
    } else {
      free_slot = slot;
    }
  }
  if (reserve_one()) free_slot = kNoSlot;
  // A pooled record never changes again, so the one that enters is, where
  // it can be, a copy with its attributes packed right after it (see
  // packed_copy). Only while the caller holds the record's one reference:
  // then no other thread can be reading it, nor claiming it for another
  // pool. Failing to copy costs nothing but the bytes, except for an exposed
  // record (one its holder may still write to through a reference it was
  // given): that one always enters as a copy, and stays out of the pool
  // when none can be made. Its copies being whole copies, an exposed record
  // reaches a pool with its one holder's reference, so it takes this branch.
  MetadataRep* replaced = nullptr;
  if (rep->refs.load(std::memory_order_acquire) == 1) {
    try {
      MetadataRep* copy = rep->packed_copy();
      if (copy == nullptr && rep->exposed.load(std::memory_order_relaxed)) {
        copy = new MetadataRep();  // nothing to pack: the value alone
        copy->value = std::move(rep->value);
      }
      if (copy != nullptr) replaced = std::exchange(rep, copy);
    } catch (const std::bad_alloc&) {
      if (rep->exposed.load(std::memory_order_relaxed)) return rep;  // stored unpooled
    }
  }
  // Claim the record before it becomes findable here; another pool may have
  // claimed it since the check above, and then it stays that pool's (never
  // a copy, which no other thread has seen).
  RecordPool* unclaimed = nullptr;
  if (!rep->pool.compare_exchange_strong(unclaimed, this, std::memory_order_acq_rel)) return rep;
  // The copy stands in the probe's place: the original's value has moved.
  const Entry entry{rep, probe.hash};
  slots_[free_slot != kNoSlot ? free_slot : find(entry)] = entry;
  ++count_;
  refs_.fetch_add(1, std::memory_order_relaxed);
  lock.unlock();
  if (replaced != nullptr) replaced->release();  // in no pool: just deleted
  return rep;
}

void RecordPool::forget(MetadataRep* rep) noexcept {
  const Entry probe{rep, content_hash(rep)};  // its content is intact until it is deleted
  {
    std::lock_guard lock(mutex_);
    if (!slots_.empty()) {
      const std::size_t slot = find(probe);
      if (slots_[slot].rep == rep) erase_at(slot);
    }
    if (auto hook = while_forgetting.load(std::memory_order_relaxed)) hook();
  }
  release_ref();
}

std::size_t RecordPool::find(const Entry& probe) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = home(probe.hash);; i = (i + 1) & mask) {
    const Entry& e = slots_[i];
    if (e.rep == nullptr || same_content(e, probe)) return i;
  }
}

bool RecordPool::reserve_one() {
  if ((count_ + 1) * 4 <= slots_.size() * 3) return false;
  const std::size_t size = slots_.empty() ? 64 : slots_.size() * 2;
  std::vector<Entry> grown(size, Entry{nullptr, 0});  // may throw; nothing changed yet
  std::swap(slots_, grown);
  shift_ = 64 - static_cast<unsigned>(std::countr_zero(size));
  const std::size_t mask = size - 1;
  for (const Entry& e : grown) {
    if (e.rep == nullptr) continue;
    std::size_t i = home(e.hash);
    while (slots_[i].rep != nullptr) i = (i + 1) & mask;
    slots_[i] = e;
  }
  return true;
}

void RecordPool::erase_at(std::size_t slot) noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t gap = slot;
  for (std::size_t i = (gap + 1) & mask; slots_[i].rep != nullptr; i = (i + 1) & mask) {
    // The entry at i may fill the gap unless its home lies cyclically in
    // (gap, i]: then it would move before its home and be lost to probes.
    const std::size_t h = home(slots_[i].hash);
    const bool stays = gap < i ? (gap < h && h <= i) : (gap < h || h <= i);
    if (stays) continue;
    slots_[gap] = slots_[i];
    gap = i;
  }
  slots_[gap] = Entry{nullptr, 0};
  --count_;
}

}  // namespace korvane::detail
