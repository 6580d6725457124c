// Writers and readers on one engine at once, for the trie node kinds and the
// adaptive radix tree (meant for ThreadSanitizer too). The properties checked:
// - a prefix whose insert has completed, and which nobody removes, is found
//   by contains and by every later lookup of an address inside it, with a
//   record at least as specific as that prefix;
// - every record a lookup returns belongs to a prefix that covers the
//   address (records name their prefix, so a torn or misplaced one shows);
// - once the threads are done, len() equals the number of stored prefixes,
//   also when clears ran concurrently with inserts and removes, and every
//   shard of a sharded tree holds the same entries.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <concepts>
#include <random>
#include <thread>

#include "engine_art.hpp"
#include "epoch.hpp"
#include "korvane/address.hpp"
#include "korvane/local_engine.hpp"
#include "reference.hpp"
#include "trie_probe.hpp"

namespace korvane {
namespace {

using testing::PrefixGenerator;

using Config = testing::TrieConfig;

// Every prefix a test may insert; a record's value is its index here.
struct Universe {
  std::vector<IpPrefix> prefixes;
  std::size_t permanent = 0;  // [0, permanent) are never removed

  explicit Universe(std::uint64_t seed, std::size_t permanent_count, std::size_t churn_count)
      : Universe(permanent_count, churn_count, [gen = PrefixGenerator(seed)]() mutable { return gen.next(); }) {}

  template <std::invocable Next>
  Universe(std::size_t permanent_count, std::size_t churn_count, Next next)
      : prefixes(testing::distinct_prefixes(permanent_count + churn_count, next)), permanent(permanent_count) {}

  Metadata record(std::size_t index) const { return Metadata(std::to_string(index)); }

  // Inserts or removes, at random, prefixes [permanent, end) for `rounds`
  // rounds (end 0: to the last).
  template <class Engine>
  void churn(const Engine& engine, std::uint64_t seed, int rounds, std::size_t end = 0) const {
    if (end == 0) end = prefixes.size();
    std::mt19937_64 rng(seed);
    for (int round = 0; round < rounds; ++round) {
      const std::size_t i = permanent + rng() % (end - permanent);
      if (rng() & 1) {
        engine.insert(prefixes[i], record(i));
      } else {
        engine.remove(prefixes[i]);
      }
    }
  }
  const IpPrefix& of(const Metadata& md) const { return prefixes.at(std::stoul(md.value())); }

  // At rest: every permanent prefix is stored, len() and the stats count
  // what is, and every shard of a sharded tree holds the same entries.
  void expect_settled(const LocalEngine& engine) const {
    std::uint64_t stored = 0;
    for (std::size_t i = 0; i < prefixes.size(); ++i) {
      const bool present = engine.contains(prefixes[i]);
      if (i < permanent) EXPECT_TRUE(present) << i;
      stored += present;
    }
    EXPECT_EQ(engine.len(), stored);
    EXPECT_EQ(engine.stats().size, stored);
    const auto& group = engine.internals().art_group;
    for (std::uint64_t s = 1; group && s < group->shard_count; ++s) {
      EXPECT_EQ(group->row[s].len(), group->row[0].len()) << "shard " << s;
      for (const IpPrefix& p : prefixes) ASSERT_EQ(group->row[s].contains(p), group->row[0].contains(p)) << s;
    }
  }
};

class StressTest : public ::testing::TestWithParam<Config> {};

TEST_P(StressTest, CompletedInsertsStayVisibleUnderChurn) {
  const Config config = GetParam();
  const bool art = config.kind == testing::kArt;
  auto engine = testing::make_engine(config);
  const Universe u(77 + config.kind, 600, 600);
  std::atomic<std::size_t> published{0};  // permanent[0, published) are in
  std::atomic<std::uint64_t> failures{0};
  std::atomic<std::uint64_t> reads{0};
  PrefixGenerator gens[2] = {PrefixGenerator(1), PrefixGenerator(2)};  // one per reader

  auto permanent_writer = [&] {
    for (std::size_t i = 0; i < u.permanent; ++i) {
      engine->insert(u.prefixes[i], u.record(i));
      published.store(i + 1, std::memory_order_release);
      // The readers overlap the writers however the machine schedules them.
      while (i == 0 && reads.load(std::memory_order_relaxed) == 0) std::this_thread::yield();
    }
  };
  // The tree's churn is longer: push-downs, node growth, shrinking and
  // collapse all need many changes around the stored prefixes.
  auto churn_writer = [&] { u.churn(*engine, 5, art ? 100000 : 8000); };
  testing::race({permanent_writer, churn_writer}, 2, [&](int reader) {
    PrefixGenerator& gen = gens[reader];
    const std::size_t limit = published.load(std::memory_order_acquire);
    if (limit == 0) return;
    reads.fetch_add(1, std::memory_order_relaxed);
    const IpPrefix& p = u.prefixes[gen.rng()() % limit];
    const IpAddress a = gen.address_inside(p);
    const auto got = engine->lookup(a);
    if (!got || !u.of(*got).covers(a) || u.of(*got).length < p.length || !engine->contains(p)) failures.fetch_add(1);
    const IpAddress r = gen.random_address();
    if (const auto any = engine->lookup(r); any && !u.of(*any).covers(r)) failures.fetch_add(1);
  });

  EXPECT_GT(reads.load(), 0u) << "the readers never overlapped the writers";
  EXPECT_EQ(failures.load(), 0u);
  u.expect_settled(*engine);
  epoch::collect();
}

TEST_P(StressTest, EntryCountStaysExactWithConcurrentClears) {
  const Config config = GetParam();
  auto engine = testing::make_engine(config);
  const Universe u(99 + config.kind, 0, 400);
  std::atomic<std::uint64_t> failures{0};

  auto writer = [&](std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    for (int round = 0; round < (config.kind == testing::kArt ? 20000 : 6000); ++round) {
      const std::size_t i = rng() % u.prefixes.size();
      const unsigned op = static_cast<unsigned>(rng() % 100);
      if (op < 55) {
        engine->insert(u.prefixes[i], u.record(i));
      } else if (op < 99) {
        engine->remove(u.prefixes[i]);
      } else {
        engine->clear();
      }
    }
  };
  PrefixGenerator gen(3);
  testing::race({[&] { writer(11); }, [&] { writer(12); }}, 1, [&](int) {
    const IpAddress a = gen.address_inside(u.prefixes[gen.rng()() % u.prefixes.size()]);
    if (const auto got = engine->lookup(a); got && !u.of(*got).covers(a)) failures.fetch_add(1);
  });

  EXPECT_EQ(failures.load(), 0u);
  u.expect_settled(*engine);
  epoch::collect();
}

// Two writers insert and remove the same few prefixes, and replace the
// records of prefixes stored throughout: a remove may find an entry whose
// insert has not returned yet. The count readers see stays between what the
// engine holds throughout and what it can hold: a replacement never counts.
TEST_P(StressTest, EntryCountStaysInRangeWhereInsertsAndRemovesMeet) {
  auto engine = testing::make_engine(GetParam());
  const IpPrefix prefixes[] = {testing::v4_prefix(10, 0, 0, 0, 8), testing::v4_prefix(10, 1, 0, 0, 16),
                               testing::v4_prefix(10, 1, 2, 0, 24), testing::P("2001:db8::/32")};
  const Universe stored_throughout(33, 100, 0);
  for (std::size_t i = 0; i < 100; ++i) engine->insert(stored_throughout.prefixes[i], stored_throughout.record(i));
  for (const IpPrefix& p : prefixes) ASSERT_FALSE(engine->contains(p));
  constexpr std::uint64_t kLeast = 100;
  constexpr std::uint64_t kMost = kLeast + std::size(prefixes);
  std::atomic<std::uint64_t> out_of_range{0};
  auto writer = [&](std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    for (int round = 0; round < (testing::kSanitized ? 20000 : 300000); ++round) {
      const IpPrefix& p = prefixes[rng() % std::size(prefixes)];
      switch (rng() % 3) {
        case 0: engine->insert(p, Metadata("x")); break;
        case 1: engine->remove(p); break;
        default: engine->insert(stored_throughout.prefixes[rng() % 100], Metadata("y")); break;
      }
    }
  };
  testing::race({[&] { writer(31); }, [&] { writer(32); }}, 1, [&](int) {
    for (const std::uint64_t count : {engine->len(), engine->stats().size}) {
      if (count < kLeast || count > kMost) out_of_range.fetch_add(1);
    }
  });
  EXPECT_EQ(out_of_range.load(), 0u);
  std::uint64_t stored = kLeast;
  for (const IpPrefix& p : prefixes) stored += engine->contains(p) ? 1 : 0;
  EXPECT_EQ(engine->len(), stored);
  epoch::collect();
}

// Churn beside stored prefixes makes removes prune and merge the nodes around
// them while readers ask. Prefixes stored throughout are always found, by
// contains and by lookups inside them; prefixes never stored never are; and
// at rest the trie has the shape a fresh load gives it, and answers as it.
//
// With `owned`, each writer churns its own half of the churned prefixes and
// knows which of them it has stored: each of its removes must hand back the
// record it inserted, and each insert must find the prefix absent.
//
// `ballast` more /24s, apart from the universe, are stored first and kept.
void churn_beside_stored(const Config& config, const Universe& u, bool owned = false, int ballast = 0) {
  auto engine = LocalEngine::make_trie(config.kind, config.shards);
  auto fresh = LocalEngine::make_trie(config.kind, 1);
  const std::size_t never_stored = 40;  // the last ones are never inserted
  const std::size_t churn_end = u.prefixes.size() - never_stored;
  for (int i = 0; i < ballast; ++i) {
    const IpPrefix p = testing::v4_prefix(172, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i), 0, 24);
    engine->insert(p, Metadata("ballast"));
    fresh->insert(p, Metadata("ballast"));
  }
  for (std::size_t i = 0; i < u.permanent; ++i) engine->insert(u.prefixes[i], u.record(i));

  std::atomic<std::uint64_t> failures{0};
  auto writer = [&](std::uint64_t seed) {
    if (!owned) return u.churn(*engine, seed, 5000, churn_end);
    std::mt19937_64 rng(seed);
    std::vector<bool> stored(churn_end, false);
    for (int round = 0; round < 5000; ++round) {
      std::size_t i = u.permanent + rng() % (churn_end - u.permanent);
      i -= (i - u.permanent) % 2 != seed % 2 ? 1 : 0;  // this writer's half
      if (i < u.permanent) continue;
      if (stored[i]) {
        const auto removed = engine->remove(u.prefixes[i]);
        if (!removed || removed->value() != u.record(i).value()) failures.fetch_add(1);
      } else if (engine->contains(u.prefixes[i])) {
        failures.fetch_add(1);
      } else {
        engine->insert(u.prefixes[i], u.record(i));
      }
      stored[i] = !stored[i];
    }
  };
  PrefixGenerator gens[2] = {PrefixGenerator(23), PrefixGenerator(24)};  // one per reader
  auto reader = [&](int r) {
    PrefixGenerator& gen = gens[r];
    auto& rng = gen.rng();
    const IpPrefix& kept = u.prefixes[rng() % u.permanent];
    if (!engine->contains(kept)) failures.fetch_add(1);
    const IpAddress a = gen.address_inside(kept);
    const auto got = engine->lookup(a);
    if (!got || !u.of(*got).covers(a) || u.of(*got).length < kept.length) failures.fetch_add(1);
    if (engine->contains(u.prefixes[churn_end + rng() % never_stored])) failures.fetch_add(1);
  };
  testing::race({[&] { writer(21); }, [&] { writer(22); }}, 2, reader);

  EXPECT_EQ(failures.load(), 0u);
  for (std::size_t i = 0; i < u.prefixes.size(); ++i) {
    if (engine->contains(u.prefixes[i])) fresh->insert(u.prefixes[i], u.record(i));
  }
  EXPECT_EQ(engine->len(), fresh->len());
  EXPECT_EQ(testing::trie_nodes(*engine), testing::trie_nodes(*fresh));
  PrefixGenerator gen(7);
  for (const IpPrefix& p : u.prefixes) {
    const IpAddress a = gen.address_inside(p);
    ASSERT_EQ(testing::value_of(engine->lookup(a)), testing::value_of(fresh->lookup(a))) << format_address(a);
  }
  epoch::collect();
}

// Trie shapes only.
class TrieStressTest : public ::testing::TestWithParam<Config> {};

TEST_P(TrieStressTest, PrunesAndMergesKeepStoredPrefixesExact) {
  churn_beside_stored(GetParam(), Universe(123 + GetParam().kind, 300, 300));
}

// Prefixes under `base`: its first `fixed` bits, then random ones, in all
// `shortest` to `longest` bits.
struct Cluster {
  IpAddress base;
  unsigned fixed, shortest, longest;
};
// Prefixes under `v4` three times in four, under `v6` otherwise.
auto clustered_under(std::uint64_t seed, Cluster v4, Cluster v6) {
  return [rng = std::mt19937_64(seed), v4, v6]() mutable {
    const Cluster& c = (rng() & 3) != 0 ? v4 : v6;
    IpAddress a = c.base;
    const unsigned length = c.shortest + static_cast<unsigned>(rng() % (c.longest - c.shortest + 1));
    for (unsigned bit = c.fixed; bit < length; ++bit) {
      if (rng() & 1) a.bytes[bit / 8] |= static_cast<std::uint8_t>(0x80u >> (bit % 8));
    }
    return IpPrefix::of(a, static_cast<std::uint8_t>(length));
  };
}

// The same with every prefix 19 to 30 bits long under one IPv4 /10, or 19
// to 128 bits under one IPv6 /10 (edges longer than 64 bits): the nodes
// where writers' walks start (those 10 to 18 bits in) are made, merged and
// pruned all the time, by one writer while the other starts walks at them,
// and each writer checks what its own removes and inserts find.
TEST_P(TrieStressTest, WalksStartingBelowTheRootSurviveMergesAndPrunes) {
  const IpAddress v4 = IpAddress::v4(10, 64, 0, 0);
  // The ballast makes the engine large enough for writers to use shortcuts.
  churn_beside_stored(GetParam(),
                      Universe(300, 300,
                               clustered_under(321 + GetParam().kind, {v4, 10, 19, 30},
                                               {IpAddress::v6({0x20, 0x00}), 10, 19, 128})),
                      /*owned=*/true, /*ballast=*/1 << 14);
  // Again, packed under one IPv4 /18 and one IPv6 /32 densely enough that
  // walks start at the deep slots of keys 26 or 48 bits long and more,
  // whose nodes (22 to 26 and 44 to 48 bits in) come and go all the time.
  churn_beside_stored(GetParam(),
                      Universe(500, 500,
                               clustered_under(327 + GetParam().kind, {v4, 18, 22, 32},
                                               {IpAddress::v6({0x20, 0x01, 0x0d, 0xb8}), 32, 40, 64})),
                      /*owned=*/true, /*ballast=*/1 << 14);
}

std::vector<Config> stress_configs() {
  std::vector<Config> out;
  for (std::uint8_t kind = 0; kind < 8; ++kind) out.push_back({kind, 1});
  out.push_back({1, 2});
  out.push_back({5, 2});
  out.push_back({5, 8});
  return out;
}

INSTANTIATE_TEST_SUITE_P(Kinds, StressTest, ::testing::ValuesIn(stress_configs()),
                         testing::trie_config_name<::testing::TestParamInfo<Config>>);
INSTANTIATE_TEST_SUITE_P(Tree, StressTest, ::testing::Values(Config{testing::kArt, 1}, Config{testing::kArt, 3}),
                         testing::trie_config_name<::testing::TestParamInfo<Config>>);
INSTANTIATE_TEST_SUITE_P(Kinds, TrieStressTest, ::testing::ValuesIn(stress_configs()),
                         testing::trie_config_name<::testing::TestParamInfo<Config>>);

// A lookup reads the read index from its top down while a writer replaces
// nodes by copies that keep their children, and changes those children in
// place later: it must still answer as the table stood at one moment. With
// Y = 10.0.0.1/32 inside P = 10.0.0.0/12, and 10.0.0.1 looked up:
// - cycling {} -> {Y} -> {Y, P} -> {Y} -> {}, P is never the answer (Y is
//   there whenever P is);
// - cycling {Y} -> {Y, P} -> {P} -> {P, Y} -> {Y}, "none" never is.
// The fixed prefixes keep three levels of index nodes from folding away.
TEST(ReadIndexConcurrency, ALookupAnswersAsTheTableStoodAtOneMoment) {
  for (const bool always_covered : {false, true}) {
    auto engine = LocalEngine::make_trie(4, 1);
    engine->insert(testing::v4_prefix(10, 0, 1, 0, 24), Metadata("fixed"));
    engine->insert(testing::v4_prefix(10, 0, 0, 128, 25), Metadata("fixed"));
    engine->insert(testing::v4_prefix(10, 0, 0, 2, 32), Metadata("fixed"));
    const IpPrefix p = testing::v4_prefix(10, 0, 0, 0, 12);
    const IpPrefix y = testing::v4_prefix(10, 0, 0, 1, 32);
    const IpAddress a = IpAddress::v4(10, 0, 0, 1);
    if (always_covered) engine->insert(y, Metadata("Y"));
    const auto wrong = [&](const std::optional<Metadata>& got) {
      return always_covered ? !got.has_value() : got && got->value() == "P";
    };
    std::atomic<std::uint64_t> failures{0};
    const auto writer = [&] {
      const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
      while (std::chrono::steady_clock::now() < end) {
        for (int i = 0; i < 64; ++i) {
          if (always_covered) {
            engine->insert(p, Metadata("P"));
            engine->remove(y);
            engine->insert(y, Metadata("Y"));
            engine->remove(p);
          } else {
            engine->insert(y, Metadata("Y"));
            engine->insert(p, Metadata("P"));
            engine->remove(p);
            engine->remove(y);
          }
        }
      }
    };
    const std::vector<IpAddress> run(8, a);
    testing::race({writer}, 1, [&](int) {
      if (wrong(engine->lookup(a))) failures.fetch_add(1);
      std::vector<std::optional<Metadata>> got(run.size());
      engine->lookup_many(run, got);
      for (const auto& g : got) failures.fetch_add(wrong(g) ? 1 : 0);
    });
    EXPECT_EQ(failures.load(), 0u) << (always_covered ? "answered none" : "answered P");
  }
}

// Listing beside a writer: every walk is in order, lists each prefix stored
// throughout exactly once, and lists nothing that was never stored.
TEST(ForEachConcurrency, WalksAreWeaklyConsistent) {
  for (std::uint8_t kind : {4, 1}) {
    auto engine = LocalEngine::make_trie(kind, 1);
    const Universe u(311 + kind, 200, 200);
    for (std::size_t i = 0; i < u.permanent; ++i) engine->insert(u.prefixes[i], u.record(i));
    std::atomic<bool> done{false};
    std::thread writer([&] {
      u.churn(*engine, 9, 6000);
      done.store(true, std::memory_order_release);
    });
    struct Walk final : EntryVisitor {
      std::vector<std::size_t> seen;  // indexes into the universe
      std::vector<IpPrefix> order;
      void visit(const IpPrefix& prefix, const Metadata& record) override {
        seen.push_back(std::stoul(record.value()));
        order.push_back(prefix);
      }
    };
    std::uint64_t failures = 0;
    int walks = 0;
    while (!done.load(std::memory_order_acquire) || walks == 0) {
      Walk walk;
      engine->for_each(walk);
      ++walks;
      std::vector<int> count(u.prefixes.size(), 0);
      for (std::size_t k = 0; k < walk.seen.size(); ++k) {
        const std::size_t i = walk.seen[k];
        if (i >= u.prefixes.size() || !walk.order[k].same_entry(u.prefixes[i])) ++failures;  // never stored
        if (i < count.size()) ++count[i];
        if (k > 0 && !testing::ReferenceTable::listing_order(walk.order[k - 1], walk.order[k])) ++failures;
      }
      for (std::size_t i = 0; i < count.size(); ++i) {
        if (i < u.permanent ? count[i] != 1 : count[i] > 1) ++failures;
      }
    }
    writer.join();
    EXPECT_EQ(failures, 0u) << "kind " << int(kind) << ", " << walks << " walks";
  }
}

}  // namespace
}  // namespace korvane
