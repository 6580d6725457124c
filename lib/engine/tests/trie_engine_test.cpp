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

// The value found for an address, or "-" when nothing matches.
std::string at(const TrieEngine& e, std::string_view address) {
  auto md = e.lookup(A(address));
  return md ? md->value() : "-";
}

class TrieEngineTest : public ::testing::TestWithParam<std::uint8_t> {
 protected:
  TrieEngine engine{static_cast<NodeKind>(GetParam())};
  bool compressed() const { return is_compressed(engine.kind()); }
};

// Path-compression shapes: splits at index 0, prefixes ending at a split
// point or inside an edge, removal of an inner entry.
TEST_P(TrieEngineTest, CompressedShapes) {
  engine.insert(P("2001:db8::/32"), Metadata("32"));
  if (compressed()) {
    const NodeRef& root = engine.root(AddressFamily::V6);
    EXPECT_EQ(root->edge_len(), std::make_optional<std::uint64_t>(32));  // whole key in the root
  }
  engine.insert(P("2001:db8:1::/48"), Metadata("48"));
  EXPECT_EQ(at(engine, "2001:db8:1::5"), "48");
  EXPECT_EQ(at(engine, "2001:db8:2::5"), "32");

  engine.insert(P("3000::/16"), Metadata("3000"));  // splits the root edge
  EXPECT_EQ(at(engine, "3000:1::1"), "3000");
  EXPECT_EQ(at(engine, "2001:db8:1::5"), "48");
  EXPECT_EQ(at(engine, "2002::1"), "-");

  engine.insert(P("8000::/1"), Metadata("top half"));  // splits at edge index 0
  if (compressed()) {
    const NodeRef& root = engine.root(AddressFamily::V6);
    EXPECT_EQ(root->edge_len(), std::make_optional<std::uint64_t>(0));
    EXPECT_FALSE(root->metadata());
  }
  EXPECT_EQ(at(engine, "2001:db8::1"), "32");
  EXPECT_EQ(at(engine, "ffff::1"), "top half");

  engine.insert(P("2001:d00::/24"), Metadata("24"));  // ends at a split point
  EXPECT_EQ(at(engine, "2001:d00::1"), "24");
  EXPECT_EQ(at(engine, "2001:db8::1"), "32");

  EXPECT_FALSE(engine.contains(P("2001:db8::/20")));  // ends inside an edge
  EXPECT_FALSE(engine.remove(P("2001:db8::/20")));

  EXPECT_EQ(engine.remove(P("2001:db8::/32"))->value(), "32");
  EXPECT_EQ(at(engine, "2001:db8:1::5"), "48");
  EXPECT_EQ(at(engine, "2001:db8:2::5"), "24");
  EXPECT_EQ(engine.len(), 4u);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, TrieEngineTest, ::testing::Range<std::uint8_t>(0, 8),
                         [](const auto& info) { return "kind" + std::to_string(info.param); });

// --- The dispatcher.

TEST(LocalEngineTest, ShardSelection) {
  EXPECT_EQ(select_shard(A("10.1.2.3"), 8), 0u);
  EXPECT_EQ(select_shard(A("10.1.2.4"), 8), 1u);
  // IPv6 addresses sharing their first 32 bits share a shard.
  for (std::uint64_t n : {2u, 8u, 64u}) {
    EXPECT_EQ(select_shard(A("2001:db8::1"), n), select_shard(A("2001:db8:ffff::9"), n));
  }
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

}  // namespace
}  // namespace korvane
