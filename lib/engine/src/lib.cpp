#include "lib.hpp"

#include <stdexcept>
#include <string>

#include "cache.hpp"
#include "hybrid.hpp"
#include "platform.hpp"

namespace korvane {

EngineConfig EngineConfig::for_variant(std::optional<std::string_view> variant) {
  EngineConfig config;
  if (!variant) return config;
  if (*variant == "standard") {
    config.kind = EngineKind::Standard;
  } else if (*variant == "lockfree") {
    config.kind = EngineKind::LockFree;
  } else if (*variant == "adaptive") {
    config.kind = EngineKind::Adaptive;
  } else {
    return config;  // an unknown name is not an error: the default engine
  }
  config.flavour = static_cast<std::uint8_t>(NodeFlavour::Compact);
  config.cache_enabled = true;
  config.cache_capacity = 10000;
  return config;
}

SystemFacts read_system_facts(bool with_memory) {
  SystemFacts facts;
  facts.processors = platform::logical_processors();
  if (with_memory) facts.available_memory = platform::available_memory_bytes();
  return facts;
}

std::uint64_t processor_table_a(unsigned processors) noexcept {
  if (processors <= 2) return 2;
  if (processors <= 4) return 8;
  if (processors <= 8) return 16;
  if (processors <= 16) return 32;
  return 64;
}

std::uint64_t processor_table_b(unsigned processors) noexcept {
  if (processors <= 2) return 2;
  if (processors <= 4) return 4;
  if (processors <= 8) return 8;
  return 16;
}

std::uint64_t memory_table(std::optional<std::uint64_t> available_bytes) noexcept {
  const std::uint64_t m = available_bytes.value_or(0);
  // Three quarters of the memory in MiB: (3 * M) >> 22, where 3 * M must
  // fit 64 bits; beyond that the machine is large enough for the top row.
  if (m > UINT64_MAX / 3) return 64;
  const std::uint64_t mib = (3 * m) >> 22;
  if (mib <= 512) return 2;
  if (mib <= 2048) return 8;
  if (mib <= 4096) return 16;
  if (mib <= 8192) return 32;
  return 64;
}

std::uint64_t default_shard_count(EngineKind kind, const SystemFacts& facts) noexcept {
  switch (kind) {
    case EngineKind::Standard:
    case EngineKind::LockFree:
      return 1;
    case EngineKind::Sharded:
      return processor_table_a(facts.processors);
    case EngineKind::Adaptive:
      return std::min(processor_table_a(facts.processors), memory_table(facts.available_memory));
    case EngineKind::Art:
      return processor_table_b(facts.processors);
  }
  return 1;
}

std::shared_ptr<const LocalEngine> build_local_engine_with(EngineKind kind, std::uint8_t flavour,
                                                           bool compressed_nodes,
                                                           std::optional<std::uint64_t> shard_count,
                                                           const SystemFacts& facts) {
  std::uint64_t shards;
  if (kind == EngineKind::LockFree) {
    shards = 1;
  } else if (shard_count) {
    shards = *shard_count;
  } else {
    shards = default_shard_count(kind, facts);
  }

  switch (kind) {
    case EngineKind::Standard:
    case EngineKind::Sharded:
      // Only these kinds take the flavour from the configuration; the others
      // fix their own whatever it says.
      if (flavour > 3) throw std::invalid_argument("node flavour must be 0..3, got " + std::to_string(flavour));
      break;
    case EngineKind::LockFree:
      flavour = static_cast<std::uint8_t>(NodeFlavour::Hashed);
      break;
    case EngineKind::Adaptive:
      flavour = static_cast<std::uint8_t>(NodeFlavour::Compact);
      break;
    case EngineKind::Art:
      return LocalEngine::make_art(shards);  // flavour and node family do not apply
    default:
      throw std::invalid_argument("unknown engine kind " + std::to_string(static_cast<unsigned>(kind)));
  }
  const auto node_kind = static_cast<std::uint8_t>(compressed_nodes ? 4 + flavour : flavour);
  return LocalEngine::make_trie(node_kind, shards);
}

std::shared_ptr<const LocalEngine> build_local_engine(EngineKind kind, std::uint8_t flavour,
                                                      bool compressed_nodes,
                                                      std::optional<std::uint64_t> shard_count) {
  SystemFacts facts;
  // Only an open shard count needs the machine; memory only for Adaptive.
  if (!shard_count || kind == EngineKind::LockFree) facts = read_system_facts(kind == EngineKind::Adaptive);
  return build_local_engine_with(kind, flavour, compressed_nodes, shard_count, facts);
}

EngineHandle create_engine(EngineConfig config) {
  if (config.hybrid) {
    // A bare hybrid engine: no lookup cache in front, whatever cache_enabled
    // says. A failure is an exception the caller can catch.
    std::string error;
    if (auto hybrid = HybridEngine::make(config, error)) return hybrid;
    throw std::runtime_error(hybrid_failure_message(error));
  }
  std::shared_ptr<const LocalEngine> local =
      build_local_engine(config.kind, config.flavour, config.compressed_nodes, config.shard_count);
  if (config.cache_enabled) return std::make_shared<const CachedEngine>(config.cache_capacity, std::move(local));
  return local;
}

}  // namespace korvane
