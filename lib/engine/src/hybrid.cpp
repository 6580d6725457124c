#include "hybrid.hpp"

#include <random>

#include "korvane/address.hpp"
#include "redis/backend.hpp"
#include "redis/schema.hpp"
#include "redis/subscriber.hpp"

namespace korvane {
namespace {

std::string random_origin() {
  std::random_device device;
  const std::uint64_t id = (static_cast<std::uint64_t>(device()) << 32) ^ device();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 0; i < 16; ++i) out[i] = kHex[(id >> (60 - 4 * i)) & 0xF];
  return out;
}

}  // namespace

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
      origin_(random_origin()) {}

HybridEngine::~HybridEngine() { subscriber_.reset(); }

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
  // hash is then never missed. The subscriber loads on every confirmed
  // subscription, the first one included.
  std::shared_ptr<redis::RedisBackend> backend = engine->backend_;
  std::string origin = engine->origin_;
  engine->subscriber_ = std::make_unique<redis::Subscriber>(
      backend->client().settings(), config.update_channel,
      [backend, write, read] { load(*backend, *write, *read); },
      [origin, write, read](std::string_view text) {
        auto notice = redis::parse_notice(text);
        if (!notice || notice->origin == origin) return;
        if (notice->insert) {
          (void)write->insert(notice->prefix, notice->record);
          (void)read->insert(notice->prefix, std::move(notice->record));
        } else {
          (void)write->remove(notice->prefix);
          (void)read->remove(notice->prefix);
        }
      });
  if (!engine->subscriber_->wait_first_attempt()) {
    // No subscription yet (the server went away after the first connect):
    // load once now; the subscriber reloads when it gets through.
    load(*backend, *write, *read);
  }
  return engine;
}

void HybridEngine::load(const redis::RedisBackend& backend, const LocalEngine& write, const LocalEngine& read) {
  auto entries = backend.load_entries();
  if (!entries) return;
  for (auto& [field, value] : *entries) {
    const auto prefix = parse_prefix(field);
    if (!prefix) continue;
    auto record = redis::decode_metadata(value);
    if (!record) continue;
    (void)write.insert(*prefix, *record);
    (void)read.insert(*prefix, std::move(*record));
  }
}

InsertStatus HybridEngine::insert(const IpPrefix& prefix, Metadata metadata) const {
  if (InsertStatus error = write_->insert(prefix, metadata)) return error;
  (void)read_->insert(prefix, metadata);
  if (backend_) backend_->store_entry(prefix, metadata, &update_channel_, origin_);
  return std::nullopt;
}

std::optional<Metadata> HybridEngine::lookup(const IpAddress& address) const { return read_->lookup(address); }

std::optional<Metadata> HybridEngine::remove(const IpPrefix& prefix) const {
  std::optional<Metadata> removed = write_->remove(prefix);
  (void)read_->remove(prefix);
  if (backend_) backend_->delete_entry(prefix, &update_channel_, origin_);
  return removed;
}

bool HybridEngine::contains(const IpPrefix& prefix) const { return read_->contains(prefix); }

void HybridEngine::clear() const {
  write_->clear();
  read_->clear();
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

}  // namespace korvane
