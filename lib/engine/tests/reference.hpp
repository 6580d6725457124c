// A deliberately simple model of a prefix table (a linear scan), and random
// prefix and address generators, for comparing the engines against; and
// what the engine tests share besides: the engines under test, and threads
// that race writers against readers.
#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <latch>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "korvane/address.hpp"
#include "korvane/engine.hpp"
#include "korvane/local_engine.hpp"
#include "korvane/types.hpp"

namespace korvane::testing {

// Sanitizer builds run 5 to 50 times slower: long randomized runs shorten
// there (the races they look for need interleavings, not length).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

inline IpPrefix P(std::string_view text) { return parse_prefix(text).value(); }
inline IpAddress A(std::string_view text) { return parse_address(text).value(); }

// A record's value, or nothing: the form the reference answers in.
inline std::optional<std::string> value_of(const std::optional<Metadata>& record) {
  return record ? std::optional(record->value()) : std::nullopt;
}

// What an engine's for_each visits, in its order.
inline std::vector<std::pair<IpPrefix, std::string>> listing_of(const PrefixEngine& engine) {
  struct Collect final : EntryVisitor {
    std::vector<std::pair<IpPrefix, std::string>> out;
    void visit(const IpPrefix& prefix, const Metadata& record) override {
      out.emplace_back(prefix, std::string(record.value()));
    }
  } collect;
  engine.for_each(collect);
  return std::move(collect.out);
}

class ReferenceTable {
 public:
  struct Entry {
    IpPrefix prefix;
    std::string value;
  };

  // True when a new entry was created.
  bool insert(const IpPrefix& prefix, std::string value) {
    for (Entry& e : entries_) {
      if (e.prefix.same_entry(prefix)) {
        e = {prefix, std::move(value)};
        return false;
      }
    }
    entries_.push_back({prefix, std::move(value)});
    return true;
  }

  std::optional<std::string> remove(const IpPrefix& prefix) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].prefix.same_entry(prefix)) {
        std::string value = std::move(entries_[i].value);
        entries_[i] = std::move(entries_.back());
        entries_.pop_back();
        return value;
      }
    }
    return std::nullopt;
  }

  bool contains(const IpPrefix& prefix) const {
    for (const Entry& e : entries_) {
      if (e.prefix.same_entry(prefix)) return true;
    }
    return false;
  }

  std::optional<std::string> lookup(const IpAddress& address) const {
    const Entry* best = nullptr;
    for (const Entry& e : entries_) {
      if (e.prefix.covers(address) && (best == nullptr || e.prefix.length > best->prefix.length)) best = &e;
    }
    if (best == nullptr) return std::nullopt;
    return best->value;
  }

  void clear() { entries_.clear(); }
  std::size_t size() const { return entries_.size(); }
  const std::vector<Entry>& entries() const { return entries_; }
  // The entries as for_each lists them: host bits cleared, IPv4 first, then
  // by address and length.
  std::vector<std::pair<IpPrefix, std::string>> listing() const {
    std::vector<std::pair<IpPrefix, std::string>> out;
    for (const Entry& e : entries_) out.emplace_back(e.prefix.canonical(), e.value);
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return listing_order(a.first, b.first); });
    return out;
  }
  static bool listing_order(const IpPrefix& x, const IpPrefix& y) {
    return std::tie(x.family, x.bytes, x.length) < std::tie(y.family, y.bytes, y.length);
  }

 private:
  std::vector<Entry> entries_;
};

// Random prefixes that nest: most are drawn below a few shared ancestors, so
// that lookups have several covering candidates and the tries split often.
class PrefixGenerator {
 public:
  explicit PrefixGenerator(std::uint64_t seed) : rng_(seed) {
    for (int i = 0; i < 6; ++i) {
      roots_.push_back(random_prefix(AddressFamily::V4, 4 + static_cast<unsigned>(rng_() % 12)));
      roots_.push_back(random_prefix(AddressFamily::V6, 16 + static_cast<unsigned>(rng_() % 32)));
    }
    // IPv4-compatible IPv6 space: ::a.b.c.d shares its bits with a.b.c.d.
    IpPrefix compat;
    compat.family = AddressFamily::V6;
    compat.length = 96;
    roots_.push_back(compat);
  }

  IpPrefix next() {
    const unsigned choice = static_cast<unsigned>(rng_() % 10);
    if (choice == 0) {
      const auto family = (rng_() & 1) ? AddressFamily::V4 : AddressFamily::V6;
      return random_prefix(family, static_cast<unsigned>(rng_() % (address_width_bits(family) + 1)));
    }
    const IpPrefix& base = roots_[rng_() % roots_.size()];
    const unsigned width = address_width_bits(base.family);
    // Mostly a few bits below the base, sometimes the base itself or shorter.
    unsigned length = base.length + static_cast<unsigned>(rng_() % 20);
    if (choice == 1) length = static_cast<unsigned>(rng_() % (base.length + 1));
    if (length > width) length = width;
    IpPrefix p = base;
    p.length = static_cast<std::uint8_t>(length);
    randomise_bits(p, std::min<unsigned>(base.length, length), width);
    if (rng_() % 4 == 0) return p;  // host bits set
    return p.canonical();
  }

  // An IPv4 prefix re-expressed as its IPv4-compatible IPv6 twin.
  static IpPrefix compatible_twin(const IpPrefix& v4) {
    IpPrefix p;
    p.family = AddressFamily::V6;
    p.length = static_cast<std::uint8_t>(96 + v4.length);
    for (int i = 0; i < 4; ++i) p.bytes[12 + i] = v4.bytes[i];
    return p;
  }

  IpAddress address_inside(const IpPrefix& prefix) {
    IpPrefix p = prefix;
    randomise_bits(p, prefix.length, address_width_bits(prefix.family));
    return p.address();
  }

  IpAddress random_address() {
    const auto family = (rng_() & 1) ? AddressFamily::V4 : AddressFamily::V6;
    IpPrefix p = random_prefix(family, 0);
    return p.address();
  }

  std::mt19937_64& rng() { return rng_; }

 private:
  IpPrefix random_prefix(AddressFamily family, unsigned length) {
    IpPrefix p;
    p.family = family;
    p.length = static_cast<std::uint8_t>(length);
    randomise_bits(p, 0, address_width_bits(family));
    return p;
  }

  // Randomises bits [from, to) of the address.
  void randomise_bits(IpPrefix& p, unsigned from, unsigned to) {
    for (unsigned i = from; i < to; ++i) {
      const std::uint8_t mask = static_cast<std::uint8_t>(0x80u >> (i % 8));
      if (rng_() & 1) {
        p.bytes[i / 8] |= mask;
      } else {
        p.bytes[i / 8] &= static_cast<std::uint8_t>(~mask);
      }
    }
  }

  std::mt19937_64 rng_;
  std::vector<IpPrefix> roots_;
};

// `count` distinct prefixes drawn from `next()`.
template <class Next>
std::vector<IpPrefix> distinct_prefixes(std::size_t count, Next next) {
  std::vector<IpPrefix> out;
  while (out.size() < count) {
    const IpPrefix p = next();
    if (std::none_of(out.begin(), out.end(), [&](const IpPrefix& q) { return q.same_entry(p); })) out.push_back(p);
  }
  return out;
}

// A local engine under test: a trie of one node kind, or the adaptive radix
// tree (kind kArt), and its shard count.
struct TrieConfig {
  std::uint8_t kind;
  std::uint64_t shards;
};
inline constexpr std::uint8_t kArt = 255;

inline std::shared_ptr<const LocalEngine> make_engine(const TrieConfig& config) {
  return config.kind == kArt ? LocalEngine::make_art(config.shards) : LocalEngine::make_trie(config.kind, config.shards);
}

template <class ParamInfo>
std::string trie_config_name(const ParamInfo& info) {
  const std::string kind = info.param.kind == kArt ? "art" : "kind" + std::to_string(info.param.kind);
  return kind + "_shards" + std::to_string(info.param.shards);
}

// A handshake between threads: one advances to a stage, others await it.
class Stages {
 public:
  void advance(int to) {
    stage_.store(to);
    stage_.notify_all();
  }
  void await(int at) {
    for (int s = stage_.load(); s < at; s = stage_.load()) stage_.wait(s);
  }

 private:
  std::atomic<int> stage_{0};
};

// Runs the writers to completion while `readers` threads call read(reader)
// over and over; the writers start once every reader is running.
inline void race(const std::vector<std::function<void()>>& writers, int readers,
                 const std::function<void(int)>& read) {
  std::atomic<bool> done{false};
  std::latch running(readers);
  std::vector<std::thread> reading;
  for (int r = 0; r < readers; ++r) {
    reading.emplace_back([&, r] {
      running.count_down();
      while (!done.load(std::memory_order_acquire)) read(r);
    });
  }
  running.wait();
  std::vector<std::thread> writing(writers.begin(), writers.end());
  for (auto& t : writing) t.join();
  done.store(true, std::memory_order_release);
  for (auto& t : reading) t.join();
}

inline IpPrefix v4_prefix(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, std::uint8_t len) {
  return IpPrefix::of(IpAddress::v4(a, b, c, d), len);
}

}  // namespace korvane::testing
