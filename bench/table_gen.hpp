// Deterministic, routing-table-shaped prefix sets and address streams for
// benchmarks. Header-only; depends only on the value types in
// korvane/types.hpp (no engine code), so the same tables can be produced for
// any competitor.
//
// IPv4: prefix lengths follow a global BGP table (about 60% /24, most of the
// rest /16../23, a few /8../15 and /25../32). Prefixes nest like real
// announcements: many are more-specifics of an earlier, shorter prefix, the
// others are clustered inside a few thousand allocation blocks. 0/8, 10/8,
// 100.64/10, 127/8, 169.254/16, 172.16/12, 192.168/16 and 224/3 are avoided.
// IPv6: lengths mostly /32../48 (peaks at /48 and /32), a few /56../64, all
// under 2000::/3 in the regional registries' blocks.
//
// Every prefix has its host bits cleared and all prefixes of a table are
// distinct. The same (count, seed) always yields the same table, in the same
// (shuffled) order.
#pragma once

#include <korvane/types.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

namespace korvane::bench {

namespace detail {

inline std::uint64_t mix64(std::uint64_t x) noexcept {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

inline std::uint32_t v4_mask(unsigned length) noexcept {
  return length == 0 ? 0U : ~0U << (32 - length);
}

inline std::uint64_t high_mask(unsigned length) noexcept {  // first 64 bits
  return length == 0 ? 0ULL : length >= 64 ? ~0ULL : ~0ULL << (64 - length);
}

inline std::uint64_t low_mask(unsigned length) noexcept {  // last 64 bits
  return length <= 64 ? 0ULL : length >= 128 ? ~0ULL : ~0ULL << (128 - length);
}

// Blocks that never appear in a public routing table.
struct V4Block {
  std::uint32_t address;
  unsigned length;
};
inline constexpr std::array<V4Block, 8> kV4Excluded{{
    {0x00000000U, 8},   // 0/8
    {0x0A000000U, 8},   // 10/8
    {0x64400000U, 10},  // 100.64/10
    {0x7F000000U, 8},   // 127/8
    {0xA9FE0000U, 16},  // 169.254/16
    {0xAC100000U, 12},  // 172.16/12
    {0xC0A80000U, 16},  // 192.168/16
    {0xE0000000U, 3},   // 224/3
}};

inline bool v4_allowed(std::uint32_t address, unsigned length) noexcept {
  for (const V4Block& block : kV4Excluded) {
    const std::uint32_t mask = v4_mask(std::min(length, block.length));
    if ((address & mask) == (block.address & mask)) return false;
  }
  return true;
}

// Relative share of each prefix length in a global IPv4 table.
inline constexpr std::array<double, 33> kV4LengthWeights = [] {
  std::array<double, 33> w{};
  w[8] = 0.002;  w[9] = 0.002;  w[10] = 0.005; w[11] = 0.012;
  w[12] = 0.03;  w[13] = 0.06;  w[14] = 0.1;   w[15] = 0.15;
  w[16] = 1.3;   w[17] = 0.8;   w[18] = 1.4;   w[19] = 2.6;
  w[20] = 4.2;   w[21] = 5.0;   w[22] = 11.0;  w[23] = 11.0;
  w[24] = 60.0;
  w[25] = 0.15;  w[26] = 0.12;  w[27] = 0.08;  w[28] = 0.08;
  w[29] = 0.07;  w[30] = 0.05;  w[31] = 0.02;  w[32] = 0.03;
  return w;
}();

// Relative share of each prefix length in a global IPv6 table.
inline constexpr std::array<double, 129> kV6LengthWeights = [] {
  std::array<double, 129> w{};
  w[19] = 0.01; w[20] = 0.02; w[21] = 0.01; w[22] = 0.02; w[23] = 0.02;
  w[24] = 0.03; w[25] = 0.01; w[26] = 0.01; w[27] = 0.02; w[28] = 0.15;
  w[29] = 3.0;  w[30] = 0.6;  w[31] = 0.4;  w[32] = 12.0; w[33] = 1.2;
  w[34] = 1.0;  w[35] = 0.8;  w[36] = 3.0;  w[37] = 0.6;  w[38] = 0.9;
  w[39] = 0.6;  w[40] = 6.0;  w[41] = 0.6;  w[42] = 1.3;  w[43] = 0.6;
  w[44] = 8.0;  w[45] = 1.3;  w[46] = 2.2;  w[47] = 2.6;  w[48] = 46.0;
  for (int l = 49; l <= 55; ++l) w[l] = 0.1;
  w[56] = 1.5;
  for (int l = 57; l <= 63; ++l) w[l] = 0.03;
  w[64] = 0.6;
  return w;
}();

// Splits `count` over the lengths in proportion to the weights; the rounding
// remainder goes to `main_length`.
template <std::size_t N>
std::array<std::size_t, N> length_counts(const std::array<double, N>& weights, std::size_t count,
                                         std::size_t main_length) {
  const double total = std::accumulate(weights.begin(), weights.end(), 0.0);
  std::array<std::size_t, N> counts{};
  std::size_t assigned = 0;
  for (std::size_t l = 0; l < N; ++l) {
    counts[l] = static_cast<std::size_t>(static_cast<double>(count) * weights[l] / total);
    assigned += counts[l];
  }
  counts[main_length] += count - assigned;
  return counts;
}

// Share of the prefixes of a length that are more-specifics of an earlier,
// shorter prefix (the rest are placed inside allocation blocks).
inline double v4_nesting_share(unsigned length) noexcept {
  if (length <= 12) return 0.0;
  if (length <= 16) return 0.25;
  if (length <= 23) return 0.45;
  if (length == 24) return 0.55;
  return 0.8;
}

inline double v6_nesting_share(unsigned length) noexcept {
  if (length <= 28) return 0.0;
  if (length <= 32) return 0.1;
  if (length <= 47) return 0.4;
  if (length == 48) return 0.55;
  return 0.8;
}

struct V4Entry {
  std::uint32_t address;
  std::uint8_t length;
};

struct V6Entry {
  std::uint64_t high;
  std::uint64_t low;
  std::uint8_t length;
  bool operator==(const V6Entry& o) const noexcept {
    return high == o.high && low == o.low && length == o.length;
  }
};

struct V6EntryHash {
  std::size_t operator()(const V6Entry& e) const noexcept {
    return static_cast<std::size_t>(mix64(e.high ^ mix64(e.low ^ e.length)));
  }
};

inline IpPrefix to_prefix(const V4Entry& e) noexcept {
  IpPrefix p;
  p.family = AddressFamily::V4;
  for (int i = 0; i < 4; ++i) p.bytes[i] = static_cast<std::uint8_t>(e.address >> (24 - 8 * i));
  p.length = e.length;
  return p;
}

inline IpPrefix to_prefix(const V6Entry& e) noexcept {
  IpPrefix p;
  p.family = AddressFamily::V6;
  for (int i = 0; i < 8; ++i) {
    p.bytes[i] = static_cast<std::uint8_t>(e.high >> (56 - 8 * i));
    p.bytes[8 + i] = static_cast<std::uint8_t>(e.low >> (56 - 8 * i));
  }
  p.length = e.length;
  return p;
}

// Generic driver: lengths in increasing order, so that every shorter prefix
// exists before its possible more-specifics are drawn. `place_free(length)`
// draws a prefix not nested on purpose, `place_inside(parent, length)` one
// inside `parent`; both return a canonical entry or nothing usable (checked
// by `usable`). Counts that cannot be met (tiny address space) are made up
// with `fallback_length`.
template <class Entry, class Set, std::size_t N, class Free, class Inside, class Usable, class NestShare>
std::vector<Entry> grow_table(std::size_t count, const std::array<double, N>& weights,
                              unsigned fallback_length, unsigned max_parent_gap, std::mt19937_64& rng,
                              Free place_free, Inside place_inside, Usable usable, NestShare nesting_share) {
  const std::array<std::size_t, N> counts = length_counts(weights, count, fallback_length);
  std::vector<Entry> table;
  table.reserve(count);
  Set seen;
  seen.reserve(count + count / 2);
  std::array<std::size_t, N + 1> first_of_length{};  // index into table
  std::uniform_real_distribution<double> unit(0.0, 1.0);

  auto draw = [&](unsigned length) -> bool {
    const unsigned lowest_parent = length > max_parent_gap ? length - max_parent_gap : 0;
    const std::size_t begin = first_of_length[lowest_parent];
    const std::size_t end = first_of_length[length];
    Entry candidate;
    if (end > begin && unit(rng) < nesting_share(length)) {
      const Entry& parent = table[begin + rng() % (end - begin)];
      candidate = place_inside(parent, length);
    } else {
      candidate = place_free(length);
    }
    if (!usable(candidate) || !seen.insert(candidate).second) return false;
    table.push_back(candidate);
    return true;
  };

  std::size_t missing = 0;
  for (unsigned length = 0; length < N; ++length) {
    first_of_length[length] = table.size();
    std::size_t wanted = counts[length];
    std::size_t failures = 0;
    while (wanted > 0 && failures < 64 + 4 * counts[length]) {
      if (draw(length)) {
        --wanted;
      } else {
        ++failures;
      }
    }
    missing += wanted;
  }
  first_of_length[N] = table.size();
  // Make up any shortfall; every length's first index stays valid because
  // these are appended with the fallback length's parents already in place.
  std::size_t failures = 0;
  while (missing > 0) {
    if (draw(fallback_length)) {
      --missing;
    } else if (++failures > 1000 + 16 * count) {
      throw std::runtime_error("table_gen: address space too small for the requested count");
    }
  }
  std::shuffle(table.begin(), table.end(), rng);
  return table;
}

struct V4Hash {
  std::size_t operator()(std::uint64_t key) const noexcept { return static_cast<std::size_t>(mix64(key)); }
};

struct V4EntrySet {
  std::unordered_set<std::uint64_t, V4Hash> keys;
  void reserve(std::size_t n) { keys.reserve(n); }
  struct Inserted {
    bool second;
  };
  Inserted insert(const V4Entry& e) {
    return {keys.insert((static_cast<std::uint64_t>(e.address) << 8) | e.length).second};
  }
};

}  // namespace detail

// About `count` distinct IPv4 prefixes shaped like a global BGP table
// (exactly `count`; at most a few million fit the routable space).
inline std::vector<IpPrefix> ipv4_table(std::size_t count = 1'000'000, std::uint64_t seed = 1) {
  using detail::V4Entry;
  std::mt19937_64 rng(seed);

  // Short prefixes (/8../19), the registries' allocations, lie anywhere in
  // the unicast space and, unless drawn inside another on purpose, apart from
  // each other (as allocations are); longer ones mostly cluster in allocation
  // blocks (/10../16), most of them in the newer part of the space (first
  // octet 64 and up), so that not every prefix is covered by a shorter one.
  // As in a global table, the prefixes cover about 70% of all addresses, so
  // that about as many random addresses match.
  auto unicast_space = [&]() { return static_cast<std::uint32_t>(1 + rng() % 223) << 24 | (rng() & 0xFFFFFFU); };
  auto old_space = [&]() { return static_cast<std::uint32_t>(1 + rng() % 63) << 24 | (rng() & 0xFFFFFFU); };
  auto new_space = [&]() { return static_cast<std::uint32_t>(64 + rng() % 160) << 24 | (rng() & 0xFFFFFFU); };
  std::vector<V4Entry> blocks;
  const std::size_t block_count = std::max<std::size_t>(64, count / 256);
  while (blocks.size() < block_count) {
    const auto length = static_cast<std::uint8_t>(10 + rng() % 7);
    const std::uint32_t address = (rng() % 8 == 0 ? old_space() : new_space()) & detail::v4_mask(length);
    if (detail::v4_allowed(address, length)) blocks.push_back({address, length});
  }

  // Which /20s the short prefixes drawn apart cover so far.
  std::vector<bool> allocated(std::size_t{1} << 20);
  auto place_apart = [&](unsigned length) -> std::uint32_t {
    std::uint32_t address = 0;
    const std::size_t units = std::size_t{1} << (20 - length);
    for (int tries = 0; tries < 16; ++tries) {
      address = unicast_space() & detail::v4_mask(length);
      const std::size_t first = address >> 12;
      bool apart = true;
      for (std::size_t u = first; u < first + units && apart; ++u) apart = !allocated[u];
      if (apart) break;
    }
    for (std::size_t u = address >> 12; u < (address >> 12) + units; ++u) allocated[u] = true;
    return address;
  };

  auto place_free = [&](unsigned length) -> V4Entry {
    if (length < 20) return {place_apart(length), static_cast<std::uint8_t>(length)};
    const V4Entry& block = blocks[rng() % blocks.size()];
    const std::uint32_t address = block.address | (static_cast<std::uint32_t>(rng()) & ~detail::v4_mask(block.length));
    return {address & detail::v4_mask(length), static_cast<std::uint8_t>(length)};
  };
  auto place_inside = [&](const V4Entry& parent, unsigned length) -> V4Entry {
    const std::uint32_t address = parent.address | (static_cast<std::uint32_t>(rng()) & ~detail::v4_mask(parent.length));
    return {address & detail::v4_mask(length), static_cast<std::uint8_t>(length)};
  };
  auto usable = [](const V4Entry& e) { return e.length >= 8 && detail::v4_allowed(e.address, e.length); };

  const std::vector<V4Entry> entries = detail::grow_table<V4Entry, detail::V4EntrySet>(
      count, detail::kV4LengthWeights, 24, 12, rng, place_free, place_inside, usable,
      detail::v4_nesting_share);
  std::vector<IpPrefix> out;
  out.reserve(entries.size());
  for (const V4Entry& e : entries) out.push_back(detail::to_prefix(e));
  return out;
}

// About `count` distinct IPv6 prefixes shaped like a global BGP table, all
// under 2000::/3 (exactly `count`).
inline std::vector<IpPrefix> ipv6_table(std::size_t count = 200'000, std::uint64_t seed = 2) {
  using detail::V6Entry;
  std::mt19937_64 rng(seed);

  // Registry blocks and their share of the table.
  struct Region {
    std::uint64_t high;
    unsigned length;
    double share;
  };
  static constexpr Region kRegions[] = {
      {0x2001000000000000ULL, 16, 12.0},  // 2001::/16 (mixed registries)
      {0x2400000000000000ULL, 12, 22.0},  // APNIC
      {0x2600000000000000ULL, 12, 22.0},  // ARIN
      {0x2800000000000000ULL, 12, 10.0},  // LACNIC
      {0x2a00000000000000ULL, 12, 30.0},  // RIPE NCC
      {0x2c00000000000000ULL, 12, 4.0},   // AFRINIC
  };
  std::discrete_distribution<std::size_t> region_pick(
      {kRegions[0].share, kRegions[1].share, kRegions[2].share, kRegions[3].share, kRegions[4].share,
       kRegions[5].share});

  auto canonical = [](std::uint64_t high, std::uint64_t low, unsigned length) -> V6Entry {
    return {high & detail::high_mask(length), low & detail::low_mask(length), static_cast<std::uint8_t>(length)};
  };
  auto place_free = [&](unsigned length) -> V6Entry {
    const Region& region = kRegions[region_pick(rng)];
    std::uint64_t high = rng();
    if (region.length < length) {
      high = region.high | (high & ~detail::high_mask(region.length));
    } else {
      high = (high >> 3) | (1ULL << 61);  // anywhere in 2000::/3
    }
    return canonical(high, rng(), length);
  };
  auto place_inside = [&](const V6Entry& parent, unsigned length) -> V6Entry {
    const std::uint64_t high = parent.high | (rng() & ~detail::high_mask(parent.length));
    const std::uint64_t low = parent.low | (rng() & ~detail::low_mask(parent.length));
    return canonical(high, low, length);
  };
  auto usable = [](const V6Entry& e) { return e.length >= 3 && (e.high >> 61) == 1; };

  const std::vector<V6Entry> entries =
      detail::grow_table<V6Entry, std::unordered_set<V6Entry, detail::V6EntryHash>>(
          count, detail::kV6LengthWeights, 48, 20, rng, place_free, place_inside, usable,
          detail::v6_nesting_share);
  std::vector<IpPrefix> out;
  out.reserve(entries.size());
  for (const V6Entry& e : entries) out.push_back(detail::to_prefix(e));
  return out;
}

// `count` distinct prefixes with uniformly random bits and lengths drawn
// uniformly from [min_length, max_length]: no nesting structure, no
// clustering, the opposite of a routing table. Host bits are cleared.
// With `within`, every prefix lies inside it (its bits first, random bits
// after): one organisation's addresses under its own allocation.
inline std::vector<IpPrefix> uniform_table(AddressFamily family, std::size_t count, unsigned min_length,
                                           unsigned max_length, std::uint64_t seed,
                                           std::optional<IpPrefix> within = std::nullopt) {
  std::vector<IpPrefix> out;
  out.reserve(count);
  std::unordered_set<std::string> seen;
  std::uint64_t state = seed * 0x9E3779B97F4A7C15ULL + 17;
  while (out.size() < count) {
    IpAddress a;
    a.family = family;
    for (std::size_t i = 0; i < address_width_bytes(family); i += 8) {
      const std::uint64_t r = detail::mix64(++state);
      for (std::size_t j = 0; j < 8 && i + j < address_width_bytes(family); ++j) {
        a.bytes[i + j] = static_cast<std::uint8_t>(r >> (8 * j));
      }
    }
    for (unsigned i = 0; within && i < within->length; ++i) {
      const auto bit = static_cast<std::uint8_t>(0x80u >> (i % 8));
      a.bytes[i / 8] = static_cast<std::uint8_t>((a.bytes[i / 8] & ~bit) | (within->bytes[i / 8] & bit));
    }
    const unsigned length = min_length + static_cast<unsigned>(detail::mix64(++state) % (max_length - min_length + 1));
    const IpPrefix p = IpPrefix::of(a, static_cast<std::uint8_t>(length)).canonical();
    std::string key(reinterpret_cast<const char*>(p.bytes.data()), address_width_bytes(family));
    key.push_back(static_cast<char>(p.length));
    if (seen.insert(std::move(key)).second) out.push_back(p);
  }
  return out;
}

// `n` IPv4 addresses drawn uniformly from the whole address space.
inline std::vector<IpAddress> random_v4_addresses(std::size_t n, std::uint64_t seed = 3) {
  std::mt19937_64 rng(seed);
  std::vector<IpAddress> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t r = rng();
    out.push_back(IpAddress::v4(static_cast<std::uint8_t>(r >> 24), static_cast<std::uint8_t>(r >> 16),
                                static_cast<std::uint8_t>(r >> 8), static_cast<std::uint8_t>(r)));
  }
  return out;
}

// `n` IPv6 addresses drawn uniformly from 2000::/3.
inline std::vector<IpAddress> random_v6_addresses(std::size_t n, std::uint64_t seed = 4) {
  std::mt19937_64 rng(seed);
  std::vector<IpAddress> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t high = (rng() >> 3) | (1ULL << 61);
    const std::uint64_t low = rng();
    IpAddress a;
    a.family = AddressFamily::V6;
    for (int b = 0; b < 8; ++b) {
      a.bytes[b] = static_cast<std::uint8_t>(high >> (56 - 8 * b));
      a.bytes[8 + b] = static_cast<std::uint8_t>(low >> (56 - 8 * b));
    }
    out.push_back(a);
  }
  return out;
}

// `n` addresses, each inside a prefix chosen uniformly from `prefixes`, with
// random host bits. Every address is covered by at least its chosen prefix.
inline std::vector<IpAddress> addresses_inside(const std::vector<IpPrefix>& prefixes, std::size_t n,
                                               std::uint64_t seed = 5) {
  if (prefixes.empty()) throw std::invalid_argument("addresses_inside: no prefixes");
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<std::size_t> pick(0, prefixes.size() - 1);
  std::vector<IpAddress> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const IpPrefix& p = prefixes[pick(rng)];
    IpAddress a = p.address();
    const std::size_t width = address_width_bytes(p.family);
    std::uint64_t random = rng();
    int random_left = 8;
    for (std::size_t byte = p.length / 8; byte < width; ++byte) {
      if (random_left == 0) {
        random = rng();
        random_left = 8;
      }
      const auto noise = static_cast<std::uint8_t>(random);
      random >>= 8;
      --random_left;
      const unsigned fixed_bits = byte == p.length / 8u ? p.length % 8u : 0u;
      const auto host_mask = static_cast<std::uint8_t>(0xFFu >> fixed_bits);
      a.bytes[byte] = static_cast<std::uint8_t>((a.bytes[byte] & ~host_mask) | (noise & host_mask));
    }
    out.push_back(a);
  }
  return out;
}

// A stream of `n` items drawn from `items` with Zipf-distributed popularity
// (exponent `s`, e.g. 1.0): a few items repeat very often, like addresses in
// traffic logs. Popularity ranks are assigned to the items in a seeded random
// order, not in input order.
template <class T>
std::vector<T> zipf_stream(const std::vector<T>& items, std::size_t n, double s, std::uint64_t seed = 6) {
  if (items.empty()) throw std::invalid_argument("zipf_stream: no items");
  std::mt19937_64 rng(seed);
  std::vector<std::size_t> rank_to_item(items.size());
  std::iota(rank_to_item.begin(), rank_to_item.end(), std::size_t{0});
  std::shuffle(rank_to_item.begin(), rank_to_item.end(), rng);
  std::vector<double> cumulative(items.size());
  double total = 0.0;
  for (std::size_t k = 0; k < items.size(); ++k) {
    total += 1.0 / std::pow(static_cast<double>(k + 1), s);
    cumulative[k] = total;
  }
  std::uniform_real_distribution<double> unit(0.0, total);
  std::vector<T> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto it = std::upper_bound(cumulative.begin(), cumulative.end(), unit(rng));
    const std::size_t rank = std::min<std::size_t>(static_cast<std::size_t>(it - cumulative.begin()), items.size() - 1);
    out.push_back(items[rank_to_item[rank]]);
  }
  return out;
}

// Text forms for feeding the same tables to other libraries: IPv4 dotted
// decimal, IPv6 as eight hexadecimal groups (valid, not compressed).
inline std::string address_text(const IpAddress& a) {
  char buf[48];
  if (a.family == AddressFamily::V4) {
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", a.bytes[0], a.bytes[1], a.bytes[2], a.bytes[3]);
  } else {
    int pos = 0;
    for (int g = 0; g < 8; ++g) {
      pos += std::snprintf(buf + pos, sizeof buf - static_cast<std::size_t>(pos), g ? ":%x" : "%x",
                           (a.bytes[2 * g] << 8) | a.bytes[2 * g + 1]);
    }
  }
  return buf;
}

inline std::string prefix_text(const IpPrefix& p) {
  return address_text(p.address()) + "/" + std::to_string(p.length);
}

}  // namespace korvane::bench
