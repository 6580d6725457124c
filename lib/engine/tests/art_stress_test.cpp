// Writers and readers on one adaptive radix tree engine at once (meant for
// ThreadSanitizer too). The properties checked:
// - once an insert has returned, every lookup of an address inside that
//   prefix (which nobody removes) finds it or a more specific entry, and
//   contains reports it, however the tree is being rebuilt around it;
// - every record a lookup returns belongs to a prefix covering the address;
// - when the threads are done, len() is the number of stored prefixes, also
//   with clears racing inserts and removes, and in the sharded layout every
//   shard holds the same entries.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "engine_art.hpp"
#include "epoch.hpp"
#include "reference.hpp"

namespace korvane {
namespace {

using testing::PrefixGenerator;
using testing::ReferenceTable;

// Distinct random prefixes; a record's value is its index.
std::vector<IpPrefix> distinct_prefixes(std::uint64_t seed, std::size_t count) {
  PrefixGenerator gen(seed);
  ReferenceTable taken;
  std::vector<IpPrefix> out;
  while (out.size() < count) {
    const IpPrefix p = gen.next();
    if (taken.insert(p, {})) out.push_back(p);
  }
  return out;
}

Metadata record_of(std::size_t index) { return Metadata(std::to_string(index)); }

// Every shard of the sharded layout holds exactly what the first does.
void expect_shards_agree(const LocalEngine& engine, const std::vector<IpPrefix>& prefixes) {
  const auto& group = engine.internals().art_group;
  if (!group) return;
  for (std::uint64_t s = 1; s < group->shard_count; ++s) {
    EXPECT_EQ(group->row[s].len(), group->row[0].len()) << "shard " << s;
    for (const IpPrefix& p : prefixes) ASSERT_EQ(group->row[s].contains(p), group->row[0].contains(p)) << s;
  }
}

// Runs the writers to completion while `readers` threads call `read` over
// and over; returns once all have stopped.
void race(const std::vector<std::function<void()>>& writers, int readers, const std::function<void(std::uint64_t)>& read) {
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int r = 0; r < readers; ++r) {
    threads.emplace_back([&, r] {
      while (!done.load(std::memory_order_acquire)) read(static_cast<std::uint64_t>(r));
    });
  }
  std::vector<std::thread> writing;
  for (const auto& w : writers) writing.emplace_back(w);
  for (auto& t : writing) t.join();
  done.store(true, std::memory_order_release);
  for (auto& t : threads) t.join();
}

class ArtStressTest : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(ArtStressTest, CompletedInsertsAreNeverLost) {
  auto engine = LocalEngine::make_art(GetParam());
  // The first half is inserted once and kept; the second half churns among
  // and around it, forcing push-downs, node growth, shrinking and collapse.
  const std::vector<IpPrefix> prefixes = distinct_prefixes(31, 1200);
  const std::size_t kept = prefixes.size() / 2;
  std::atomic<std::size_t> published{0};
  std::atomic<std::uint64_t> lost{0};
  std::atomic<std::uint64_t> wrong{0};
  std::atomic<std::uint64_t> reads{0};

  auto keeper = [&] {
    for (std::size_t i = 0; i < kept; ++i) {
      engine->insert(prefixes[i], record_of(i));
      published.store(i + 1, std::memory_order_release);
    }
  };
  auto churner = [&] {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 100000; ++round) {
      const std::size_t i = kept + rng() % (prefixes.size() - kept);
      if (rng() % 3 != 0) {
        engine->insert(prefixes[i], record_of(i));
      } else {
        engine->remove(prefixes[i]);
      }
    }
  };
  // One generator per reader thread.
  PrefixGenerator gens[2] = {PrefixGenerator(1), PrefixGenerator(2)};
  race({keeper, churner}, 2, [&](std::uint64_t reader) {
    PrefixGenerator& gen = gens[reader];
    auto& rng = gen.rng();
    const std::size_t limit = published.load(std::memory_order_acquire);
    if (limit == 0) return;
    reads.fetch_add(1, std::memory_order_relaxed);
    const IpPrefix& p = prefixes[rng() % limit];
    const IpAddress a = gen.address_inside(p);
    const auto got = engine->lookup(a);
    if (!got || prefixes.at(std::stoul(got->value())).length < p.length) lost.fetch_add(1);
    if (got && !prefixes.at(std::stoul(got->value())).covers(a)) wrong.fetch_add(1);
    if (!engine->contains(p)) lost.fetch_add(1);
    const IpAddress r = gen.random_address();
    if (const auto any = engine->lookup(r); any && !prefixes.at(std::stoul(any->value())).covers(r)) {
      wrong.fetch_add(1);
    }
  });

  EXPECT_GT(reads.load(), 0u) << "the readers never overlapped the writers";
  EXPECT_EQ(lost.load(), 0u);
  EXPECT_EQ(wrong.load(), 0u);
  std::uint64_t stored = 0;
  for (std::size_t i = 0; i < prefixes.size(); ++i) {
    const bool present = engine->contains(prefixes[i]);
    if (i < kept) EXPECT_TRUE(present) << i;
    stored += present;
  }
  EXPECT_EQ(engine->len(), stored);
  expect_shards_agree(*engine, prefixes);
  epoch::collect();
}

TEST_P(ArtStressTest, CountStaysExactWithRacingWritersAndClears) {
  auto engine = LocalEngine::make_art(GetParam());
  const std::vector<IpPrefix> prefixes = distinct_prefixes(57, 300);
  std::atomic<std::uint64_t> wrong{0};

  auto writer = [&](std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    for (int round = 0; round < 20000; ++round) {
      const std::size_t i = rng() % prefixes.size();
      const std::uint64_t dice = rng() % 400;  // about one clear per 400 changes
      if (dice == 0) {
        engine->clear();
      } else {
        (dice % 2 != 0) ? static_cast<void>(engine->insert(prefixes[i], record_of(i)))
                        : static_cast<void>(engine->remove(prefixes[i]));
      }
    }
  };
  PrefixGenerator gen(5);
  race({[&] { writer(21); }, [&] { writer(22); }}, 1, [&](std::uint64_t) {
    const IpAddress a = gen.address_inside(prefixes[gen.rng()() % prefixes.size()]);
    if (const auto got = engine->lookup(a); got && !prefixes.at(std::stoul(got->value())).covers(a)) {
      wrong.fetch_add(1);
    }
  });

  EXPECT_EQ(wrong.load(), 0u);
  std::uint64_t stored = 0;
  for (const IpPrefix& p : prefixes) stored += engine->contains(p);
  EXPECT_EQ(engine->len(), stored);
  EXPECT_EQ(engine->stats().size, stored);
  expect_shards_agree(*engine, prefixes);
  epoch::collect();
}

INSTANTIATE_TEST_SUITE_P(Layouts, ArtStressTest, ::testing::Values(1, 3),
                         [](const auto& info) { return "shards" + std::to_string(info.param); });

}  // namespace
}  // namespace korvane
