// Engine configuration and the factory that builds an engine from it.
//
// Thread safety: create_engine and build_local_engine may run on any thread;
// the engines they return are safe to share (see engine.hpp).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "korvane/engine.hpp"
#include "korvane/local_engine.hpp"

namespace korvane {

enum class EngineKind : std::uint8_t {
  Standard = 0,  // one trie engine (or `shard_count` shards)
  Sharded = 1,   // shards from the processor count
  LockFree = 2,  // one trie engine of the Hashed flavour
  Adaptive = 3,  // Compact flavour, shards from processors and memory
  Art = 4,       // adaptive radix tree engines
};

// Node flavours of the trie engines.
enum class NodeFlavour : std::uint8_t { Locked = 0, Compact = 1, Padded = 2, Hashed = 3 };

struct EngineConfig {
  std::optional<std::uint64_t> shard_count;  // absent: chosen by the factory
  std::string update_channel = "korvane:updates";
  std::optional<std::string> redis_url;
  std::uint64_t cache_capacity = 0;
  bool cache_enabled = false;
  bool hybrid = false;
  bool write_compressed_nodes = false;
  bool compressed_nodes = true;
  EngineKind kind = EngineKind::Standard;
  std::uint8_t flavour = 0;  // a NodeFlavour value, 0..3

  // The configuration the Python constructor builds for a variant name:
  // "standard", "lockfree" and "adaptive" (compared exactly) get their kind
  // and a 10000-entry lookup cache; anything else, or no name, the default.
  static EngineConfig for_variant(std::optional<std::string_view> variant);
};

// Builds the engine the configuration describes. The configuration is
// consumed.
EngineHandle create_engine(EngineConfig config);

// Builds the local (dispatcher) engine for a kind, a node flavour, a node
// family (true: path-compressed) and an optional shard count.
std::shared_ptr<const LocalEngine> build_local_engine(EngineKind kind, std::uint8_t flavour,
                                                      bool compressed_nodes,
                                                      std::optional<std::uint64_t> shard_count);

}  // namespace korvane
