// Both adaptive radix tree layouts against the linear-scan reference, on
// long runs of random operations: nested prefixes of every length 0..128,
// IPv4 prefixes next to their IPv4-compatible IPv6 twins, removes of
// entries kept in nodes and in leaves (before and after push-downs), exact
// contains also for lengths nobody stored, and clears.
#include <gtest/gtest.h>

#include <string>

#include "korvane/local_engine.hpp"
#include "reference.hpp"

namespace korvane {
namespace {

using testing::PrefixGenerator;
using testing::ReferenceTable;

class ArtShadowTest : public ::testing::TestWithParam<std::uint64_t> {
 protected:
  std::shared_ptr<const LocalEngine> engine = LocalEngine::make_art(GetParam());
  ReferenceTable reference;
  PrefixGenerator gen{0xA127 + GetParam()};
  std::vector<IpPrefix> seen;  // every prefix ever inserted
  int step = 0;

  void insert(const IpPrefix& p) {
    const std::string value = std::to_string(step) + "@" + std::to_string(p.length);
    ASSERT_FALSE(engine->insert(p, Metadata(value)).has_value());
    reference.insert(p, value);
    seen.push_back(p);
  }

  void remove(const IpPrefix& p) {
    const auto want = reference.remove(p);
    const auto got = engine->remove(p);
    ASSERT_EQ(want.has_value(), got.has_value()) << "step " << step;
    if (want) ASSERT_EQ(*want, got->value()) << "step " << step;
  }

  void lookup(const IpAddress& a) {
    const auto want = reference.lookup(a);
    const auto got = engine->lookup(a);
    ASSERT_EQ(want.has_value(), got.has_value()) << "step " << step;
    if (want) ASSERT_EQ(*want, got->value()) << "step " << step;
  }

  const IpPrefix& any_seen() { return seen[gen.rng()() % seen.size()]; }

  // Every stored entry is there exactly, is listed in order, and answers
  // for an address of its own as the reference does.
  void sweep() {
    ASSERT_EQ(testing::listing_of(*engine), reference.listing()) << "step " << step;
    for (const auto& entry : reference.entries()) {
      ASSERT_TRUE(engine->contains(entry.prefix)) << "step " << step;
      lookup(gen.address_inside(entry.prefix));
    }
  }
};

TEST_P(ArtShadowTest, RandomOperationsMatchReference) {
  auto& rng = gen.rng();
  for (step = 0; step < 20000; ++step) {
    const unsigned op = static_cast<unsigned>(rng() % 100);
    if (op < 40 || seen.empty()) {
      const IpPrefix p = gen.next();
      insert(p);
      if (p.family == AddressFamily::V4 && rng() % 6 == 0) insert(PrefixGenerator::compatible_twin(p));
    } else if (op < 55) {
      remove(any_seen());
    } else if (op < 60) {
      // Shorter or longer than something stored: often an entry kept in a
      // node above others, or nothing at all.
      IpPrefix p = any_seen();
      p.length = static_cast<std::uint8_t>(rng() % (address_width_bits(p.family) + 1));
      remove(p);
    } else if (op < 85) {
      lookup(gen.address_inside(any_seen()));
    } else if (op < 90) {
      lookup(gen.random_address());
    } else if (op < 99) {
      IpPrefix p = any_seen();
      if (rng() & 1) p.length = static_cast<std::uint8_t>(rng() % (address_width_bits(p.family) + 1));
      ASSERT_EQ(reference.contains(p), engine->contains(p)) << "step " << step;
    } else if (rng() % 8 == 0) {
      engine->clear();
      reference.clear();
    }
    ASSERT_EQ(engine->len(), reference.size()) << "step " << step;
    if (step % 2500 == 0) sweep();
  }
  sweep();
  EngineStats want;
  want.size = reference.size();
  EXPECT_EQ(engine->stats(), want);

  // Emptying the engine prefix by prefix leaves nothing behind.
  const auto entries = reference.entries();
  for (const auto& entry : entries) remove(entry.prefix);
  EXPECT_EQ(engine->len(), 0u);
  for (int i = 0; i < 200; ++i) EXPECT_FALSE(engine->lookup(gen.address_inside(any_seen())).has_value());
}

INSTANTIATE_TEST_SUITE_P(Layouts, ArtShadowTest, ::testing::Values(1, 2, 5),
                         [](const auto& info) { return "shards" + std::to_string(info.param); });

}  // namespace
}  // namespace korvane
