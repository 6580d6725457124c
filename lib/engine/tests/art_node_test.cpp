// The adaptive radix tree's node kinds: every growth and shrink threshold
// in both directions, the corner cases of each kind's bookkeeping, leaf
// matching, and the three forms of the 16-way search against each other.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "art/mod.hpp"
#include "art/node16_simd.hpp"

namespace korvane::art {
namespace {

// Children are only stored and compared here, never followed, so a
// distinct fake pointer per key byte will do.
Node* fake(unsigned b) { return reinterpret_cast<Node*>(0x10000 + 16 * static_cast<std::uintptr_t>(b)); }

// Owns the node under test, freeing every allocation it leaves behind.
struct Holder {
  Inner* node = new_node4();
  ~Holder() { free_node(node); }
  void take(Inner* updated) {
    if (updated != node) free_node(node);
    node = updated;
  }
  void add(unsigned b) { take(add_child(node, static_cast<std::uint8_t>(b), fake(b))); }
  void remove(unsigned b) { take(remove_child(node, static_cast<std::uint8_t>(b))); }
};

// Every byte in `present` finds its own child and every other byte none.
void expect_children(const Inner* node, const std::vector<bool>& present) {
  for (unsigned b = 0; b < 256; ++b) {
    ASSERT_EQ(find_child(node, static_cast<std::uint8_t>(b)), present[b] ? fake(b) : nullptr) << "byte " << b;
  }
}

TEST(ArtNodes, GrowsThroughEveryKindAndShrinksBack) {
  Holder h;
  std::vector<bool> present(256, false);
  // Bytes in a scattered order, so that no kind relies on sorted arrival.
  auto byte_at = [](unsigned i) { return (i * 167 + 13) % 256; };
  for (unsigned i = 0; i < 256; ++i) {
    h.add(byte_at(i));
    present[byte_at(i)] = true;
    const unsigned count = i + 1;
    const Kind want = count <= 4 ? Kind::Node4 : count <= 16 ? Kind::Node16 : count < 45 ? Kind::Node48 : Kind::Node256;
    ASSERT_EQ(h.node->kind, want) << count << " children";
    ASSERT_EQ(child_count(h.node), count);
    if (count % 8 == 1 || count == 44 || count == 45) expect_children(h.node, present);
  }
  EXPECT_EQ(h.node->num_children, 0) << "256 children wrap the 8-bit count";

  for (unsigned i = 0; i < 256; ++i) {
    h.remove(byte_at(i));
    present[byte_at(i)] = false;
    const unsigned count = 255 - i;
    const Kind want = count > 48 ? Kind::Node256 : count > 16 ? Kind::Node48 : count > 3 ? Kind::Node16 : Kind::Node4;
    ASSERT_EQ(h.node->kind, want) << count << " children";
    ASSERT_EQ(child_count(h.node), count);
    if (count % 8 == 0 || count <= 4 || count == 48 || count == 49) expect_children(h.node, present);
  }
  // An emptied Node4 stays a Node4 and finds nothing.
  EXPECT_EQ(h.node->kind, Kind::Node4);
  expect_children(h.node, present);
}

TEST(ArtNodes, Node48FromShrinkingGrowsOnItsNextAdd) {
  Holder h;
  for (unsigned b = 0; b < 60; ++b) h.add(b);
  for (unsigned b = 0; b < 12; ++b) h.remove(b);  // 48 left: a Node48
  ASSERT_EQ(h.node->kind, Kind::Node48);
  ASSERT_EQ(h.node->num_children, 48);
  h.remove(12);
  h.remove(13);  // 46: still a Node48, above the growth mark
  ASSERT_EQ(h.node->kind, Kind::Node48);
  h.add(200);
  EXPECT_EQ(h.node->kind, Kind::Node256);
  EXPECT_EQ(child_count(h.node), 47u);
  EXPECT_EQ(find_child(h.node, 200), fake(200));
}

TEST(ArtNodes, Node48ReusesFreedSlotsOnly) {
  Holder h;
  std::vector<bool> present(256, false);
  for (unsigned b = 100; b < 130; ++b) {
    h.add(b);
    present[b] = true;
  }
  ASSERT_EQ(h.node->kind, Kind::Node48);
  // Free a few slots in the middle, refill them with other bytes, repeat.
  std::mt19937 rng(4);
  for (int round = 0; round < 200; ++round) {
    unsigned gone;
    do gone = rng() % 256; while (!present[gone]);
    h.remove(gone);
    present[gone] = false;
    unsigned fresh;
    do fresh = rng() % 256; while (present[fresh]);
    h.add(fresh);
    present[fresh] = true;
    ASSERT_EQ(h.node->kind, Kind::Node48);
    expect_children(h.node, present);
  }
  // No two bytes share a slot.
  const auto* n = static_cast<const Node48*>(h.node);
  std::vector<int> users(48, 0);
  for (unsigned b = 0; b < 256; ++b) {
    if (n->child_index[b] != Node48::kEmpty) ++users[n->child_index[b]];
  }
  for (int u : users) EXPECT_LE(u, 1);
}

TEST(ArtNodes, StaleNode16KeysPastTheCountNeverMatch) {
  Node16 n;
  for (unsigned i = 0; i < 16; ++i) {
    n.keys[i] = static_cast<std::uint8_t>(40 + i);
    n.children[i].store(fake(40 + i));
  }
  n.num_children = 5;  // positions 5..15 are leftovers
  EXPECT_EQ(find_child(&n, 44), fake(44));
  EXPECT_EQ(find_child(&n, 45), nullptr);
  EXPECT_EQ(find_child(&n, 55), nullptr);
  // Zero bytes past the count (a fresh node's) do not match key byte 0.
  Holder h;
  for (unsigned b = 1; b <= 5; ++b) h.add(b);
  ASSERT_EQ(h.node->kind, Kind::Node16);
  EXPECT_EQ(find_child(h.node, 0), nullptr);
}

TEST(ArtSearch16, EveryFormAgreesWithTheScan) {
  std::mt19937_64 rng(16);
  const bool sse = have_sse41();
  const bool avx = have_avx2();
  if (!sse && !avx) GTEST_SKIP() << "no SIMD form on this processor";
  alignas(16) std::uint8_t keys[16];
  for (int round = 0; round < 200000; ++round) {
    // Few distinct byte values, so that matches, repeats and matches past
    // the count all happen often.
    const unsigned spread = 1 + static_cast<unsigned>(rng() % 40);
    for (auto& k : keys) k = static_cast<std::uint8_t>(rng() % spread);
    const unsigned count = static_cast<unsigned>(rng() % 17);
    const auto b = static_cast<std::uint8_t>(rng() % (spread + 1));
    const int want = find_key16_scalar(keys, count, b);
    if (sse) ASSERT_EQ(find_key16_sse41(keys, count, b), want) << "count " << count;
    if (avx) ASSERT_EQ(find_key16_avx2(keys, count, b), want) << "count " << count;
    ASSERT_EQ(find_key16(keys, count, b), want);
  }
  EXPECT_STREQ(key16_form(), avx ? "avx2" : "sse4.1");
}

}  // namespace
}  // namespace korvane::art
