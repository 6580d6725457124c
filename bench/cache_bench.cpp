// The lookup cache layer's cost: lookups through a 10000-entry cache against
// the same engine without it, for streams that mostly miss the cache
// (uniform random) and streams with repeats (Zipf-like, as logs have), and
// the cost of changes while the cache is full.
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

  Fixture() {
    prefixes = bench::ipv4_table(100'000, 1);
    for (std::size_t i = 0; i < prefixes.size(); ++i) inner->insert(prefixes[i], Metadata("AS" + std::to_string(i)));
    random = bench::addresses_inside(prefixes, 1 << 18, 7);
    repeats = bench::zipf_stream(bench::addresses_inside(prefixes, 20'000, 8), 1 << 18, 1.1, 9);
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

// Replacing records while the cache is full: each insert invalidates the
// cached addresses its prefix covers.
void BM_Cached_InsertWhileFull(benchmark::State& state) {
  Fixture& f = fixture();
  for (const IpAddress& a : f.random) f.cached->lookup(a);
  std::size_t i = 0;
  for (auto _ : state) {
    const IpPrefix& p = f.prefixes[i++ % f.prefixes.size()];
    f.cached->insert(p, Metadata("x"));
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
BENCHMARK(BM_Cached_InsertWhileFull);

}  // namespace

BENCHMARK_MAIN();
