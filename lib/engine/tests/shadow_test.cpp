// Every trie configuration against the linear-scan reference, on long runs of
// random interleaved operations.
#include <gtest/gtest.h>

#include <tuple>

#include "korvane/local_engine.hpp"
#include "reference.hpp"
#include "trie_probe.hpp"

namespace korvane {
namespace {

using testing::PrefixGenerator;
using testing::ReferenceTable;
using testing::trie_nodes;

using Config = testing::TrieConfig;

class ShadowTest : public ::testing::TestWithParam<Config> {};

TEST_P(ShadowTest, RandomOperationsMatchReference) {
  const Config config = GetParam();
  auto engine = LocalEngine::make_trie(config.kind, config.shards);
  ReferenceTable reference;
  PrefixGenerator gen(0xC0FFEE + config.kind * 131 + config.shards);
  std::vector<IpPrefix> pool;
  EngineStats expected;
  auto& rng = gen.rng();

  for (int step = 0; step < 20000; ++step) {
    const unsigned op = static_cast<unsigned>(rng() % 1000);
    if (op < 420 || pool.empty()) {
      IpPrefix p = gen.next();
      // Now and then store an IPv4 prefix's IPv4-compatible IPv6 twin too:
      // the two share their key bits and must stay separate entries.
      if (p.family == AddressFamily::V4 && rng() % 8 == 0) {
        const IpPrefix twin = PrefixGenerator::compatible_twin(p);
        const std::string v = "twin" + std::to_string(step);
        ASSERT_FALSE(engine->insert(twin, Metadata(v)).has_value());
        reference.insert(twin, v);
        pool.push_back(twin);
        ++expected.inserts;
      }
      const std::string v = "v" + std::to_string(step);
      ASSERT_FALSE(engine->insert(p, Metadata(v, {{"step", std::to_string(step)}})).has_value());
      reference.insert(p, v);
      pool.push_back(p);
      ++expected.inserts;
    } else if (op < 570) {
      const IpPrefix& p = pool[rng() % pool.size()];
      const auto want = reference.remove(p);
      const auto got = engine->remove(p);
      ASSERT_EQ(want.has_value(), got.has_value()) << "step " << step;
      if (want) {
        EXPECT_EQ(*want, got->value());
        ++expected.removals;
      }
    } else if (op < 850) {
      const IpAddress a = gen.address_inside(pool[rng() % pool.size()]);
      const auto want = reference.lookup(a);
      const auto got = engine->lookup(a);
      ASSERT_EQ(want.has_value(), got.has_value()) << "step " << step;
      if (want) ASSERT_EQ(*want, got->value()) << "step " << step;
      ++expected.lookups;
      ++(want ? expected.hits : expected.misses);
    } else if (op < 900) {
      const IpAddress a = gen.random_address();
      const auto want = reference.lookup(a);
      const auto got = engine->lookup(a);
      ASSERT_EQ(want.has_value(), got.has_value());
      if (want) ASSERT_EQ(*want, got->value());
      ++expected.lookups;
      ++(want ? expected.hits : expected.misses);
    } else if (op < 999) {
      // Exact-prefix test, also for prefixes that end inside an edge.
      IpPrefix p = pool[rng() % pool.size()];
      if (rng() & 1) p.length = static_cast<std::uint8_t>(rng() % (p.length + 1));
      ASSERT_EQ(reference.contains(p), engine->contains(p)) << "step " << step;
    } else {
      engine->clear();
      reference.clear();
    }
    expected.size = reference.size();
    ASSERT_EQ(engine->len(), reference.size()) << "step " << step;
    if (step % 2500 == 2499) {
      // Removes prune and merge as they go, so the trie has exactly the shape
      // a fresh load of the same prefixes gives it.
      auto fresh = LocalEngine::make_trie(config.kind, 1);
      for (const auto& entry : reference.entries()) fresh->insert(entry.prefix, Metadata(entry.value));
      ASSERT_EQ(trie_nodes(*engine), trie_nodes(*fresh)) << "step " << step;
      ASSERT_EQ(testing::listing_of(*engine), reference.listing()) << "step " << step;
    }
  }
  EXPECT_EQ(engine->stats(), expected);

  // A final sweep: every stored prefix answers for an address inside it
  // exactly as the reference does.
  for (const auto& entry : reference.entries()) {
    ASSERT_TRUE(engine->contains(entry.prefix));
    const IpAddress a = gen.address_inside(entry.prefix);
    ASSERT_EQ(reference.lookup(a), engine->lookup(a)->value());
  }
  // Removing everything leaves the two bare roots.
  for (const auto& entry : std::vector(reference.entries())) {
    ASSERT_TRUE(engine->remove(entry.prefix).has_value());
  }
  EXPECT_EQ(engine->len(), 0u);
  EXPECT_EQ(trie_nodes(*engine), 2u);
}

std::vector<Config> all_configs() {
  std::vector<Config> out;
  for (std::uint8_t kind = 0; kind < 8; ++kind) {
    for (std::uint64_t shards : {1, 2, 8}) out.push_back({kind, shards});
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(AllKinds, ShadowTest, ::testing::ValuesIn(all_configs()), testing::trie_config_name<::testing::TestParamInfo<Config>>);

}  // namespace
}  // namespace korvane
