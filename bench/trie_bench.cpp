// Trie and adaptive radix tree engines on a routing-table-shaped data set:
// load rate, memory per stored prefix, and lookup rates on one and two
// threads, for every node kind, the sharded layouts and both ART layouts,
// and the rate of changes to short prefixes in the loaded table; the full
// table is also loaded in address order, and by two writers at once, for
// the load rate alone.
//
//   trie_bench [--table=full|small] [--shape=routing|uniform|hosts|clustered] [google-benchmark flags]
//
// --shape=uniform replaces the routing-table shape by uniformly random
// prefixes (IPv4 /8../32, IPv6 /16../128) of the same counts; --shape=hosts
// by uniformly random single addresses (IPv4 /32, IPv6 /128), as a deny
// list of hosts holds them; --shape=clustered by one organisation's: IPv4
// /32s inside 100.64.0.0/10 (a carrier's subscribers) and IPv6 /64s inside
// 2001:db8::/32, each family's prefixes all under one top slot of the index.
//
// The full table is about 1M IPv4 and 200k IPv6 prefixes; the Hashed kinds
// (3 and 7) carry a concurrent map per node and are measured on a tenth of
// it to stay within memory. The 10k tables fit in cache; on one of them
// every answer is one of four records, so threads hand out the same few.
// The other tables share 1,000 records, but for kind4_distinct, where every
// prefix has its own.
//
// Lookups on a large table wait on memory, so the header gives the host's
// latency of dependent loads at random over buffers of a few sizes
// (dependent_load_ns): it tells how much of the index the caches really hold,
// which on a shared virtual machine is less than the L3 size it reports.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "engine.hpp"
#include "epoch.hpp"
#include "node/arena.hpp"
#include "read_index.hpp"
#include "read_index_arena.hpp"
#include "record_arena.hpp"
#include "korvane/address.hpp"
#include "korvane/local_engine.hpp"
#include "table_gen.hpp"

namespace {

using namespace korvane;

struct Config {
  std::uint8_t kind;  // trie node kind; unused by the ART layouts
  std::uint64_t shards;
  std::size_t v4;
  std::size_t v6;
  std::string name;
  bool art = false;
  // Distinct records the prefixes share; few make every answer one of a
  // few records, as a country-level GeoIP table does.
  std::size_t records = 1000;
  // Inserted in address order, as a routing table dump or a GeoIP file
  // lists its networks, instead of shuffled; only the load is measured.
  bool in_address_order = false;
  // Loaded by this many threads at once, each inserting every writers-th
  // prefix of the shuffled table; only the load is measured.
  unsigned writers = 1;
};

struct Loaded {
  std::shared_ptr<const LocalEngine> engine;
  double seconds = 0;
  double bytes_per_prefix = 0;
  double index_bytes_per_prefix = 0;  // the read index's share, top tables included
  // The same two with the arenas counted by the chunks they hold (in use or
  // kept for reuse in their free lists), which is what the process keeps.
  double reserved_bytes_per_prefix = 0;
  double index_reserved_bytes_per_prefix = 0;
  std::size_t prefixes = 0;
  std::vector<IpAddress> random_v4;
  std::vector<IpAddress> inside;
  // The inside stream split by family (each cut to a power of two): the
  // mixed stream costs more than its families' shares of these, as each
  // family's nodes crowd the other's out of the caches.
  std::vector<IpAddress> inside_v4;
  std::vector<IpAddress> inside_v6;
};

enum class Stream { RandomV4, Inside, InsideV4, InsideV6 };

const std::vector<IpAddress>& stream_of(const Loaded& l, Stream stream) {
  switch (stream) {
    case Stream::RandomV4: return l.random_v4;
    case Stream::Inside: return l.inside;
    case Stream::InsideV4: return l.inside_v4;
    case Stream::InsideV6: return l.inside_v6;
  }
  return l.inside;
}

// Trie nodes the node arena holds in its chunks (larger nodes come from
// the heap, which mallinfo2 counts already).
std::size_t node_arena_chunked_in_use() { return node::arena_bytes_in_use() - node::arena_bytes_from_heap(); }

// Bytes in use: the heap, with the node and record arenas counted by what
// they have handed out rather than by the chunks they hold (which they keep
// for reuse), and the read indexes' top tables.
std::size_t heap_in_use() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd + node_arena_chunked_in_use() + record_arena::bytes_in_use() +
         read_index_bytes() + prefix_box_bytes() + trie::shortcut_table_bytes();
}

// The read index's bytes with its arena counted by the chunks it holds.
std::size_t read_index_reserved() {
  return read_index_bytes() - index_arena::bytes_in_use() + index_arena::bytes_reserved();
}

// heap_in_use() with the arenas counted by the chunks they hold.
std::size_t heap_reserved() {
  return heap_in_use() - node_arena_chunked_in_use() + node::arena_bytes_reserved() - index_arena::bytes_in_use() +
         index_arena::bytes_reserved() - record_arena::bytes_in_use() + record_arena::bytes_reserved();
}

// The prefix lengths of the uniform shapes, per family; none for the
// routing-table shape.
struct UniformLengths {
  unsigned v4_min, v4_max, v6_min, v6_max;
  std::optional<IpPrefix> v4_within, v6_within;
};
std::optional<UniformLengths> uniform_shape;

// One engine at a time: loading the next configuration frees the previous.
std::unique_ptr<Loaded> current;
std::string current_name;

std::mutex load_mutex;

const Loaded& load(const Config& c) {
  std::lock_guard lock(load_mutex);
  if (current && current_name == c.name) return *current;
  current.reset();
  epoch::collect();
  auto out = std::make_unique<Loaded>();
  const auto& u = uniform_shape;
  std::vector<IpPrefix> prefixes =
      u ? bench::uniform_table(AddressFamily::V4, c.v4, u->v4_min, u->v4_max, 1, u->v4_within) : bench::ipv4_table(c.v4, 1);
  std::vector<IpPrefix> v6 =
      u ? bench::uniform_table(AddressFamily::V6, c.v6, u->v6_min, u->v6_max, 2, u->v6_within) : bench::ipv6_table(c.v6, 2);
  prefixes.insert(prefixes.end(), v6.begin(), v6.end());
  if (c.in_address_order) {
    std::sort(prefixes.begin(), prefixes.end(), [](const IpPrefix& a, const IpPrefix& b) {
      return std::tie(a.family, a.bytes, a.length) < std::tie(b.family, b.bytes, b.length);
    });
  }
  std::vector<Metadata> records;
  records.reserve(prefixes.size());
  // Distinct records, each shared by its prefixes (as a table of origin
  // ASes would share them), made before the measurement.
  std::vector<Metadata> distinct;
  for (std::size_t i = 0; i < c.records; ++i) {
    distinct.emplace_back("AS" + std::to_string(64512 + i), Attributes{{"country", "de"}});
  }
  for (std::size_t i = 0; i < prefixes.size(); ++i) records.push_back(distinct[i % distinct.size()]);

  const std::size_t before = heap_in_use();
  const std::size_t index_before = read_index_bytes();
  const std::size_t reserved_before = heap_reserved();
  const std::size_t index_reserved_before = read_index_reserved();
  out->engine = c.art ? LocalEngine::make_art(c.shards) : LocalEngine::make_trie(c.kind, c.shards);
  const auto start = std::chrono::steady_clock::now();
  if (c.writers <= 1) {
    for (std::size_t i = 0; i < prefixes.size(); ++i) out->engine->insert(prefixes[i], std::move(records[i]));
  } else {
    std::vector<std::thread> writers;
    for (unsigned w = 0; w < c.writers; ++w) {
      writers.emplace_back([&, w] {
        for (std::size_t i = w; i < prefixes.size(); i += c.writers) out->engine->insert(prefixes[i], std::move(records[i]));
      });
    }
    for (std::thread& t : writers) t.join();
  }
  out->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (out->engine->len() != prefixes.size()) {  // the table's prefixes are distinct: every insert must have stored one
    std::fprintf(stderr, "%s: %zu of %zu inserts stored\n", c.name.c_str(), static_cast<std::size_t>(out->engine->len()),
                 prefixes.size());
    std::exit(1);
  }
  epoch::collect();
  const std::size_t after = heap_in_use();
  out->prefixes = prefixes.size();
  out->reserved_bytes_per_prefix =
      static_cast<double>(heap_reserved() - reserved_before) / static_cast<double>(prefixes.size());
  out->index_reserved_bytes_per_prefix =
      static_cast<double>(read_index_reserved() - index_reserved_before) / static_cast<double>(prefixes.size());
  out->bytes_per_prefix = static_cast<double>(after - before) / static_cast<double>(prefixes.size());
  out->index_bytes_per_prefix =
      static_cast<double>(read_index_bytes() - index_before) / static_cast<double>(prefixes.size());

  out->random_v4 = bench::random_v4_addresses(1 << 20, 3);
  out->inside = bench::addresses_inside(prefixes, 1 << 20, 5);
  for (const IpAddress& a : out->inside) (a.family == AddressFamily::V4 ? out->inside_v4 : out->inside_v6).push_back(a);
  for (std::vector<IpAddress>* family : {&out->inside_v4, &out->inside_v6}) {
    family->resize(std::bit_floor(family->size()));
  }
  current = std::move(out);
  current_name = c.name;
  return *current;
}

void load_bench(benchmark::State& state, const Config& c) {
  for (auto _ : state) {
    {
      std::lock_guard lock(load_mutex);
      current.reset();
    }
    const Loaded& l = load(c);
    state.SetIterationTime(l.seconds);
  }
  const Loaded& l = *current;
  state.counters["prefixes"] = static_cast<double>(l.prefixes);
  state.counters["inserts_per_s"] = static_cast<double>(l.prefixes) / l.seconds;
  state.counters["bytes_per_prefix"] = l.bytes_per_prefix;
  state.counters["index_bytes_per_prefix"] = l.index_bytes_per_prefix;
  state.counters["reserved_bytes_per_prefix"] = l.reserved_bytes_per_prefix;
  state.counters["index_reserved_bytes_per_prefix"] = l.index_reserved_bytes_per_prefix;
}

// Where in a stream of `size` addresses this thread starts: the threads
// split it evenly.
std::size_t start_of(const benchmark::State& state, std::size_t size) {
  return size / static_cast<std::size_t>(state.threads()) * static_cast<std::size_t>(state.thread_index());
}

void lookup_bench(benchmark::State& state, const Config& c, Stream stream) {
  const Loaded& l = load(c);
  const std::vector<IpAddress>& addresses = stream_of(l, stream);
  const std::size_t mask = addresses.size() - 1;
  // Threads start far apart in the stream: a thread that followed another a
  // few thousand addresses behind would find the lines it needs still in
  // the shared cache, brought there by the one ahead.
  std::size_t i = start_of(state, addresses.size());
  std::size_t hits = 0;
  for (auto _ : state) {
    auto md = l.engine->lookup(addresses[i++ & mask]);
    hits += md.has_value();
    benchmark::DoNotOptimize(md);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["hit_ratio"] =
      benchmark::Counter(static_cast<double>(hits) / static_cast<double>(std::max<std::int64_t>(state.iterations(), 1)),
                         benchmark::Counter::kAvgThreads);
}

// lookup_many in batches of 64 addresses; items are addresses.
void batch_bench(benchmark::State& state, const Config& c, bool inside) {
  const Loaded& l = load(c);
  const std::vector<IpAddress>& addresses = inside ? l.inside : l.random_v4;
  constexpr std::size_t kBatch = 64;
  std::vector<std::optional<Metadata>> results(kBatch);
  std::size_t i = start_of(state, addresses.size() - kBatch);
  for (auto _ : state) {
    l.engine->lookup_many(std::span(addresses).subspan(i, kBatch), results);
    benchmark::DoNotOptimize(results.data());
    i += kBatch;
    if (i + kBatch > addresses.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

// An insert and a remove of a short IPv4 prefix (9 to 17 bits) not in the
// table, each spanning many top slots of the read index; items are changes.
void short_churn_bench(benchmark::State& state, const Config& c) {
  const Loaded& l = load(c);
  std::mt19937_64 rng(11);
  std::vector<IpPrefix> prefixes;
  while (prefixes.size() < 1024) {
    const auto bits = static_cast<std::uint32_t>(rng());
    const IpPrefix p = IpPrefix::of(IpAddress::v4(static_cast<std::uint8_t>(bits >> 24), static_cast<std::uint8_t>(bits >> 16),
                                                  static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits)),
                                    static_cast<std::uint8_t>(9 + rng() % 9));
    if (!l.engine->contains(p)) prefixes.push_back(p);
  }
  const Metadata record("churn", {});
  std::size_t i = 0;
  for (auto _ : state) {
    const IpPrefix& p = prefixes[i++ % prefixes.size()];
    l.engine->insert(p, record);
    benchmark::DoNotOptimize(l.engine->remove(p));
  }
  state.SetItemsProcessed(state.iterations() * 2);
}

// Nanoseconds per load of a chain of dependent loads through `bytes` of
// memory, one cache line at a time in random order. The memory is asked
// for huge pages, as the index's is, so that the figure is the caches' and
// not the TLB's.
double chase_ns(std::size_t bytes) {
  constexpr std::size_t kLine = 64;
  const std::size_t lines = bytes / kLine;
  void* raw = std::aligned_alloc(std::size_t{2} << 20, bytes);
  if (raw == nullptr) return 0;
  ::madvise(raw, bytes, MADV_HUGEPAGE);
  char* memory = static_cast<char*>(raw);
  std::vector<std::size_t> order(lines);
  for (std::size_t i = 0; i < lines; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937_64(7));
  for (std::size_t i = 0; i < lines; ++i) {
    *reinterpret_cast<char**>(memory + order[i] * kLine) = memory + order[(i + 1) % lines] * kLine;
  }
  char* at = memory + order[0] * kLine;
  for (std::size_t i = 0; i < lines; ++i) at = *reinterpret_cast<char**>(at);  // warm up
  constexpr std::size_t kSteps = 4'000'000;
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < kSteps; ++i) at = *reinterpret_cast<char**>(at);
  benchmark::DoNotOptimize(at);
  const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
  std::free(raw);
  return ns / kSteps;
}

void add_memory_latency_context() {
  std::string text;
  for (const std::size_t mib : {1, 4, 8, 16, 64}) {
    char one[48];
    std::snprintf(one, sizeof one, "%s%zu MiB %.1f", text.empty() ? "" : ", ", mib, chase_ns(mib << 20));
    text += one;
  }
  benchmark::AddCustomContext("dependent_load_ns", text);
}

std::vector<Config> configs(bool small) {
  const std::size_t v4 = small ? 100'000 : 1'000'000;
  const std::size_t v6 = small ? 20'000 : 200'000;
  std::vector<Config> out;
  for (std::uint8_t kind = 0; kind < 8; ++kind) {
    const bool hashed = kind == 3 || kind == 7;
    const std::size_t scale = hashed && !small ? 10 : 1;
    out.push_back({kind, 1, v4 / scale, v6 / scale, "kind" + std::to_string(kind)});
  }
  out.push_back({1, 2, v4, v6, "kind1_shards2"});
  out.push_back({5, 2, v4, v6, "kind5_shards2"});
  out.push_back({5, 8, v4, v6, "kind5_shards8"});
  out.push_back({5, 1, 8'000, 2'000, "kind5_10k"});
  out.push_back({4, 1, 8'000, 2'000, "kind4_10k"});
  out.push_back({4, 1, 8'000, 2'000, "kind4_10k_4records", false, 4});
  // Every prefix its own record (a table keyed by prefix, say): the read
  // index then numbers few of them.
  out.push_back({4, 1, v4, v6, "kind4_distinct", false, v4 + v6});
  out.push_back({4, 1, v4, v6, "kind4_in_address_order", false, 1000, true});
  out.push_back({4, 1, v4, v6, "kind4_2writers", false, 1000, false, 2});
  out.push_back({0, 1, v4, v6, "art", true});
  out.push_back({0, 2, v4, v6, "art_shards2", true});
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  bool small = false;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--table=small") == 0) {
      small = true;
    } else if (std::strcmp(argv[i], "--shape=uniform") == 0) {
      uniform_shape = UniformLengths{8, 32, 16, 128};
    } else if (std::strcmp(argv[i], "--shape=hosts") == 0) {
      uniform_shape = UniformLengths{32, 32, 128, 128};
    } else if (std::strcmp(argv[i], "--shape=clustered") == 0) {
      uniform_shape = UniformLengths{32, 32, 64, 64, parse_prefix("100.64.0.0/10"), parse_prefix("2001:db8::/32")};
    } else if (std::strcmp(argv[i], "--table=full") != 0 && std::strcmp(argv[i], "--shape=routing") != 0) {
      args.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  add_memory_latency_context();

  static const std::vector<Config> all = configs(small);
  for (const Config& c : all) {
    benchmark::RegisterBenchmark(("load/" + c.name).c_str(), load_bench, c)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    if (c.in_address_order || c.writers > 1) continue;  // the same table as its shuffled load
    for (bool inside : {false, true}) {
      benchmark::RegisterBenchmark(((inside ? "lookup_inside/" : "lookup_random_v4/") + c.name).c_str(),
                                   lookup_bench, c, inside ? Stream::Inside : Stream::RandomV4)
          ->Threads(1)
          ->Threads(2)
          ->UseRealTime()
          ->MinTime(0.3);
      benchmark::RegisterBenchmark(((inside ? "batch_inside/" : "batch_random_v4/") + c.name).c_str(), batch_bench,
                                   c, inside)
          ->Threads(1)
          ->Threads(2)
          ->UseRealTime()
          ->MinTime(0.3);
    }
    benchmark::RegisterBenchmark(("short_churn/" + c.name).c_str(), short_churn_bench, c)->UseRealTime()->MinTime(0.3);
    for (const auto& [name, stream] : {std::pair{"lookup_inside_v4_only/", Stream::InsideV4},
                                       std::pair{"lookup_inside_v6_only/", Stream::InsideV6}}) {
      benchmark::RegisterBenchmark((name + c.name).c_str(), lookup_bench, c, stream)
          ->Threads(1)
          ->UseRealTime()
          ->MinTime(0.3);
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
