// Soak test of memory under insert/remove churn, as a long-lived service
// would see it: a fixed table of /24 prefixes stays stored while distinct
// host prefixes are inserted and removed one after the other. Prints the
// resident set size every report interval and checks, on every cycle, that
// len and the lookups of the churned address are exact.
//
//   churn_soak [--engine=default|kind<K>] [--cycles=N] [--report=M] [--v6]
//
// --engine=default builds what RadixEngine() builds; kind<K> a single trie
// engine of node kind K. --v6 churns IPv6 /128s on every other cycle.
// Exits non-zero on the first wrong answer.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unordered_map>

#include "epoch.hpp"
#include "korvane/config.hpp"
#include "node/arena.hpp"

namespace {

using namespace korvane;

double resident_mib() {
  std::ifstream statm("/proc/self/statm");
  std::size_t size = 0;
  std::size_t resident = 0;
  statm >> size >> resident;
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// A bijection on 32-bit values, so counter values map to distinct addresses.
std::uint32_t permute(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

IpAddress v4_of(std::uint32_t x) {
  return IpAddress::v4(static_cast<std::uint8_t>(x >> 24), static_cast<std::uint8_t>(x >> 16),
                       static_cast<std::uint8_t>(x >> 8), static_cast<std::uint8_t>(x));
}

int fail(const char* what, std::uint64_t cycle) {
  std::fprintf(stderr, "wrong answer at cycle %llu: %s\n", static_cast<unsigned long long>(cycle), what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string engine_name = "default";
  std::uint64_t cycles = 10'000'000;
  std::uint64_t report = 1'000'000;
  bool mix_v6 = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--engine=", 0) == 0) {
      engine_name = arg.substr(9);
    } else if (arg.rfind("--cycles=", 0) == 0) {
      cycles = std::strtoull(arg.c_str() + 9, nullptr, 10);
    } else if (arg.rfind("--report=", 0) == 0) {
      report = std::strtoull(arg.c_str() + 9, nullptr, 10);
    } else if (arg == "--v6") {
      mix_v6 = true;
    } else {
      std::fprintf(stderr, "usage: churn_soak [--engine=default|kind<K>] [--cycles=N] [--report=M] [--v6]\n");
      return 2;
    }
  }
  EngineHandle engine;
  if (engine_name == "default") {
    engine = create_engine(EngineConfig::for_variant(std::nullopt));
  } else if (engine_name.rfind("kind", 0) == 0 && engine_name.size() == 5 && engine_name[4] >= '0' &&
             engine_name[4] <= '7') {
    engine = LocalEngine::make_trie(static_cast<std::uint8_t>(engine_name[4] - '0'), 1);
  } else {
    std::fprintf(stderr, "unknown engine: %s\n", engine_name.c_str());
    return 2;
  }

  // The fixed table: 10,000 distinct /24s, keyed by their first three bytes.
  std::unordered_map<std::uint32_t, std::string> base;
  for (std::uint32_t i = 0; base.size() < 10'000; ++i) {
    const std::uint32_t net = permute(i * 2654435761U) & 0xFFFFFF00U;
    if (base.count(net >> 8) != 0) continue;
    base.emplace(net >> 8, "net" + std::to_string(base.size()));
    engine->insert(IpPrefix::of(v4_of(net), 24), Metadata(base[net >> 8]));
  }
  const std::uint64_t stored = engine->len();
  epoch::collect();
  std::printf("engine %s, %llu prefixes stored, RSS %.1f MiB\n", engine_name.c_str(),
              static_cast<unsigned long long>(stored), resident_mib());
  std::printf("%12s %10s %14s\n", "cycles", "RSS MiB", "node MiB");

  const Metadata churned("churned");
  for (std::uint64_t cycle = 1; cycle <= cycles; ++cycle) {
    IpPrefix host;
    if (mix_v6 && cycle % 2 == 0) {
      IpAddress a;
      a.family = AddressFamily::V6;
      const std::uint32_t x = permute(static_cast<std::uint32_t>(cycle));
      a.bytes[0] = 0x20;
      a.bytes[1] = 0x01;
      for (int i = 0; i < 4; ++i) a.bytes[4 + i] = static_cast<std::uint8_t>(x >> (8 * i));
      for (int i = 0; i < 4; ++i) a.bytes[12 + i] = static_cast<std::uint8_t>(permute(x) >> (8 * i));
      host = IpPrefix::of(a, 128);
    } else {
      host = IpPrefix::of(v4_of(permute(static_cast<std::uint32_t>(cycle))), 32);
    }
    const IpAddress address = host.address();
    engine->insert(host, churned);
    const auto found = engine->lookup(address);
    if (!found || found->value() != "churned") return fail("inserted host not found", cycle);
    if (engine->len() != stored + 1) return fail("len after insert", cycle);
    if (!engine->remove(host)) return fail("remove found nothing", cycle);
    if (engine->len() != stored) return fail("len after remove", cycle);
    const auto after = engine->lookup(address);
    std::string expected;
    if (address.family == AddressFamily::V4) {
      const std::uint32_t x = (std::uint32_t{address.bytes[0]} << 24) | (std::uint32_t{address.bytes[1]} << 16) |
                              (std::uint32_t{address.bytes[2]} << 8) | address.bytes[3];
      if (const auto it = base.find(x >> 8); it != base.end()) expected = it->second;
    }
    if (after.has_value() != !expected.empty() || (after && after->value() != expected)) {
      return fail("lookup after remove", cycle);
    }
    if (cycle % report == 0) {
      std::printf("%12llu %10.1f %14.1f\n", static_cast<unsigned long long>(cycle), resident_mib(),
                  static_cast<double>(node::arena_bytes_in_use()) / (1024.0 * 1024.0));
      std::fflush(stdout);
    }
  }
  return 0;
}
