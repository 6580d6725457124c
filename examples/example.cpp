// Korvane example: loads a few thousand IPv4 and IPv6 prefixes into an
// engine, answers longest-prefix-match lookups and cross-checks every answer
// against a plain linear scan over the loaded prefixes.
//
// Uses only the public headers. Exit status 0 when every answer agrees.
#include <korvane/korvane.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double micros_since(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

struct Route {
  korvane::IpPrefix prefix;
  std::string text;
  std::string value;
  std::string country;
};

const char* const kCountries[] = {"de", "fr", "nl", "us", "br", "jp", "in", "za", "au", "se"};

// "a.b.c.d/len" with the host bits cleared.
std::string v4_prefix_text(std::uint32_t address, unsigned length) {
  if (length < 32) address &= length == 0 ? 0U : ~0U << (32 - length);
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF) + "/" +
         std::to_string(length);
}

// Eight full hexadecimal groups and "/len", host bits cleared.
std::string v6_prefix_text(std::uint64_t high, std::uint64_t low, unsigned length) {
  if (length <= 64) {
    low = 0;
    if (length < 64) high &= length == 0 ? 0U : ~0ULL << (64 - length);
  } else if (length < 128) {
    low &= ~0ULL << (128 - length);
  }
  std::string text;
  char group[8];
  for (int i = 0; i < 8; ++i) {
    const std::uint64_t word = i < 4 ? high : low;
    const unsigned shift = 48 - 16 * (i % 4);
    std::snprintf(group, sizeof group, "%x", static_cast<unsigned>((word >> shift) & 0xFFFF));
    if (i > 0) text += ':';
    text += group;
  }
  return text + "/" + std::to_string(length);
}

// First 64 bits of an IPv6 address in one of a few registry blocks, within a
// few thousand /32s.
std::uint64_t v6_high_bits(std::mt19937_64& rng) {
  static const std::uint64_t kBlocks[] = {0x2001, 0x2400, 0x2600, 0x2800, 0x2a00, 0x2c0f};
  return (kBlocks[rng() % std::size(kBlocks)] << 48) | ((rng() % 1024) << 32) | (rng() & 0xFFFFFFFFULL);
}

// Deterministic pseudo-random routes: IPv4 /8../24 (many /24s nested inside
// earlier /16s) and IPv6 /29../48 in a few registry blocks.
std::vector<Route> make_routes(std::size_t v4_count, std::size_t v6_count) {
  std::mt19937_64 rng(20240601);
  std::vector<std::string> texts;
  std::unordered_set<std::string> seen;
  std::vector<std::uint32_t> v4_blocks;  // the /16s generated so far
  const unsigned v4_lengths[] = {8, 12, 16, 16, 18, 20, 22, 23, 24, 24, 24, 24, 24};
  while (texts.size() < v4_count) {
    const unsigned length = v4_lengths[rng() % std::size(v4_lengths)];
    std::uint32_t address = static_cast<std::uint32_t>(rng());
    if (length > 16 && !v4_blocks.empty() && rng() % 2 == 0) {
      address = v4_blocks[rng() % v4_blocks.size()] | (address & 0xFFFFU);
    }
    const unsigned first = address >> 24;
    if (first == 0 || first == 10 || first == 127 || first >= 224) continue;
    if (length == 16) v4_blocks.push_back(address & 0xFFFF0000U);
    std::string text = v4_prefix_text(address, length);
    if (seen.insert(text).second) texts.push_back(std::move(text));
  }
  const unsigned v6_lengths[] = {29, 32, 32, 36, 40, 44, 48, 48, 48};
  while (texts.size() < v4_count + v6_count) {
    const unsigned length = v6_lengths[rng() % std::size(v6_lengths)];
    std::string text = v6_prefix_text(v6_high_bits(rng), 0, length);
    if (seen.insert(text).second) texts.push_back(std::move(text));
  }

  std::vector<Route> routes;
  routes.reserve(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::optional<korvane::IpPrefix> prefix = korvane::parse_prefix(texts[i]);
    if (!prefix) {
      std::fprintf(stderr, "%s\n", korvane::invalid_prefix_message(texts[i]).c_str());
      continue;
    }
    routes.push_back({*prefix, korvane::format_prefix(*prefix), "AS" + std::to_string(64512 + i),
                      kCountries[i % std::size(kCountries)]});
  }
  return routes;
}

// The most specific route covering the address, by scanning every route.
const Route* linear_match(const std::vector<Route>& routes, const korvane::IpAddress& address) {
  const Route* best = nullptr;
  for (const Route& route : routes) {
    if (route.prefix.covers(address) && (best == nullptr || route.prefix.length > best->prefix.length)) {
      best = &route;
    }
  }
  return best;
}

// Lookup texts, alternately IPv4 and IPv6: half inside a loaded prefix
// (random host bits), half random (IPv4 anywhere, IPv6 in the same registry
// blocks as the prefixes).
std::vector<std::string> make_queries(const std::vector<Route>& routes, std::size_t count) {
  std::mt19937_64 rng(7);
  std::vector<std::string> queries;
  while (queries.size() < count) {
    const bool v6 = queries.size() % 2 == 1;
    if (rng() % 2 == 0) {
      const Route& route = routes[rng() % routes.size()];
      if ((route.prefix.family == korvane::AddressFamily::V6) != v6) continue;
      korvane::IpAddress address = route.prefix.address();
      const unsigned bits = korvane::address_width_bits(address.family);
      for (unsigned bit = route.prefix.length; bit < bits; ++bit) {
        if (rng() % 2 == 0) address.bytes[bit / 8] ^= static_cast<std::uint8_t>(0x80U >> (bit % 8));
      }
      queries.push_back(korvane::format_address(address));
    } else if (!v6) {
      queries.push_back(v4_prefix_text(static_cast<std::uint32_t>(rng()), 32));
      queries.back().resize(queries.back().size() - 3);  // drop "/32"
    } else {
      std::string text = v6_prefix_text(v6_high_bits(rng), rng(), 128);
      queries.push_back(text.substr(0, text.size() - 4));  // drop "/128"
    }
  }
  return queries;
}

std::string describe(const std::optional<korvane::Metadata>& record) {
  if (!record) return "(no match)";
  std::string text = record->value();
  // for_each_attribute reads a stored record's attributes as they are kept;
  // attributes() would build (and keep) a map of them first.
  record->for_each_attribute([&](std::string_view key, std::string_view value) {
    text.append(" ").append(key).append("=").append(value);
  });
  return text;
}

void print_match(const korvane::IpAddress& address, const std::optional<korvane::Metadata>& record,
                 const Route* via) {
  if (via == nullptr) {
    std::printf("  %-40s -> %s\n", korvane::format_address(address).c_str(), describe(record).c_str());
  } else {
    std::printf("  %-40s -> %-24s  via %s\n", korvane::format_address(address).c_str(), describe(record).c_str(),
                via->text.c_str());
  }
}

}  // namespace

int main() {
  const korvane::EngineHandle engine = korvane::create_engine(korvane::EngineConfig::for_variant("standard"));

  const std::vector<Route> routes = make_routes(3000, 1500);
  auto start = Clock::now();
  for (const Route& route : routes) {
    const korvane::InsertStatus status =
        engine->insert(route.prefix, korvane::Metadata(route.value, {{"country", route.country}}));
    if (status) {
      std::fprintf(stderr, "insert %s failed: %s\n", route.text.c_str(), status->c_str());
      return 1;
    }
  }
  const double insert_us = micros_since(start);
  std::printf("Loaded %llu prefixes (%zu generated) in %.1f ms\n",
              static_cast<unsigned long long>(engine->len()), routes.size(), insert_us / 1000.0);

  const std::vector<std::string> queries = make_queries(routes, 400);
  std::vector<korvane::IpAddress> addresses;
  for (const std::string& text : queries) {
    const std::optional<korvane::IpAddress> address = korvane::parse_address(text);
    if (!address) {
      std::fprintf(stderr, "%s\n", korvane::invalid_address_message(text).c_str());
      return 1;
    }
    addresses.push_back(*address);
  }

  std::vector<std::optional<korvane::Metadata>> answers;
  answers.reserve(addresses.size());
  start = Clock::now();
  for (const korvane::IpAddress& address : addresses) answers.push_back(engine->lookup(address));
  const double lookup_us = micros_since(start);

  std::printf("\nSample lookups:\n");
  int mismatches = 0;
  const Route* removable = nullptr;
  korvane::IpAddress removable_address;
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    const Route* expected = linear_match(routes, addresses[i]);
    const bool agrees = expected == nullptr ? !answers[i].has_value()
                                            : answers[i].has_value() && answers[i]->value() == expected->value;
    if (!agrees) {
      ++mismatches;
      std::printf("  MISMATCH %s -> %s, expected %s\n", korvane::format_address(addresses[i]).c_str(),
                  describe(answers[i]).c_str(), expected ? expected->value.c_str() : "(no match)");
    }
    if (i < 10) print_match(addresses[i], answers[i], expected);
    // For the removal below: a matched prefix inside a shorter one.
    if (removable == nullptr && expected != nullptr && expected->prefix.length >= 24 &&
        expected->prefix.length < korvane::address_width_bits(expected->prefix.family) &&
        std::any_of(routes.begin(), routes.end(), [&](const Route& r) {
          return r.prefix.length < expected->prefix.length && r.prefix.covers(expected->prefix.address());
        })) {
      removable = expected;
      removable_address = addresses[i];
    }
  }

  // Removing the matched prefix makes the next covering prefix (if any)
  // match. The probe is an address inside it that was not looked up before.
  if (removable != nullptr) {
    korvane::IpAddress probe = removable_address;
    const unsigned last_bit = korvane::address_width_bits(probe.family) - 1;
    for (unsigned bit = last_bit; bit >= removable->prefix.length; --bit) {
      probe.bytes[bit / 8] ^= static_cast<std::uint8_t>(0x80U >> (bit % 8));
      if (std::find(addresses.begin(), addresses.end(), probe) == addresses.end()) break;
    }
    const std::optional<korvane::Metadata> removed = engine->remove(removable->prefix);
    std::vector<Route> remaining;
    for (const Route& route : routes) {
      if (&route != removable) remaining.push_back(route);
    }
    const Route* fallback = linear_match(remaining, probe);
    const std::optional<korvane::Metadata> after = engine->lookup(probe);
    std::printf("\nAfter removing %s (%s):\n", removable->text.c_str(), describe(removed).c_str());
    print_match(probe, after, fallback);
    const bool agrees = fallback == nullptr ? !after.has_value()
                                            : after.has_value() && after->value() == fallback->value;
    if (!removed || removed->value() != removable->value || !agrees || engine->contains(removable->prefix)) {
      ++mismatches;
      std::printf("  MISMATCH after removal, expected %s\n", fallback ? fallback->value.c_str() : "(no match)");
    }
  }

  const korvane::EngineStats stats = engine->stats();
  std::printf("\nSummary:\n");
  std::printf("  prefixes      %llu\n", static_cast<unsigned long long>(stats.size));
  std::printf("  inserts       %llu\n", static_cast<unsigned long long>(stats.inserts));
  std::printf("  lookups       %llu (hits %llu, misses %llu)\n", static_cast<unsigned long long>(stats.lookups),
              static_cast<unsigned long long>(stats.hits), static_cast<unsigned long long>(stats.misses));
  std::printf("  removals      %llu\n", static_cast<unsigned long long>(stats.removals));
  std::printf("  insert time   %.1f ms (%.2f us per prefix)\n", insert_us / 1000.0,
              insert_us / static_cast<double>(routes.size()));
  std::printf("  lookup time   %.1f ms (%.2f us per lookup)\n", lookup_us / 1000.0,
              lookup_us / static_cast<double>(addresses.size()));
  std::printf("  cross-check   %zu lookups against a linear scan: %s\n", addresses.size(),
              mismatches == 0 ? "all agree" : "MISMATCHES");
  return mismatches == 0 ? 0 : 1;
}
