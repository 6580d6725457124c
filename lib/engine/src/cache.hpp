// The lookup cache layer: remembers the last result per looked-up address in
// front of an inner engine, and drops exactly the results a change can
// affect.
//
// Thread safety: the results live in a ResultTable (cache_table.hpp), whose
// hits take no lock and write no shared memory but the record's reference
// count, and whose stores lock one stripe only. The inner engine is never
// called with a lock of this layer held: a miss calls it, then stores;
// inserts, removes and clears change the inner engine first, then log the
// change and invalidate.
//
// A miss must not store a result that a change made stale while the inner
// lookup ran. Every change is logged in a ChangeLog (cache_log.hpp) before
// it invalidates; a miss notes the log's generation before its inner lookup
// and skips the store if a change logged since then covers its address.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "cache_log.hpp"
#include "cache_table.hpp"
#include "korvane/engine.hpp"
#include "korvane/types.hpp"

namespace korvane {

class RedisBackend;  // shared Redis results; not built by this assembly

class CachedEngine final : public PrefixEngine {
 public:
  // A capacity of 0 behaves as 1.
  CachedEngine(std::uint64_t capacity, EngineHandle inner, std::shared_ptr<RedisBackend> backend = nullptr);
  ~CachedEngine() override;

  InsertStatus insert(const IpPrefix& prefix, Metadata metadata) const override;
  std::optional<Metadata> lookup(const IpAddress& address) const override;
  std::optional<Metadata> remove(const IpPrefix& prefix) const override;
  bool contains(const IpPrefix& prefix) const override;
  void clear() const override;
  std::uint64_t len() const override;
  EngineStats stats() const override;
  void for_each(EntryVisitor& visitor) const override;

  std::uint64_t capacity() const noexcept { return capacity_; }
  // Number of cached results (for tests and diagnostics).
  std::size_t cached() const;

  // Drops every cached result whose address the prefix covers.
  void invalidate_covered(const IpPrefix& prefix) const;

 private:
  const std::uint64_t capacity_;
  mutable ChangeLog log_;
  mutable ResultTable results_;
  std::shared_ptr<RedisBackend> backend_;
  EngineHandle inner_;
};

}  // namespace korvane
