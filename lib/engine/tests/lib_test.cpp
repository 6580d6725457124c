// Engine assembly: the shard tables with injected machine facts, and what
// each configuration builds.
#include <gtest/gtest.h>

#include "cache.hpp"
#include "engine.hpp"
#include "lib.hpp"

namespace korvane {
namespace {

constexpr std::uint64_t GiB = 1ull << 30;

TEST(AssemblyTables, ProcessorTableA) {
  const std::pair<unsigned, std::uint64_t> rows[] = {{0, 2},  {1, 2},  {2, 2},  {3, 8},  {4, 8},   {5, 16},
                                                     {8, 16}, {9, 32}, {16, 32}, {17, 64}, {256, 64}};
  for (auto [p, shards] : rows) EXPECT_EQ(processor_table_a(p), shards) << p;
}

TEST(AssemblyTables, MemoryTable) {
  // X = (3 * M) >> 22, three quarters of M in MiB.
  const std::pair<std::optional<std::uint64_t>, std::uint64_t> rows[] = {
      {std::nullopt, 2},
      {0, 2},
      {(512ull << 22) / 3 + 1, 2},  // X = 512
      {(513ull << 22) / 3 + 1, 8},  // X = 513
      {1 * GiB, 8},                 // X = 768
      {(2049ull << 22) / 3 + 1, 16},
      {(4097ull << 22) / 3 + 1, 32},
      {16 * GiB, 64},
      {UINT64_MAX / 3, 64},
      {UINT64_MAX, 64},  // 3 * M overflows
  };
  for (auto [m, shards] : rows) EXPECT_EQ(memory_table(m), shards) << m.value_or(0);
}

TEST(AssemblyTables, AdaptiveTakesTheSmallerTable) {
  EXPECT_EQ(default_shard_count(EngineKind::Adaptive, {4, 16 * GiB}), 8u);
  EXPECT_EQ(default_shard_count(EngineKind::Adaptive, {32, 1 * GiB}), 8u);
  for (std::uint64_t m : {std::uint64_t{0}, GiB, 64 * GiB}) {
    EXPECT_EQ(default_shard_count(EngineKind::Adaptive, {2, m}), 2u);
  }
  EXPECT_EQ(default_shard_count(EngineKind::Sharded, {0, std::nullopt}), 2u);
  EXPECT_EQ(default_shard_count(EngineKind::Standard, {64, 64 * GiB}), 1u);
}

TEST(Assembly, ShardCountsAndLayouts) {
  const SystemFacts big{32, 64 * GiB};
  auto lockfree = build_local_engine_with(EngineKind::LockFree, 0, true, 16, big);
  EXPECT_EQ(lockfree->layout(), LocalEngine::Layout::CompressedTrie);
  EXPECT_EQ(lockfree->internals().single->kind(), NodeKind::CompressedHashed);

  auto four = build_local_engine_with(EngineKind::Standard, 0, true, 4, big);
  EXPECT_EQ(four->layout(), LocalEngine::Layout::ShardedCompressed);
  EXPECT_EQ(four->shard_count(), 4u);
  EXPECT_EQ(build_local_engine_with(EngineKind::Standard, 0, false, 4, big)->layout(),
            LocalEngine::Layout::ShardedTrie);
  for (std::uint64_t n : {0u, 1u}) {
    EXPECT_EQ(build_local_engine_with(EngineKind::Standard, 0, true, n, big)->layout(),
              LocalEngine::Layout::CompressedTrie);
    EXPECT_EQ(build_local_engine_with(EngineKind::Standard, 0, false, n, big)->layout(), LocalEngine::Layout::Trie);
  }

  auto adaptive = build_local_engine_with(EngineKind::Adaptive, 3, true, std::nullopt, {4, 16 * GiB});
  EXPECT_EQ(adaptive->shard_count(), 8u);
  EXPECT_EQ(adaptive->internals().group->row.front()->kind(), NodeKind::CompressedCompact);

  auto sharded = build_local_engine_with(EngineKind::Sharded, 2, false, std::nullopt, {6, std::nullopt});
  EXPECT_EQ(sharded->shard_count(), 16u);
  EXPECT_EQ(sharded->internals().group->row.front()->kind(), NodeKind::UncompressedPadded);

  EXPECT_THROW(build_local_engine_with(EngineKind::Standard, 4, true, 1, big), std::invalid_argument);
  // A row of ART engines too large to count in bytes is refused, not wrapped.
  EXPECT_THROW(build_local_engine_with(EngineKind::Art, 0, true, 1ull << 62, big), std::bad_alloc);
}

// LockFree and Adaptive fix their own node flavour, so the configured one,
// however far out of range, neither counts nor is refused.
TEST(Assembly, FixedFlavourKindsIgnoreTheConfiguredOne) {
  const SystemFacts facts{4, 16 * GiB};
  auto lockfree = build_local_engine_with(EngineKind::LockFree, 200, false, std::nullopt, facts);
  EXPECT_EQ(lockfree->internals().single->kind(), NodeKind::UncompressedHashed);
  auto adaptive = build_local_engine_with(EngineKind::Adaptive, 9, true, std::nullopt, facts);
  EXPECT_EQ(adaptive->internals().group->row.front()->kind(), NodeKind::CompressedCompact);
}

// The constructions the Python class offers: the named ones put a cache of
// 10000 addresses in front of the trie, anything else builds the plain one.
TEST(Assembly, PythonVariants) {
  const std::pair<std::optional<std::string_view>, bool> rows[] = {
      {std::nullopt, false}, {"standard", true}, {"lockfree", true}, {"adaptive", true},
      {"Standard", false},  // names are exact
      {"", false},
  };
  for (const auto& [variant, cached] : rows) {
    EngineHandle engine = create_engine(EngineConfig::for_variant(variant));
    const auto* cache = dynamic_cast<const CachedEngine*>(engine.get());
    EXPECT_EQ(cache != nullptr, cached) << variant.value_or("none");
    if (cache != nullptr) EXPECT_EQ(cache->capacity(), 10000u);
  }
  const EngineConfig adaptive = EngineConfig::for_variant("adaptive");
  EXPECT_EQ(adaptive.kind, EngineKind::Adaptive);
  EXPECT_EQ(adaptive.update_channel, "korvane:updates");
}

}  // namespace
}  // namespace korvane
