// The read index against the trie walk and the linear-scan reference, and
// under writers that churn while readers look up.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <new>

#include "engine.hpp"
#include "epoch.hpp"
#include "korvane/address.hpp"
#include "korvane/local_engine.hpp"
#include "record_ids.hpp"
#include "read_index_arena.hpp"
#include "reference.hpp"
#include "trie_probe.hpp"

bool heap_failures_injected() noexcept;  // these three are defined at the end
void heap_fail_after(long successes) noexcept;
bool heap_failure_armed() noexcept;  // set, and not yet come

namespace korvane {
namespace {

using testing::ReferenceTable;
using testing::trie_of;
using testing::value_of;
using Config = testing::TrieConfig;

// Prefixes of every length 0..width, drawn inside a few small regions so
// that index nodes fill up, empty and fill again, with extra weight on the
// lengths around the index's level boundaries (8, 18, 24, 30, ...).
class IndexPrefixes {
 public:
  explicit IndexPrefixes(std::uint64_t seed) : rng_(seed) {
    for (int i = 0; i < 4; ++i) {
      regions_.push_back(random_address(AddressFamily::V4));
      regions_.push_back(random_address(AddressFamily::V6));
    }
  }
  IpPrefix next() {
    const IpAddress& region = regions_[rng_() % regions_.size()];
    const unsigned width = address_width_bits(region.family);
    unsigned length;
    if (rng_() % 3 == 0) {
      const unsigned level = static_cast<unsigned>(rng_() % ((width - 12) / 6 + 1));
      const unsigned boundary = level == 0 ? 8 : 18 + 6 * (level - 1);
      length = std::min(width, boundary + static_cast<unsigned>(rng_() % 3) - 1);
    } else {
      length = static_cast<unsigned>(rng_() % (width + 1));
    }
    // Keep the region's first bits, so prefixes nest; vary the rest.
    return IpPrefix::of(randomised(region, std::min(length, 8u + static_cast<unsigned>(rng_() % 24))),
                        static_cast<std::uint8_t>(length));
  }
  IpAddress near(const IpPrefix& p) { return randomised(p.address(), p.length); }
  std::mt19937_64& rng() { return rng_; }

 private:
  IpAddress random_address(AddressFamily family) {
    IpAddress a;
    a.family = family;
    for (std::size_t i = 0; i < address_width_bytes(family); ++i) a.bytes[i] = static_cast<std::uint8_t>(rng_());
    return a;
  }
  // The address with its bits from `from` on drawn at random.
  IpAddress randomised(IpAddress a, unsigned from) {
    for (unsigned i = from; i < address_width_bits(a.family); ++i) {
      const auto mask = static_cast<std::uint8_t>(0x80u >> (i % 8));
      a.bytes[i / 8] = (rng_() & 1) ? (a.bytes[i / 8] | mask) : (a.bytes[i / 8] & ~mask);
    }
    return a;
  }
  std::mt19937_64 rng_;
  std::vector<IpAddress> regions_;
};

std::size_t index_nodes(const LocalEngine& engine) {
  const TrieStore& store = *trie_of(engine).store();
  return store.indexes[0].node_count() + store.indexes[1].node_count();
}

// The values of the records lookup_visit lends for `batch`, in order,
// after checking that every address was visited once.
std::vector<std::optional<std::string>> lent_values(const LocalEngine& engine, std::span<const IpAddress> batch) {
  struct Collect final : LookupVisitor {
    std::vector<std::optional<std::string>> values;
    std::vector<int> visits;
    void visit(std::size_t index, const Metadata* record) override {
      if (index >= values.size()) {
        ADD_FAILURE() << "visit of index " << index << " past the batch";
        return;
      }
      ++visits[index];
      if (record != nullptr) values[index] = record->value();
    }
  } lent;
  lent.values.resize(batch.size());
  lent.visits.resize(batch.size());
  engine.lookup_visit(batch, lent);
  EXPECT_EQ(std::count(lent.visits.begin(), lent.visits.end(), 1), static_cast<std::ptrdiff_t>(batch.size()));
  return lent.values;
}

class ReadIndexTest : public ::testing::TestWithParam<Config> {};

// Every answer of the index equals the trie walk's and the reference's,
// single and batched, through inserts, replacements, removes and clears;
// and the index always has the shape a fresh build gives.
TEST_P(ReadIndexTest, AnswersAsTheTrieAndTheReferenceDo) {
  const Config config = GetParam();
  auto engine = LocalEngine::make_trie(config.kind, config.shards);
  const TrieEngine& trie = trie_of(*engine);
  ReferenceTable reference;
  IndexPrefixes gen(0x1DE + config.kind * 7 + config.shards);
  auto& rng = gen.rng();
  std::vector<IpPrefix> pool;
  const int steps = testing::kSanitized || config.kind % 4 == 3 ? 3000 : 12000;
  // Records made on another thread come from another allocator arena, far
  // from the main thread's: nodes that hold one of them store records as
  // pointers, the others as 4-byte codes, and both kinds meet in one index.
  std::vector<Metadata> far;
  std::thread([&] {
    for (int i = 0; i < steps; ++i) far.emplace_back("f" + std::to_string(i));
  }).join();
  for (int step = 0; step < steps; ++step) {
    const unsigned op = static_cast<unsigned>(rng() % 100);
    if (op < 45 || pool.empty()) {
      IpPrefix p = gen.next();
      if (p.family == AddressFamily::V4 && rng() % 6 == 0) p = testing::PrefixGenerator::compatible_twin(p);
      const Metadata record = rng() % 8 == 0 ? far[static_cast<std::size_t>(step)] : Metadata("v" + std::to_string(step));
      engine->insert(p, record);
      reference.insert(p, record.value());
      pool.push_back(p);
    } else if (op < 80) {
      const IpPrefix p = pool[rng() % pool.size()];
      ASSERT_EQ(engine->remove(p).has_value(), reference.remove(p).has_value());
    } else if (op < 99) {
      // Sizes across the walks one batch runs side by side and the engine's
      // batch size.
      std::vector<IpAddress> batch(1 + rng() % 80);
      for (IpAddress& a : batch) {
        // Inside a stored prefix, or near one: misses beside hits.
        const IpPrefix& p = pool[rng() % pool.size()];
        const unsigned widen = rng() % 3 == 0 ? static_cast<unsigned>(rng() % 12) : 0;
        a = gen.near(IpPrefix::of(p.address(), static_cast<std::uint8_t>(p.length > widen ? p.length - widen : 0)));
      }
      std::vector<std::optional<Metadata>> got(batch.size());
      engine->lookup_many(batch, got);
      const std::vector<std::optional<std::string>> lent = lent_values(*engine, batch);
      for (std::size_t i = 0; i < batch.size(); ++i) {
        const auto want = reference.lookup(batch[i]);
        ASSERT_EQ(want, value_of(engine->lookup(batch[i]))) << "step " << step;
        ASSERT_EQ(want, value_of(got[i])) << "step " << step;
        ASSERT_EQ(want, value_of(trie.walk_lookup(batch[i]))) << "step " << step;
        ASSERT_EQ(want, lent[i]) << "step " << step;
      }
    } else {
      engine->clear();
      reference.clear();
    }
    if (step % 1500 == 1499) {
      auto fresh = LocalEngine::make_trie(config.kind, 1);
      for (const auto& e : reference.entries()) fresh->insert(e.prefix, Metadata(e.value));
      ASSERT_EQ(index_nodes(*engine), index_nodes(*fresh)) << "step " << step;
    }
  }
  // Removing everything empties the index.
  for (const auto& e : std::vector(reference.entries())) engine->remove(e.prefix);
  EXPECT_EQ(index_nodes(*engine), 0u);
  const std::uint64_t lookups = engine->stats().lookups;
  std::vector<IpAddress> batch(100, IpAddress::v4(10, 0, 0, 1));
  std::vector<std::optional<Metadata>> out(batch.size());
  engine->lookup_many(batch, out);
  EXPECT_EQ(engine->stats().lookups, lookups + 100);  // a batch counts as that many lookups

  // A visitor that throws leaves the lent record's ownership as it was, and
  // only the lookups it was given counted.
  engine->insert(testing::v4_prefix(10, 0, 0, 0, 8), Metadata("kept"));
  const std::uint64_t before_throws = engine->stats().lookups;
  struct Throws final : LookupVisitor {
    void visit(std::size_t, const Metadata*) override { throw std::runtime_error("visitor"); }
  } throws;
  EXPECT_THROW(engine->lookup_visit(batch, throws), std::runtime_error);
  EXPECT_THROW(engine->lookup_visit(std::span(batch).first(1), throws), std::runtime_error);  // the one-address path
  EXPECT_EQ(engine->stats().lookups, before_throws + 2);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(engine->lookup(IpAddress::v4(10, 1, 1, 1))->value(), "kept");
  engine->clear();
  epoch::collect();
}

// An index update that runs out of memory leaves its change to the trie
// alone: the insert or remove still succeeds, and lookups of that family
// walk the trie, answering as the reference does through later changes,
// until the index is built afresh: by a writer as many changes later as
// the table holds entries (one that runs out of memory too is tried again
// as many changes later), or by a clear.
TEST_P(ReadIndexTest, AnIndexOutOfMemoryGivesWayToTheTrieUntilRebuilt) {
  const Config config = GetParam();
  // Thousands of changes: too slow on the hashed kinds under a sanitizer,
  // and their gathers are checked there by the test above.
  if (testing::kSanitized && config.kind % 4 == 3) GTEST_SKIP();
  auto engine = LocalEngine::make_trie(config.kind, config.shards);
  const TrieStore& store = *trie_of(*engine).store();
  ReferenceTable reference;
  IndexPrefixes gen(0x0E + config.kind * 7 + config.shards);
  auto& rng = gen.rng();
  std::vector<IpPrefix> pool;
  auto churn = [&](int steps) {
    for (int step = 0; step < steps; ++step) {
      if (rng() % 10 < 7 || pool.empty()) {
        const IpPrefix p = gen.next();
        const std::string value = "v" + std::to_string(rng() % 5000);
        engine->insert(p, Metadata(value));
        reference.insert(p, value);
        pool.push_back(p);
      } else {
        const IpPrefix p = pool[rng() % pool.size()];
        ASSERT_EQ(engine->remove(p).has_value(), reference.remove(p).has_value());
      }
    }
  };
  auto agree = [&](const char* phase) {
    SCOPED_TRACE(phase);
    for (int round = 0; round < (testing::kSanitized ? 4 : 20); ++round) {
      std::vector<IpAddress> batch(1 + rng() % 70);
      for (IpAddress& a : batch) a = gen.near(pool[rng() % pool.size()]);
      std::vector<std::optional<Metadata>> many(batch.size());
      engine->lookup_many(batch, many);
      const std::vector<std::optional<std::string>> lent = lent_values(*engine, batch);
      for (std::size_t i = 0; i < batch.size(); ++i) {
        const std::optional<std::string> want = reference.lookup(batch[i]);
        ASSERT_EQ(want, value_of(engine->lookup(batch[i])));
        ASSERT_EQ(want, value_of(many[i]));
        ASSERT_EQ(want, lent[i]);
        ASSERT_EQ(want, lent_values(*engine, std::span(batch).subspan(i, 1))[0]);
      }
    }
  };
  auto stale = [&] { return store.index_stale[0].load() || store.index_stale[1].load(); };

  churn(500);
  agree("index");
  const std::size_t entries = engine->len();
  index_arena::fail_after(static_cast<long>(rng() % 6));
  churn(40);  // none of these throws
  index_arena::fail_after(-1);
  ASSERT_TRUE(stale());
  EXPECT_EQ(engine->len(), reference.size());
  EXPECT_GE(engine->len(), entries);
  agree("stale");
  churn(300);
  agree("stale, after more changes");

  // While memory stays short every rebuild fails: still stale, still right.
  // A rebuild is due once a family has seen as many changes as the table
  // holds entries; about half the changes go to each family.
  auto rebuilds_due = [&] {
    return 2 * static_cast<int>(std::max<std::uint64_t>(TrieEngine::kRebuildAfter, engine->len()));
  };
  auto pending = [&] { return store.changes_while_stale[0].load() + store.changes_while_stale[1].load(); };
  bool attempted = false;
  for (int i = 0, n = 2 * rebuilds_due(); i < n && !attempted; ++i) {
    const std::uint64_t before = pending();
    index_arena::fail_after(0);
    churn(1);
    attempted = pending() < before;  // an attempt starts the count again
  }
  index_arena::fail_after(-1);
  ASSERT_TRUE(attempted);
  ASSERT_TRUE(stale());
  agree("after failed rebuilds");
  for (int i = 0; i < 4 * rebuilds_due() && stale(); ++i) churn(1);
  ASSERT_FALSE(stale());
  auto fresh = LocalEngine::make_trie(config.kind, 1);
  for (const auto& e : reference.entries()) fresh->insert(e.prefix, Metadata(e.value));
  EXPECT_EQ(index_nodes(*engine), index_nodes(*fresh));
  agree("rebuilt");
  churn(200);
  agree("rebuilt, after more changes");

  index_arena::fail_after(static_cast<long>(rng() % 6));
  churn(40);
  index_arena::fail_after(-1);
  ASSERT_TRUE(stale());
  engine->clear();
  reference.clear();
  pool.clear();
  EXPECT_FALSE(stale());
  churn(300);
  EXPECT_GT(index_nodes(*engine), 0u);
  agree("index again");
}

std::vector<Config> index_configs() {
  std::vector<Config> out;
  for (std::uint8_t kind = 0; kind < 8; ++kind) out.push_back({kind, 1});
  out.push_back({4, 2});
  out.push_back({1, 2});
  return out;
}

INSTANTIATE_TEST_SUITE_P(Kinds, ReadIndexTest, ::testing::ValuesIn(index_configs()),
                         testing::trie_config_name<::testing::TestParamInfo<Config>>);

// A top slot whose only node skips down to one long prefix: held in the
// slot's word (a short skip), in a block with only the bits it skips (a
// long one) or with its whole path (longer than a word). Removing the
// prefix from inside the skip leaves the slot answering with the node's
// cover, and a neighbour off the path never matched it.
TEST(ReadIndexShapes, RemovingTheEndOfASkippingTopNodeLeavesItsCover) {
  auto engine = LocalEngine::make_trie(4, 1);
  struct Case {
    const char* cover;
    const char* deep;
    const char* inside;
    const char* off_path;  // under the cover, off the path the node skips
  };
  const Case cases[] = {
      {"10.0.0.0/16", "10.0.0.4/30", "10.0.0.5", "10.0.1.5"},
      {"2001::/16", "2001:0:0:1::/64", "2001:0:0:1::1", "2001:0:1:1::1"},
      {"2001::/16", "2001:0:0:1:0:1::/112", "2001:0:0:1:0:1:0:1", "2001:0:0:1:0:2:0:1"},
  };
  auto value_at = [&](const char* address) -> std::string {
    const auto found = engine->lookup(*parse_address(address));
    return found ? found->value() : "none";
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.deep);
    engine->insert(*parse_prefix(c.cover), Metadata("cover"));
    engine->insert(*parse_prefix(c.deep), Metadata("deep"));
    EXPECT_EQ(value_at(c.inside), "deep");
    EXPECT_EQ(value_at(c.off_path), "cover");
    engine->remove(*parse_prefix(c.deep));
    EXPECT_EQ(value_at(c.inside), "cover");
    engine->remove(*parse_prefix(c.cover));
    EXPECT_EQ(value_at(c.inside), "none");
  }
}

// Index nodes store records as 2-byte numbers while numbers last, and
// wider once they run out. Numbers of destroyed records are handed on to
// new ones; no surviving node may then answer with the new record.
TEST(ReadIndexRecords, NumbersRunOutAndComeBackWithoutMixingRecords) {
  epoch::collect();  // records of earlier tests' engines, still retired
  const std::uint32_t numbered_before = detail::RecordIds::in_use();
  auto engine = LocalEngine::make_trie(4, 1);
  // 70000 /30s side by side: 64 distinct records to a node, more records
  // than there are numbers.
  auto slash30 = [](std::uint8_t first, std::uint32_t i) {
    const std::uint32_t a = (std::uint32_t{first} << 24) + (i << 2);
    return IpPrefix::of(IpAddress::v4(static_cast<std::uint8_t>(a >> 24), static_cast<std::uint8_t>(a >> 16),
                                      static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a)),
                        30);
  };
  auto inside = [](const IpPrefix& p) {
    IpAddress a = p.address();
    a.bytes[3] |= 3;
    return a;
  };
  constexpr std::uint32_t kFirst = 70000;
  constexpr std::uint32_t kSecond = 40000;
  for (std::uint32_t i = 0; i < kFirst; ++i) engine->insert(slash30(10, i), Metadata("a" + std::to_string(i)));
  EXPECT_EQ(detail::RecordIds::in_use(), detail::RecordIds::kCount - 1);
  // A top node whose cover got no number still answers with the cover in
  // the parts of it that hold nothing.
  engine->insert(testing::v4_prefix(10, 9, 0, 0, 24), Metadata("lone"));
  engine->insert(testing::v4_prefix(10, 0, 0, 0, 12), Metadata("wide"));
  EXPECT_EQ(engine->lookup(IpAddress::v4(10, 9, 0, 1))->value(), "lone");
  EXPECT_EQ(engine->lookup(IpAddress::v4(10, 9, 40, 1))->value(), "wide");
  engine->remove(testing::v4_prefix(10, 9, 0, 0, 24));
  engine->remove(testing::v4_prefix(10, 0, 0, 0, 12));
  for (std::uint32_t i = 0; i < kFirst; i += 2) engine->remove(slash30(10, i));
  epoch::collect();
  for (std::uint32_t i = 0; i < kSecond; ++i) engine->insert(slash30(20, i), Metadata("b" + std::to_string(i)));
  auto check = [&] {
    for (std::uint32_t i = 0; i < kFirst; ++i) {
      const auto got = engine->lookup(inside(slash30(10, i)));
      if (i % 2 == 0) {
        ASSERT_FALSE(got.has_value()) << i;
      } else {
        ASSERT_TRUE(got.has_value()) << i;
        ASSERT_EQ(got->value(), "a" + std::to_string(i));
      }
    }
    for (std::uint32_t i = 0; i < kSecond; ++i) {
      const auto got = engine->lookup(inside(slash30(20, i)));
      ASSERT_TRUE(got.has_value()) << i;
      ASSERT_EQ(got->value(), "b" + std::to_string(i));
    }
  };
  check();
  // Rebuilt nodes take the numbers given back meanwhile.
  for (std::uint32_t i = 1; i < kFirst; i += 2) engine->insert(slash30(10, i), Metadata("a" + std::to_string(i)));
  check();
  engine->clear();
  epoch::collect();
  EXPECT_EQ(detail::RecordIds::in_use(), numbered_before);
}

// Holds every record number still free, so that records met meanwhile get
// none; gives them back as it goes.
class EveryNumberTaken {
 public:
  EveryNumberTaken() {
    for (;;) {
      Metadata record("held " + std::to_string(held_.size()));
      std::uint16_t number = 0;
      auto* rep = const_cast<detail::MetadataRep*>(static_cast<const detail::MetadataRep*>(record.identity()));
      if (!detail::RecordIds::number_of(rep, number)) break;
      held_.push_back(std::move(record));
    }
  }

 private:
  std::vector<Metadata> held_;
};

// Index nodes name records by their distance from one base address, fixed
// by the first record named. A record too large for the record arena's
// chunks comes from the heap, far from them; named first, it must not fix
// the base there, or no record of the chunks would have a code. Meaningful
// only as the first test of its process to name a record, as ctest runs
// it (in sanitizer builds every record comes from the heap, and any base
// serves).
TEST(ReadIndexRecords, ARecordFromTheHeapNamedFirstLeavesCodesToTheRest) {
  if (record_codes_started()) GTEST_SKIP() << "this process named records before";
  const EveryNumberTaken taken;  // so that the index names records by code
  auto engine = LocalEngine::make_trie(4, 1);
  engine->insert(testing::P("10.0.0.0/24"), Metadata("large", {{"blob", std::string(20000, 'x')}}));
  for (int i = 0; i < 16; ++i) {
    engine->insert(testing::P("10.1." + std::to_string(i) + ".0/24"), Metadata("small " + std::to_string(i)));
  }
  ASSERT_TRUE(record_codes_started());
  for (int i = 0; i < 16; ++i) {
    const std::optional<Metadata> small = engine->lookup(testing::A("10.1." + std::to_string(i) + ".9"));
    ASSERT_TRUE(small.has_value());
    EXPECT_TRUE(record_has_code(detail::MetadataAccess::peek(*small))) << i;
  }
}

// With the record numbers all taken, a prefix alone at the end of its path,
// without a cover, costs the index no block of its own: the pointer to it
// holds its record's code. A node above such prefixes and nothing else is
// its header and its child pointers. A cover that comes and goes leaves
// them so.
TEST(ReadIndexRecords, ALonePrefixWithoutANumberTakesNoBlock) {
  epoch::collect();
  const EveryNumberTaken taken;
  auto engine = LocalEngine::make_trie(4, 1);
  const std::size_t before = index_arena::bytes_in_use();
  // /28s of both families, each in a top slot of its own, and /28s in one
  // slot, under one node.
  std::vector<std::pair<std::string, IpAddress>> lone;  // a prefix, an address inside it
  for (int i = 0; i < 32; ++i) {
    const std::string v4 = "40." + std::to_string(i) + ".0.";
    char v6[8];
    std::snprintf(v6, sizeof v6, "%x:", 0x2400 + i);
    const std::string shared = "41.0." + std::to_string(i) + ".";
    for (const auto& [prefix, inside] : {std::pair{v4 + "16/28", v4 + "17"},
                                         std::pair{std::string(v6) + "10::/28", std::string(v6) + "18::1"},
                                         std::pair{shared + "16/28", shared + "31"}}) {
      lone.emplace_back(prefix, testing::A(inside));
      engine->insert(testing::P(prefix), Metadata(prefix));
    }
  }
  epoch::collect();  // the node's earlier versions
  const std::size_t one_node = index_arena::bytes_in_use() - before;  // 41.0.0.0/18's
  // Under a sanitizer, records come from its heap, whose size classes lie
  // too far apart for all of them to have codes: only the answers count.
  if (!testing::kSanitized) EXPECT_EQ(one_node, 3 * 8 + 32 * 8U);
  auto check = [&](std::optional<std::string> at_40_0) {
    for (const auto& [prefix, inside] : lone) ASSERT_EQ(value_of(engine->lookup(inside)), prefix);
    ASSERT_EQ(value_of(engine->lookup(testing::A("40.0.0.1"))), at_40_0);
  };
  check(std::nullopt);
  engine->insert(testing::P("40.0.0.0/16"), Metadata("cover"));
  check("cover");
  engine->remove(testing::P("40.0.0.0/16"));
  check(std::nullopt);
  epoch::collect();
  if (!testing::kSanitized) EXPECT_EQ(index_arena::bytes_in_use() - before, one_node);
  engine->clear();
  epoch::collect();
}

// With the record numbers all taken, the top slots name their nodes'
// covers by code instead, and covers change between the two kinds as
// records with numbers and records without come and go. Every answer
// equals the trie walk's and the reference's.
TEST(ReadIndexRecords, CoversWithAndWithoutNumbersAnswerAsTheTrieDoes) {
  epoch::collect();
  auto engine = LocalEngine::make_trie(4, 1);
  const TrieEngine& trie = trie_of(*engine);
  ReferenceTable reference;
  // Numbered now, through nodes of their own elsewhere in the table.
  std::vector<Metadata> numbered;
  for (std::uint8_t i = 0; i < 8; ++i) {
    numbered.emplace_back("numbered " + std::to_string(i));
    engine->insert(testing::v4_prefix(30, i, 0, 0, 24), numbered.back());
    reference.insert(testing::v4_prefix(30, i, 0, 0, 24), numbered.back().value());
  }
  const EveryNumberTaken taken;
  std::mt19937_64 rng(17);
  // Inside a few top slots of each family, so that nodes and their covers
  // keep changing: IPv4 under 20.0.0.0/14, IPv6 under 2400::/14.
  auto random_in = [&](AddressFamily family) {
    IpAddress a = family == AddressFamily::V4 ? IpAddress::v4(20, 0, 0, 0) : *parse_address("2400::");
    for (std::size_t i = 0; i < address_width_bytes(family); ++i) {
      const auto bits = static_cast<std::uint8_t>(rng());
      a.bytes[i] = i == 0 ? a.bytes[0] : i == 1 ? static_cast<std::uint8_t>(a.bytes[1] | (bits & 3)) : bits;
    }
    return a;
  };
  std::vector<IpPrefix> pool;
  const int steps = testing::kSanitized ? 1500 : 6000;
  for (int step = 0; step < steps; ++step) {
    const AddressFamily family = step % 3 == 0 ? AddressFamily::V6 : AddressFamily::V4;
    if (rng() % 5 < 3 || pool.empty()) {
      // Lengths around the top's stride and the first level below it.
      const auto length = static_cast<std::uint8_t>(9 + rng() % 22);
      const IpPrefix p = IpPrefix::of(random_in(family), length);
      const Metadata record = rng() % 3 == 0 ? numbered[rng() % numbered.size()]
                                             : Metadata("unnumbered " + std::to_string(step));
      engine->insert(p, record);
      reference.insert(p, record.value());
      pool.push_back(p);
    } else {
      const IpPrefix p = pool[rng() % pool.size()];
      ASSERT_EQ(engine->remove(p).has_value(), reference.remove(p).has_value());
    }
    std::vector<IpAddress> batch(24);
    for (IpAddress& a : batch) a = random_in(rng() % 2 == 0 ? AddressFamily::V4 : AddressFamily::V6);
    std::vector<std::optional<Metadata>> got(batch.size());
    engine->lookup_many(batch, got);
    for (std::size_t i = 0; i < batch.size(); ++i) {
      const auto want = reference.lookup(batch[i]);
      ASSERT_EQ(want, value_of(engine->lookup(batch[i]))) << "step " << step;
      ASSERT_EQ(want, value_of(got[i])) << "step " << step;
      ASSERT_EQ(want, value_of(trie.walk_lookup(batch[i]))) << "step " << step;
    }
  }
  engine->clear();
  epoch::collect();
}

// Writers toggle their own prefixes while readers look up. Every record a
// lookup returns was stored at some moment during that lookup (each record
// is stamped when its insert starts and when its remove has returned), its
// prefix covers the address, and a prefix stored before the lookup began and
// not removed until after it ended is found or beaten by a longer one.
// Partway through, an index update runs out of memory: lookups go over to
// the trie, and back to the index once a writer has rebuilt it, with the
// same guarantees throughout.
TEST(ReadIndexConcurrency, EveryAnswerWasStoredDuringTheLookup) {
  for (std::uint8_t kind : {4, 0}) {
    auto engine = LocalEngine::make_trie(kind, 1);
    IndexPrefixes gen(99 + kind);
    const std::vector<IpPrefix> prefixes = testing::distinct_prefixes(200, [&] { return gen.next(); });
    constexpr int kRounds = 4000;
    constexpr int kWriters = 2;
    // Serial s = writer * kRounds + round.
    std::vector<std::atomic<std::uint64_t>> started(kWriters * kRounds);
    std::vector<std::atomic<std::uint64_t>> ended(kWriters * kRounds);
    std::vector<std::size_t> prefix_of(kWriters * kRounds);
    // Per prefix: the clock after its current insert returned, 0 from before
    // its remove starts. Read after a lookup, a stamp older than the
    // lookup's start says the prefix stayed stored throughout it.
    std::vector<std::atomic<std::uint64_t>> stored_since(prefixes.size());
    std::atomic<std::uint64_t> clock{1};
    std::atomic<std::uint64_t> failures{0};
    const TrieStore& store = *trie_of(*engine).store();
    std::atomic<bool> went_stale{false};

    auto writer = [&](int w) {
      std::mt19937_64 rng(w + 5);
      std::vector<int> live(prefixes.size(), -1);  // serial stored, for this writer's prefixes
      for (int round = 0; round < kRounds; ++round) {
        // Early enough that this writer alone then makes the changes a
        // rebuild waits for.
        if (w == 0 && round == 100) index_arena::fail_after(2);
        const std::size_t i = (rng() % (prefixes.size() / kWriters)) * kWriters + w;
        if (live[i] >= 0) {
          stored_since[i].store(0);
          auto removed = engine->remove(prefixes[i]);
          const int serial = std::stoi(removed->value());
          ended[serial].store(clock.fetch_add(1) + 1);
          live[i] = -1;
        } else {
          const int serial = w * kRounds + round;
          prefix_of[serial] = i;
          started[serial].store(clock.fetch_add(1));
          engine->insert(prefixes[i], Metadata(std::to_string(serial)));
          stored_since[i].store(clock.fetch_add(1) + 1);
          live[i] = serial;
        }
        if (store.index_stale[0].load() || store.index_stale[1].load()) went_stale.store(true);
      }
    };
    std::mt19937_64 rng(1);
    auto reader = [&](int) {
      const IpAddress a = gen.near(prefixes[rng() % prefixes.size()]);
      const std::uint64_t t0 = clock.load();
      const auto got = engine->lookup(a);
      const std::uint64_t t1 = clock.load();
      // The longest prefix over the address stored throughout the lookup.
      int stable_length = -1;
      for (std::size_t i = 0; i < prefixes.size(); ++i) {
        const std::uint64_t since = stored_since[i].load();
        if (since != 0 && since < t0 && prefixes[i].covers(a)) {
          stable_length = std::max(stable_length, static_cast<int>(prefixes[i].length));
        }
      }
      if (!got) {
        if (stable_length >= 0) failures.fetch_add(1);
        return;
      }
      const int serial = std::stoi(got->value());
      const std::uint64_t end = ended[serial].load();
      const IpPrefix& answered = prefixes[prefix_of[serial]];
      if (started[serial].load() > t1 || (end != 0 && end < t0) || !answered.covers(a) ||
          static_cast<int>(answered.length) < stable_length) {
        failures.fetch_add(1);
      }
    };
    testing::race({[&] { writer(0); }, [&] { writer(1); }}, 1, reader);
    EXPECT_EQ(failures.load(), 0u) << "kind " << int(kind);
    // The index went stale and was rebuilt.
    EXPECT_TRUE(went_stale.load()) << "kind " << int(kind);
    EXPECT_FALSE(store.index_stale[0].load() || store.index_stale[1].load()) << "kind " << int(kind);
    EXPECT_GT(index_nodes(*engine), 0u);
    epoch::collect();
  }
}

// A lookup that read the stale flag clear just before an index update ran
// out of memory may still be walking the index when a writer rebuilds it:
// the rebuild must take every slot straight from its old word to its new
// one. A reader walks the index directly, ignoring the flag, for prefixes
// that stay stored while a writer churns others through failed updates and
// rebuilds; it must always find them.
TEST(ReadIndexConcurrency, ARebuildNeverEmptiesTheIndexOnTheWay) {
  auto engine = LocalEngine::make_trie(4, 1);
  const TrieStore& store = *trie_of(*engine).store();
  std::mt19937_64 rng(17);
  auto slash24 = [&] {
    return testing::v4_prefix(static_cast<std::uint8_t>(1 + rng() % 200), static_cast<std::uint8_t>(rng()),
                              static_cast<std::uint8_t>(rng()), 0, 24);
  };
  std::vector<IpPrefix> stable;
  for (int i = 0; i < 2000; ++i) {
    stable.push_back(slash24());
    engine->insert(stable.back(), Metadata("stable"));
  }
  std::atomic<bool> done{false};
  std::atomic<std::uint64_t> missing{0};
  std::thread reader([&] {
    std::mt19937_64 pick(5);
    while (!done.load(std::memory_order_acquire)) {
      const IpAddress a = stable[pick() % stable.size()].address();
      const trie::u128 key = static_cast<trie::u128>(std::uint32_t{a.bytes[0]} << 24 | std::uint32_t{a.bytes[1]} << 16 |
                                                     std::uint32_t{a.bytes[2]} << 8 | 5)
                             << 96;
      epoch::Guard pin;
      if (store.indexes[0].lookup(key) == nullptr) missing.fetch_add(1);
    }
  });
  int rebuilds = 0;
  for (int cycle = 0; cycle < (testing::kSanitized ? 2 : 6); ++cycle) {
    index_arena::fail_after(0);
    std::vector<IpPrefix> churned;
    while (!store.index_stale[0].load()) {
      churned.push_back(slash24());
      engine->insert(churned.back(), Metadata("churn"));
    }
    index_arena::fail_after(-1);
    for (int i = 0; i < 100'000 && store.index_stale[0].load(); ++i) {
      if (i % 2 == 0 || churned.empty()) {
        churned.push_back(slash24());
        engine->insert(churned.back(), Metadata("churn"));
      } else {
        // Only what was churned goes: a /24 drawn twice may be stable too.
        const IpPrefix p = churned.back();
        churned.pop_back();
        if (std::none_of(stable.begin(), stable.end(), [&](const IpPrefix& q) { return q.same_entry(p); })) {
          engine->remove(p);
        }
      }
    }
    rebuilds += !store.index_stale[0].load();
  }
  done.store(true, std::memory_order_release);
  reader.join();
  EXPECT_EQ(rebuilds, testing::kSanitized ? 2 : 6);
  EXPECT_EQ(missing.load(), 0u);
}

// A writer keeps replacing the record of a prefix that covers a whole top
// node (so the node's cover changes each time) while readers look up two
// addresses that fall back to that cover: one in a part of the node that
// holds something, one in a part that holds nothing. Answers never go back
// in time: a lookup that starts after another has ended answers with the
// same version or a later one.
void cover_answers_never_go_back_in_time() {
  auto engine = LocalEngine::make_trie(4, 1);
  // Two /24s with different records: a node of one would live in its top
  // slot's word, with no cover of its own to fall back to.
  engine->insert(testing::v4_prefix(10, 0, 1, 0, 24), Metadata("inner"));
  engine->insert(testing::v4_prefix(10, 0, 3, 0, 24), Metadata("inner too"));
  const IpAddress beside_inner = IpAddress::v4(10, 0, 2, 5);  // its quarter holds the /24s
  const IpAddress far_from_inner = IpAddress::v4(10, 0, 40, 5);  // its quarter holds nothing
  const int versions = testing::kSanitized ? 3000 : 30000;
  engine->insert(testing::v4_prefix(10, 0, 0, 0, 16), Metadata("0"));

  struct Seen {
    std::uint64_t start, end;
    int version;
  };
  std::atomic<std::uint64_t> clock{0};
  std::vector<Seen> seen[2];  // per reader
  testing::race({[&] {
                  for (int v = 1; v <= versions; ++v) {
                    engine->insert(testing::v4_prefix(10, 0, 0, 0, 16), Metadata(std::to_string(v)));
                  }
                }},
                2, [&](int r) {
                  const std::uint64_t start = clock.fetch_add(1);
                  const auto got = engine->lookup(seen[r].size() % 2 == 0 ? beside_inner : far_from_inner);
                  const std::uint64_t end = clock.fetch_add(1);
                  seen[r].push_back({start, end, got ? std::stoi(got->value()) : -1});
                });

  // Every lookup against every lookup that ended before it started: by
  // start order, keeping the latest version among those ended so far.
  std::vector<Seen> all(seen[0]);
  all.insert(all.end(), seen[1].begin(), seen[1].end());
  std::vector<Seen> by_end(all);
  std::sort(all.begin(), all.end(), [](const Seen& x, const Seen& y) { return x.start < y.start; });
  std::sort(by_end.begin(), by_end.end(), [](const Seen& x, const Seen& y) { return x.end < y.end; });
  std::size_t ended = 0;
  int latest = -1;
  std::size_t backwards = 0;
  for (const Seen& x : all) {
    while (ended < by_end.size() && by_end[ended].end < x.start) latest = std::max(latest, by_end[ended++].version);
    if (x.version < 0 || x.version < latest) ++backwards;
  }
  EXPECT_EQ(backwards, 0u);
  epoch::collect();
}

// The covers are named by number, then, with every number taken, by code.
TEST(ReadIndexConcurrency, CoverAnswersNeverGoBackInTime) {
  for (const bool numbers_left : {true, false}) {
    std::optional<EveryNumberTaken> taken;
    if (!numbers_left) taken.emplace();
    cover_answers_never_go_back_in_time();
  }
}

// A prefix of 8 bits or fewer and a longer one over the same addresses,
// changed make-before-break: one of them covers the addresses at every
// moment, so a lookup never answers none, and answers the shorter one only
// if the longer was missing at some moment during the lookup.
TEST(ReadIndexConcurrency, ShortPrefixesAndLongerOnesAreReadAtOneMoment) {
  auto engine = LocalEngine::make_trie(4, 1);
  const IpPrefix shorter = testing::v4_prefix(10, 0, 0, 0, 8);
  const IpPrefix longer = testing::v4_prefix(10, 16, 0, 0, 12);
  const int cycles = testing::kSanitized ? 10000 : 100000;
  // Changes completed. While it reads k the table is as after change k or
  // k + 1, and after k changes it holds: the shorter alone when k % 4 == 0,
  // both, the longer alone, both.
  std::atomic<std::uint64_t> changes{0};
  std::atomic<std::uint64_t> failures{0};
  engine->insert(shorter, Metadata("short"));
  auto writer = [&] {
    for (int c = 0; c < cycles; ++c) {
      engine->insert(longer, Metadata("long"));
      changes.fetch_add(1);
      engine->remove(shorter);
      changes.fetch_add(1);
      engine->insert(shorter, Metadata("short"));
      changes.fetch_add(1);
      engine->remove(longer);
      changes.fetch_add(1);
    }
  };
  auto check = [&](const std::optional<Metadata>& got, std::uint64_t before, std::uint64_t after) {
    const bool shorter_alone_meanwhile = (before + 3) / 4 * 4 <= after + 1;
    if (!got || (got->value() == "short" && !shorter_alone_meanwhile)) failures.fetch_add(1);
  };
  const std::vector<IpAddress> inside = {IpAddress::v4(10, 20, 30, 40), IpAddress::v4(10, 16, 0, 0),
                                         IpAddress::v4(10, 31, 255, 255)};
  testing::race({writer}, 2, [&](int reader) {
    const std::uint64_t before = changes.load();
    if (reader == 0) {
      const auto got = engine->lookup(inside[before % inside.size()]);
      check(got, before, changes.load());
    } else {
      std::optional<Metadata> got[3];
      engine->lookup_many(inside, got);
      const std::uint64_t after = changes.load();
      for (const auto& one : got) check(one, before, after);
    }
  });
  EXPECT_EQ(failures.load(), 0u);
}

// A trie whose full gathers no longer see what a shallower gather saw: a
// remove that reached it between an update's two reads. Every range holds
// something deeper than any limit short of the whole address, and nothing
// once the limit is the whole address.
struct EmptiedBetweenGathers final : IndexSource {
  void gather(trie::u128 key, unsigned length, unsigned limit, unsigned, IndexRange& out) const override {
    out = IndexRange{};
    if (limit < 32) out.deeper.push_back({key, limit + 1, nullptr});
  }
};

TEST(ReadIndexRaces, ARangeEmptiedBetweenGathersGetsNoNode) {
  ReadIndex index(AddressFamily::V4);
  epoch::Guard pin;
  const trie::u128 key = trie::u128{0x0a000000} << 96;  // 10.0.0.0
  index.update(key, 28, EmptiedBetweenGathers{});
  EXPECT_EQ(index.node_count(), 0u) << "an empty node that no later change would take away";
  EXPECT_EQ(index.lookup(key), nullptr);
}

// Index updates whose heap allocations (the trie's gathers, the writer's
// own lists) fail, each allocation of a run of changes in turn: none keeps
// a node it built. Once the engine is gone, the index's arena holds what it
// held before.
TEST(ReadIndexMemory, UpdatesThatRunOutOfHeapKeepNoNode) {
  if (!heap_failures_injected()) GTEST_SKIP() << "operator new is the sanitizer's";
  IndexPrefixes gen(0x4EA9);
  std::vector<IpPrefix> base(300);
  for (IpPrefix& p : base) p = gen.next();
  std::vector<IpPrefix> changes(30);
  for (IpPrefix& p : changes) p = gen.next();
  const std::size_t before = index_arena::bytes_in_use();
  int failures = 0;
  for (long k = 0; k < 60; ++k) {
    {
      auto engine = LocalEngine::make_trie(4, 1);
      const TrieStore& store = *trie_of(*engine).store();
      for (const IpPrefix& p : base) engine->insert(p, Metadata("base"));
      for (std::size_t i = 0; i < changes.size(); ++i) {
        const Metadata record("change");
        heap_fail_after(k);
        try {
          if (i % 3 != 2) {
            engine->insert(changes[i], record);
          } else {
            (void)engine->remove(base[i]);
          }
        } catch (const std::bad_alloc&) {
        }
        heap_fail_after(-1);
      }
      failures += store.index_stale[0].load() || store.index_stale[1].load();  // an update failed
    }
    epoch::collect();
    ASSERT_EQ(index_arena::bytes_in_use(), before) << "failing after " << k << " allocations";
  }
  EXPECT_GT(failures, 0);
}

// A write can allocate nothing of its own (a record pooled already, an
// index node from its arena) and still allocate in the garbage collection
// its epoch pin runs as it ends, every so many retirements or unpins. Out
// of heap there, the write has happened all the same: nothing may escape
// the pin's end, and the engine answers with the new record. The failure
// comes a few allocations into the write after each number of plain ones,
// so that one of them meets a collection.
TEST(ReadIndexMemory, AWriteWhoseCollectionRunsOutOfHeapStillLands) {
  if (!heap_failures_injected()) GTEST_SKIP() << "operator new is the sanitizer's";
  auto engine = LocalEngine::make_trie(0, 1);
  const IpPrefix prefix = *parse_prefix("10.0.0.0/24");
  const IpAddress inside = *parse_address("10.0.0.1");
  const Metadata records[2] = {Metadata("even"), Metadata("odd")};
  int landed_out_of_heap = 0;
  int writes = 0;
  for (int plain = 0; plain < 130; ++plain) {
    for (long k = 0; k < 4; ++k) {
      for (int i = 0; i < plain; ++i) engine->insert(prefix, records[writes++ % 2]);
      const Metadata& record = records[writes++ % 2];
      heap_fail_after(k);
      bool refused = false;
      try {
        engine->insert(prefix, record);
      } catch (const std::bad_alloc&) {
        refused = true;
      }
      landed_out_of_heap += !refused && !heap_failure_armed();
      heap_fail_after(-1);
      if (!refused) ASSERT_EQ(engine->lookup(inside), record) << plain << " plain writes, failing after " << k;
    }
  }
  EXPECT_GT(landed_out_of_heap, 0);
}

// A thread that ends hands what it retired over to the others, which
// allocates. Out of heap then, the thread still ends, and what it retired
// waits for a later thread instead of ending the process.
TEST(ReadIndexMemory, AThreadThatEndsOutOfHeapEndsQuietly) {
  if (!heap_failures_injected()) GTEST_SKIP() << "operator new is the sanitizer's";
  auto engine = LocalEngine::make_trie(0, 1);
  IndexPrefixes gen(0xE417);
  for (long k = 0; k < 6; ++k) {
    const IpPrefix prefix = gen.next();
    engine->insert(prefix, Metadata("gone"));
    std::thread([&] {
      (void)engine->remove(prefix);  // retires its record and leaves it pending
      heap_fail_after(k);
    }).join();
    heap_fail_after(-1);
    EXPECT_FALSE(engine->contains(prefix));
  }
}

}  // namespace
}  // namespace korvane

// Heap allocation that fails on demand, for the test above: replaces the
// program's operator new (the aligned forms keep the library's). Not under
// the sanitizers, whose runtimes own operator new and tell its blocks from
// malloc's.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
bool heap_failures_injected() noexcept { return false; }
void heap_fail_after(long) noexcept {}
bool heap_failure_armed() noexcept { return false; }
#else
namespace {
std::atomic<long> heap_countdown{0};  // > 0: allocations left before the failure
}  // namespace

bool heap_failures_injected() noexcept { return true; }
void heap_fail_after(long successes) noexcept {
  heap_countdown.store(successes < 0 ? 0 : successes + 1, std::memory_order_relaxed);
}
bool heap_failure_armed() noexcept { return heap_countdown.load(std::memory_order_relaxed) > 0; }

void* operator new(std::size_t size) {
  if (heap_countdown.load(std::memory_order_relaxed) > 0 && heap_countdown.fetch_sub(1) == 1) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#endif
