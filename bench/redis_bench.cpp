// Figures for the Redis-backed layers, against a private redis-server
// started on a free loopback port (or the server given with --url, whose
// database must be expendable: the program deletes the korvane keys).
//
//   redis_bench [--url=redis://...] [--entries=N] [--writes=N] [--notices=N]
//
//  1. write-through inserts per second of a HybridEngine, with reused
//     connections and with one connection per command;
//  2. construction time of a HybridEngine from an entries hash of N
//     prefixes (routing-table-shaped, 5/6 IPv4 and 1/6 IPv6);
//  3. propagation latency of inserts from one process's engine to
//     another's (median and 99th percentile): the child polls its engine and
//     compares with the send time carried in the record (one monotonic clock
//     for both processes).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hybrid.hpp"
#include "korvane/address.hpp"
#include "korvane/config.hpp"
#include "redis/backend.hpp"
#include "redis/schema.hpp"
#include "redis_server.hpp"
#include "table_gen.hpp"

namespace {

using namespace korvane;
using Clock = std::chrono::steady_clock;
using bench::ipv4_table;
using bench::ipv6_table;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

std::shared_ptr<const HybridEngine> hybrid(const std::string& url) {
  EngineConfig config;
  config.hybrid = true;
  config.redis_url = url;
  return std::dynamic_pointer_cast<const HybridEngine>(create_engine(config));
}

void reset_keys(redis::RedisClient& client) {
  (void)client.command({"DEL", std::string(redis::kEntriesKey), std::string(redis::kGenerationKey)});
}

// Fields in the entries hash; a pass whose writes did not all land there
// measured failures, not writes, and the run stops.
void expect_entries(redis::RedisClient& client, std::size_t expected, const char* pass) {
  const auto reply = client.command({"HLEN", std::string(redis::kEntriesKey)});
  const long long held = reply && reply->type == redis::Reply::Type::Integer ? reply->integer : -1;
  if (held != static_cast<long long>(expected)) {
    std::fprintf(stderr, "%s: the entries hash holds %lld of %zu writes\n", pass, held, expected);
    std::exit(1);
  }
}

void write_through(const std::string& url, std::size_t writes) {
  const auto table = ipv4_table(writes, 7);
  std::string error;
  auto backend = redis::RedisBackend::make(url, error);
  if (!backend) {
    std::fprintf(stderr, "cannot connect: %s\n", error.c_str());
    std::exit(1);
  }
  const Metadata record("AS64500", {{"country", "de"}});
  for (bool reuse : {true, false}) {
    reset_keys(backend->client());
    backend->client().set_reuse(reuse);
    const std::string channel = "korvane:updates";
    const char* pass = reuse ? "reused connections" : "one connection per command";
    std::size_t landed = 0;
    const auto start = Clock::now();
    for (const IpPrefix& prefix : table) landed += backend->store_entry(prefix, record, &channel, "bench").has_value();
    std::printf("write-through inserts, %s: %.0f/s (%zu writes, %zu acknowledged)\n", pass,
                table.size() / seconds_since(start), table.size(), landed);
    expect_entries(backend->client(), table.size(), pass);
  }
  backend->client().set_reuse(true);
  // The whole insert path of the engine, reused connections.
  reset_keys(backend->client());
  auto engine = hybrid(url);
  const auto start = Clock::now();
  for (const IpPrefix& prefix : table) (void)engine->insert(prefix, record);
  std::printf("HybridEngine::insert with write-through: %.0f/s\n", table.size() / seconds_since(start));
  expect_entries(backend->client(), table.size(), "HybridEngine::insert");
  reset_keys(backend->client());
}

void construction(const std::string& url, std::size_t entries) {
  std::string error;
  auto backend = redis::RedisBackend::make(url, error);
  reset_keys(backend->client());
  std::vector<IpPrefix> table = ipv4_table(entries - entries / 6, 11);
  for (const IpPrefix& p : ipv6_table(entries / 6, 12)) table.push_back(p);
  const Metadata record("AS64500", {{"country", "de"}, {"city", "Berlin"}});
  const std::string json = redis::encode_metadata(record);
  const auto fill = Clock::now();
  for (std::size_t i = 0; i < table.size(); i += 1000) {
    std::vector<std::string> hset{"HSET", std::string(redis::kEntriesKey)};
    for (std::size_t j = i; j < std::min(table.size(), i + 1000); ++j) {
      hset.push_back(redis::prefix_text(table[j]));
      hset.push_back(json);
    }
    (void)backend->client().command(std::move(hset));
  }
  std::printf("filled the entries hash with %zu prefixes in %.2f s\n", table.size(), seconds_since(fill));
  for (int round = 0; round < 2; ++round) {
    const auto start = Clock::now();
    auto engine = hybrid(url);
    const double took = seconds_since(start);
    std::printf("construction from %zu entries: %.2f s (len %llu)\n", table.size(), took,
                static_cast<unsigned long long>(engine->len()));
  }
  reset_keys(backend->client());
}

void propagation(const std::string& url, std::size_t notices) {
  // Distinct /32s, so that a lookup finds exactly the entry it waits for.
  std::vector<IpPrefix> table;
  for (std::size_t i = 0; i < notices; ++i) {
    table.push_back(IpPrefix::of(IpAddress::v4(198, 18, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)), 32));
  }
  int ready[2], done[2];
  if (pipe(ready) != 0 || pipe(done) != 0) std::exit(1);
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    auto engine = hybrid(url);
    (void)!write(ready[1], "r", 1);
    std::vector<double> latencies;
    for (const IpPrefix& prefix : table) {
      const IpAddress inside = prefix.address();
      const auto give_up = Clock::now() + std::chrono::seconds(5);
      std::optional<Metadata> found;
      while (!(found = engine->lookup(inside)) || found->value().empty()) {
        if (Clock::now() > give_up) break;
        std::this_thread::yield();
      }
      const std::int64_t arrived = now_ns();
      if (!found) continue;
      latencies.push_back(static_cast<double>(arrived - std::stoll(std::string(found->value()))) / 1e6);
    }
    std::sort(latencies.begin(), latencies.end());
    if (latencies.empty()) {
      std::printf("propagation: nothing arrived\n");
    } else {
      std::printf("propagation between two processes: median %.3f ms, p99 %.3f ms, max %.3f ms (%zu of %zu)\n",
                  latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100], latencies.back(),
                  latencies.size(), table.size());
    }
    std::fflush(stdout);
    (void)!write(done[1], "d", 1);
    _exit(0);
  }
  char byte;
  if (read(ready[0], &byte, 1) != 1) std::exit(1);
  auto engine = hybrid(url);
  for (const IpPrefix& prefix : table) {
    (void)engine->insert(prefix, Metadata(std::to_string(now_ns())));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  (void)!read(done[0], &byte, 1);
  waitpid(child, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string> url;
  std::size_t entries = 1'000'000, writes = 20'000, notices = 2'000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* name) -> const char* {
      const std::size_t n = std::strlen(name);
      return arg.compare(0, n, name) == 0 ? argv[i] + n : nullptr;
    };
    if (const char* v = value("--url=")) url = v;
    else if (const char* v = value("--entries=")) entries = std::stoull(v);
    else if (const char* v = value("--writes=")) writes = std::stoull(v);
    else if (const char* v = value("--notices=")) notices = std::stoull(v);
    else {
      std::fprintf(stderr, "usage: redis_bench [--url=U] [--entries=N] [--writes=N] [--notices=N]\n");
      return 2;
    }
  }
  std::unique_ptr<testing::RedisServer> server;
  if (!url) {
    server = std::make_unique<testing::RedisServer>();
    url = server->url();
  }
  write_through(*url, writes);
  propagation(*url, notices);
  construction(*url, entries);
  return 0;
}
