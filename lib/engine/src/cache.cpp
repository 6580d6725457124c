#include "cache.hpp"

#include "epoch.hpp"
#include "redis/backend.hpp"

namespace korvane {

CachedEngine::CachedEngine(std::uint64_t capacity, EngineHandle inner, std::shared_ptr<redis::RedisBackend> backend,
                           std::string update_channel)
    : capacity_(capacity),
      results_(capacity),
      backend_(std::move(backend)),
      update_channel_(std::move(update_channel)),
      origin_(backend_ ? redis::new_origin() : std::string()),
      inner_(std::move(inner)) {}

CachedEngine::~CachedEngine() = default;

InsertStatus CachedEngine::insert(const IpPrefix& prefix, Metadata metadata) const {
  if (!backend_) {
    if (InsertStatus error = inner_->insert(prefix, std::move(metadata))) return error;
  } else {
    if (InsertStatus error = inner_->insert(prefix, metadata)) return error;
    const std::string* channel = update_channel_.empty() ? nullptr : &update_channel_;
    note_write_through(backend_->store_entry(prefix, metadata, channel, origin_).has_value());
  }
  invalidate_covered(prefix);
  return std::nullopt;
}

std::optional<Metadata> CachedEngine::lookup(const IpAddress& address) const {
  if (backend_) return lookup_shared(address);
  // One pin for the probe, the inner lookup and the store (theirs nest).
  epoch::Guard pin;
  std::optional<Metadata> result;
  if (results_.find(address, result)) return result;
  const std::uint64_t before = log_.now();
  result = inner_->lookup(address);
  results_.store(address, result, log_, before);
  return result;
}

// No pin is held across a Redis round trip: it would hold back reclamation
// in the whole process for as long as the server takes.
std::optional<Metadata> CachedEngine::lookup_shared(const IpAddress& address) const {
  std::optional<Metadata> result;
  {
    epoch::Guard pin;
    if (results_.find(address, result)) return result;
  }
  // Read before the inner lookup: a change that overtakes the lookup has
  // bumped past it, so a stale record stored with it is never fetched.
  const std::optional<std::uint64_t> generation = shared_tier_usable() ? backend_->generation() : std::nullopt;
  std::uint64_t before = 0;
  {
    epoch::Guard pin;
    before = log_.now();
    result = inner_->lookup(address);
    if (result || !generation) results_.store(address, result, log_, before);
  }
  if (result) {
    if (generation) backend_->store_result(address, *result, *generation);
    return result;
  }
  if (!generation) return result;
  if (std::optional<Metadata> shared = backend_->fetch_result(address)) return shared;
  // Found neither here nor in Redis: the miss is cached as usual.
  epoch::Guard pin;
  results_.store(address, std::nullopt, log_, before);
  return std::nullopt;
}

std::optional<Metadata> CachedEngine::remove(const IpPrefix& prefix) const {
  std::optional<Metadata> removed = inner_->remove(prefix);
  if (backend_) {
    const std::string* channel = update_channel_.empty() ? nullptr : &update_channel_;
    note_write_through(backend_->delete_entry(prefix, channel, origin_).has_value());
  }
  invalidate_covered(prefix);
  return removed;
}

void CachedEngine::note_write_through(bool reached) const {
  if (!reached) bump_pending_.store(true, std::memory_order_relaxed);
}

bool CachedEngine::shared_tier_usable() const {
  if (!bump_pending_.load(std::memory_order_relaxed)) return true;
  // Clear first: a failure noted while the bump runs sets it again.
  bump_pending_.store(false, std::memory_order_relaxed);
  if (backend_->bump_generation()) return true;
  bump_pending_.store(true, std::memory_order_relaxed);
  return false;
}

bool CachedEngine::contains(const IpPrefix& prefix) const { return inner_->contains(prefix); }

void CachedEngine::clear() const {
  inner_->clear();
  log_.record(nullptr);
  results_.drop_all();
}

std::uint64_t CachedEngine::len() const { return inner_->len(); }

EngineStats CachedEngine::stats() const { return inner_->stats(); }

std::size_t CachedEngine::cached() const { return results_.size(); }

void CachedEngine::invalidate_covered(const IpPrefix& prefix) const {
  log_.record(&prefix);
  results_.drop_covered(prefix);
}

// The entries are the inner engine's; the cache holds only results.
void CachedEngine::for_each(EntryVisitor& visitor) const { inner_->for_each(visitor); }

}  // namespace korvane
