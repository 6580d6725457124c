// The lookup cache layer's cost: lookups through a 10000-entry cache against
// the same engine without it, for streams that mostly miss the cache
// (uniform random) and streams with repeats (Zipf-like, as logs have), and
// the cost of changes while the cache is full, and how hits scale with
// threads (each thread answers lookups of addresses that are all cached).
#include <benchmark/benchmark.h>

#include "cache.hpp"
#include "korvane/local_engine.hpp"
#include "table_gen.hpp"

namespace {

using namespace korvane;

struct Fixture {
  std::shared_ptr<const LocalEngine> inner = LocalEngine::make_trie(5, 1);
  std::shared_ptr<const CachedEngine> cached = std::make_shared<CachedEngine>(10000, inner);
  std::vector<IpPrefix> prefixes;
  std::vector<IpAddress> random;
  std::vector<IpAddress> repeats;
  std::vector<IpAddress> cached_only;  // 8192 addresses, all in hits_cache
  // A cache of its own, so that the other benchmarks' lookups evict none of
  // cached_only.
  std::shared_ptr<const CachedEngine> hits_cache = std::make_shared<CachedEngine>(10000, inner);

  Fixture() {
    prefixes = bench::ipv4_table(100'000, 1);
    for (std::size_t i = 0; i < prefixes.size(); ++i) inner->insert(prefixes[i], Metadata("AS" + std::to_string(i)));
    random = bench::addresses_inside(prefixes, 1 << 18, 7);
    repeats = bench::zipf_stream(bench::addresses_inside(prefixes, 20'000, 8), 1 << 18, 1.1, 9);
    cached_only = bench::addresses_inside(prefixes, 8192, 10);
    for (const IpAddress& a : cached_only) hits_cache->lookup(a);
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void run_lookups(benchmark::State& state, const PrefixEngine& engine, const std::vector<IpAddress>& stream) {
  const std::size_t mask = stream.size() - 1;
  std::size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(engine.lookup(stream[i++ & mask]));
  state.SetItemsProcessed(state.iterations());
}

void BM_Inner_Random(benchmark::State& s) { run_lookups(s, *fixture().inner, fixture().random); }
void BM_Cached_Random(benchmark::State& s) { run_lookups(s, *fixture().cached, fixture().random); }
void BM_Inner_Repeats(benchmark::State& s) { run_lookups(s, *fixture().inner, fixture().repeats); }
void BM_Cached_Repeats(benchmark::State& s) { run_lookups(s, *fixture().cached, fixture().repeats); }

// The same streams in runs of 64 per call: the cache sends a run's misses
// to the inner engine as one batch.
void run_batches(benchmark::State& state, const PrefixEngine& engine, const std::vector<IpAddress>& stream) {
  constexpr std::size_t kRun = 64;  // the stream's length is a multiple of it
  std::optional<Metadata> results[kRun];
  std::size_t i = 0;
  for (auto _ : state) {
    engine.lookup_many(std::span(stream.data() + i, kRun), results);
    benchmark::DoNotOptimize(results);
    i = (i + kRun) % stream.size();
  }
  state.SetItemsProcessed(state.iterations() * kRun);
}

void BM_Inner_RandomBatch(benchmark::State& s) { run_batches(s, *fixture().inner, fixture().random); }
void BM_Cached_RandomBatch(benchmark::State& s) { run_batches(s, *fixture().cached, fixture().random); }
void BM_Cached_RepeatsBatch(benchmark::State& s) { run_batches(s, *fixture().cached, fixture().repeats); }

// Hits only, from one and from two threads: the same work per thread, so
// with real time the items per second of two threads over one thread is the
// scaling. Hits share no lock, so this should be close to the thread count.
void BM_Cached_Hits(benchmark::State& state) {
  Fixture& f = fixture();
  const std::vector<IpAddress>& stream = f.cached_only;
  const std::size_t mask = stream.size() - 1;
  std::size_t i = static_cast<std::size_t>(state.thread_index()) * 4099;
  for (auto _ : state) benchmark::DoNotOptimize(f.hits_cache->lookup(stream[i++ & mask]));
  state.SetItemsProcessed(state.iterations());
}

// Replacing records while the cache is full: each insert invalidates the
// cached addresses its prefix covers.
void BM_Cached_InsertWhileFull(benchmark::State& state) {
  Fixture& f = fixture();
  for (const IpAddress& a : f.random) f.cached->lookup(a);
  const Metadata record("x");  // copies share it: no allocation in the loop
  std::size_t i = 0;
  for (auto _ : state) {
    const IpPrefix& p = f.prefixes[i++ % f.prefixes.size()];
    f.cached->insert(p, record);
    state.PauseTiming();
    f.cached->lookup(f.random[i & (f.random.size() - 1)]);  // keep the cache full
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_Inner_Random);
BENCHMARK(BM_Cached_Random);
BENCHMARK(BM_Inner_Repeats);
BENCHMARK(BM_Cached_Repeats);
BENCHMARK(BM_Inner_RandomBatch);
BENCHMARK(BM_Cached_RandomBatch);
BENCHMARK(BM_Cached_RepeatsBatch);
BENCHMARK(BM_Cached_Hits)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_Cached_InsertWhileFull);

}  // namespace

BENCHMARK_MAIN();
