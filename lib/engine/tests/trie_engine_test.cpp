// Results and counters of the trie engine, in both algorithm families, and
// the dispatcher's routing.
#include <gtest/gtest.h>

#include "engine.hpp"
#include "korvane/address.hpp"
#include "korvane/local_engine.hpp"

namespace korvane {
namespace {

IpPrefix P(std::string_view text) {
  auto p = parse_prefix(text);
  EXPECT_TRUE(p) << text;
  return p.value_or(IpPrefix{});
}
IpAddress A(std::string_view text) {
  auto a = parse_address(text);
  EXPECT_TRUE(a) << text;
  return a.value_or(IpAddress{});
}

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

TEST_P(TrieEngineTest, LongestMatchAndCounters) {
  engine.insert(P("10.0.0.0/8"), Metadata("eight"));
  engine.insert(P("10.1.0.0/16"), Metadata("sixteen"));
  EXPECT_EQ(at(engine, "10.1.2.3"), "sixteen");
  EXPECT_EQ(at(engine, "10.2.0.1"), "eight");
  EXPECT_EQ(at(engine, "11.0.0.1"), "-");
  EXPECT_EQ(engine.stats(), (EngineStats{2, 3, 2, 1, 0, 2}));

  // Replacing counts an insert but not an entry.
  engine.insert(P("10.0.0.0/8"), Metadata("eight again"));
  EXPECT_EQ(engine.len(), 2u);
  EXPECT_EQ(engine.stats().inserts, 3u);
  EXPECT_EQ(at(engine, "10.9.9.9"), "eight again");

  // Host bits select the same entry.
  engine.insert(P("10.1.2.3/8"), Metadata("host bits"));
  EXPECT_EQ(engine.len(), 2u);
  EXPECT_EQ(at(engine, "10.200.0.1"), "host bits");
  EXPECT_TRUE(engine.contains(P("10.0.0.0/8")));
}

TEST_P(TrieEngineTest, FamiliesNeverMeet) {
  engine.insert(P("0.0.0.0/0"), Metadata("any4"));
  EXPECT_EQ(at(engine, "203.0.113.9"), "any4");
  EXPECT_EQ(at(engine, "2001:db8::1"), "-");
  EXPECT_EQ(at(engine, "::ffff:10.0.0.1"), "-");

  engine.insert(P("::/0"), Metadata("any6"));
  EXPECT_EQ(engine.len(), 2u);
  EXPECT_EQ(at(engine, "203.0.113.9"), "any4");
  EXPECT_EQ(at(engine, "2001:db8::1"), "any6");

  // An IPv4 prefix and its IPv4-compatible IPv6 twin are two entries.
  engine.insert(P("10.0.0.0/8"), Metadata("v4"));
  engine.insert(P("::10.0.0.0/104"), Metadata("v6 twin"));
  EXPECT_EQ(engine.len(), 4u);
  EXPECT_EQ(at(engine, "10.1.2.3"), "v4");
  EXPECT_EQ(at(engine, "::10.1.2.3"), "v6 twin");
  EXPECT_EQ(engine.remove(P("::10.0.0.0/104"))->value(), "v6 twin");
  EXPECT_TRUE(engine.contains(P("10.0.0.0/8")));
  EXPECT_EQ(engine.remove(P("0.0.0.0/0"))->value(), "any4");
  EXPECT_TRUE(engine.contains(P("::/0")));
  EXPECT_EQ(engine.len(), 2u);
}

TEST_P(TrieEngineTest, ClearKeepsCounters) {
  engine.insert(P("0.0.0.0/0"), Metadata("default"));
  engine.insert(P("2001:db8::/32"), Metadata("doc"));
  at(engine, "1.2.3.4");
  engine.remove(P("2001:db8::/32"));
  const EngineStats before = engine.stats();
  engine.clear();
  EXPECT_EQ(engine.len(), 0u);
  EXPECT_EQ(at(engine, "1.2.3.4"), "-");
  EngineStats after = engine.stats();
  EXPECT_EQ(after.inserts, before.inserts);
  EXPECT_EQ(after.removals, before.removals);
  EXPECT_EQ(after.size, 0u);
  // And it rebuilds from an empty root.
  engine.insert(P("2001:db8:1::/48"), Metadata("again"));
  EXPECT_EQ(at(engine, "2001:db8:1::5"), "again");
  EXPECT_EQ(engine.len(), 1u);
}

TEST_P(TrieEngineTest, RejectsImpossibleLengths) {
  IpPrefix bad = P("10.0.0.0/8");
  bad.length = 40;
  EXPECT_TRUE(engine.insert(bad, Metadata("x")).has_value());
  EXPECT_FALSE(engine.contains(bad));
  EXPECT_FALSE(engine.remove(bad));
  EXPECT_EQ(engine.len(), 0u);
}

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

  engine.insert(P("192.168.0.0/16"), Metadata("rfc1918"));
  engine.insert(P("10.0.0.0/8"), Metadata("ten"));
  EXPECT_EQ(at(engine, "10.1.2.3"), "ten");
  EXPECT_EQ(at(engine, "192.168.7.7"), "rfc1918");
  EXPECT_EQ(at(engine, "172.16.0.1"), "-");
  EXPECT_EQ(at(engine, "::10.1.2.3"), "-");
}

INSTANTIATE_TEST_SUITE_P(AllKinds, TrieEngineTest, ::testing::Range<std::uint8_t>(0, 8),
                         [](const auto& info) { return "kind" + std::to_string(info.param); });

// --- The dispatcher.

TEST(LocalEngineTest, ShardSelection) {
  EXPECT_EQ(select_shard(A("10.1.2.3"), 8), 298936u % 8);
  EXPECT_EQ(select_shard(A("10.1.2.3"), 8), 0u);
  EXPECT_EQ(select_shard(A("10.1.2.4"), 8), 1u);
  // IPv6 addresses sharing their first 32 bits share a shard.
  for (std::uint64_t n : {2u, 8u, 64u}) {
    EXPECT_EQ(select_shard(A("2001:db8::1"), n), select_shard(A("2001:db8:ffff::9"), n));
  }
}

TEST(LocalEngineTest, LayoutsFromKindAndShards) {
  EXPECT_EQ(LocalEngine::make_trie(0, 1)->layout(), LocalEngine::Layout::Trie);
  EXPECT_EQ(LocalEngine::make_trie(2, 4)->layout(), LocalEngine::Layout::ShardedTrie);
  EXPECT_EQ(LocalEngine::make_trie(5, 0)->layout(), LocalEngine::Layout::CompressedTrie);
  auto sharded = LocalEngine::make_trie(5, 4);
  EXPECT_EQ(sharded->layout(), LocalEngine::Layout::ShardedCompressed);
  EXPECT_EQ(sharded->shard_count(), 4u);
}

TEST(LocalEngineTest, ShardedCountersAndRouting) {
  auto engine = LocalEngine::make_trie(5, 8);
  engine->insert(P("10.0.0.0/8"), Metadata("ten"));
  EXPECT_EQ(engine->len(), 1u);
  EXPECT_EQ(engine->stats().inserts, 1u);
  EXPECT_EQ(engine->stats().size, 1u);

  // Two lookups counted by different shards, summed once each.
  EXPECT_EQ(engine->lookup(A("10.1.2.3"))->value(), "ten");
  EXPECT_EQ(engine->lookup(A("10.1.2.4"))->value(), "ten");
  const auto& row = engine->internals().group->row;
  EXPECT_EQ(row[0]->stats().lookups, 1u);
  EXPECT_EQ(row[1]->stats().lookups, 1u);
  EXPECT_EQ(engine->stats().lookups, 2u);
  EXPECT_EQ(engine->stats().hits, 2u);
  // Every shard counted the insert.
  for (const auto& shard : row) EXPECT_EQ(shard->stats().inserts, 1u);

  EXPECT_EQ(engine->remove(P("10.0.0.0/8"))->value(), "ten");
  EXPECT_FALSE(engine->remove(P("10.0.0.0/8")));
  EXPECT_EQ(engine->stats().removals, 1u);
  for (std::string_view a : {"10.1.2.3", "10.1.2.4", "10.9.9.9"}) EXPECT_FALSE(engine->lookup(A(a)));

  engine->insert(P("10.0.0.0/8"), Metadata("ten"));
  engine->clear();
  EXPECT_EQ(engine->len(), 0u);
  EXPECT_EQ(engine->stats().inserts, 2u);
  for (std::string_view a : {"10.1.2.3", "10.1.2.4"}) EXPECT_FALSE(engine->lookup(A(a)));
}

}  // namespace
}  // namespace korvane
