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
//
// With a Redis backend (redis/backend.hpp) the layer also
//  - writes every insert and remove through to the entries hash (and, with
//    an update channel, publishes the change as a hybrid engine does), and
//  - shares lookup results: a miss that the inner engine answers stores the
//    record under "korvane:lookup:<address>", tagged with the Redis
//    generation read before the inner lookup; a miss the inner engine
//    cannot answer asks Redis, and takes the shared record only while its
//    tag is still the current generation. Every change made through any
//    layer with a backend bumps the generation, so a shared result never
//    outlives a change made after it was computed.
//  - A record taken from Redis is not kept in the local cache: the change
//    that ends it may come from another process, which this layer does not
//    hear of. An address answered that way asks Redis again next time.
//  - A change whose write-through fails cannot bump the generation, and a
//    clear (which sends nothing) does not bump it either; the next miss
//    bumps it first, and until a bump succeeds the layer neither fetches
//    nor stores shared results, so its own stale results cannot be served.
// Redis failures are silent: a lookup then answers from the inner engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "cache_log.hpp"
#include "cache_table.hpp"
#include "korvane/engine.hpp"
#include "korvane/types.hpp"

namespace korvane {

namespace redis {
class RedisBackend;
}

class CachedEngine final : public PrefixEngine {
 public:
  // A capacity of 0 behaves as 1. The assembly builds the layer without a
  // backend; an empty update channel publishes no change notices.
  CachedEngine(std::uint64_t capacity, EngineHandle inner, std::shared_ptr<redis::RedisBackend> backend = nullptr,
               std::string update_channel = {});
  ~CachedEngine() override;

  InsertStatus insert(const IpPrefix& prefix, Metadata metadata) const override;
  std::optional<Metadata> lookup(const IpAddress& address) const override;
  // Each address behaves as one lookup would: a hit answers from the
  // cache, a miss asks the inner engine and is stored. The misses of a run
  // of addresses go to the inner engine as one batch. With a backend, one
  // address at a time.
  void lookup_many(std::span<const IpAddress> addresses, std::span<std::optional<Metadata>> results) const override;
  void lookup_visit(std::span<const IpAddress> addresses, LookupVisitor& visitor) const override;
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
  // A lookup with a backend: the local cache, then the inner engine, then
  // the shared results.
  std::optional<Metadata> lookup_shared(const IpAddress& address) const;
  // Answers addresses[0, n), n <= kChunk, into answers[0, n) (no backend).
  static constexpr std::size_t kChunk = 64;
  void answer_chunk(const IpAddress* addresses, std::size_t n, std::optional<Metadata>* answers) const;
  // After a change: note whether its write-through bumped the generation.
  void note_write_through(bool counted) const;
  // Whether the shared tier may be used now (bumps a pending generation).
  bool shared_tier_usable() const;

  const std::uint64_t capacity_;
  mutable ChangeLog log_;
  mutable ResultTable results_;
  std::shared_ptr<redis::RedisBackend> backend_;
  const std::string update_channel_;  // with the database's suffix (redis::notice_channel)
  const std::string origin_;
  // Changes that did not bump the generation (failed write-throughs and
  // clears), counted; and the count the last successful bump covered. The
  // shared tier waits while the second is behind: a bump that is still
  // under way does not let another miss through early.
  mutable std::atomic<std::uint64_t> unbumped_{0};
  mutable std::atomic<std::uint64_t> bumped_for_{0};
  EngineHandle inner_;
};

}  // namespace korvane
