#include "cache.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform.hpp"

namespace korvane {


std::size_t CachedEngine::AddressHash::operator()(const IpAddress& a) const noexcept {
  std::uint64_t words[2];
  std::memcpy(words, a.bytes.data(), 16);
  std::uint64_t h = seed ^ (static_cast<std::uint64_t>(a.family) << 56);
  for (std::uint64_t w : words) {
    h ^= w;
    h *= 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
  }
  return static_cast<std::size_t>(h * 0xBF58476D1CE4E5B9ull ^ (h >> 31));
}

bool CachedEngine::AddressLess::operator()(const IpAddress& a, const IpAddress& b) const noexcept {
  if (a.family != b.family) return a.family < b.family;
  return a.bytes < b.bytes;
}

CachedEngine::CachedEngine(std::uint64_t capacity, EngineHandle inner, std::shared_ptr<RedisBackend> backend)
    : capacity_(capacity),
      results_(0, AddressHash{platform::random_u64()}),
      backend_(std::move(backend)),
      inner_(std::move(inner)) {}

CachedEngine::~CachedEngine() = default;

InsertStatus CachedEngine::insert(const IpPrefix& prefix, Metadata metadata) const {
  if (InsertStatus error = inner_->insert(prefix, std::move(metadata))) return error;
  invalidate_covered(prefix);
  return std::nullopt;
}

std::optional<Metadata> CachedEngine::lookup(const IpAddress& address) const {
  {
    std::shared_lock read(mutex_);
    if (auto it = results_.find(address); it != results_.end()) return it->second;
  }
  const std::uint64_t before = generation_.load(std::memory_order_acquire);
  std::optional<Metadata> result = inner_->lookup(address);

  std::unique_lock write(mutex_);
  if (stale_since(before, address)) return result;  // a change overtook us
  if (results_.size() >= std::max<std::uint64_t>(capacity_, 1) && !results_.empty()) {
    // Evict whatever sits first in the table: no bookkeeping on hits.
    auto victim = results_.begin();
    order_.erase(victim->first);
    results_.erase(victim);
  }
  auto [it, inserted] = results_.insert_or_assign(address, result);
  if (inserted) order_.insert(address);
  return result;
}

std::optional<Metadata> CachedEngine::remove(const IpPrefix& prefix) const {
  std::optional<Metadata> removed = inner_->remove(prefix);
  invalidate_covered(prefix);
  return removed;
}

bool CachedEngine::contains(const IpPrefix& prefix) const { return inner_->contains(prefix); }

void CachedEngine::clear() const {
  inner_->clear();
  std::unique_lock write(mutex_);
  record_invalidation(nullptr);
  results_.clear();
  order_.clear();
}

std::uint64_t CachedEngine::len() const { return inner_->len(); }

EngineStats CachedEngine::stats() const { return inner_->stats(); }

std::size_t CachedEngine::cached() const {
  std::shared_lock read(mutex_);
  return results_.size();
}

void CachedEngine::invalidate_covered(const IpPrefix& prefix) const {
  std::unique_lock write(mutex_);
  record_invalidation(&prefix);
  drop_covered(prefix);
}

void CachedEngine::record_invalidation(const IpPrefix* prefix) const {
  const std::uint64_t g = generation_.load(std::memory_order_relaxed) + 1;
  Invalidation& slot = log_[g % kLogSize];
  slot.generation = g;
  slot.everything = prefix == nullptr;
  if (prefix != nullptr) slot.prefix = *prefix;
  generation_.store(g, std::memory_order_release);
}

bool CachedEngine::stale_since(std::uint64_t before, const IpAddress& address) const {
  const std::uint64_t now = generation_.load(std::memory_order_relaxed);
  if (now == before) return false;
  if (now - before > kLogSize) return true;  // the log no longer reaches back
  for (std::uint64_t g = before + 1; g <= now; ++g) {
    const Invalidation& entry = log_[g % kLogSize];
    if (entry.everything || entry.prefix.covers(address)) return true;
  }
  return false;
}

// Only the cached addresses inside the prefix are visited: they form one
// range of the sorted set, from the prefix's first address to its last.
void CachedEngine::drop_covered(const IpPrefix& prefix) const {
  const IpPrefix low = prefix.canonical();
  IpAddress first = low.address();
  IpAddress last = first;
  const unsigned width = address_width_bits(prefix.family);
  for (unsigned i = std::min<unsigned>(prefix.length, width); i < width; ++i) {
    last.bytes[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
  }
  auto it = order_.lower_bound(first);
  while (it != order_.end() && !AddressLess{}(last, *it)) {
    results_.erase(*it);
    it = order_.erase(it);
  }
}

}  // namespace korvane
