// The adaptive radix tree engine through the dispatcher: its assembly, the
// tree's shape after removals, and the routing of the sharded layout. Its
// answers are the shadow test's (shadow_test), its behaviour under
// concurrent writers the stress test's (stress_test).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "engine_art.hpp"
#include "epoch.hpp"
#include "korvane/address.hpp"
#include "korvane/config.hpp"
#include "lib.hpp"
#include "reference.hpp"

namespace korvane {
namespace {

using testing::A;
using testing::P;

TEST(ArtAssembly, ShardCountsAndLayouts) {
  const std::pair<unsigned, std::uint64_t> table_b[] = {{0, 2}, {1, 2}, {2, 2}, {3, 4}, {4, 4},
                                                        {5, 8}, {8, 8}, {9, 16}, {64, 16}};
  for (auto [p, shards] : table_b) EXPECT_EQ(default_shard_count(EngineKind::Art, {p, std::nullopt}), shards) << p;

  for (std::uint64_t n : {0u, 1u}) {
    EXPECT_EQ(build_local_engine_with(EngineKind::Art, 0, true, n, {})->layout(), LocalEngine::Layout::Art);
  }
  auto six = build_local_engine_with(EngineKind::Art, 0, true, std::nullopt, {6, std::nullopt});
  EXPECT_EQ(six->layout(), LocalEngine::Layout::ShardedArt);
  EXPECT_EQ(six->shard_count(), 8u);
  // Flavour and node family mean nothing to this kind.
  EXPECT_EQ(build_local_engine_with(EngineKind::Art, 9, false, 3, {})->shard_count(), 3u);

  EngineConfig config;
  config.kind = EngineKind::Art;
  config.cache_enabled = true;
  config.cache_capacity = 100;
  EngineHandle engine = create_engine(config);
  engine->insert(P("10.0.0.0/8"), Metadata("ten"));
  EXPECT_EQ(engine->lookup(A("10.1.2.3"))->value(), "ten");
}

// The tree's shape after removals: nothing is stranded, and a path left
// with one entry folds back into a leaf.
TEST(ArtTreeShape, RemovalsPruneAndCollapse) {
  art::ArtTree tree;
  epoch::Guard pin;  // writers retire what they unlink through the epoch
  auto insert = [&](const char* text) {
    const IpPrefix p = P(text);
    Metadata md(text);
    return tree.insert(p.family, p.bytes.data(), p.length, detail::MetadataAccess::take(md));
  };
  auto remove = [&](const char* text) {
    const IpPrefix p = P(text);
    detail::MetadataRep* rep = tree.remove(p.family, p.bytes.data(), p.length);
    if (rep != nullptr) rep->release();
    return rep != nullptr;
  };
  auto child_at_10 = [&] { return art::find_child(tree.root(AddressFamily::V4), 10); };

  ASSERT_TRUE(insert("10.1.0.0/16"));
  ASSERT_TRUE(art::is_leaf(child_at_10())) << "alone on its path: a leaf under the root";
  ASSERT_TRUE(insert("10.2.0.0/16"));
  ASSERT_FALSE(art::is_leaf(child_at_10())) << "pushed down";
  ASSERT_TRUE(insert("10.2.3.0/24"));
  ASSERT_TRUE(insert("10.0.0.0/8"));
  ASSERT_FALSE(insert("10.0.0.0/8"));
  EXPECT_EQ(tree.size(), 4u);

  ASSERT_TRUE(remove("10.2.0.0/16"));
  ASSERT_TRUE(remove("10.0.0.0/8"));
  ASSERT_TRUE(remove("10.1.0.0/16"));
  // Only 10.2.3.0/24 is left: the nodes on its path fold into its leaf.
  ASSERT_TRUE(art::is_leaf(child_at_10()));
  EXPECT_EQ(static_cast<const art::Leaf*>(child_at_10())->prefix_len, 24);
  ASSERT_TRUE(remove("10.2.3.0/24"));
  EXPECT_EQ(child_at_10(), nullptr);
  EXPECT_EQ(art::child_count(tree.root(AddressFamily::V4)), 0u);
  EXPECT_EQ(tree.root(AddressFamily::V4)->locals.load(), nullptr);
  EXPECT_EQ(tree.size(), 0u);
  EXPECT_FALSE(remove("10.2.3.0/24"));
  EXPECT_EQ(tree.size(), 0u) << "never below zero";
}

TEST(ArtShardedLayout, LookupsGoToTheHashedShardAndTheRestToTheFirst) {
  auto engine = LocalEngine::make_art(8);
  const auto& group = *engine->internals().art_group;
  // An entry present in one shard only shows which shard answers.
  group.row[1].insert(P("10.1.2.0/24"), Metadata("shard1"));
  EXPECT_EQ(select_shard(A("10.1.2.4"), 8), 1u);
  EXPECT_EQ(select_shard(A("10.1.2.3"), 8), 0u);
  EXPECT_TRUE(engine->lookup(A("10.1.2.4")).has_value());
  EXPECT_FALSE(engine->lookup(A("10.1.2.3")).has_value());
  EXPECT_EQ(engine->len(), 0u);
  EXPECT_FALSE(engine->contains(P("10.1.2.0/24")));
  group.row[0].insert(P("10.9.0.0/16"), Metadata("shard0"));
  EXPECT_EQ(engine->len(), 1u);
  EXPECT_TRUE(engine->contains(P("10.9.0.0/16")));
}

// A change reaches the shards one by one, but a thread that has seen it
// never misses it afterwards: versions of one record, replaced over and
// over, read through addresses that hash to every shard, never go back.
TEST(ArtShardedLayout, AThreadNeverSeesAChangeUndone) {
  auto engine = LocalEngine::make_art(4);
  const IpPrefix p = P("10.0.0.0/8");
  engine->insert(p, Metadata("0"));
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int version = 1; !done.load(std::memory_order_relaxed); ++version) {
      engine->insert(p, Metadata(std::to_string(version)));
    }
  });
  long newest = 0;
  int went_back = 0;
  for (int round = 0; round < 5000; ++round) {
    for (int host = 0; host < 64; ++host) {
      const long version = std::stol(engine->lookup(IpAddress::v4(10, 0, 0, host))->value());
      went_back += version < newest;
      newest = std::max(newest, version);
    }
  }
  done = true;
  writer.join();
  EXPECT_EQ(went_back, 0);
  EXPECT_GT(newest, 0) << "the writer never ran alongside";
}

}  // namespace
}  // namespace korvane
