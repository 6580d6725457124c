// Every trie configuration and both adaptive radix tree layouts against the
// linear-scan reference, on long runs of random interleaved operations:
// nested prefixes of every length, IPv4 prefixes next to their
// IPv4-compatible IPv6 twins, removes and exact contains also for lengths
// nobody stored (entries kept in nodes above others, or ending inside an
// edge), and clears.
#include <gtest/gtest.h>

#include "korvane/local_engine.hpp"
#include "reference.hpp"
#include "trie_probe.hpp"

namespace korvane {
namespace {

using testing::PrefixGenerator;
using testing::ReferenceTable;
using testing::trie_nodes;
using testing::value_of;

using Config = testing::TrieConfig;

class ShadowTest : public ::testing::TestWithParam<Config> {};

TEST_P(ShadowTest, RandomOperationsMatchReference) {
  const Config config = GetParam();
  const bool art = config.kind == testing::kArt;
  auto engine = testing::make_engine(config);
  ReferenceTable reference;
  PrefixGenerator gen(0xC0FFEE + config.kind * 131 + config.shards);
  std::vector<IpPrefix> pool;
  EngineStats expected;
  auto& rng = gen.rng();
  auto insert = [&](const IpPrefix& p, const std::string& v) {
    ASSERT_FALSE(engine->insert(p, Metadata(v, {{"step", v}})).has_value());
    reference.insert(p, v);
    pool.push_back(p);
    ++expected.inserts;
  };
  auto lookup = [&](const IpAddress& a, int step) {
    const auto want = reference.lookup(a);
    ASSERT_EQ(want, value_of(engine->lookup(a))) << "step " << step;
    ++expected.lookups;
    ++(want ? expected.hits : expected.misses);
  };
  auto any_length = [&](IpPrefix p) {
    p.length = static_cast<std::uint8_t>(rng() % (address_width_bits(p.family) + 1));
    return p;
  };

  for (int step = 0; step < 20000 && !HasFatalFailure(); ++step) {
    const unsigned op = static_cast<unsigned>(rng() % 1000);
    if (op < 400 || pool.empty()) {
      const IpPrefix p = gen.next();
      // Now and then store an IPv4 prefix's IPv4-compatible IPv6 twin too:
      // the two share their key bits and must stay separate entries.
      if (p.family == AddressFamily::V4 && rng() % 8 == 0) {
        insert(PrefixGenerator::compatible_twin(p), "twin" + std::to_string(step));
      }
      insert(p, "v" + std::to_string(step));
    } else if (op < 600) {
      // Mostly a stored prefix; now and then one shorter or longer.
      const IpPrefix& stored = pool[rng() % pool.size()];
      const IpPrefix p = op < 550 ? stored : any_length(stored);
      const auto want = reference.remove(p);
      ASSERT_EQ(want, value_of(engine->remove(p))) << "step " << step;
      expected.removals += want.has_value();
    } else if (op < 900) {
      lookup(op < 850 ? gen.address_inside(pool[rng() % pool.size()]) : gen.random_address(), step);
    } else if (op < 999) {
      const IpPrefix& stored = pool[rng() % pool.size()];
      const IpPrefix p = rng() & 1 ? any_length(stored) : stored;
      ASSERT_EQ(reference.contains(p), engine->contains(p)) << "step " << step;
    } else {
      engine->clear();
      reference.clear();
    }
    ASSERT_EQ(engine->len(), reference.size()) << "step " << step;
    if (step % 2500 == 2499) {
      ASSERT_EQ(testing::listing_of(*engine), reference.listing()) << "step " << step;
      // Removes prune and merge as they go, so a trie has exactly the shape
      // a fresh load of the same prefixes gives it.
      if (art) continue;
      auto fresh = LocalEngine::make_trie(config.kind, 1);
      for (const auto& entry : reference.entries()) fresh->insert(entry.prefix, Metadata(entry.value));
      ASSERT_EQ(trie_nodes(*engine), trie_nodes(*fresh)) << "step " << step;
    }
  }
  // A final sweep: every stored prefix is there, and answers for an address
  // inside it exactly as the reference does.
  for (const auto& entry : reference.entries()) {
    ASSERT_TRUE(engine->contains(entry.prefix));
    lookup(gen.address_inside(entry.prefix), -1);
  }
  if (art) expected = EngineStats{};  // the tree counts nothing but its size
  expected.size = reference.size();
  EXPECT_EQ(engine->stats(), expected);

  // Removing everything leaves nothing behind (a trie: its two bare roots).
  for (const auto& entry : std::vector(reference.entries())) {
    ASSERT_EQ(value_of(engine->remove(entry.prefix)), entry.value);
  }
  reference.clear();
  EXPECT_EQ(engine->len(), 0u);
  if (!art) EXPECT_EQ(trie_nodes(*engine), 2u);
  for (int i = 0; i < 200; ++i) lookup(gen.address_inside(pool[rng() % pool.size()]), -1);
}

std::vector<Config> all_configs() {
  std::vector<Config> out;
  for (std::uint8_t kind = 0; kind < 8; ++kind) {
    for (std::uint64_t shards : {1, 2, 8}) out.push_back({kind, shards});
  }
  for (std::uint64_t shards : {1, 2, 5}) out.push_back({testing::kArt, shards});
  return out;
}

INSTANTIATE_TEST_SUITE_P(AllKinds, ShadowTest, ::testing::ValuesIn(all_configs()),
                         testing::trie_config_name<::testing::TestParamInfo<Config>>);

}  // namespace
}  // namespace korvane
