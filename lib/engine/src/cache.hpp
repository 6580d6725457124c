// The lookup cache layer: remembers the last result per looked-up address in
// front of an inner engine, and drops exactly the results a change can
// affect.
//
// Thread safety: one reader-writer lock guards the cache. Hits run together
// under the shared lock. The inner engine is never called with the lock
// held: a miss calls it unlocked, then takes the lock exclusively to store.
// Inserts, removes and clears change the inner engine first, then take the
// lock exclusively to invalidate.
//
// A miss must not store a result that a change made stale while the inner
// lookup ran. Every invalidation takes a generation number and is logged in
// a short ring; a miss notes the generation before its inner lookup and, when
// storing, skips the store if any invalidation logged since then covers its
// address (or if the ring no longer reaches back that far).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <shared_mutex>
#include <unordered_map>

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

  std::uint64_t capacity() const noexcept { return capacity_; }
  // Number of cached results (for tests and diagnostics).
  std::size_t cached() const;

  // Drops every cached result whose address the prefix covers.
  void invalidate_covered(const IpPrefix& prefix) const;

 private:
  struct AddressHash {
    std::uint64_t seed;
    std::size_t operator()(const IpAddress& a) const noexcept;
  };
  // Orders addresses by family, then bytes, so the cached addresses inside
  // one prefix form a contiguous range.
  struct AddressLess {
    bool operator()(const IpAddress& a, const IpAddress& b) const noexcept;
  };
  struct Invalidation {
    std::uint64_t generation = 0;
    bool everything = false;  // a clear
    IpPrefix prefix;
  };
  static constexpr std::size_t kLogSize = 64;

  // With the lock held exclusively.
  void record_invalidation(const IpPrefix* prefix) const;
  bool stale_since(std::uint64_t generation, const IpAddress& address) const;
  void drop_covered(const IpPrefix& prefix) const;

  const std::uint64_t capacity_;
  mutable std::shared_mutex mutex_;
  mutable std::unordered_map<IpAddress, std::optional<Metadata>, AddressHash> results_;
  mutable std::set<IpAddress, AddressLess> order_;  // the same addresses, sorted
  mutable std::array<Invalidation, kLogSize> log_{};
  // Written under the exclusive lock; read without it (acquire) by a miss
  // before its inner lookup.
  mutable std::atomic<std::uint64_t> generation_{0};
  std::shared_ptr<RedisBackend> backend_;
  EngineHandle inner_;
};

}  // namespace korvane
