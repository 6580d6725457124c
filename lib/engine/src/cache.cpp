#include "cache.hpp"

#include "epoch.hpp"

namespace korvane {

CachedEngine::CachedEngine(std::uint64_t capacity, EngineHandle inner, std::shared_ptr<RedisBackend> backend)
    : capacity_(capacity), results_(capacity), backend_(std::move(backend)), inner_(std::move(inner)) {}

CachedEngine::~CachedEngine() = default;

InsertStatus CachedEngine::insert(const IpPrefix& prefix, Metadata metadata) const {
  if (InsertStatus error = inner_->insert(prefix, std::move(metadata))) return error;
  invalidate_covered(prefix);
  return std::nullopt;
}

std::optional<Metadata> CachedEngine::lookup(const IpAddress& address) const {
  // One pin for the probe, the inner lookup and the store (theirs nest).
  epoch::Guard pin;
  std::optional<Metadata> result;
  if (results_.find(address, result)) return result;
  const std::uint64_t before = log_.now();
  result = inner_->lookup(address);
  results_.store(address, result, log_, before);
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
