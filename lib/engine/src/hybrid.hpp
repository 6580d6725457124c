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
//    engines' notices to both local engines, and catches up whenever its
//    subscription is re-established after a drop, because notices sent
//    meanwhile are lost.
// Its own changes reach its read engine at once, as without a backend. Its
// own notices come back in the server's order: another engine's notice of
// the same prefix heard before ours came back is of an older change, and
// ours, once back, is put back over it (see echoes_due_). A clear empties
// this engine's two local engines only: nothing is published and the
// entries hash keeps every entry.
// An insert of a record that is not valid UTF-8 text (the stored form is
// JSON) is refused with an error, locally too, rather than written where
// no engine could read it back.
// Redis failures after construction are silent: every operation returns its
// local result, and no call blocks longer than the client's time-outs
// (redis/client.hpp).
//
// Catching up after a reconnect:
//  1. Changes whose write-through failed while the server was away are
//     kept, newest per hash field, and written again (with their notices).
//     The subscriber also tries them about once a second while it stays
//     subscribed (a server that refused writes needs no reconnection to
//     take them again). A notice of another engine's change of the same
//     entry, applied meanwhile, supersedes the waiting change, and so does
//     one that arrives while the change is still on its way to the server:
//     if that write then fails, it is not kept.
//  2. The entries hash is read with its generation in one transaction and
//     applied to both engines, except for prefixes changed locally since
//     the catch-up began or still waiting to be written: those keep their
//     local state. A catch-up that cannot read the hash (a time-out, the
//     server gone again, a key of another type) is tried again after one
//     second, then after waits that double up to about a minute.
//  3. If the server still has the history this engine saw (the same
//     incarnation token as at the last load, or none then and now where no
//     engine may write, and a generation not below the highest one this
//     engine saw), the hash is the whole truth: local prefixes it lacks
//     were removed elsewhere and are removed here too.
//     A new token, or none where there was one, means the server lost its
//     data (restarted without persistence, or flushed): nothing local is
//     removed, the prefixes the hash lacked are not removed by later
//     catch-ups either until they change, and the generation counts from
//     the server's again. A generation below the highest seen, with the
//     same token or none, removes nothing until the count passes it again
//     (a replica promoted before it caught up, a server restored from an
//     older copy of its data, or a lost server that no engine may write
//     to). The generation seen is what the server answered: loads read it,
//     this engine's own writes too, and so does the subscriber's next tick
//     after other engines' notices were heard. Notices themselves are not
//     counted: one published before a load and heard after it would count
//     twice, and an engine that only reads would then never again take a
//     load for the whole truth.
//     Nor is anything removed when the generation key holds something
//     else. Until a load has read the hash, the generation decides alone.
//
// Thread safety: both local engines are thread-safe, and so is the backend.
// One mutex (sync_) orders local changes and clears against each other and,
// with a backend, against notices and catch-ups: a change applies to both
// engines (and notes itself) under it, so the two engines never end up
// disagreeing, and the subscriber never overwrites a newer local change with
// an older hash value. It is held for local work only, never across a Redis
// round trip.
// Writes of one prefix from this engine (a change and its write-through, or
// the write of a pending change from its check on) hold that prefix's
// stripe of write_stripes_ throughout, so they reach the server in the
// order they were made; a stripe is taken before sync_.
// An insert or remove changes the two engines one after the other, so a
// concurrent query may see the write engine ahead of the read engine.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "korvane/config.hpp"
#include "korvane/engine.hpp"
#include "korvane/local_engine.hpp"

namespace korvane {

namespace redis {
class RedisBackend;
class Subscriber;
enum class WriteFailure;
}  // namespace redis

// Local entries the server lost with its data (see step 3 above), which a
// catch-up leaves in place although the hash lacks them: canonical
// prefixes in listing order, each with a flag cleared once the prefix
// changes or is back in the hash. 18 bytes and a bit per prefix, since
// after a server restarted empty they are the whole table. Not
// thread-safe: HybridEngine guards it with sync_.
class LostEntries {
 public:
  bool empty() const noexcept { return remaining_ == 0; }
  bool contains(const IpPrefix& canonical) const noexcept;
  void erase(const IpPrefix& canonical) noexcept;
  // Adds canonical prefixes, in any order.
  void add(const std::vector<IpPrefix>& prefixes);
  void clear() noexcept;

 private:
  std::vector<IpPrefix> prefixes_;
  std::vector<bool> lost_;
  std::size_t remaining_ = 0;
};

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
  // Changes whose write-through failed and that wait for the server.
  std::size_t pending_changes() const;
  // For tests: runs on the writing thread just before each write-through
  // (of a change just made, or of a pending one), with its prefix.
  void set_before_write_hook(std::function<void(const IpPrefix&)> hook) const;
  // For tests: runs at the start of each catch-up of a new subscription.
  void set_before_catch_up_hook(std::function<void()> hook) const;

  HybridEngine(std::shared_ptr<const LocalEngine> write, std::shared_ptr<const LocalEngine> read,
               std::string update_channel);

 private:
  // One change waiting for the server: a record to store, or none to delete.
  struct PendingChange {
    IpPrefix prefix;
    std::optional<Metadata> record;
  };

  // Applies a local change to both engines under sync_ and notes the prefix
  // as in flight, its notice as due; `change` is the record inserted, or
  // none for a remove. Returns the write engine's result.
  template <class Apply>
  auto change_locally(const IpPrefix& prefix, const std::optional<Metadata>& change, Apply apply) const;
  // After the write-through: the prefix is no longer in flight, and the
  // change waits in pending_ when it did not reach the server, with what is
  // known of the failure. `spellings`: the other fields of the entry the
  // write deleted with it.
  void settle(const IpPrefix& prefix, std::optional<std::uint64_t> generation, PendingChange change,
              redis::WriteFailure failure, const std::vector<std::string>& spellings) const;
  // A write that did not land: a refused one's notice will not come, and a
  // hash that failed it as it ran holds back the writes with the loads.
  void after_failed_write(const std::string& key, redis::WriteFailure failure) const;
  void after_failed_write_locked(const std::string& key, redis::WriteFailure failure) const;  // under sync_
  // The entry's fields in the hash spelt otherwise (see other_spellings_);
  // takes sync_.
  std::vector<std::string> other_spellings_of(const IpPrefix& prefix) const;
  // Forgets those of them a landed write deleted; under sync_.
  void forget_spellings(const std::string& key, const std::vector<std::string>& deleted) const;
  // Takes the prefix out of flight when a change leaves between its local
  // step and settle by an exception; `engine` null once it settled.
  struct Unsettled {
    const HybridEngine* engine;
    const IpPrefix* prefix;
    ~Unsettled();
  };
  // The subscriber's catch-up (see the header comment); the first one is
  // the construction-time load, into engines still empty.
  enum class CatchUpCause { Construction, NewSubscription, FailedLoad };
  void catch_up(CatchUpCause cause) const;
  void replay_pending() const;
  // The subscriber's tick: writes the pending changes once the server takes
  // them again, also when no reconnection follows the failure.
  void retry_pending() const;
  static bool same_change(const PendingChange& a, const PendingChange& b) {
    return a.prefix == b.prefix && a.record.has_value() == b.record.has_value() &&
           (!a.record || a.record->identity() == b.record->identity());
  }
  // The construction's load: both engines are empty and unshared.
  void load_into_empty(std::vector<std::pair<std::string, std::string>> entries) const;
  void apply_notice(std::string_view text) const;
  // Just before a SUBSCRIBE is sent (see changes_made_).
  void note_subscribing() const;
  // Under sync_: a change of the prefix whose notice is to come back.
  void expect_echo(const std::string& key, std::optional<Metadata> change) const;
  // Under sync_: a change's notice will not come back (its write never
  // began).
  void echo_not_coming(const std::string& key) const;
  // Under sync_: applies a change to both engines as a notice brings it.
  void apply_change(const IpPrefix& prefix, std::optional<Metadata> record) const;
  void note_generation(std::uint64_t generation) const;
  std::mutex& writes_of(const IpPrefix& prefix) const;
  void before_write(const IpPrefix& prefix) const;

  std::shared_ptr<const LocalEngine> write_;
  std::shared_ptr<const LocalEngine> read_;
  std::string update_channel_;
  // Where notices go: the update channel, with "/N" after it for database
  // N other than 0. Publish and subscribe span a server's databases, so
  // without it an engine would apply changes made to another database's
  // hash.
  std::string notice_channel_;
  std::string origin_;  // names this engine in its notices
  // A forked child's writes name an origin of their own: under its
  // parent's, the parent would take the child's notices for its own and
  // never apply them. Made on the child's first write.
  const int owner_pid_;
  mutable std::mutex child_origin_mutex_;  // guards the two below
  mutable int child_pid_ = 0;
  mutable std::string child_origin_;
  std::string origin_here() const;
  std::shared_ptr<redis::RedisBackend> backend_;

  mutable std::mutex catch_up_;  // one catch-up at a time; taken before sync_
  mutable bool first_load_done_ = false;  // guarded by catch_up_
  // The server's incarnation token at the last load (see kIncarnationKey),
  // and whether any load has read the hash yet; guarded by catch_up_.
  mutable std::optional<std::string> incarnation_;
  mutable bool loaded_ = false;
  // Guards the sets below; see the header comment.
  mutable std::mutex sync_;
  // Canonical prefix texts of changes between their local step and the end
  // of their write-through (a multiset: two threads may change one prefix).
  mutable std::multiset<std::string> in_flight_;
  // Canonical prefix texts changed locally since the catch-up began, which
  // the catch-up leaves alone; meaningful while catching_up_.
  mutable std::set<std::string> touched_;
  mutable bool catching_up_ = false;
  // A local change or a notice of a prefix, or the prefix back in the
  // hash, takes it off.
  mutable LostEntries lost_by_server_;
  // Failed write-throughs by hash field text, newest kept.
  mutable std::map<std::string, PendingChange> pending_;
  // Fields of the hash that name an entry otherwise than this engine
  // writes it (another tool's upper-case hex, netmask, leading zeros or
  // host bits), by canonical prefix text, as the loads found them. The
  // entry's next write deletes them with it: left in place, they would
  // outlive a remove, or win over a newer record at a later load.
  mutable std::map<std::string, std::vector<std::string>> other_spellings_;
  // Canonical prefix texts that were in flight when another engine's
  // notice of them was applied: the change in flight is the older one, so
  // a failed write of it is not kept.
  mutable std::set<std::string> overtaken_;
  // Notices of this engine's own writes still to come back, by canonical
  // prefix text: one per change from its local step (or per replayed
  // write) until its notice comes back, with the latest of those changes.
  // The subscription hears notices in the server's order, so another
  // engine's notice of the prefix heard while one of ours is due was
  // published before our write: it is applied (the prefix briefly shows
  // it), noted in overridden_, and once our last notice is back our latest
  // change is put back. A write that fails may still have reached the
  // server (a reply that timed out), so its notice stays due: a count too
  // high only stops putting changes back for the prefix, where one too low
  // could put back an older change. Counts start afresh with each new
  // subscription (our notices sent before it never come back) and with
  // with each clear (what it cleared is not put back, though the counts stay:
// the notices of changes made before it still come back).
  struct EchoesDue {
    unsigned count = 0;
    std::optional<Metadata> latest;  // the record, or none for a remove
    bool restorable = true;  // false once a clear came after `latest`
    std::uint64_t made = 0;  // changes_made_ when `latest` was made
  };
  mutable std::map<std::string, EchoesDue> echoes_due_;
  mutable std::set<std::string> overridden_;
  // Changes whose notices were made due, and, just before each SUBSCRIBE
  // was sent, that number and the prefixes then in flight: a new
  // subscription's catch-up keeps the counts of changes made since, or in
  // flight then or now, whose notices may come back on it.
  mutable std::uint64_t changes_made_ = 0;
  mutable std::uint64_t made_before_subscribing_ = 0;
  mutable std::set<std::string> in_flight_before_subscribing_;
  // Set when another engine's notice was applied since the subscriber's
  // last tick, which then reads the generation: a count the server
  // answered, where counting notices would count twice those heard after a
  // load that had already counted them. Relaxed: a hint.
  mutable std::atomic<bool> heard_notices_{false};
  // Clears so far; a catch-up stops applying the hash once one happens, so
  // that the clear counts as after it, not as having emptied part of it.
  mutable std::uint64_t clears_ = 0;
  mutable std::function<void(const IpPrefix&)> before_write_hook_;
  mutable std::function<void()> before_catch_up_hook_;  // guarded by sync_
  // See the header comment; by a hash of the canonical prefix text.
  static constexpr std::size_t kWriteStripes = 64;
  mutable std::array<std::mutex, kWriteStripes> write_stripes_;
  // The highest generation the server answered this engine (relaxed: only
  // catch-ups compare it, and the writes are monotonic maxima but for the
  // reset after a data loss, made by a catch-up).
  mutable std::atomic<std::uint64_t> seen_generation_{0};
  // Set when a catch-up could not read the entries hash, cleared by one
  // that could (relaxed: the subscriber's thread reads it, and every
  // catch-up, the construction's or a reload the subscriber joins, happens
  // before that thread's next tick).
  mutable std::atomic<bool> load_due_{false};
  // While loads keep failing, the subscriber's ticks to let pass before the
  // next try, doubling to kMaxLoadWait, and those let pass since the last
  // (the subscriber's thread alone uses them). A hash that cannot be read
  // (a key of another type, a reply that times out) is then not fetched
  // whole every second by every engine.
  static constexpr unsigned kMaxLoadWait = 63;
  mutable unsigned load_wait_ = 0;
  mutable unsigned ticks_waited_ = 0;

  std::unique_ptr<redis::Subscriber> subscriber_;  // destroyed first: it uses the engines
};

// "Failed to initialize HybridEngine: \"<error>\"" with quote marks and
// backslashes in the error escaped.
std::string hybrid_failure_message(const std::string& error);

}  // namespace korvane
