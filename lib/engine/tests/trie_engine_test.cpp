// The path-compressed trie's shapes, and the dispatcher's routing over
// shards. Answers and counters of every kind and layout are the shadow
// test's (shadow_test).
#include <gtest/gtest.h>

#include "engine.hpp"
#include "korvane/address.hpp"
#include "korvane/local_engine.hpp"
#include "reference.hpp"

namespace korvane {
namespace {

using testing::A;
using testing::P;

// A remove takes a node's entry, then tidies around the node; an insert may
// split the node in between. The remove then finds an entry or two children
// there and tidies nothing, so the insert must leave the trie in the shape a
// fresh load of the same prefixes has.
TEST(CompressedTrie, SplitOfANodeWhoseEntryWasJustTaken) {
  for (std::uint8_t kind = 4; kind < 8; ++kind) {
    SCOPED_TRACE(int{kind});
    TrieEngine engine{static_cast<NodeKind>(kind)};
    auto fresh_nodes = [&](std::initializer_list<const char*> prefixes) {
      TrieEngine fresh{engine.kind()};
      for (const char* p : prefixes) fresh.insert(P(p), Metadata(p));
      return fresh.node_count();
    };
    // The root holds the /32 and has the /48 as its only child.
    engine.insert(P("2001:db8::/32"), Metadata("32"));
    engine.insert(P("2001:db8:1::/48"), Metadata("48"));
    engine.root(AddressFamily::V6)->clear_metadata();
    engine.insert(P("2001:db9::/32"), Metadata("db9"));  // splits the root's edge
    EXPECT_EQ(engine.node_count(), fresh_nodes({"2001:db8:1::/48", "2001:db9::/32"}));

    // An emptied leaf.
    const NodeRef leaf = engine.root(AddressFamily::V6)->left();
    ASSERT_EQ(leaf->prefix(), P("2001:db8:1::/48"));
    leaf->clear_metadata();
    engine.insert(P("2001:db8:2::/48"), Metadata("48 too"));  // diverges inside the leaf's edge
    EXPECT_EQ(engine.node_count(), fresh_nodes({"2001:db8:2::/48", "2001:db9::/32"}));
    EXPECT_TRUE(engine.contains(P("2001:db8:2::/48")));
    EXPECT_FALSE(engine.contains(P("2001:db8:1::/48")));
  }
}


// --- The dispatcher.

TEST(LocalEngineTest, ShardSelection) {
  EXPECT_EQ(select_shard(A("10.1.2.3"), 8), 0u);
  EXPECT_EQ(select_shard(A("10.1.2.4"), 8), 1u);
  // IPv6 addresses sharing their first 32 bits share a shard.
  for (std::uint64_t n : {2u, 8u, 64u}) {
    EXPECT_EQ(select_shard(A("2001:db8::1"), n), select_shard(A("2001:db8:ffff::9"), n));
  }
  EXPECT_EQ(select_shard(A("10.1.2.3"), 0), 0u);  // no shards: no division by zero
  EXPECT_THROW(LocalEngine::make_trie(12, 1), std::invalid_argument);  // not kind 4
}

// Lookups go to their address's shard and are counted there; changes go
// to every shard.
TEST(LocalEngineTest, ShardedCountersAndRouting) {
  auto engine = LocalEngine::make_trie(5, 8);
  engine->insert(P("10.0.0.0/8"), Metadata("ten"));
  EXPECT_EQ(engine->lookup(A("10.1.2.3"))->value(), "ten");
  EXPECT_EQ(engine->lookup(A("10.1.2.4"))->value(), "ten");
  const auto& row = engine->internals().group->row;
  EXPECT_EQ(row[0]->stats().lookups, 1u);
  EXPECT_EQ(row[1]->stats().lookups, 1u);
  EXPECT_EQ(engine->stats().lookups, 2u);
  for (const auto& shard : row) EXPECT_EQ(shard->stats().inserts, 1u);
  EXPECT_EQ(engine->stats().inserts, 1u);
}

// Prefixes longer than their family, and prefixes and addresses of no
// family (a C++ caller's cast), in every layout: inserts are refused and
// change nothing; lookups, single or batched, answer none beside the
// answers of the good addresses.
TEST(LocalEngineTest, PrefixesAndAddressesOutsideTheFamilies) {
  const auto no_family = static_cast<AddressFamily>(2);
  IpPrefix strange = P("10.0.0.0/8");
  strange.family = no_family;
  IpAddress stray = A("10.1.2.3");
  stray.family = no_family;
  IpPrefix too_long_v4 = P("10.0.0.0/32");
  too_long_v4.length = 33;
  IpPrefix too_long_v6 = P("2001:db8::/128");
  too_long_v6.length = 129;
  for (const auto& engine : {LocalEngine::make_trie(4, 1), LocalEngine::make_trie(0, 2), LocalEngine::make_art(1),
                             LocalEngine::make_art(2)}) {
    for (const IpPrefix& p : {strange, too_long_v4, too_long_v6}) {
      EXPECT_EQ(engine->insert(p, Metadata("x")), InsertStatus(std::string("Invalid prefix length")));
      EXPECT_FALSE(engine->contains(p));
      EXPECT_FALSE(engine->remove(p).has_value());
    }
    EXPECT_EQ(engine->len(), 0u);
    EXPECT_EQ(engine->stats().inserts, 0u);
    engine->insert(P("0.0.0.0/0"), Metadata("v4"));
    engine->insert(P("::/0"), Metadata("v6"));
    EXPECT_FALSE(engine->lookup(stray).has_value());
    const std::vector<IpAddress> batch = {A("10.1.2.3"), stray, A("2001:db8::1")};
    std::vector<std::optional<Metadata>> got(batch.size());
    engine->lookup_many(batch, got);
    EXPECT_EQ(got[0]->value(), "v4");
    EXPECT_FALSE(got[1].has_value());
    EXPECT_EQ(got[2]->value(), "v6");
  }
}

}  // namespace
}  // namespace korvane
