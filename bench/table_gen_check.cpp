// Sanity check of the benchmark table generator (not a benchmark): generates
// the IPv4 and IPv6 tables, prints their length histograms and generation
// times, and checks the properties the benchmarks rely on. Exit status 1 when
// a property does not hold.
//
// Usage: table_gen_check [v4_count [v6_count]] [--dump DIR]
//   --dump DIR writes DIR/ipv4.txt and DIR/ipv6.txt, one prefix per line, for
//   benchmarking other libraries on the same tables.
#include "table_gen.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

using korvane::AddressFamily;
using korvane::IpAddress;
using korvane::IpPrefix;
namespace tg = korvane::bench;

int failures = 0;

void check(bool ok, const std::string& what) {
  if (!ok) {
    ++failures;
    std::printf("FAILED: %s\n", what.c_str());
  }
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Canonical key of a prefix: its first `length` bits, then the length.
std::string key_of(const IpPrefix& p, unsigned length) {
  std::string key(17, '\0');
  for (unsigned bit = 0; bit < length; ++bit) {
    if ((p.bytes[bit / 8] >> (7 - bit % 8)) & 1U) key[bit / 8] = static_cast<char>(key[bit / 8] | (0x80 >> (bit % 8)));
  }
  key[16] = static_cast<char>(length);
  return key;
}

bool host_bits_clear(const IpPrefix& p) {
  const unsigned width = korvane::address_width_bits(p.family);
  for (unsigned bit = p.length; bit < 128; ++bit) {
    if (bit >= width && p.bytes[bit / 8] != 0) return false;
    if ((p.bytes[bit / 8] >> (7 - bit % 8)) & 1U) return false;
  }
  return true;
}

bool covers(const IpPrefix& p, const IpAddress& a) {
  if (p.family != a.family) return false;
  for (unsigned bit = 0; bit < p.length; ++bit) {
    if (((p.bytes[bit / 8] ^ a.bytes[bit / 8]) >> (7 - bit % 8)) & 1U) return false;
  }
  return true;
}

void print_histogram(const char* name, const std::vector<IpPrefix>& table, unsigned max_length) {
  std::vector<std::size_t> histogram(max_length + 1, 0);
  for (const IpPrefix& p : table) ++histogram[p.length];
  std::printf("%s length histogram (%zu prefixes):\n", name, table.size());
  for (unsigned l = 0; l <= max_length; ++l) {
    if (histogram[l] == 0) continue;
    const double share = 100.0 * static_cast<double>(histogram[l]) / static_cast<double>(table.size());
    std::printf("  /%-3u %8zu %6.2f%% %s\n", l, histogram[l], share,
                std::string(static_cast<std::size_t>(share / 2.0 + 0.5), '#').c_str());
  }
}

// Share of (a sample of) the prefixes that lie inside a shorter prefix of the
// same table.
double nested_share(const std::vector<IpPrefix>& table, const std::unordered_set<std::string>& keys) {
  const std::size_t sample = std::min<std::size_t>(table.size(), 50'000);
  std::size_t nested = 0;
  for (std::size_t i = 0; i < sample; ++i) {
    for (unsigned l = 0; l < table[i].length; ++l) {
      if (keys.count(key_of(table[i], l))) {
        ++nested;
        break;
      }
    }
  }
  return sample ? static_cast<double>(nested) / static_cast<double>(sample) : 0.0;
}

// Share of all 2^32 IPv4 addresses that some prefix of the table covers:
// the share of random addresses that match.
double v4_coverage(const std::vector<IpPrefix>& table) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;  // [first, end)
  spans.reserve(table.size());
  for (const IpPrefix& p : table) {
    const std::uint64_t first = std::uint64_t{p.bytes[0]} << 24 | std::uint64_t{p.bytes[1]} << 16 |
                                std::uint64_t{p.bytes[2]} << 8 | p.bytes[3];
    spans.emplace_back(first, first + (std::uint64_t{1} << (32 - p.length)));
  }
  std::sort(spans.begin(), spans.end());
  std::uint64_t covered = 0, reached = 0;
  for (const auto& [first, end] : spans) {
    if (end > reached) {
      covered += end - std::max(first, reached);
      reached = end;
    }
  }
  return static_cast<double>(covered) / 4294967296.0;
}

void check_table(const char* name, const std::vector<IpPrefix>& table, std::size_t count, AddressFamily family) {
  check(table.size() == count, std::string(name) + ": exactly the requested count");
  std::unordered_set<std::string> keys;
  keys.reserve(table.size());
  std::size_t bad_host = 0, bad_family = 0, bad_space = 0;
  for (const IpPrefix& p : table) {
    keys.insert(key_of(p, p.length));
    if (!host_bits_clear(p)) ++bad_host;
    if (p.family != family || p.length > korvane::address_width_bits(family)) ++bad_family;
    if (family == AddressFamily::V4) {
      const unsigned a = p.bytes[0], b = p.bytes[1];
      if (p.length < 8 || a == 0 || a == 10 || a == 127 || a >= 224 || (a == 192 && b == 168) ||
          (a == 172 && (b & 0xF0) == 16) || (a == 169 && b == 254) || (a == 100 && (b & 0xC0) == 64)) {
        ++bad_space;
      }
    } else if ((p.bytes[0] >> 5) != 1 || p.length < 3) {
      ++bad_space;
    }
  }
  check(keys.size() == table.size(), std::string(name) + ": prefixes are distinct");
  check(bad_host == 0, std::string(name) + ": host bits are clear");
  check(bad_family == 0, std::string(name) + ": family and length are valid");
  check(bad_space == 0, std::string(name) + ": prefixes avoid reserved space");
  const double nested = nested_share(table, keys);
  std::printf("%s: %.1f%% of sampled prefixes lie inside a shorter prefix of the table\n", name, 100.0 * nested);
  if (table.size() >= 10'000) check(nested > 0.3, std::string(name) + ": prefixes nest");
  if (family == AddressFamily::V4) {
    // A global table covers about 70% of the space: random addresses match
    // about as often as they would there.
    const double coverage = v4_coverage(table);
    std::printf("%s: %.1f%% of all addresses lie inside a prefix of the table\n", name, 100.0 * coverage);
    if (table.size() >= 1'000'000) check(coverage > 0.6 && coverage < 0.8, std::string(name) + ": covers about 70%");
  }

  const std::vector<IpAddress> inside = tg::addresses_inside(table, 10'000, 11);
  std::size_t uncovered = 0;
  for (std::size_t i = 0; i < inside.size(); ++i) {
    // Some stored prefix of any length must cover the address.
    bool found = false;
    IpPrefix as_prefix = IpPrefix::of(inside[i], 0);
    for (unsigned l = 0; l <= korvane::address_width_bits(family) && !found; ++l) {
      found = keys.count(key_of(as_prefix, l)) > 0;
    }
    if (!found) ++uncovered;
  }
  check(uncovered == 0, std::string(name) + ": addresses_inside stay inside stored prefixes");
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t v4_count = 1'000'000;
  std::size_t v6_count = 200'000;
  std::string dump_dir;
  std::vector<std::string> counts;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--dump" && i + 1 < argc) {
      dump_dir = argv[++i];
    } else {
      counts.push_back(arg);
    }
  }
  if (!counts.empty()) v4_count = std::strtoull(counts[0].c_str(), nullptr, 10);
  if (counts.size() > 1) v6_count = std::strtoull(counts[1].c_str(), nullptr, 10);

  auto start = std::chrono::steady_clock::now();
  const std::vector<IpPrefix> v4 = tg::ipv4_table(v4_count);
  const double v4_seconds = seconds_since(start);
  start = std::chrono::steady_clock::now();
  const std::vector<IpPrefix> v6 = tg::ipv6_table(v6_count);
  const double v6_seconds = seconds_since(start);

  print_histogram("IPv4", v4, 32);
  print_histogram("IPv6", v6, 128);
  std::printf("generated %zu IPv4 prefixes in %.3f s, %zu IPv6 prefixes in %.3f s\n", v4.size(), v4_seconds,
              v6.size(), v6_seconds);

  check_table("IPv4", v4, v4_count, AddressFamily::V4);
  check_table("IPv6", v6, v6_count, AddressFamily::V6);

  // Same arguments, same table; another seed, another table.
  check(tg::ipv4_table(20'000, 9) == tg::ipv4_table(20'000, 9), "IPv4 generation is deterministic");
  check(tg::ipv6_table(20'000, 9) == tg::ipv6_table(20'000, 9), "IPv6 generation is deterministic");
  check(tg::ipv4_table(20'000, 9) != tg::ipv4_table(20'000, 10), "IPv4 seeds differ");

  // Address streams.
  const std::vector<IpAddress> r4 = tg::random_v4_addresses(1000, 1);
  const std::vector<IpAddress> r6 = tg::random_v6_addresses(1000, 1);
  bool r4_ok = true, r6_ok = true;
  for (const IpAddress& a : r4) r4_ok = r4_ok && a.family == AddressFamily::V4 && a.bytes[4] == 0 && a.bytes[15] == 0;
  for (const IpAddress& a : r6) r6_ok = r6_ok && a.family == AddressFamily::V6 && (a.bytes[0] >> 5) == 1;
  check(r4_ok, "random_v4_addresses are IPv4");
  check(r6_ok, "random_v6_addresses are under 2000::/3");

  IpPrefix host_route = IpPrefix::of(IpAddress::v4(192, 0, 2, 1), 32);
  const std::vector<IpAddress> exact = tg::addresses_inside({host_route}, 5, 1);
  bool exact_ok = true;
  for (const IpAddress& a : exact) exact_ok = exact_ok && a == host_route.address();
  check(exact_ok, "addresses_inside a /32 is the address itself");
  const std::vector<IpAddress> in_slash20 = tg::addresses_inside({IpPrefix::of(IpAddress::v4(198, 51, 96, 0), 20)}, 1000, 1);
  bool slash20_ok = true;
  for (const IpAddress& a : in_slash20) slash20_ok = slash20_ok && covers(IpPrefix::of(IpAddress::v4(198, 51, 96, 0), 20), a);
  check(slash20_ok, "addresses_inside a /20 stay inside it");

  const std::vector<IpAddress> zipf = tg::zipf_stream(r4, 100'000, 1.0, 1);
  std::unordered_set<std::string> distinct;
  std::size_t most = 0;
  {
    std::vector<std::size_t> hits(r4.size(), 0);
    for (const IpAddress& a : zipf) {
      distinct.insert(tg::address_text(a));
      for (std::size_t i = 0; i < r4.size(); ++i) {
        if (r4[i] == a) {
          most = std::max(most, ++hits[i]);
          break;
        }
      }
    }
  }
  std::printf("zipf stream: 100000 draws over 1000 addresses, %zu distinct, most frequent %zu times\n",
              distinct.size(), most);
  check(zipf.size() == 100'000, "zipf_stream length");
  check(most > 100'000 / 20, "zipf_stream repeats the popular items");

  check(tg::prefix_text(IpPrefix::of(IpAddress::v4(203, 0, 113, 0), 24)) == "203.0.113.0/24", "IPv4 prefix text");
  check(tg::address_text(IpAddress::v6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1})) ==
            "2001:db8:0:0:0:0:0:1",
        "IPv6 address text");

  if (!dump_dir.empty()) {
    std::ofstream f4(dump_dir + "/ipv4.txt"), f6(dump_dir + "/ipv6.txt");
    for (const IpPrefix& p : v4) f4 << tg::prefix_text(p) << '\n';
    for (const IpPrefix& p : v6) f6 << tg::prefix_text(p) << '\n';
    check(f4.good() && f6.good(), "writing the dump files");
    std::printf("wrote %s/ipv4.txt and %s/ipv6.txt\n", dump_dir.c_str(), dump_dir.c_str());
  }

  if (failures == 0) {
    std::printf("all checks passed\n");
  } else {
    std::printf("%d checks FAILED\n", failures);
  }
  return failures == 0 ? 0 : 1;
}
