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
  struct Cached;
  using Results = std::unordered_map<IpAddress, Cached, AddressHash>;
  using Node = Results::value_type;
  // One cached result, threaded on the list of its address group. Nodes of
  // an unordered_map never move, so the links stay valid across rehashes.
  struct Cached {
    std::optional<Metadata> result;
    Node* prev = nullptr;
    Node* next = nullptr;
  };
  // Cached addresses are grouped by their leading bits (the first 16 of an
  // IPv4 address, the first 32 of an IPv6 one), so a change visits only the
  // groups its prefix spans, not the whole cache.
  struct GroupHash {
    std::uint64_t seed;
    std::size_t operator()(std::uint64_t group) const noexcept;
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
  void link(Node& node) const;
  void unlink(Node& node) const;
  void evict_one() const;

  const std::uint64_t capacity_;
  mutable std::shared_mutex mutex_;
  mutable Results results_;
  mutable std::unordered_map<std::uint64_t, Node*, GroupHash> groups_;  // group -> first node
  mutable std::uint64_t victim_state_;  // eviction's generator state
  mutable std::array<Invalidation, kLogSize> log_{};
  // Written under the exclusive lock; read without it (acquire) by a miss
  // before its inner lookup.
  mutable std::atomic<std::uint64_t> generation_{0};
  std::shared_ptr<RedisBackend> backend_;
  EngineHandle inner_;
};

}  // namespace korvane
