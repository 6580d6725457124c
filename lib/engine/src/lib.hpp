// Engine assembly: shard-count tables and the builder behind create_engine
// and build_local_engine, with the machine's facts injectable for tests.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "korvane/config.hpp"

namespace korvane {

// What assembly asks of the machine.
struct SystemFacts {
  unsigned processors = 0;                       // 0: not reported
  std::optional<std::uint64_t> available_memory;  // bytes; absent: not reported
};

// Reads the processor count, and the available memory when asked for it.
SystemFacts read_system_facts(bool with_memory);

// Shards by logical processor count (0 = not reported).
std::uint64_t processor_table_a(unsigned processors) noexcept;
std::uint64_t processor_table_b(unsigned processors) noexcept;
// Shards by available memory in bytes (absent = not reported).
std::uint64_t memory_table(std::optional<std::uint64_t> available_bytes) noexcept;

// The shard count build_local_engine uses for a kind when the configuration
// leaves it open.
std::uint64_t default_shard_count(EngineKind kind, const SystemFacts& facts) noexcept;

// build_local_engine with given machine facts; `facts` is consulted only when
// the shard count is open.
std::shared_ptr<const LocalEngine> build_local_engine_with(EngineKind kind, std::uint8_t flavour,
                                                           bool compressed_nodes,
                                                           std::optional<std::uint64_t> shard_count,
                                                           const SystemFacts& facts);

}  // namespace korvane
