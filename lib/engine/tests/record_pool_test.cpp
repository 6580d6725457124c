// Shared records: equal records are stored once, stay immutable while
// pooled, and leave the pool with their last holder, also when holders come
// and go on several threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "epoch.hpp"
#include "korvane/local_engine.hpp"
#include "metadata_rep.hpp"
#include "reference.hpp"

namespace korvane {
namespace {

using testing::v4_prefix;

Metadata record(int n) { return Metadata("AS" + std::to_string(n), {{"cc", n % 2 ? "de" : "fr"}}); }

void check_kept_mutable_references(const std::shared_ptr<const LocalEngine>& engine) {
  Metadata mine("AS1", {{"cc", "de"}});
  std::string& value = mine.mutable_value();
  Attributes& attributes = mine.mutable_attributes();
  const Metadata copy = mine;
  engine->insert(v4_prefix(10, 0, 0, 0, 8), mine);
  value = "changed";
  attributes["cc"] = "xx";
  EXPECT_EQ(mine.value(), "changed");
  EXPECT_EQ(copy.value(), "AS1");
  EXPECT_EQ(copy.attributes().at("cc"), "de");
  const auto stored = engine->lookup(IpAddress::v4(10, 1, 1, 1));
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->value(), "AS1");
  EXPECT_EQ(stored->attributes().at("cc"), "de");

  Metadata bare;
  bare.mutable_value() = "AS2";
  const void* given = bare.identity();
  engine->insert(v4_prefix(11, 0, 0, 0, 8), std::move(bare));
  const auto answer = engine->lookup(IpAddress::v4(11, 1, 1, 1));
  ASSERT_TRUE(answer.has_value());
  EXPECT_NE(answer->identity(), given);
  EXPECT_EQ(Metadata(*answer).identity(), answer->identity());
  EXPECT_EQ(answer->value(), "AS2");
  engine->clear();
  epoch::collect();
}

// A caller that keeps the reference a mutator gave it, and writes through
// it after copying the record, changes its own record alone: the copy, and
// the engine the copy went into, keep what the record held when copied. A
// record given up to an engine after such access is stored as a copy,
// which the engine's answers then share as any stored record.
TEST(RecordPool, WritesThroughAKeptMutableReferenceReachNoCopy) {
  for (const auto& engine : {LocalEngine::make_trie(4, 1), LocalEngine::make_art(1), LocalEngine::make_art(3)}) {
    check_kept_mutable_references(engine);
  }
}


// Thousands of distinct records entering and leaving the pool at random
// (each leaves with the last prefix holding it): at every check, prefixes
// holding equal records answer one shared record, and unequal ones distinct
// records, whatever the pool's table has been through (growth, removals
// moving entries back).
TEST(RecordPool, SharingStaysExactThroughChurnOfThousandsOfRecords) {
  auto engine = LocalEngine::make_trie(4, 1);
  std::mt19937_64 rng(5);
  constexpr int kPrefixes = 1 << 14;
  constexpr int kContents = 3000;
  std::vector<int> held(kPrefixes, -1);  // content per prefix, -1: none
  auto prefix = [](int i) { return v4_prefix(10, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i), 0, 24); };
  for (int op = 1; op <= 60000; ++op) {
    const int i = static_cast<int>(rng() % kPrefixes);
    if (rng() % 3 != 0) {
      held[i] = static_cast<int>(rng() % kContents);
      engine->insert(prefix(i), record(held[i]));
    } else {
      engine->remove(prefix(i));
      held[i] = -1;
    }
    if (op % 20000 != 0) continue;
    epoch::collect();
    std::vector<const void*> identity(kContents, nullptr);
    for (int j = 0; j < kPrefixes; ++j) {
      const auto got = engine->lookup(IpAddress::v4(10, static_cast<std::uint8_t>(j >> 8), static_cast<std::uint8_t>(j), 1));
      ASSERT_EQ(got.has_value(), held[j] >= 0);
      if (!got) continue;
      ASSERT_EQ(got->value(), record(held[j]).value());
      if (identity[held[j]] == nullptr) identity[held[j]] = got->identity();
      ASSERT_EQ(got->identity(), identity[held[j]]) << "equal records not shared";
    }
    std::vector<const void*> seen;
    for (const void* id : identity) {
      if (id != nullptr) seen.push_back(id);
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end()) << "unequal records share one";
  }
}

// One record, held by copies on two threads, inserted into two engines at
// once: both pools race to take it, one wins, and both engines answer it
// whole; removing it everywhere frees it (ASan and TSan watch).
TEST(RecordPool, OneRecordEnteringTwoEnginesAtOnce) {
  auto left = LocalEngine::make_trie(4, 1);
  auto right = LocalEngine::make_trie(5, 1);
  for (int round = 0; round < 300; ++round) {
    const Metadata shared = record(1000 + round);
    const IpPrefix p = v4_prefix(10, 0, static_cast<std::uint8_t>(round), 0, 24);
    std::thread other([&, copy = shared] { right->insert(p, copy); });
    left->insert(p, shared);
    other.join();
    ASSERT_EQ(left->lookup(p.address())->value(), shared.value());
    ASSERT_EQ(right->lookup(p.address())->value(), shared.value());
  }
  left->clear();
  right->clear();
  epoch::collect();
}

// A record entering the pool may have its attribute map compacted, but
// only while the insert holds its one reference. A record the caller still
// holds a copy of (and reads on another thread meanwhile) stays as it was.
TEST(RecordPool, ARecordOthersHoldIsNotChangedOnEnteringThePool) {
  auto engine = LocalEngine::make_trie(4, 1);
  for (int round = 0; round < 200; ++round) {
    Attributes grown;  // grown one entry at a time: more buckets than it needs
    for (int k = 0; k < 3; ++k) grown.insert_or_assign("k" + std::to_string(k), "v");
    const Metadata held("AS" + std::to_string(round), std::move(grown));
    const std::size_t buckets = held.attributes().bucket_count();
    std::atomic<bool> done{false};
    std::size_t read = 0;
    std::thread reader([&] {
      while (!done.load(std::memory_order_acquire)) {
        for (const auto& [key, value] : held.attributes()) read += key.size() + value.size();
      }
    });
    engine->insert(v4_prefix(10, 0, static_cast<std::uint8_t>(round), 0, 24), held);
    done.store(true, std::memory_order_release);
    reader.join();
    ASSERT_EQ(held.attributes().bucket_count(), buckets) << round;
    ASSERT_EQ(engine->lookup(IpAddress::v4(10, 0, static_cast<std::uint8_t>(round), 1))->identity(), held.identity());
  }
  engine->clear();
  epoch::collect();
}

// Records a table keeps are packed: read back through the map, through
// for_each_attribute and through equality, each one is the record that went
// in, whatever its texts (empty, long enough for multi-byte lengths, many
// pairs). Equal records reach the pool in either form, held elsewhere (kept
// as a map) or not (packed), and still share one record; a caller's copy of
// a packed record changes as a plain value.
TEST(RecordPool, PackedRecordsReadBackAsTheyWentIn) {
  auto engine = LocalEngine::make_trie(4, 1);
  std::mt19937_64 rng(11);
  const auto text = [&](std::size_t max) {
    std::string t(rng() % (max + 1), 'x');
    for (char& c : t) c = static_cast<char>('a' + rng() % 26);
    return t;
  };
  constexpr int kRecords = 200;
  std::vector<Metadata> originals;
  for (int i = 0; i < kRecords; ++i) {
    Attributes attributes;
    const std::size_t pairs = i % 50 == 0 ? 40 : rng() % 4;
    const std::size_t max = i % 7 == 0 ? 20000 : 12;
    while (attributes.size() < pairs) attributes.insert_or_assign(text(max), text(max));
    originals.emplace_back(i % 3 == 0 ? std::string() : text(max), std::move(attributes));
  }
  const auto held_copy = [&](int i) { return v4_prefix(10, 1, static_cast<std::uint8_t>(i), 0, 24); };
  const auto sole = [&](int i) { return v4_prefix(10, 2, static_cast<std::uint8_t>(i), 0, 24); };
  const auto unshared = [&](int i) {
    Metadata mine = originals[i];
    mine.mutable_value() += "";  // detached: once inserted, the engine is its only holder
    return mine;
  };
  // Built from views of the pairs, in any order, some names given first
  // with a value that a later one replaces.
  const auto viewed = [&](int i) {
    std::vector<AttributeView> pairs;
    for (const auto& [name, value] : originals[i].attributes()) {
      if (rng() % 4 == 0) pairs.emplace_back(name, "replaced");
      pairs.emplace_back(name, value);
    }
    std::shuffle(pairs.begin(), pairs.end(), rng);
    // Shuffling may have put a replaced value after its final one: restore
    // "final value last" for each name.
    std::stable_partition(pairs.begin(), pairs.end(), [](const AttributeView& p) { return p.second == "replaced"; });
    return Metadata::from_views(originals[i].value(), pairs);
  };
  // The first half enter the pool as maps (held here too), the rest packed;
  // then each enters again in the other form and finds the pooled one, and
  // once more built from views.
  for (int i = 0; i < kRecords / 2; ++i) engine->insert(held_copy(i), originals[i]);
  for (int i = 0; i < kRecords; ++i) engine->insert(sole(i), unshared(i));
  for (int i = kRecords / 2; i < kRecords; ++i) engine->insert(held_copy(i), originals[i]);
  for (int i = 0; i < kRecords; ++i) {
    const Metadata built = viewed(i);
    ASSERT_TRUE(built == originals[i]) << i;
    ASSERT_TRUE(built.attributes() == originals[i].attributes()) << i;
    engine->insert(v4_prefix(10, 3, static_cast<std::uint8_t>(i), 0, 24), built);
  }
  for (int i = 0; i < kRecords; ++i) {
    const Metadata& want = originals[i];
    const auto got = engine->lookup(IpAddress::v4(10, 2, static_cast<std::uint8_t>(i), 1));
    ASSERT_TRUE(got);
    EXPECT_TRUE(*got == want) << i;
    Attributes visited;
    got->for_each_attribute([&](std::string_view k, std::string_view v) { visited.emplace(k, v); });
    EXPECT_TRUE(visited == want.attributes()) << i;
    EXPECT_EQ(got->attribute_count(), want.attributes().size()) << i;
    EXPECT_TRUE(got->attributes() == want.attributes()) << i;
    EXPECT_TRUE(got->value() == want.value()) << i;
    EXPECT_EQ(engine->lookup(IpAddress::v4(10, 1, static_cast<std::uint8_t>(i), 1))->identity(), got->identity()) << i;
    EXPECT_EQ(engine->lookup(IpAddress::v4(10, 3, static_cast<std::uint8_t>(i), 1))->identity(), got->identity()) << i;
  }
  // Forty pairs (record 50) are compared side by side, not pair by pair.
  Attributes altered = originals[50].attributes();
  altered.begin()->second += "!";
  EXPECT_FALSE(viewed(50) == Metadata(originals[50].value(), altered));
  Metadata changed = *engine->lookup(IpAddress::v4(10, 2, 150, 1));
  changed.mutable_attributes()["added"] = "yes";
  EXPECT_EQ(changed.attributes().size(), originals[150].attributes().size() + 1);
  EXPECT_TRUE(*engine->lookup(IpAddress::v4(10, 2, 150, 1)) == originals[150]);
  EXPECT_FALSE(changed == originals[150]);
  // A record built from views and held by its caller alone changes as a
  // plain value too, and so does its value.
  const AttributeView pair{"country", "DE"};
  Metadata mine = Metadata::from_views("DE", std::span(&pair, 1));
  mine.mutable_attributes()["city"] = "Berlin";
  mine.mutable_value() += "-BE";
  EXPECT_TRUE(mine == Metadata("DE-BE", {{"country", "DE"}, {"city", "Berlin"}}));
  EXPECT_EQ(mine.attribute_count(), 2u);
}

// Threads asking at once for the map of a packed record all get one map,
// whole (ThreadSanitizer watches the build), and it lives with the record.
TEST(RecordPool, ThreadsAskingForAPackedRecordsMapGetOneWholeMap) {
  auto engine = LocalEngine::make_trie(4, 1);
  const Attributes want{{"continent", "EU"}, {"country", "DE"}, {"city", "Frankfurt am Main"}};
  for (int round = 0; round < 200; ++round) {
    engine->insert(v4_prefix(10, 0, 0, 0, 8), Metadata("DE" + std::to_string(round), want));
    const Metadata stored = *engine->lookup(IpAddress::v4(10, 1, 1, 1));
    std::atomic<int> ready{0};
    const Attributes* seen[4] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        ready.fetch_add(1);
        while (ready.load() < 4) std::this_thread::yield();
        seen[t] = &stored.attributes();
      });
    }
    for (std::thread& t : threads) t.join();
    for (const Attributes* map : seen) {
      ASSERT_EQ(map, seen[0]) << round;
      ASSERT_EQ(*map, want) << round;
    }
  }
  engine->clear();
  epoch::collect();
}

// Threads that answer with the same records take their references from
// stocks of their own, for one record as for hundreds. Copies made on one
// thread and dropped on another, and the stocks the threads return when
// they exit, still add up: once the threads and the engine are gone, the
// one copy of each record kept here is its only holder.
void hand_out_shared_records_on_two_threads(int records) {
  auto engine = LocalEngine::make_trie(4, 1);
  const int prefixes = std::max(records, 64);
  const auto address = [](int i) {
    return IpAddress::v4(10, static_cast<std::uint8_t>(i / 256), static_cast<std::uint8_t>(i % 256), 1);
  };
  for (int i = 0; i < prefixes; ++i) {
    engine->insert(v4_prefix(10, static_cast<std::uint8_t>(i / 256), static_cast<std::uint8_t>(i % 256), 0, 24),
                   record(i % records));
  }
  std::vector<Metadata> kept;
  for (int r = 0; r < records; ++r) kept.push_back(*engine->lookup(address(r)));
  const auto rep_of = [&](int r) { return static_cast<const detail::MetadataRep*>(kept[r].identity()); };
  const auto marked = [&] {
    int n = 0;
    for (int r = 0; r < records; ++r) n += rep_of(r)->read_by_several.load(std::memory_order_relaxed);
    return n;
  };

  std::mutex passed_mutex;
  std::vector<Metadata> passed;  // made on one thread, dropped on another
  std::atomic<std::uint64_t> failures{0};
  std::atomic<int> ready{0};
  const auto lookup_checked = [&](int i) {
    auto got = engine->lookup(address(i % prefixes));
    const int r = i % prefixes % records;
    if (!got || got->identity() != rep_of(r) || got->value() != "AS" + std::to_string(r)) failures.fetch_add(1);
    return got;
  };
  auto reader = [&](int t) {
    ready.fetch_add(1);
    while (ready.load() < 2) std::this_thread::yield();
    // Both threads answer until most records are seen as shared (they
    // overlap in time, so they soon are), then go on with copies kept and
    // passed.
    std::uint32_t x = 12345u + static_cast<std::uint32_t>(t);
    for (int i = 0; i < 5'000'000 && (i % 4096 != 0 || 2 * marked() < records); ++i) {
      x = x * 1664525u + 1013904223u;
      lookup_checked(static_cast<int>(x >> 8));
    }
    std::vector<Metadata> held;
    for (int i = 0; i < 50000; ++i) {
      auto got = lookup_checked(i);
      if (!got) continue;
      if (i % 97 == 0) held.push_back(*got);
      if (i % 1013 == t) {
        std::lock_guard lock(passed_mutex);
        if (passed.size() > 8) {
          passed.erase(passed.begin(), passed.begin() + 4);
        } else {
          passed.push_back(*got);
        }
      }
      if (held.size() > 300) held.erase(held.begin(), held.begin() + 150);
    }
  };
  std::thread a(reader, 0), b(reader, 1);
  a.join();
  b.join();
  EXPECT_EQ(failures.load(), 0u);
  EXPECT_GE(2 * marked(), records) << "the threads seldom took the stocked path";

  // A thread alone afterwards leaves its stocks for the plain count after a
  // few thousand answers; copies it took either way are dropped either way.
  std::thread([&] {
    std::vector<Metadata> held;
    for (int i = 0; i < 20000; ++i) {
      auto got = lookup_checked(i);
      if (got && i % 7 == 0) held.push_back(*got);
      if (held.size() > 1000) held.erase(held.begin(), held.begin() + 500);
    }
  }).join();
  EXPECT_EQ(failures.load(), 0u);

  passed.clear();
  engine.reset();
  epoch::collect();
  for (int r = 0; r < records; ++r) EXPECT_EQ(rep_of(r)->refs.load(), 1u) << "record " << r;
  EXPECT_EQ(kept[0].value(), "AS0");
}

TEST(RecordPool, ReferencesOnARecordManyThreadsHandOutAddUp) { hand_out_shared_records_on_two_threads(1); }

TEST(RecordPool, ReferencesOnHundredsOfRecordsManyThreadsHandOutAddUp) { hand_out_shared_records_on_two_threads(600); }

// Stocks do not keep a record alive for long after its table lets go of
// it: threads that go on answering with other records return the removed
// record's stocks within a few thousand answers, long before they exit.
// After the removed record is shared and stocked, the threads go on
// answering with records every thread answers (marked as shared, so their
// stocks are in use), or each with a record of its own (never marked).
void stocks_let_go_of_a_removed_record(bool shared_answers) {
  auto engine = LocalEngine::make_trie(4, 1);
  constexpr int kOthers = 64;
  const auto address = [](int i) { return IpAddress::v4(10, 0, static_cast<std::uint8_t>(i), 1); };
  for (int i = 0; i <= kOthers; ++i) {
    engine->insert(v4_prefix(10, 0, static_cast<std::uint8_t>(i), 0, 24), record(i));
  }
  for (std::uint8_t t = 0; t < 2; ++t) engine->insert(v4_prefix(10, 1, t, 0, 24), record(100 + t));
  const Metadata removed = *engine->lookup(address(kOthers));
  const auto* rep = static_cast<const detail::MetadataRep*>(removed.identity());
  std::vector<const detail::MetadataRep*> others;  // the engine keeps them
  for (int i = 0; i < kOthers; ++i) {
    others.push_back(static_cast<const detail::MetadataRep*>(engine->lookup(address(i))->identity()));
  }
  const auto others_marked = [&] {
    return std::all_of(others.begin(), others.end(), [](const detail::MetadataRep* r) { return r->read_by_several.load(); });
  };

  std::atomic<int> phase{0};  // 1: the record is gone; 2: the check is done
  std::atomic<int> answered{0};
  auto reader = [&](std::uint32_t seed) {
    const auto own = IpAddress::v4(10, 1, static_cast<std::uint8_t>(seed & 1), 1);
    // Both threads answer with every record until the removed one is
    // marked as shared and stocked.
    for (int i = 0; i < 5'000'000 && !rep->read_by_several.load(std::memory_order_relaxed); ++i) {
      seed = seed * 1664525u + 1013904223u;
      (void)engine->lookup(address(static_cast<int>(seed >> 8) % (kOthers + 1)));
    }
    for (int i = 0; i < 1000; ++i) (void)engine->lookup(address(kOthers));
    answered.fetch_add(1);
    while (phase.load() == 0) std::this_thread::yield();
    if (shared_answers) {
      // With every other record marked, enough answers for a few sweeps.
      for (int i = 0; i < 5'000'000 && (i % 4096 != 0 || !others_marked()); ++i) {
        (void)engine->lookup(address(i % kOthers));
      }
      for (int i = 0; i < 200'000; ++i) (void)engine->lookup(address(i % kOthers));
    } else {
      for (int i = 0; i < 200'000; ++i) (void)engine->lookup(own);
    }
    answered.fetch_add(1);
    while (phase.load() < 2) std::this_thread::yield();
  };
  std::thread a(reader, 1u), b(reader, 2u);
  while (answered.load() < 2) std::this_thread::yield();
  ASSERT_TRUE(rep->read_by_several.load()) << "the threads never shared the record";
  ASSERT_TRUE(engine->remove(v4_prefix(10, 0, kOthers, 0, 24)).has_value());
  phase.store(1);
  while (answered.load() < 4) std::this_thread::yield();
  epoch::collect();
  EXPECT_EQ(rep->refs.load(), 1u) << "stocks still hold the removed record";
  phase.store(2);
  a.join();
  b.join();
  EXPECT_EQ(removed.value(), "AS64");
}

TEST(RecordPool, StocksLetGoOfARemovedRecordWhileThreadsGoOnAnswering) { stocks_let_go_of_a_removed_record(true); }

TEST(RecordPool, StocksLetGoOfARemovedRecordWhileThreadsAnswerWithRecordsOfTheirOwn) {
  stocks_let_go_of_a_removed_record(false);
}

// A lookup made while a thread exits, after its stocks went back (from the
// destructor of a thread-local object made before them), takes no new
// stock: nothing would return it, and the record would outlive its table.
TEST(RecordPool, LookupsLateInAThreadsExitTakeNoStock) {
  auto engine = LocalEngine::make_trie(4, 1);
  const IpAddress address = IpAddress::v4(10, 0, 0, 1);
  engine->insert(v4_prefix(10, 0, 0, 0, 24), record(1));
  const Metadata kept = *engine->lookup(address);
  const auto* rep = static_cast<const detail::MetadataRep*>(kept.identity());
  struct LateLookups {
    const LocalEngine* engine = nullptr;
    IpAddress address;
    ~LateLookups() {
      for (int i = 0; i < 2000 && engine != nullptr; ++i) (void)engine->lookup(address);
    }
  };
  auto reader = [&](bool late) {
    static thread_local LateLookups late_lookups;  // made before any stock, so destroyed after them
    if (late) late_lookups = {engine.get(), address};
    for (int i = 0; i < 5'000'000 && !rep->read_by_several.load(std::memory_order_relaxed); ++i) {
      (void)engine->lookup(address);
    }
    for (int i = 0; i < 100'000; ++i) (void)engine->lookup(address);  // answered from stocks by now
  };
  std::thread a(reader, true), b(reader, false);
  a.join();
  b.join();
  ASSERT_TRUE(rep->read_by_several.load()) << "the threads never shared the record";
  ASSERT_TRUE(engine->remove(v4_prefix(10, 0, 0, 0, 24)).has_value());
  epoch::collect();
  EXPECT_EQ(rep->refs.load(), 1u) << "a stock outlived its thread";
}

// Two threads answer with a few shared records, through their stocks and
// the sweeps that return them, while two writers keep inserting and
// removing prefixes that hold equal records (racing each other into the
// pool), some of which die and are made again meanwhile: every answer is
// one of the records, and once the threads and the engine are gone the
// copies kept here are their records' only holders (ASan watches the
// records that died).
TEST(RecordPool, StocksUnderChurnKeepEveryRecordIntactAndAddUp) {
  auto engine = LocalEngine::make_trie(4, 1);
  constexpr int kRecords = 3;
  std::vector<Metadata> kept;
  for (int r = 0; r < kRecords; ++r) {
    engine->insert(v4_prefix(10, 9, static_cast<std::uint8_t>(r), 0, 24), record(r));
    kept.push_back(*engine->lookup(IpAddress::v4(10, 9, static_cast<std::uint8_t>(r), 1)));
  }
  const auto marked = [&] {
    int n = 0;
    for (const Metadata& m : kept) n += static_cast<const detail::MetadataRep*>(m.identity())->read_by_several.load();
    return n;
  };
  std::atomic<int> ready{0};
  std::atomic<bool> done{false};
  std::atomic<std::uint64_t> failures{0};
  std::mutex passed_mutex;
  std::vector<Metadata> passed;
  std::vector<Metadata> swapped;
  auto writer = [&](int w) {
    for (int round = 0; !done.load(); ++round) {
      const IpPrefix p = v4_prefix(10, static_cast<std::uint8_t>(w), static_cast<std::uint8_t>(round % 5), 0, 24);
      if (round % 3 == 2) {
        engine->remove(p);
      } else {
        // Records 0 to 2 stay held by their own prefixes; 3 to 5 live only
        // in these, so they die and come back, through stocks and sweeps.
        engine->insert(p, record(round % (2 * kRecords)));
      }
    }
  };
  auto reader = [&](int t) {
    std::vector<Metadata> held;
    std::uint32_t x = 12345u + static_cast<std::uint32_t>(t);
    ready.fetch_add(1);
    while (ready.load() < 2) std::this_thread::yield();
    // Until the records are marked as shared (the threads overlap, so they
    // soon are), then long enough for many sweeps.
    int marked_at = -1;
    for (int i = 0; i < 5'000'000 && (marked_at < 0 || i < marked_at + 150'000); ++i) {
      if (marked_at < 0 && i % 1024 == 0 && marked() == kRecords) marked_at = i;
      x = x * 1664525u + 1013904223u;
      const std::uint32_t pick = x >> 8;
      const auto got = pick % 2 == 0
                           ? engine->lookup(IpAddress::v4(10, 9, static_cast<std::uint8_t>(pick / 2 % kRecords), 1))
                           : engine->lookup(IpAddress::v4(10, static_cast<std::uint8_t>(pick / 2 % 2),
                                                          static_cast<std::uint8_t>(pick / 4 % 5), 1));
      if (!got) continue;
      const std::string& value = got->value();
      if (value.size() != 3 || value.compare(0, 2, "AS") != 0 || value[2] < '0' || value[2] > '5') failures.fetch_add(1);
      if (i % 61 == 0) held.push_back(*got);
      if (held.size() > 64) held.erase(held.begin(), held.begin() + 32);
      if (i % 997 == t) {
        std::lock_guard lock(passed_mutex);
        passed.push_back(*got);
        if (passed.size() > 16) passed.erase(passed.begin(), passed.begin() + 8);
      }
      if (i % 20'000 == 0) {
        // Hundreds of copies taken here, dropped on the other thread: its
        // stock fills past its bound and hands the surplus back.
        std::vector<Metadata> mine;
        for (int k = 0; k < 600; ++k) mine.push_back(*engine->lookup(IpAddress::v4(10, 9, 0, 1)));
        std::vector<Metadata> theirs;
        {
          std::lock_guard lock(passed_mutex);
          theirs.swap(swapped);
          swapped = std::move(mine);
        }
      }
    }
  };
  std::thread w0(writer, 0), w1(writer, 1), a(reader, 0), b(reader, 1);
  a.join();
  b.join();
  done.store(true);
  w0.join();
  w1.join();
  EXPECT_EQ(failures.load(), 0u);
  EXPECT_EQ(marked(), kRecords) << "the threads never took stocks";

  passed.clear();
  swapped.clear();
  engine.reset();
  epoch::collect();
  for (const Metadata& m : kept) {
    EXPECT_EQ(static_cast<const detail::MetadataRep*>(m.identity())->refs.load(), 1u) << m.value();
  }
}

}  // namespace
}  // namespace korvane
