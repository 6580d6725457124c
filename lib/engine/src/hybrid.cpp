#include "hybrid.hpp"

#include <algorithm>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "engine.hpp"
#include "korvane/address.hpp"
#include "platform.hpp"
#include "redis/backend.hpp"
#include "redis/schema.hpp"
#include "redis/subscriber.hpp"

namespace korvane {

std::string hybrid_failure_message(const std::string& error) {
  std::string out = "Failed to initialize HybridEngine: \"";
  for (const char c : error) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

HybridEngine::HybridEngine(std::shared_ptr<const LocalEngine> write, std::shared_ptr<const LocalEngine> read,
                           std::string update_channel)
    : write_(std::move(write)), read_(std::move(read)), update_channel_(std::move(update_channel)),
      origin_(redis::new_origin()),
      owner_pid_(platform::process_id()) {}

HybridEngine::~HybridEngine() {
  // The subscriber's thread may be waiting on the server (a catch-up's load
  // waits up to kLoadTimeout): its waits end first, then the thread.
  if (backend_) backend_->client().interrupt();
  subscriber_.reset();
}

namespace {

std::string canonical_text(const IpPrefix& prefix) { return format_prefix(prefix.canonical()); }

// Moves the fields spelt otherwise than this engine writes them to the
// front, so that where the hash also holds the entry's field as written
// here, that one is applied last and its record wins whatever order the
// server listed them in. Returns those fields by the entry they name.
std::map<std::string, std::vector<std::string>> spelt_otherwise_first(
    std::vector<std::pair<std::string, std::string>>& entries) {
  std::map<std::string, std::vector<std::string>> spellings;
  const auto written_here = std::stable_partition(entries.begin(), entries.end(), [](const auto& entry) {
    const auto prefix = parse_prefix(entry.first);
    return prefix && redis::prefix_text(prefix->canonical()) != entry.first;
  });
  for (auto it = entries.begin(); it != written_here; ++it) {
    spellings[canonical_text(*parse_prefix(it->first))].push_back(it->first);
  }
  return spellings;
}

// Lists a local engine's prefixes; nothing when the layout cannot list.
std::optional<std::vector<IpPrefix>> list_prefixes(const LocalEngine& engine) {
  struct Collect final : EntryVisitor {
    std::vector<IpPrefix> prefixes;
    void visit(const IpPrefix& prefix, const Metadata&) override { prefixes.push_back(prefix); }
  } collect;
  try {
    engine.for_each(collect);
  } catch (const std::logic_error&) {
    return std::nullopt;
  }
  return std::move(collect.prefixes);
}

}  // namespace

std::shared_ptr<const HybridEngine> HybridEngine::make(const EngineConfig& config, std::string& error) {
  auto write = build_local_engine(config.kind, config.flavour, config.write_compressed_nodes, config.shard_count);
  auto read = build_local_engine(config.kind, config.flavour, config.compressed_nodes, config.shard_count);
  auto engine = std::make_shared<HybridEngine>(write, read, config.update_channel);
  if (!config.redis_url) return engine;

  std::string client_error;
  engine->backend_ = redis::RedisBackend::make(*config.redis_url, client_error);
  if (!engine->backend_) {
    error = EngineError::redis(client_error).message();
    return nullptr;
  }
  // Subscribe first, then load: a change published after the load read the
  // hash is then never missed. The subscriber catches up on every confirmed
  // subscription, the first one (the construction's load) included. The
  // callbacks may use the engine: its destructor stops the subscriber first.
  engine->notice_channel_ =
      redis::notice_channel(config.update_channel, engine->backend_->client().settings().database);
  HybridEngine* self = engine.get();
  engine->subscriber_ = std::make_unique<redis::Subscriber>(
      engine->backend_->client().settings(), engine->notice_channel_,
      [self] { self->catch_up(CatchUpCause::NewSubscription); },
      [self](std::string_view text) { self->apply_notice(text); }, [self] { self->retry_pending(); },
      redis::Subscriber::kMaxHeldBytes, [self] { self->note_subscribing(); });
  std::string refusal;
  const bool first_subscribed = engine->subscriber_->wait_first_attempt(&refusal);
  if (!refusal.empty()) {
    // The server refused the subscription itself: every later attempt
    // would be refused too, and with it every write-through, which goes
    // with its notice in one transaction. Better no engine than one that
    // never stores a change.
    error = EngineError::redis(refusal).message();
    return nullptr;
  }
  // No subscription yet (the server went away after the first connect):
  // load now; the subscriber catches up when it gets through. Should its
  // retry have got through meanwhile, its load comes first and this one
  // waits for it, then has nothing to do: either way the engine is handed
  // out loaded.
  if (!first_subscribed) engine->catch_up(CatchUpCause::Construction);
  return engine;
}

void HybridEngine::apply_notice(std::string_view text) const {
  auto notice = redis::parse_notice(text);
  if (!notice) return;
  std::string key = canonical_text(notice->prefix);
  std::lock_guard lock(sync_);
  if (notice->origin == origin_) {
    // Our own change, back in the server's order. Once the last one due
    // for the prefix is back, an older notice of another engine's applied
    // meanwhile is undone: our change is the newer one.
    const auto due = echoes_due_.find(key);
    if (due == echoes_due_.end() || --due->second.count > 0) return;
    std::optional<Metadata> latest = std::move(due->second.latest);
    const bool restorable = due->second.restorable;
    echoes_due_.erase(due);
    if (overridden_.erase(key) == 0 || !restorable) return;
    apply_change(notice->prefix, std::move(latest));
    return;
  }
  heard_notices_.store(true, std::memory_order_relaxed);
  // The generation is not counted from notices: one published before the
  // last load read the hash, and heard after it, would be counted twice,
  // and an engine that only reads would then never trust a later load to
  // hold the whole truth. Its own writes and its loads read the count.
  apply_change(notice->prefix, notice->insert ? std::optional(std::move(notice->record)) : std::nullopt);
  if (echoes_due_.contains(key)) overridden_.insert(key);
  // A change of ours that still waits for the server, or is on its way
  // there, and fails to reach it: the hash then holds this one, which both
  // engines now hold, and writing ours later would leave them disagreeing
  // with the hash.
  if (!in_flight_.empty() && in_flight_.contains(key)) overtaken_.insert(key);
  if (!pending_.empty()) pending_.erase(key);  // keyed as settle keys them
}

void HybridEngine::apply_change(const IpPrefix& prefix, std::optional<Metadata> record) const {
  if (record) {
    (void)write_->insert(prefix, *record);
    (void)read_->insert(prefix, std::move(*record));
  } else {
    (void)write_->remove(prefix);
    (void)read_->remove(prefix);
  }
  if (!lost_by_server_.empty()) lost_by_server_.erase(prefix.canonical());
}

std::string HybridEngine::origin_here() const {
  const int pid = platform::process_id();
  if (pid == owner_pid_) return origin_;
  std::lock_guard lock(child_origin_mutex_);
  if (child_pid_ != pid) {
    child_origin_ = redis::new_origin();
    child_pid_ = pid;
  }
  return child_origin_;
}

void HybridEngine::note_subscribing() const {
  std::lock_guard lock(sync_);
  made_before_subscribing_ = changes_made_;
  in_flight_before_subscribing_ = std::set<std::string>(in_flight_.begin(), in_flight_.end());
}

void HybridEngine::expect_echo(const std::string& key, std::optional<Metadata> change) const {
  EchoesDue& due = echoes_due_[key];
  ++due.count;
  due.latest = std::move(change);
  due.restorable = true;
  due.made = ++changes_made_;
}

void HybridEngine::echo_not_coming(const std::string& key) const {
  const auto due = echoes_due_.find(key);
  if (due == echoes_due_.end() || --due->second.count > 0) return;
  echoes_due_.erase(due);
  overridden_.erase(key);  // the other engine's change stands
}

void HybridEngine::retry_pending() const {
  if (heard_notices_.exchange(false, std::memory_order_relaxed)) {
    if (const auto generation = backend_->generation()) {
      note_generation(*generation);
    } else {
      heard_notices_.store(true, std::memory_order_relaxed);  // read it next tick
    }
  }
  // The last catch-up could not read the hash (a time-out, a server gone
  // again): this one writes what waits, then loads.
  if (load_due_.load(std::memory_order_relaxed)) {
    if (ticks_waited_ >= load_wait_) {
      ticks_waited_ = 0;
      catch_up(CatchUpCause::FailedLoad);
      const bool failed_again = load_due_.load(std::memory_order_relaxed);
      load_wait_ = failed_again ? std::min(2 * load_wait_ + 1, kMaxLoadWait) : 0;
      return;
    }
    // Writes wait with the load: a hash the server cannot read is one it
    // refuses to write, too (a key of another type).
    ++ticks_waited_;
    return;
  }
  load_wait_ = 0;
  ticks_waited_ = 0;
  {
    std::lock_guard lock(sync_);
    if (pending_.empty()) return;
  }
  std::lock_guard one_at_a_time(catch_up_);
  replay_pending();
}

void HybridEngine::note_generation(std::uint64_t generation) const {
  std::uint64_t seen = seen_generation_.load(std::memory_order_relaxed);
  while (seen < generation &&
         !seen_generation_.compare_exchange_weak(seen, generation, std::memory_order_relaxed)) {
  }
}

void HybridEngine::replay_pending() const {
  std::map<std::string, PendingChange> replay;
  {
    std::lock_guard lock(sync_);
    replay = pending_;
  }
  const std::string* channel = &notice_channel_;
  for (auto& [field, change] : replay) {
    std::lock_guard writes(writes_of(change.prefix));
    const std::string key = canonical_text(change.prefix);
    {
      // Gone or replaced meanwhile (written by a newer change, superseded by
      // another engine's), or changed again right now: not ours to write.
      std::lock_guard lock(sync_);
      auto it = pending_.find(field);
      if (it == pending_.end() || !same_change(it->second, change) || in_flight_.contains(key)) continue;
      // Due even if the write fails: it may have reached the server.
      expect_echo(key, change.record);
    }
    const std::vector<std::string> spellings = other_spellings_of(change.prefix);
    before_write(change.prefix);
    redis::WriteFailure failure = redis::WriteFailure::kUnknown;
    const auto generation =
        change.record
            ? backend_->store_entry(change.prefix, *change.record, channel, origin_here(), &failure, spellings)
            : backend_->delete_entry(change.prefix, channel, origin_here(), &failure, spellings);
    if (!generation) {
      after_failed_write(key, failure);
      return;  // the server went away again, or refuses writes still: keep the rest
    }
    note_generation(*generation);
    std::lock_guard lock(sync_);
    forget_spellings(key, spellings);
    // Erase only what was replayed: a newer failed change of the field
    // stays for the next try.
    auto it = pending_.find(field);
    if (it != pending_.end() && same_change(it->second, change)) pending_.erase(it);
  }
}

void HybridEngine::catch_up(CatchUpCause cause) const {
  if (cause == CatchUpCause::NewSubscription) {
    std::function<void()> hook;
    {
      std::lock_guard lock(sync_);
      hook = before_catch_up_hook_;
    }
    if (hook) hook();
  }
  // The construction's fallback load and the subscriber's may overlap.
  std::lock_guard one_at_a_time(catch_up_);
  // The subscriber got through first and loaded: it keeps up from here, and
  // a second load now would race the notices it applies.
  if (cause == CatchUpCause::Construction && first_load_done_) return;
  // The first catch-up loads the empty engines in bulk, bypassing sync_:
  // decided here, under catch_up_, so that whichever thread runs it, no
  // notice is applied (the subscriber listens only once its catch-up
  // returned) and the engine is not handed out (the construction waits
  // for this lock) until it is done.
  const bool first = !first_load_done_;
  first_load_done_ = true;
  // The server answers again (a subscription was confirmed, or the
  // construction just connected): no waiting out an earlier failure.
  backend_->client().server_reachable();
  std::uint64_t clears_before;
  {
    std::lock_guard lock(sync_);
    catching_up_ = true;
    touched_.clear();
    touched_.insert(in_flight_.begin(), in_flight_.end());
    clears_before = clears_;
    if (cause == CatchUpCause::NewSubscription) {
      // Notices of our changes written before this subscription was asked
      // for never come back, and the hash read below is newer than they
      // are. The others (changes in flight then or now, or made since) may
      // come back on it, and keep their counts and marks.
      for (auto it = echoes_due_.begin(); it != echoes_due_.end();) {
        const std::string& key = it->first;
        if (it->second.made > made_before_subscribing_ || in_flight_.contains(key) ||
            in_flight_before_subscribing_.contains(key)) {
          ++it;
          continue;
        }
        overridden_.erase(key);
        it = echoes_due_.erase(it);
      }
    }
  }
  if (!first) replay_pending();
  // Every generation noted so far was set before the snapshot is read.
  const std::uint64_t seen_before = seen_generation_.load(std::memory_order_relaxed);
  auto snapshot = backend_->load_snapshot(redis::new_origin());
  {
    std::lock_guard lock(sync_);
    for (const auto& [field, change] : pending_) touched_.insert(canonical_text(change.prefix));
  }
  // The hash's prefixes (host bits cleared), sorted, when they will be
  // needed: 18 bytes each, no allocation per entry.
  std::vector<IpPrefix> in_hash;
  bool cleared = false;
  // A failed load is tried again on the subscriber's next tick: a table
  // loaded only partly, or not at all, must not pass unnoticed.
  load_due_.store(!snapshot, std::memory_order_relaxed);
  // Without a usable generation and the incarnation of the last load,
  // nothing tells whether the server kept its history: the hash is then
  // applied, and nothing local removed. The generation alone would not do:
  // a server that lost its data counts again from zero, and may have
  // counted past what this engine saw before it reconnects. Only where
  // neither load read a token (no engine on the server may write) does the
  // generation decide alone. A token gone since the last load went with
  // the server's data too.
  const bool server_lost_data = snapshot && loaded_ && incarnation_ && snapshot->incarnation != incarnation_;
  const bool whole_truth = snapshot && !server_lost_data && snapshot->generation &&
                           *snapshot->generation >= seen_before && (!loaded_ || snapshot->incarnation == incarnation_);
  if (server_lost_data) {
    // The server's count starts afresh, and so does what this engine has
    // seen of it: the highest count before the loss would otherwise hold
    // back every later catch-up until the server passed it again.
    seen_generation_.store(snapshot->generation.value_or(0), std::memory_order_relaxed);
  } else if (snapshot && snapshot->generation) {
    note_generation(*snapshot->generation);
  }
  if (snapshot) {
    incarnation_ = snapshot->incarnation;
    loaded_ = true;
    auto spellings = spelt_otherwise_first(snapshot->entries);
    if (!spellings.empty()) {
      std::lock_guard lock(sync_);
      for (auto& [key, fields] : spellings) {
        std::vector<std::string>& known = other_spellings_[key];
        for (std::string& field : fields) {
          if (std::find(known.begin(), known.end(), field) == known.end()) known.push_back(std::move(field));
        }
      }
    }
  }
  if (snapshot && first) {
    load_into_empty(std::move(snapshot->entries));
  } else if (snapshot) {
    for (auto& [field, value] : snapshot->entries) {
      const auto prefix = parse_prefix(field);
      if (!prefix) continue;
      // A field whose value is no record still says the entry is there:
      // the local record stays.
      if (whole_truth || server_lost_data) in_hash.push_back(prefix->canonical());
      auto record = redis::decode_metadata(value);
      if (!record) continue;
      std::lock_guard lock(sync_);
      // A clear meanwhile counts as after this catch-up: the rest of the
      // hash is not applied, so the clear empties all of it, not part.
      if (clears_ != clears_before) {
        cleared = true;
        break;
      }
      if (touched_.empty() || !touched_.contains(canonical_text(*prefix))) {
        (void)write_->insert(*prefix, *record);
        (void)read_->insert(*prefix, std::move(*record));
      }
    }
    snapshot->entries.clear();
    std::sort(in_hash.begin(), in_hash.end(), listing_order);
  }
  if (!first && !cleared && (whole_truth || server_lost_data)) {
    // Local prefixes the hash lacks were removed while we were away, or,
    // when the server lost its data, lost with it: those stay, and no later
    // catch-up takes their absence for a remove either.
    bool kept_lost;
    {
      std::lock_guard lock(sync_);
      kept_lost = !lost_by_server_.empty();
    }
    std::vector<IpPrefix> newly_lost;
    if (auto local = list_prefixes(*write_)) {
      for (const IpPrefix& prefix : *local) {
        if (std::binary_search(in_hash.begin(), in_hash.end(), prefix, listing_order)) {
          // In the hash again: its absence no longer needs explaining.
          if (kept_lost) {
            std::lock_guard lock(sync_);
            lost_by_server_.erase(prefix);
          }
          continue;
        }
        if (server_lost_data) {
          newly_lost.push_back(prefix);
          continue;
        }
        const std::string key = canonical_text(prefix);
        std::lock_guard lock(sync_);
        if (touched_.contains(key) || (kept_lost && lost_by_server_.contains(prefix))) continue;
        (void)write_->remove(prefix);
        (void)read_->remove(prefix);
      }
    }
    if (!newly_lost.empty()) {
      std::lock_guard lock(sync_);
      // Prefixes changed locally meanwhile are in the hash, or gone here.
      if (!touched_.empty()) {
        std::erase_if(newly_lost, [&](const IpPrefix& prefix) { return touched_.contains(canonical_text(prefix)); });
      }
      lost_by_server_.add(newly_lost);
    }
  }
  std::lock_guard lock(sync_);
  catching_up_ = false;
  touched_.clear();
}

void HybridEngine::load_into_empty(std::vector<std::pair<std::string, std::string>> entries) const {
  std::vector<std::pair<IpPrefix, Metadata>> usable;
  usable.reserve(entries.size());
  for (auto& [field, value] : entries) {
    const auto prefix = parse_prefix(field);
    if (!prefix) continue;
    if (auto record = redis::decode_metadata(value)) usable.emplace_back(*prefix, std::move(*record));
  }
  entries = {};
  // The two engines are independent and nobody else changes them yet (the
  // engine has not been handed out, and notices wait for the subscriber's
  // catch-up to return), so they load side by side. Both see the pairs in
  // the same order, so where two fields name one entry both keep the same
  // record.
  auto load = [&usable](const LocalEngine& engine) {
    for (const auto& [prefix, record] : usable) (void)engine.insert(prefix, record);
  };
  std::thread writer;
  try {
    writer = std::thread(load, std::cref(*write_));
  } catch (const std::system_error&) {
    load(*write_);  // no thread to spare: one after the other
  }
  try {
    load(*read_);
  } catch (...) {
    if (writer.joinable()) writer.join();  // a thread left joinable would end the process
    throw;
  }
  if (writer.joinable()) writer.join();
}

template <class Apply>
auto HybridEngine::change_locally(const IpPrefix& prefix, const std::optional<Metadata>& change, Apply apply) const {
  // The two engines change under one lock, with or without a backend: two
  // changes of one prefix (or a change and a clear) interleaved between
  // them would leave the engines disagreeing for good.
  std::lock_guard lock(sync_);
  if (!backend_) return apply();
  std::string key = canonical_text(prefix);
  auto result = apply();
  if (!lost_by_server_.empty()) lost_by_server_.erase(prefix.canonical());
  if (catching_up_) touched_.insert(key);
  expect_echo(key, change);
  in_flight_.insert(std::move(key));
  return result;
}

void HybridEngine::settle(const IpPrefix& prefix, std::optional<std::uint64_t> generation,
                          PendingChange change, redis::WriteFailure failure,
                          const std::vector<std::string>& spellings) const {
  if (generation) note_generation(*generation);
  const std::string key = canonical_text(prefix);
  std::lock_guard lock(sync_);
  if (generation) forget_spellings(key, spellings);
  in_flight_.erase(in_flight_.find(key));
  const bool overtaken = !overtaken_.empty() && overtaken_.contains(key);
  if (overtaken && !in_flight_.contains(key)) overtaken_.erase(key);
  const std::string field = redis::prefix_text(prefix.canonical());  // as store_entry writes it
  if (generation) {
    pending_.erase(field);  // a newer write reached the server
  } else if (!overtaken) {
    // Its notice stays due unless the server refused the write: it may
    // have reached the server.
    pending_.insert_or_assign(field, std::move(change));
  }
  if (!generation) after_failed_write_locked(key, failure);
}

void HybridEngine::after_failed_write(const std::string& key, redis::WriteFailure failure) const {
  std::lock_guard lock(sync_);
  after_failed_write_locked(key, failure);
}

void HybridEngine::after_failed_write_locked(const std::string& key, redis::WriteFailure failure) const {
  if (failure == redis::WriteFailure::kRefused) echo_not_coming(key);
  // A hash that failed a write as it ran (a key of another type) fails the
  // next ones too, each publishing its notice all the same: the writes
  // wait with the loads, which back off, until a load finds it usable.
  if (failure == redis::WriteFailure::kFailedAsItRan) load_due_.store(true, std::memory_order_relaxed);
}

std::vector<std::string> HybridEngine::other_spellings_of(const IpPrefix& prefix) const {
  std::lock_guard lock(sync_);
  if (other_spellings_.empty()) return {};
  const auto it = other_spellings_.find(canonical_text(prefix));
  return it == other_spellings_.end() ? std::vector<std::string>() : it->second;
}

void HybridEngine::forget_spellings(const std::string& key, const std::vector<std::string>& deleted) const {
  if (deleted.empty()) return;
  const auto it = other_spellings_.find(key);
  if (it == other_spellings_.end()) return;
  std::erase_if(it->second, [&](const std::string& field) {
    return std::find(deleted.begin(), deleted.end(), field) != deleted.end();
  });
  if (it->second.empty()) other_spellings_.erase(it);
}

HybridEngine::Unsettled::~Unsettled() {
  if (engine == nullptr) return;
  // The change left by an exception between its local step and settle (an
  // allocation that failed): its prefix must not stay in flight, where it
  // would keep the prefix's later failed writes from being replayed and
  // mark every notice of it as overtaking. The change itself is not kept
  // pending: keeping it would allocate.
  try {
    const std::string key = canonical_text(*prefix);
    std::lock_guard lock(engine->sync_);
    const auto it = engine->in_flight_.find(key);
    if (it != engine->in_flight_.end()) engine->in_flight_.erase(it);
    if (!engine->in_flight_.contains(key)) engine->overtaken_.erase(key);
  } catch (...) {  // the key's text could not be made: the prefix stays in flight
  }
}

std::mutex& HybridEngine::writes_of(const IpPrefix& prefix) const {
  return write_stripes_[std::hash<std::string>{}(canonical_text(prefix)) % kWriteStripes];
}

void HybridEngine::set_before_write_hook(std::function<void(const IpPrefix&)> hook) const {
  std::lock_guard lock(sync_);
  before_write_hook_ = std::move(hook);
}

void HybridEngine::set_before_catch_up_hook(std::function<void()> hook) const {
  std::lock_guard lock(sync_);
  before_catch_up_hook_ = std::move(hook);
}

void HybridEngine::before_write(const IpPrefix& prefix) const {
  std::function<void(const IpPrefix&)> hook;
  {
    std::lock_guard lock(sync_);
    if (!before_write_hook_) return;
    hook = before_write_hook_;
  }
  hook(prefix);
}

InsertStatus HybridEngine::insert(const IpPrefix& prefix, Metadata metadata) const {
  // Written through, such a record would be skipped by every reader of the
  // hash, this engine's next catch-up included.
  if (backend_ && !redis::encodable(metadata)) return std::string("Record is not valid UTF-8 text");
  std::unique_lock<std::mutex> writes;
  if (backend_) writes = std::unique_lock(writes_of(prefix));
  const InsertStatus error = change_locally(prefix, metadata, [&]() -> InsertStatus {
    if (InsertStatus failed = write_->insert(prefix, metadata)) return failed;
    (void)read_->insert(prefix, metadata);
    return std::nullopt;
  });
  if (error && backend_) {
    // Nothing to write through: the prefix is not in flight.
    const std::string key = canonical_text(prefix);
    std::lock_guard lock(sync_);
    in_flight_.erase(in_flight_.find(key));
    echo_not_coming(key);
  }
  if (error || !backend_) return error;
  Unsettled unsettled{this, &prefix};
  const std::vector<std::string> spellings = other_spellings_of(prefix);
  before_write(prefix);
  redis::WriteFailure failure = redis::WriteFailure::kUnknown;
  const auto generation =
      backend_->store_entry(prefix, metadata, &notice_channel_, origin_here(), &failure, spellings);
  settle(prefix, generation, PendingChange{prefix, std::move(metadata)}, failure, spellings);
  unsettled.engine = nullptr;
  return std::nullopt;
}

std::optional<Metadata> HybridEngine::lookup(const IpAddress& address) const { return read_->lookup(address); }

std::optional<Metadata> HybridEngine::remove(const IpPrefix& prefix) const {
  std::unique_lock<std::mutex> writes;
  if (backend_) writes = std::unique_lock(writes_of(prefix));
  std::optional<Metadata> removed = change_locally(prefix, std::nullopt, [&] {
    std::optional<Metadata> from_write = write_->remove(prefix);
    (void)read_->remove(prefix);
    return from_write;
  });
  if (!backend_) return removed;
  Unsettled unsettled{this, &prefix};
  const std::vector<std::string> spellings = other_spellings_of(prefix);
  before_write(prefix);
  redis::WriteFailure failure = redis::WriteFailure::kUnknown;
  const auto generation = backend_->delete_entry(prefix, &notice_channel_, origin_here(), &failure, spellings);
  settle(prefix, generation, PendingChange{prefix, std::nullopt}, failure, spellings);
  unsettled.engine = nullptr;
  return removed;
}

bool HybridEngine::contains(const IpPrefix& prefix) const { return read_->contains(prefix); }

void HybridEngine::clear() const {
  std::lock_guard lock(sync_);
  write_->clear();
  read_->clear();
  lost_by_server_.clear();
  ++clears_;
  // What the clear removed is not put back when its notices come back; the
  // counts stay, as those notices still come.
  for (auto& [key, due] : echoes_due_) due.restorable = false;
  overridden_.clear();
}

bool LostEntries::contains(const IpPrefix& canonical) const noexcept {
  const auto at = std::lower_bound(prefixes_.begin(), prefixes_.end(), canonical, listing_order);
  return at != prefixes_.end() && *at == canonical && lost_[static_cast<std::size_t>(at - prefixes_.begin())];
}

void LostEntries::erase(const IpPrefix& canonical) noexcept {
  const auto at = std::lower_bound(prefixes_.begin(), prefixes_.end(), canonical, listing_order);
  if (at == prefixes_.end() || !(*at == canonical)) return;
  const auto index = static_cast<std::size_t>(at - prefixes_.begin());
  if (!lost_[index]) return;
  lost_[index] = false;
  if (--remaining_ == 0) clear();  // the memory goes with the last one
}

void LostEntries::add(const std::vector<IpPrefix>& prefixes) {
  std::vector<IpPrefix> merged;
  merged.reserve(remaining_ + prefixes.size());
  for (std::size_t i = 0; i < prefixes_.size(); ++i) {
    if (lost_[i]) merged.push_back(prefixes_[i]);
  }
  merged.insert(merged.end(), prefixes.begin(), prefixes.end());
  std::sort(merged.begin(), merged.end(), listing_order);
  merged.erase(std::unique(merged.begin(), merged.end()), merged.end());
  std::vector<bool> lost(merged.size(), true);
  // Moves cannot throw: the two vectors are never of different lengths.
  prefixes_ = std::move(merged);
  lost_ = std::move(lost);
  remaining_ = prefixes_.size();
}

void LostEntries::clear() noexcept {
  prefixes_ = {};
  lost_ = {};
  remaining_ = 0;
}

std::uint64_t HybridEngine::len() const { return read_->len(); }

EngineStats HybridEngine::stats() const { return read_->stats(); }

void HybridEngine::lookup_many(std::span<const IpAddress> addresses,
                               std::span<std::optional<Metadata>> results) const {
  read_->lookup_many(addresses, results);
}

void HybridEngine::lookup_visit(std::span<const IpAddress> addresses, LookupVisitor& visitor) const {
  read_->lookup_visit(addresses, visitor);
}

void HybridEngine::for_each(EntryVisitor& visitor) const { read_->for_each(visitor); }

std::uint64_t HybridEngine::subscriptions() const noexcept {
  return subscriber_ ? subscriber_->subscriptions() : 0;
}

std::size_t HybridEngine::pending_changes() const {
  std::lock_guard lock(sync_);
  return pending_.size();
}

}  // namespace korvane
