// The per-field node operations, for every node kind.
#include <gtest/gtest.h>

#include <cstdlib>

#include "epoch.hpp"
#include "traits.hpp"

namespace korvane {
namespace {

class NodeKindTest : public ::testing::TestWithParam<std::uint8_t> {
 protected:
  NodeKind kind() const { return static_cast<NodeKind>(GetParam()); }
  bool compressed() const { return is_compressed(kind()); }
};

std::string kind_name(const ::testing::TestParamInfo<std::uint8_t>& info) {
  return "kind" + std::to_string(info.param);
}

TEST_P(NodeKindTest, ChildrenAreIndependentSharedHandles) {
  NodeRef parent = new_node(kind());
  NodeRef a = new_node(kind());
  NodeRef b = new_node(kind());
  parent->set_left(a);
  parent->set_right(b);
  EXPECT_EQ(parent->left().get(), a.get());
  EXPECT_EQ(parent->right().get(), b.get());

  // A handle obtained earlier stays usable after the slot is emptied.
  NodeRef held = parent->left();
  parent->set_left(NodeRef());
  EXPECT_FALSE(parent->left());
  EXPECT_EQ(parent->right().get(), b.get());
  held->set_metadata(Metadata("still here"));
  EXPECT_EQ(held->metadata()->value(), "still here");

  // Emptying an empty slot changes nothing.
  parent->set_left(NodeRef());
  EXPECT_FALSE(parent->left());
  EXPECT_EQ(parent->right().get(), b.get());
  epoch::collect();
}

TEST_P(NodeKindTest, MetadataIsCopiedAndReplaced) {
  NodeRef n = new_node(kind());
  Metadata md("allow", {{"asn", "AS1"}});
  n->set_metadata(md);
  md.mutable_value() = "changed by caller";
  std::optional<Metadata> got = n->metadata();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->value(), "allow");
  EXPECT_EQ(got->attributes().at("asn"), "AS1");

  got->mutable_attributes()["asn"] = "AS2";  // the node's copy is unaffected
  EXPECT_EQ(n->metadata()->attributes().at("asn"), "AS1");

  n->set_metadata(Metadata("deny"));
  EXPECT_EQ(n->metadata()->value(), "deny");
  n->clear_metadata();
  EXPECT_FALSE(n->metadata());

  IpPrefix p;
  p.family = AddressFamily::V6;
  p.bytes[0] = 0x20;
  p.length = 16;
  n->set_prefix(p);
  EXPECT_EQ(n->prefix(), p);
  epoch::collect();
}

TEST_P(NodeKindTest, AuxiliaryValue) {
  NodeRef n = new_node(kind());
  n->set_aux(7);
  if (compressed()) {
    EXPECT_FALSE(n->aux().has_value());
    return;
  }
  EXPECT_EQ(n->aux(), std::make_optional<std::uint8_t>(7));
  n->set_aux(255);
  const bool plain_byte = kind() == NodeKind::UncompressedCompact || kind() == NodeKind::UncompressedHashed;
  if (plain_byte) {
    EXPECT_FALSE(n->aux().has_value());  // 255 + 1 wraps to "absent"
  } else {
    EXPECT_EQ(n->aux(), std::make_optional<std::uint8_t>(255));
  }
}

TEST_P(NodeKindTest, EdgeRoundTripsOrStops) {
  NodeRef n = new_node(kind());
  std::array<std::uint8_t, 16> bits{};
  bits[0] = 0x20;
  bits[1] = 0x01;
  bits[15] = 0xAA;
  if (!compressed()) {
    EXPECT_DEATH(n->set_edge(bits, 12), "set_edge called on an uncompressed node");
    return;
  }
  n->set_edge(bits, 12);
  EXPECT_EQ(n->edge(), bits);
  EXPECT_EQ(n->edge_len(), std::make_optional<std::uint64_t>(12));
  n->set_edge(bits, 300);
  EXPECT_EQ(n->edge_len(), std::make_optional<std::uint64_t>(300));
  n->set_edge(bits, 254);
  EXPECT_EQ(n->edge_len(), std::make_optional<std::uint64_t>(254));
  n->set_edge(bits, 255);
  EXPECT_EQ(n->edge_len(), std::make_optional<std::uint64_t>(255));
}

INSTANTIATE_TEST_SUITE_P(AllKinds, NodeKindTest, ::testing::Range<std::uint8_t>(0, 8), kind_name);

}  // namespace
}  // namespace korvane
