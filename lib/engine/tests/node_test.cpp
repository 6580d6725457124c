// The per-field node encodings, for every node kind: the auxiliary byte,
// edge lengths, and where a node keeps its prefix. Children and records
// are exercised through the engines (shadow_test, record_pool_test).
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

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
  for (std::uint64_t length : {12, 300, 254, 255}) {
    n->set_edge(bits, length);
    EXPECT_EQ(n->edge(), bits);
    EXPECT_EQ(n->edge_len(), std::make_optional(length));
  }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, NodeKindTest, ::testing::Range<std::uint8_t>(0, 8), kind_name);

// Prefixes with nothing set past their first 55 address bits live in the
// node's word, others in a box: either way a node gives back exactly the
// prefix it was given, host bits included, and covers exactly the addresses
// that prefix covers.
TEST(StoredPrefix, KeepsEveryPrefixExactlyAndBoxesOnlyWhatDoesNotFit) {
  std::mt19937_64 rng(7);
  const auto random_bytes = [&] {
    std::array<std::uint8_t, 16> b{};
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
  };
  for (int i = 0; i < 4000; ++i) {
    IpPrefix p;
    // IPv4; IPv4 with stray bytes; IPv6; an IPv4-compatible twin; IPv6
    // with nothing past bit 55; the same with bit 55 set.
    const int shape = i % 6;
    const bool inline_expected = shape == 0 || shape == 4;
    p.family = shape < 2 ? AddressFamily::V4 : AddressFamily::V6;
    p.bytes = random_bytes();
    if (shape == 0) std::fill(p.bytes.begin() + 4, p.bytes.end(), 0);
    if (shape == 3) std::fill(p.bytes.begin(), p.bytes.begin() + 12, 0);
    if (shape >= 4) {
      std::fill(p.bytes.begin() + 7, p.bytes.end(), 0);
      p.bytes[6] &= shape == 4 ? 0xFE : 0xFF;
      p.bytes[6] |= shape == 4 ? 0 : 1;
    }
    p.length = static_cast<std::uint8_t>(rng() % (p.family == AddressFamily::V4 ? 33 : 129));
    if (shape == 4) p.length = static_cast<std::uint8_t>(rng() % 128);

    const std::size_t boxes_before = prefix_box_bytes();
    const StoredPrefix stored = StoredPrefix::make(p);
    EXPECT_EQ(stored.box() == nullptr, inline_expected) << i;
    EXPECT_EQ(prefix_box_bytes() == boxes_before, inline_expected) << i;
    EXPECT_EQ(stored.get(), p) << i;
    for (int j = 0; j < 8; ++j) {
      IpAddress a;
      a.family = j % 4 == 3 ? AddressFamily::V6 : p.family;
      a.bytes = p.bytes;
      // Flip one bit somewhere, or none: inside, just outside, or far off.
      // Half the flips land near the end of the prefix.
      if (j % 2 == 1) {
        const unsigned width = a.family == AddressFamily::V4 ? 32 : 128;
        unsigned bit = static_cast<unsigned>(rng() % width);
        if (j % 4 == 1) bit = std::min<unsigned>(width - 1, p.length + static_cast<unsigned>(rng() % 3) - 1 + (p.length == 0));
        a.bytes[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
      }
      if (a.family == AddressFamily::V4) std::fill(a.bytes.begin() + 4, a.bytes.end(), 0);
      EXPECT_EQ(stored.covers(a), p.covers(a)) << i << " " << j;
    }
    NodeRef n = new_node(static_cast<NodeKind>(i % 8));
    n->set_prefix(p);
    EXPECT_EQ(n->prefix(), p) << i;
    stored.release();
  }
  epoch::collect();
}

}  // namespace
}  // namespace korvane
