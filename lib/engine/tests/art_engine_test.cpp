// The adaptive radix tree engine through the dispatcher: its assembly, the
// placement cases of the tree (entries above, at and below a push-down, and
// the cases where two entries meet on one path), longest-prefix answers,
// full-length prefixes, and the routing of the sharded layout. Exact
// contains, removal and the families are the shadow test's (art_shadow_test).
#include <gtest/gtest.h>

#include <string>

#include "engine_art.hpp"
#include "epoch.hpp"
#include "korvane/address.hpp"
#include "korvane/config.hpp"
#include "lib.hpp"

namespace korvane {
namespace {

IpPrefix P(const char* text) { return *parse_prefix(text); }
IpAddress A(const char* text) { return *parse_address(text); }

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

// Both layouts answer every case alike.
class ArtEngineTest : public ::testing::TestWithParam<std::uint64_t> {
 protected:
  std::shared_ptr<const LocalEngine> engine = LocalEngine::make_art(GetParam());

  void put(const char* prefix) { ASSERT_FALSE(engine->insert(P(prefix), Metadata(prefix)).has_value()); }
  // The value of the record a lookup finds ("" for none).
  std::string find(const char* address) const {
    const auto md = engine->lookup(A(address));
    return md ? md->value() : "";
  }
  std::string take(const char* prefix) const {
    const auto md = engine->remove(P(prefix));
    return md ? md->value() : "";
  }
};

TEST_P(ArtEngineTest, LeavesHungHighAnswerForTheirWholePrefix) {
  put("10.16.0.0/12");
  put("192.168.1.0/24");
  EXPECT_EQ(find("10.17.1.1"), "10.16.0.0/12");
  EXPECT_EQ(find("10.32.0.1"), "");
  EXPECT_EQ(find("192.168.1.77"), "192.168.1.0/24");
  EXPECT_EQ(find("192.168.9.1"), "");
  EXPECT_EQ(find("11.0.0.1"), "");
}

TEST_P(ArtEngineTest, LongestMatchSurvivesPushDown) {
  put("10.0.0.0/8");
  put("10.1.0.0/16");
  EXPECT_EQ(find("10.1.2.3"), "10.1.0.0/16");
  EXPECT_EQ(find("10.0.9.9"), "10.0.0.0/8");
  EXPECT_EQ(find("10.5.5.5"), "10.0.0.0/8") << "the /8 covers it although the walk passes the /16's node";
  // An entry that arrives after an inner node stands on its path.
  put("10.200.0.0/16");
  put("10.16.0.0/12");
  EXPECT_EQ(find("10.17.1.1"), "10.16.0.0/12");
  EXPECT_EQ(find("10.200.1.1"), "10.200.0.0/16");
  EXPECT_EQ(find("10.201.1.1"), "10.0.0.0/8");
  // The pushed-down entry is removable and the others stay.
  EXPECT_EQ(take("10.0.0.0/8"), "10.0.0.0/8");
  EXPECT_EQ(find("10.5.5.5"), "");
  EXPECT_EQ(find("10.1.2.3"), "10.1.0.0/16");
  EXPECT_EQ(engine->len(), 3u);
}

TEST_P(ArtEngineTest, EntriesMeetingOnOnePathAllStay) {
  // A shorter prefix after longer ones below it, and a default route into a
  // non-empty tree.
  put("10.1.0.0/16");
  put("10.2.0.0/16");
  put("10.0.0.0/8");
  put("0.0.0.0/0");
  // A shorter prefix where a longer one's leaf hangs.
  put("172.16.1.0/24");
  put("172.0.0.0/8");
  // Same masked bytes below an inner node: /9 and /16 of 10.0.
  put("10.0.0.0/9");
  put("10.0.0.0/16");
  // A push-down where both leaves want the same byte.
  put("192.168.1.0/24");
  put("192.168.2.0/24");
  const char* all[] = {"10.1.0.0/16", "10.2.0.0/16", "10.0.0.0/8",   "0.0.0.0/0",      "172.16.1.0/24",
                       "172.0.0.0/8", "10.0.0.0/9",  "10.0.0.0/16", "192.168.1.0/24", "192.168.2.0/24"};
  EXPECT_EQ(engine->len(), 10u);
  EXPECT_EQ(find("10.0.7.7"), "10.0.0.0/16");
  EXPECT_EQ(find("10.3.7.7"), "10.0.0.0/9");
  EXPECT_EQ(find("10.130.0.1"), "10.0.0.0/8");
  EXPECT_EQ(find("172.16.1.9"), "172.16.1.0/24");
  EXPECT_EQ(find("172.16.2.9"), "172.0.0.0/8");
  EXPECT_EQ(find("192.168.2.200"), "192.168.2.0/24");
  EXPECT_EQ(find("192.168.3.1"), "0.0.0.0/0");
  for (const char* p : all) EXPECT_TRUE(engine->contains(P(p))) << p;
  // Every one is removable by its own prefix, once.
  std::uint64_t left = 10;
  for (const char* p : all) {
    EXPECT_EQ(take(p), p);
    EXPECT_EQ(take(p), "");
    EXPECT_EQ(engine->len(), --left);
  }
  EXPECT_EQ(find("10.0.7.7"), "");
}

TEST_P(ArtEngineTest, ReplacingKeepsOneEntry) {
  engine->insert(P("10.0.0.0/8"), Metadata("first"));
  engine->insert(P("10.9.9.9/8"), Metadata("second"));  // host bits ignored
  EXPECT_EQ(engine->len(), 1u);
  EXPECT_EQ(engine->stats().size, 1u);
  EXPECT_EQ(find("10.9.9.9"), "second");
  // Also when the entry sits in a node rather than a leaf.
  engine->insert(P("10.1.0.0/16"), Metadata("sixteen"));
  engine->insert(P("10.0.0.0/8"), Metadata("third"));
  EXPECT_EQ(engine->len(), 2u);
  EXPECT_EQ(find("10.9.9.9"), "third");
  EXPECT_EQ(take("10.0.0.0/8"), "third");
}

TEST_P(ArtEngineTest, RejectsImpossibleLengths) {
  IpPrefix bad = P("10.0.0.0/8");
  bad.length = 33;
  EXPECT_TRUE(engine->insert(bad, Metadata("x")).has_value());
  EXPECT_FALSE(engine->contains(bad));
  EXPECT_EQ(engine->len(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Layouts, ArtEngineTest, ::testing::Values(1, 3),
                         [](const auto& info) { return "shards" + std::to_string(info.param); });

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

TEST(ArtShardedLayout, EveryShardHoldsEveryChange) {
  auto engine = LocalEngine::make_art(4);
  const auto& group = *engine->internals().art_group;
  engine->insert(P("10.0.0.0/8"), Metadata("ten"));
  EXPECT_EQ(engine->len(), 1u);
  EXPECT_EQ(engine->stats(), (EngineStats{0, 0, 0, 0, 0, 1}));
  for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(group.row[i].lookup(A("10.1.2.3"))->value(), "ten") << i;

  EXPECT_EQ(engine->remove(P("10.0.0.0/8"))->value(), "ten");
  EXPECT_FALSE(engine->remove(P("10.0.0.0/8")).has_value());
  for (unsigned i = 0; i < 4; ++i) EXPECT_FALSE(group.row[i].lookup(A("10.1.2.3")).has_value()) << i;

  engine->insert(P("10.0.0.0/8"), Metadata("ten"));
  engine->clear();
  for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(group.row[i].len(), 0u) << i;
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

}  // namespace
}  // namespace korvane
