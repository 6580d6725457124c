#include "record_pool.hpp"

#include <functional>
#include <string_view>

namespace korvane::detail {

void MetadataRep::destroy() noexcept {
  if (RecordPool* owner = pool.load(std::memory_order_acquire)) owner->forget(this);
  delete this;
}

std::size_t RecordPool::content_hash(const MetadataRep* rep) noexcept {
  const std::hash<std::string_view> hash;
  std::size_t h = hash(rep->value);
  // The attributes are unordered: combine their pairs with an order-free sum.
  std::size_t pairs = 0;
  for (const auto& [k, v] : rep->attributes) pairs += hash(k) * 31 + hash(v) + 0x9E3779B97F4A7C15ull;
  return h ^ (pairs * 0xBF58476D1CE4E5B9ull);
}

MetadataRep* RecordPool::intern(MetadataRep* rep) {
  if (rep->pool.load(std::memory_order_acquire) != nullptr) return rep;
  const Entry probe{rep, content_hash(rep)};  // outside the lock
  std::unique_lock lock(mutex_);
  if (auto it = records_.find(probe); it != records_.end()) {
    MetadataRep* pooled = it->rep;
    if (pooled->try_acquire()) {
      lock.unlock();
      rep->release();
      return pooled;
    }
    records_.erase(it);  // dying: forget() will find it gone
  }
  // Claim the record before it becomes findable here; another pool may have
  // claimed it since the check above, and then it stays that pool's.
  RecordPool* unclaimed = nullptr;
  if (!rep->pool.compare_exchange_strong(unclaimed, this, std::memory_order_acq_rel)) return rep;
  try {
    records_.insert(probe);
  } catch (...) {
    rep->pool.store(nullptr, std::memory_order_release);  // not pooled after all
    throw;
  }
  refs_.fetch_add(1, std::memory_order_relaxed);
  return rep;
}

void RecordPool::forget(MetadataRep* rep) noexcept {
  const Entry probe{rep, content_hash(rep)};  // its content is intact until it is deleted
  {
    std::lock_guard lock(mutex_);
    if (auto it = records_.find(probe); it != records_.end() && it->rep == rep) records_.erase(it);
  }
  release_ref();
}

}  // namespace korvane::detail
