// HybridEngine: a write engine and a read engine, optionally backed by
// Redis.
//
// Without a backend both local engines receive every insert, remove and
// clear; queries go to the read engine.
//
// With a backend the engine also
//  - loads the entries hash into both engines when it is made,
//  - writes every insert and remove through to the entries hash and
//    publishes an update notice on the update channel (format in
//    redis/backend.hpp), and
//  - keeps one subscriber thread (redis/subscriber.hpp) that applies other
//    engines' notices to both local engines, and reloads the entries hash
//    whenever its subscription is re-established after a drop, because
//    notices sent meanwhile are lost.
// Its own changes reach its read engine at once, as without a backend; it
// ignores its own notices. A clear empties this engine's two local engines
// only: nothing is published and the entries hash keeps every entry.
// Redis failures after construction are silent: every operation returns its
// local result, and no call blocks longer than the client's time-outs
// (redis/client.hpp).
//
// Thread safety: no lock of its own. Both local engines are thread-safe, the
// backend is, and the subscriber thread only calls the local engines. An
// insert or remove changes the two engines one after the other, so a
// concurrent query may see the write engine ahead of the read engine.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>

#include "korvane/config.hpp"
#include "korvane/engine.hpp"
#include "korvane/local_engine.hpp"

namespace korvane {

namespace redis {
class RedisBackend;
class Subscriber;
}  // namespace redis

class HybridEngine final : public PrefixEngine {
 public:
  // Builds the engine; with a redis_url it connects, subscribes and loads.
  // Returns nothing and sets `error` ("Redis error: ...") when the backend
  // cannot be made.
  static std::shared_ptr<const HybridEngine> make(const EngineConfig& config, std::string& error);
  ~HybridEngine() override;

  InsertStatus insert(const IpPrefix& prefix, Metadata metadata) const override;
  std::optional<Metadata> lookup(const IpAddress& address) const override;
  std::optional<Metadata> remove(const IpPrefix& prefix) const override;
  bool contains(const IpPrefix& prefix) const override;
  void clear() const override;
  std::uint64_t len() const override;
  EngineStats stats() const override;
  // Batch lookups and the listing are the read engine's, like every query.
  void lookup_many(std::span<const IpAddress> addresses, std::span<std::optional<Metadata>> results) const override;
  void lookup_visit(std::span<const IpAddress> addresses, LookupVisitor& visitor) const override;
  void for_each(EntryVisitor& visitor) const override;

  bool has_backend() const noexcept { return backend_ != nullptr; }
  const LocalEngine& write_engine() const noexcept { return *write_; }
  const LocalEngine& read_engine() const noexcept { return *read_; }
  // Confirmed subscriptions so far: 1 after construction, +1 per reconnect.
  std::uint64_t subscriptions() const noexcept;

  HybridEngine(std::shared_ptr<const LocalEngine> write, std::shared_ptr<const LocalEngine> read,
               std::string update_channel);

 private:
  // Loads every usable pair of the entries hash into both engines.
  static void load(const redis::RedisBackend& backend, const LocalEngine& write, const LocalEngine& read);

  std::shared_ptr<const LocalEngine> write_;
  std::shared_ptr<const LocalEngine> read_;
  std::string update_channel_;
  std::string origin_;  // names this engine in its notices
  std::shared_ptr<redis::RedisBackend> backend_;
  std::unique_ptr<redis::Subscriber> subscriber_;  // destroyed first: it uses the engines
};

// "Failed to initialize HybridEngine: \"<error>\"" with quote marks and
// backslashes in the error escaped.
std::string hybrid_failure_message(const std::string& error);

}  // namespace korvane
