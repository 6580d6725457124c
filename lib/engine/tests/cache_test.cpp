// The lookup cache layer, observed through its inner engine's counters.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <functional>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <thread>

#include "cache.hpp"
#include "cache_table.hpp"
#include "korvane/address.hpp"
#include "korvane/local_engine.hpp"
#include "redis/backend.hpp"
#include "redis/schema.hpp"
#include "redis_server.hpp"
#include "reference.hpp"

namespace korvane {
namespace {

using testing::A;
using testing::P;
using testing::value_of;

// An inner engine whose insert can be told to fail, and which can run a
// hook between finding a lookup's answer and returning it, or before a
// clear.
class FailingEngine final : public PrefixEngine {
 public:
  explicit FailingEngine(EngineHandle inner) : inner_(std::move(inner)) {}
  std::atomic<bool> fail{false};
  mutable std::function<void()> after_lookup;
  mutable std::function<void()> before_clear;
  InsertStatus insert(const IpPrefix& p, Metadata md) const override {
    if (fail) return std::string("refused");
    return inner_->insert(p, std::move(md));
  }
  std::optional<Metadata> lookup(const IpAddress& a) const override {
    auto result = inner_->lookup(a);
    if (after_lookup) std::exchange(after_lookup, nullptr)();
    return result;
  }
  std::optional<Metadata> remove(const IpPrefix& p) const override { return inner_->remove(p); }
  bool contains(const IpPrefix& p) const override { return inner_->contains(p); }
  void clear() const override {
    if (before_clear) std::exchange(before_clear, nullptr)();
    inner_->clear();
  }
  std::uint64_t len() const override { return inner_->len(); }
  EngineStats stats() const override { return inner_->stats(); }

 private:
  EngineHandle inner_;
};

// A run of addresses answered in one call, through lookup_many or (with
// `lent`) lookup_visit, as the values of the answers.
std::vector<std::optional<std::string>> lookup_run(const PrefixEngine& engine, std::span<const IpAddress> run,
                                                   bool lent) {
  std::vector<std::optional<std::string>> values(run.size());
  if (lent) {
    struct Collect final : LookupVisitor {
      std::vector<std::optional<std::string>>* values;
      std::size_t next = 0;
      void visit(std::size_t index, const Metadata* record) override {
        EXPECT_EQ(index, next++) << "answers out of order";
        if (record != nullptr) (*values)[index] = record->value();
      }
    } collect;
    collect.values = &values;
    engine.lookup_visit(run, collect);
    EXPECT_EQ(collect.next, run.size());
  } else {
    std::vector<std::optional<Metadata>> got(run.size());
    engine.lookup_many(run, got);
    for (std::size_t i = 0; i < run.size(); ++i) {
      if (got[i]) values[i] = got[i]->value();
    }
  }
  return values;
}

// A cache of no addresses still keeps the last one.
TEST(CacheCapacity, ZeroKeepsOne) {
  CachedEngine zero{0, LocalEngine::make_trie(5, 1)};
  for (auto a : {"1.1.1.1", "2.2.2.2"}) zero.lookup(A(a));
  EXPECT_EQ(zero.cached(), 1u);
}

// A full cache still takes in a new hot set, even one whose address group
// held few entries when the cache filled: within a few passes its addresses
// stop reaching the inner engine.
TEST(CacheCapacity, FullCacheMakesRoomWhereTheMissesAre) {
  auto inner = LocalEngine::make_trie(5, 1);
  CachedEngine cache{10000, inner};
  for (std::uint32_t i = 0; i < 10000; ++i) cache.lookup(IpAddress::v4(10 + i % 200, i / 200 % 256, 7, 7));
  ASSERT_EQ(cache.cached(), 10000u);
  const std::uint64_t before = inner->stats().lookups;
  for (int pass = 0; pass < 40; ++pass) {
    for (std::uint8_t i = 0; i < 100; ++i) cache.lookup(IpAddress::v4(192, 168, 1, i));
  }
  // 4,000 when each group's share stays what it was at the fill; about 800
  // when evictions follow the misses.
  EXPECT_LT(inner->stats().lookups - before, 1600u);
}

// A stripe whose group was hot gives its room back as its entries go, so
// the stripes' arrays stay within a few times the capacity however often
// the misses move to another group (a stripe that kept the largest array it
// ever needed left 28 times the capacity here, against 3.8 times).
TEST(CacheCapacity, RoomFollowsTheMisses) {
  constexpr std::uint64_t kCapacity = 1024;
  ResultTable table(kCapacity);
  const ChangeLog log;
  for (std::uint8_t group = 0; group < 64; ++group) {
    for (unsigned i = 0; i < 2 * kCapacity; ++i) {
      const auto address = IpAddress::v4(10, group, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i));
      table.store(address, std::nullopt, log, log.now());
    }
  }
  EXPECT_EQ(table.size(), kCapacity);
  EXPECT_LE(table.slot_count(), 10 * kCapacity);
  table.drop_all();
  EXPECT_LE(table.slot_count(), 8 * kCapacity);  // every stripe back to its first array
}

TEST(CacheFailure, RejectedInsertKeepsCache) {
  auto failing = std::make_shared<FailingEngine>(LocalEngine::make_trie(5, 1));
  CachedEngine cache{100, failing};
  cache.lookup(A("10.1.1.1"));
  failing->fail = true;
  EXPECT_EQ(cache.insert(P("10.0.0.0/8"), Metadata("x")), std::make_optional<std::string>("refused"));
  EXPECT_EQ(cache.cached(), 1u);
}

// A miss that finds no memory for its entry (its stripe's first array, or
// a larger one) answers all the same and is not cached; the room it had
// reserved is the cache's again, and later changes still reach what is
// cached.
TEST(CacheFailure, AnswerWithNoRoomGoesUncached) {
  CachedEngine cache{8, LocalEngine::make_trie(4, 1)};
  ASSERT_FALSE(cache.insert(P("10.0.0.0/8"), Metadata("ten")));
  const auto lookup_failing = [&](const char* address) {
    ResultTable::fail_arrays_after(0);
    std::optional<Metadata> answer;
    EXPECT_NO_THROW(answer = cache.lookup(A(address)));
    ResultTable::fail_arrays_after(-1);
    EXPECT_EQ(value_of(answer), "ten");
  };
  lookup_failing("10.1.1.1");
  EXPECT_EQ(cache.cached(), 0u);
  for (const char* a : {"10.1.1.1", "10.1.1.2", "10.1.1.3", "10.1.1.4"}) cache.lookup(A(a));
  ASSERT_EQ(cache.cached(), 4u);  // a stripe's first array holds four
  lookup_failing("10.1.1.5");
  EXPECT_EQ(cache.cached(), 4u);
  cache.lookup(A("10.1.1.5"));
  EXPECT_EQ(cache.cached(), 5u);
  ASSERT_FALSE(cache.insert(P("10.1.0.0/16"), Metadata("ten-one")));
  EXPECT_EQ(value_of(cache.lookup(A("10.1.1.5"))), "ten-one");
}

// Random changes and lookups through the cache against the linear-scan
// reference: the cache must never answer with a result a change made stale,
// whether the change's prefix is long (one address group) or short (many
// groups, or a walk of the whole cache), and whatever eviction chose.
TEST(CacheShadow, NeverAnswersStale) {
  for (std::uint64_t capacity : {3u, 40u, 5000u}) {
    auto inner = LocalEngine::make_trie(5, 1);
    CachedEngine cache{capacity, inner};
    testing::ReferenceTable reference;
    testing::PrefixGenerator gen(capacity);
    std::vector<IpPrefix> pool;
    std::vector<IpAddress> hot;
    std::uint64_t asked = 0;
    auto& rng = gen.rng();
    for (int step = 0; step < 20000; ++step) {
      const unsigned op = static_cast<unsigned>(rng() % 100);
      if (op < 20 || pool.empty()) {
        const IpPrefix p = gen.next();
        const std::string v = std::to_string(step);
        cache.insert(p, Metadata(v));
        reference.insert(p, v);
        pool.push_back(p);
        hot.push_back(gen.address_inside(p));
      } else if (op < 30) {
        const IpPrefix& p = pool[rng() % pool.size()];
        ASSERT_EQ(cache.remove(p).has_value(), reference.remove(p).has_value());
      } else if (op < 95) {
        // Mostly addresses seen before, so the cache answers many of them.
        const IpAddress a = rng() % 4 ? hot[rng() % hot.size()] : gen.random_address();
        ++asked;
        ASSERT_EQ(value_of(cache.lookup(a)), reference.lookup(a)) << "step " << step << " capacity " << capacity;
      } else {
        // A run in one call: hits, misses and repeats of one address, over
        // more than one of the layer's chunks.
        std::vector<IpAddress> run(1 + rng() % 150);
        for (IpAddress& a : run) a = rng() % 4 ? hot[rng() % hot.size()] : gen.random_address();
        const auto got = lookup_run(cache, run, rng() & 1);
        asked += run.size();
        for (std::size_t i = 0; i < run.size(); ++i) {
          ASSERT_EQ(got[i], reference.lookup(run[i])) << "step " << step << " item " << i;
        }
      }
      ASSERT_LE(cache.cached(), std::max<std::uint64_t>(capacity, 1));
    }
    EXPECT_LT(inner->stats().lookups, asked);  // the cache did answer some
  }
}

// The exact set of cached addresses against a model, with room for all of
// them (no eviction): a change drops every cached address its prefix covers
// and no other (of either family, stored or not), whether the prefix lies
// inside one address group, spans a few groups, or more groups than the
// table has stripes; a clear drops them all.
TEST(CacheShadow, ChangesDropExactlyTheCoveredAddresses) {
  for (std::uint64_t capacity : {400u, 100000u}) {
    auto inner = LocalEngine::make_trie(5, 1);
    CachedEngine cache{capacity, inner};
    testing::PrefixGenerator gen(capacity + 1);
    auto& rng = gen.rng();
    std::vector<IpAddress> pool;  // clustered below the generator's roots
    for (int i = 0; i < 300; ++i) pool.push_back(gen.address_inside(gen.next()));
    std::vector<IpAddress> model;
    for (int step = 0; step < 6000; ++step) {
      if (rng() % 8 == 0) {
        // A run in one call asks the inner engine once per distinct address
        // it does not find cached, as a loop of lookups would.
        std::vector<IpAddress> run(1 + rng() % 150);
        for (IpAddress& a : run) a = pool[rng() % (rng() & 1 ? 20 : pool.size())];
        std::vector<IpAddress> fresh;
        for (const IpAddress& a : run) {
          if (std::find(model.begin(), model.end(), a) == model.end() &&
              std::find(fresh.begin(), fresh.end(), a) == fresh.end()) {
            fresh.push_back(a);
          }
        }
        const std::uint64_t before = inner->stats().lookups;
        lookup_run(cache, run, rng() & 1);
        ASSERT_EQ(inner->stats().lookups - before, fresh.size()) << "step " << step;
        model.insert(model.end(), fresh.begin(), fresh.end());
      } else if (rng() % 200 == 0) {
        cache.clear();
        model.clear();
      } else if (rng() % 3 != 0) {
        const IpAddress& a = pool[rng() % pool.size()];
        const bool was_cached = std::find(model.begin(), model.end(), a) != model.end();
        const std::uint64_t before = inner->stats().lookups;
        cache.lookup(a);
        ASSERT_EQ(inner->stats().lookups - before, was_cached ? 0u : 1u) << "step " << step;
        if (!was_cached) model.push_back(a);
      } else {
        const IpPrefix p = gen.next();
        if (rng() & 1) {
          cache.insert(p, Metadata("x"));
        } else {
          cache.remove(p);
        }
        std::erase_if(model, [&](const IpAddress& a) { return p.covers(a); });
      }
      ASSERT_EQ(cache.cached(), model.size()) << "step " << step;
    }
  }
}

// With the table full, each store evicts, and a store within a run may
// evict an address the run asks for again further on: the run must then
// miss there and ask the inner engine again, as single lookups would, and
// an address a store evicted before the run reached it must miss too. A
// table of one entry evicts predictably (its one entry), so single lookups
// are modelled exactly: the last address stored is the one cached.
TEST(CacheShadow, RunsWithAFullTableCountAsSingleLookups) {
  auto inner = LocalEngine::make_trie(5, 1);
  CachedEngine cache{1, inner};
  ASSERT_FALSE(cache.insert(P("10.0.0.0/8"), Metadata("ten")));
  const std::vector<IpAddress> pool = {A("10.0.0.1"), A("10.0.0.2"), A("10.1.0.3"), A("192.0.2.1"), A("::1")};
  std::mt19937_64 rng(11);
  std::optional<IpAddress> model;  // the one cached address
  for (int step = 0; step < 3000; ++step) {
    if (rng() % 10 == 0) {
      const IpPrefix p = rng() & 1 ? P("10.0.0.0/16") : P("10.1.0.0/16");
      cache.insert(p, Metadata(std::to_string(step)));
      if (model && p.covers(*model)) model.reset();
      continue;
    }
    std::vector<IpAddress> run(1 + rng() % 8);
    for (IpAddress& a : run) a = pool[rng() % pool.size()];
    std::uint64_t misses = 0;
    for (const IpAddress& a : run) {
      if (model != a) ++misses;
      model = a;
    }
    std::vector<std::optional<std::string>> expected;
    for (const IpAddress& a : run) expected.push_back(value_of(inner->lookup(a)));
    const std::uint64_t before = inner->stats().lookups;
    EXPECT_EQ(lookup_run(cache, run, rng() & 1), expected) << "step " << step;
    ASSERT_EQ(inner->stats().lookups - before, misses) << "step " << step;
  }
}

// A change that lands while a miss is inside the inner engine: the miss
// returns what it found, but must not cache it.
TEST(CacheConcurrency, ChangeDuringMissIsNotOverwritten) {
  auto hooked = std::make_shared<FailingEngine>(LocalEngine::make_trie(5, 1));
  CachedEngine cache{100, hooked};
  cache.insert(P("10.0.0.0/8"), Metadata("old"));
  hooked->after_lookup = [&] { cache.insert(P("10.1.0.0/16"), Metadata("new")); };
  EXPECT_EQ(cache.lookup(A("10.1.2.3"))->value(), "old");
  EXPECT_EQ(cache.lookup(A("10.1.2.3"))->value(), "new");

  // A change elsewhere does not stop the store.
  hooked->after_lookup = [&] { cache.insert(P("192.168.0.0/16"), Metadata("elsewhere")); };
  EXPECT_EQ(cache.lookup(A("10.200.0.1"))->value(), "old");
  EXPECT_EQ(cache.cached(), 2u);

  // The same for the misses of a run: the change lands while the inner
  // engine answers them, and none of those it covers is stored.
  hooked->after_lookup = [&] { cache.insert(P("10.2.0.0/16"), Metadata("newer")); };
  const std::vector<IpAddress> run = {A("10.2.0.1"), A("10.3.0.1"), A("10.2.0.1"), A("10.2.9.9")};
  EXPECT_EQ(lookup_run(cache, run, false),
            (std::vector<std::optional<std::string>>{"old", "old", "newer", "newer"}));
  EXPECT_EQ(lookup_run(cache, run, true),
            (std::vector<std::optional<std::string>>{"newer", "old", "newer", "newer"}));

  hooked->after_lookup = [&] { cache.clear(); };
  EXPECT_EQ(cache.lookup(A("10.7.7.7"))->value(), "old");
  EXPECT_EQ(cache.cached(), 0u);
  EXPECT_FALSE(cache.lookup(A("10.7.7.7")));
}

// Hits, misses (with evictions), inserts, removes and clears from several
// threads. Every stored record names its prefix and a version; once a change
// that ends a version (a replacing insert, a remove, a clear) has returned,
// no lookup that starts afterwards may answer with that version; and once
// the threads are done, every cached answer is the inner engine's.
TEST(CacheConcurrency, NoAnswerOutlivesTheChangeThatEndedIt) {
  // Nested, of both families, owned alternately by the two writers so that
  // the longest match of an address moves between writers' prefixes; some
  // lie inside one address group, some span many.
  const std::vector<IpPrefix> prefixes = {
      P("10.0.0.0/8"),     P("10.1.0.0/16"),     P("10.1.1.0/24"),   P("10.1.0.0/20"),
      P("10.0.0.0/12"),    P("10.1.1.128/25"),   P("0.0.0.0/1"),     P("10.2.0.0/15"),
      P("2001:db8::/32"),  P("2001:db8:1::/48"), P("::/0"),          P("2001:db8:1:2::/64")};
  std::vector<IpAddress> hot;
  for (const char* a : {"10.1.1.1", "10.1.1.200", "10.1.2.3", "10.2.0.1", "10.3.3.3", "10.9.9.9", "11.0.0.1",
                        "2001:db8:1:2::1", "2001:db8:1:3::1", "2001:db8:2::1", "2002::1", "10.1.15.1"}) {
    hot.push_back(A(a));
  }
  for (std::uint64_t capacity : {6u, 4096u}) {
    auto inner = LocalEngine::make_trie(5, 1);
    CachedEngine cache{capacity, inner};
    std::atomic<std::uint64_t> versions{1};
    std::vector<std::atomic<std::uint64_t>> dead_below(prefixes.size());  // versions below this are gone
    std::atomic<std::uint64_t> cleared_below{0};
    std::shared_mutex clearing;  // a clear waits for inserts and removes in flight
    std::atomic<int> writers_left{2};
    std::atomic<std::uint64_t> reader_lookups{0};
    std::mutex failure_mutex;
    std::string failure;

    auto writer = [&](unsigned self) {
      std::mt19937_64 rng(self + 10);
      for (int op = 0; op < 20000; ++op) {
        if (self == 0 && op % 2000 == 1999) {
          std::unique_lock exclusive(clearing);
          const std::uint64_t issued = versions.load();
          cache.clear();
          cleared_below.store(issued, std::memory_order_release);
          continue;
        }
        std::shared_lock shared(clearing);
        const std::size_t i = 2 * (rng() % (prefixes.size() / 2)) + self;  // own prefixes only
        if (rng() % 3 != 0) {
          const std::uint64_t v = versions.fetch_add(1);
          cache.insert(prefixes[i], Metadata(std::to_string(i) + ":" + std::to_string(v)));
          dead_below[i].store(v, std::memory_order_release);
        } else {
          cache.remove(prefixes[i]);
          dead_below[i].store(versions.load(), std::memory_order_release);
        }
      }
      writers_left.fetch_sub(1);
    };
    // Reader 1 looks addresses up in runs, one call each.
    auto reader = [&](unsigned self) {
      std::mt19937_64 rng(self + 20);
      std::vector<std::uint64_t> dead(prefixes.size());
      std::vector<IpAddress> run;
      std::vector<std::optional<Metadata>> answers;
      // Until the writers are done, and at least some lookups in: readers
      // that started late on a loaded machine still check something.
      while (writers_left.load() > 0 || reader_lookups.load(std::memory_order_relaxed) < 1000) {
        run.resize(self == 1 ? 1 + rng() % 100 : 1);
        for (IpAddress& a : run) {
          a = hot[rng() % hot.size()];
          if (rng() % 4 == 0) a.bytes[a.family == AddressFamily::V4 ? 3 : 15] = static_cast<std::uint8_t>(rng());
        }
        const std::uint64_t cleared = cleared_below.load(std::memory_order_acquire);
        for (std::size_t i = 0; i < prefixes.size(); ++i) dead[i] = dead_below[i].load(std::memory_order_acquire);
        answers.assign(run.size(), std::nullopt);
        if (self == 1) {
          cache.lookup_many(run, answers);
        } else {
          answers[0] = cache.lookup(run[0]);
        }
        reader_lookups.fetch_add(run.size(), std::memory_order_relaxed);
        for (std::size_t k = 0; k < run.size(); ++k) {
          const IpAddress& a = run[k];
          const auto& got = answers[k];
          if (!got) continue;
          const std::string& text = got->value();
          std::size_t i = 0;
          std::uint64_t v = 0;
          const auto colon = text.find(':');
          std::from_chars(text.data(), text.data() + colon, i);
          std::from_chars(text.data() + colon + 1, text.data() + text.size(), v);
          if (i >= prefixes.size() || !prefixes[i].covers(a) || v < dead[i] || v < cleared) {
            std::lock_guard lock(failure_mutex);
            failure = "answer " + text + " after the change that ended it (cleared below " + std::to_string(cleared) +
                      ", prefix dead below " + std::to_string(i < dead.size() ? dead[i] : 0) + ")";
          }
        }
      }
    };
    std::vector<std::thread> threads;
    for (unsigned w = 0; w < 2; ++w) threads.emplace_back(writer, w);
    for (unsigned r = 0; r < 2; ++r) threads.emplace_back(reader, r);
    for (auto& t : threads) t.join();

    EXPECT_EQ(failure, "") << "capacity " << capacity;
    EXPECT_LE(cache.cached(), capacity);
    EXPECT_LT(inner->stats().lookups, reader_lookups.load()) << "no lookup was a hit";
    EXPECT_GT(inner->stats().lookups, 0u);
    for (const IpAddress& a : hot) ASSERT_EQ(value_of(cache.lookup(a)), value_of(inner->lookup(a)));
  }
}

// ---------------------------------------------------------------- Redis tier

std::shared_ptr<redis::RedisBackend> backend_for(const testing::RedisServer& server) {
  std::string error;
  auto backend = redis::RedisBackend::make(server.url(), error);
  EXPECT_TRUE(backend) << error;
  return backend;
}

TEST(CacheRedis, WritesEntriesThroughAndSharesCurrentResults) {
  testing::RedisServer server;
  const std::string entries(redis::kEntriesKey);
  CachedEngine one{100, LocalEngine::make_trie(5, 1), backend_for(server)};
  CachedEngine two{100, LocalEngine::make_trie(5, 1), backend_for(server)};

  ASSERT_EQ(one.insert(P("10.1.2.3/8"), Metadata("x", {{"k", "v"}})), std::nullopt);
  EXPECT_EQ(server.run({"HGET", entries, "10.0.0.0/8"}), R"({"value":"x","attributes":{"k":"v"}})");
  const std::string first_count = server.run({"GET", "korvane:generation"});
  EXPECT_GE(std::stoull(first_count), std::uint64_t{1} << 40);  // a key made afresh starts at a random count

  // One's answer is shared under the lookup key, in the record form.
  EXPECT_EQ(one.lookup(A("10.9.9.9"))->value(), "x");
  EXPECT_EQ(server.run({"GET", "korvane:lookup:10.9.9.9"}), R"({"value":"x","attributes":{"k":"v"}})");
  EXPECT_EQ(two.lookup(A("10.9.9.9"))->value(), "x");  // two's own engine is empty
  EXPECT_EQ(two.lookup(A("10.9.9.9"))->value(), "x");  // asked again, not cached locally
  EXPECT_FALSE(two.lookup(A("10.9.9.8")));            // nobody shared that one

  // A remove (of a prefix never stored, too) deletes the field and makes
  // every shared result older than it stale.
  EXPECT_FALSE(two.remove(P("192.0.2.0/24")));
  EXPECT_FALSE(two.lookup(A("10.9.9.9"))) << "a superseded shared record came back";
  EXPECT_EQ(one.remove(P("10.0.0.0/8"))->value(), "x");
  EXPECT_EQ(server.run({"HEXISTS", entries, "10.0.0.0/8"}), "0");
  EXPECT_FALSE(one.lookup(A("10.9.9.9")));

  // Results stored without a generation, or that are not records, count as
  // none.
  server.run({"SET", "korvane:lookup:10.7.7.7", R"({"value":"untagged","attributes":{}})"});
  server.run({"SET", "korvane:lookup:10.8.8.8", "not json"});
  server.run({"SET", "korvane:lookup-generation:10.8.8.8", server.run({"GET", "korvane:generation"})});
  EXPECT_FALSE(two.lookup(A("10.7.7.7")));
  EXPECT_FALSE(two.lookup(A("10.8.8.8")));
}

// The generation key lost (evicted, or deleted by hand) and made again by
// later changes: it must not count through the values results were tagged
// with before, and while it is missing nothing is shared.
TEST(CacheRedis, AGenerationKeyLostAndMadeAgainRevivesNoResult) {
  testing::RedisServer server;
  CachedEngine one{100, LocalEngine::make_trie(5, 1), backend_for(server)};
  CachedEngine two{100, LocalEngine::make_trie(5, 1), backend_for(server)};
  ASSERT_EQ(one.insert(P("10.0.0.0/8"), Metadata("x")), std::nullopt);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(one.lookup(A("10.1.1." + std::to_string(i)))->value(), "x");
  EXPECT_EQ(one.remove(P("10.0.0.0/8"))->value(), "x");
  server.run({"DEL", "korvane:generation"});
  EXPECT_FALSE(two.lookup(A("10.1.1.0")));  // no key: nothing shared
  for (int i = 1; i < 8; ++i) {
    ASSERT_EQ(two.insert(P("192.0.2." + std::to_string(i) + "/32"), Metadata("other")), std::nullopt);
    EXPECT_FALSE(two.lookup(A("10.1.1." + std::to_string(i)))) << "a removed record came back after " << i << " changes";
  }
}

// A generation key planted by hand that INCR cannot count: the changes
// still reach the hash, but nothing marks the results shared before them as
// old, so no engine may share or fetch results under it.
TEST(CacheRedis, GenerationThatCannotCountEndsSharing) {
  for (const char* planted : {"18446744073709551615", "9223372036854775807", "007"}) {
    testing::RedisServer server;
    CachedEngine writer{100, LocalEngine::make_trie(5, 1), backend_for(server)};
    CachedEngine remover{100, LocalEngine::make_trie(5, 1), backend_for(server)};
    CachedEngine reader{100, LocalEngine::make_trie(5, 1), backend_for(server)};
    ASSERT_EQ(writer.insert(P("10.0.0.0/8"), Metadata("x")), std::nullopt);
    server.run({"SET", "korvane:generation", planted});
    EXPECT_EQ(writer.lookup(A("10.9.9.9"))->value(), "x");
    EXPECT_FALSE(remover.remove(P("10.0.0.0/8")));  // not in its own engine, gone from the hash
    EXPECT_EQ(server.run({"HLEN", std::string(redis::kEntriesKey)}), "0");
    EXPECT_FALSE(reader.lookup(A("10.9.9.9"))) << planted << ": a removed record came back from the shared results";
    EXPECT_FALSE(remover.lookup(A("10.9.9.9"))) << planted;
  }
}

// A change that lands between a miss's inner lookup and its shared store
// must leave nothing fetchable: the store carries the generation read
// before the lookup, which the change has bumped past.
TEST(CacheRedis, ResultOvertakenByAChangeIsNeverShared) {
  testing::RedisServer server;
  auto hooked = std::make_shared<FailingEngine>(LocalEngine::make_trie(5, 1));
  CachedEngine one{100, hooked, backend_for(server)};
  CachedEngine two{100, LocalEngine::make_trie(5, 1), backend_for(server)};
  ASSERT_EQ(one.insert(P("10.0.0.0/8"), Metadata("old")), std::nullopt);
  hooked->after_lookup = [&] { one.remove(P("10.0.0.0/8")); };
  EXPECT_EQ(one.lookup(A("10.1.1.1"))->value(), "old");  // answered before the remove
  EXPECT_EQ(server.run({"GET", "korvane:lookup:10.1.1.1"}), R"({"value":"old","attributes":{}})");
  EXPECT_FALSE(two.lookup(A("10.1.1.1")));
  EXPECT_FALSE(one.lookup(A("10.1.1.1")));
}

// A clear is a change too: the results this engine shared before it, or
// while it ran, must not come back from Redis once its own entries are gone.
TEST(CacheRedis, ClearEndsTheResultsSharedBeforeIt) {
  testing::RedisServer server;
  auto hooked = std::make_shared<FailingEngine>(LocalEngine::make_trie(5, 1));
  CachedEngine cache{100, hooked, backend_for(server)};
  ASSERT_EQ(cache.insert(P("10.0.0.0/8"), Metadata("x")), std::nullopt);
  EXPECT_EQ(cache.lookup(A("10.1.1.1"))->value(), "x");
  ASSERT_NE(server.run({"GET", "korvane:lookup:10.1.1.1"}), "(nil)");
  hooked->before_clear = [&] { EXPECT_EQ(cache.lookup(A("10.2.2.2"))->value(), "x"); };  // shared as it answers
  cache.clear();
  EXPECT_EQ(cache.len(), 0u);
  EXPECT_FALSE(cache.lookup(A("10.1.1.1"))) << "a cleared record came back from the shared results";
  EXPECT_FALSE(cache.lookup(A("10.2.2.2"))) << "a record shared during the clear came back";
  EXPECT_EQ(server.run({"HEXISTS", std::string(redis::kEntriesKey), "10.0.0.0/8"}), "1");  // the hash keeps it
}

TEST(CacheRedis, ServerAwayLeavesLocalResults) {
  testing::RedisServer server;
  CachedEngine cache{100, LocalEngine::make_trie(5, 1), backend_for(server)};
  server.stop();
  EXPECT_EQ(cache.insert(P("10.0.0.0/8"), Metadata("x")), std::nullopt);
  EXPECT_EQ(cache.lookup(A("10.1.1.1"))->value(), "x");
  EXPECT_FALSE(cache.lookup(A("11.1.1.1")));
  EXPECT_EQ(cache.remove(P("10.0.0.0/8"))->value(), "x");
  EXPECT_FALSE(cache.lookup(A("10.1.1.1")));
  server.start();
  // The failed changes could not bump the generation; a miss does so,
  // once the client tries the server again, before it shares anything.
  int miss = 0;
  EXPECT_TRUE(testing::eventually([&] {
    EXPECT_FALSE(cache.lookup(IpAddress::v4(10, 2, 2, static_cast<std::uint8_t>(++miss))));
    return server.run({"EXISTS", "korvane:generation"}) == "1";
  }));
}

}  // namespace
}  // namespace korvane
