// Address and prefix text: acceptance tables, RFC 5952 output, round trips,
// and a differential check against the C library's inet_pton/inet_ntop,
// whose glibc versions implement the same strict grammar.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <string_view>

#include "korvane/address.hpp"

using namespace std::string_view_literals;
using korvane::AddressFamily;
using korvane::IpAddress;
using korvane::IpPrefix;

// Counts heap allocations while `g_counting` is set: the parsers promise none.
namespace {
bool g_counting = false;
long g_allocations = 0;
}  // namespace
void* operator new(std::size_t n) {
  if (g_counting) ++g_allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Notation of the tables: the meaningful address bytes in hex (8 digits for
// V4, 32 for V6), "/" and the length; "-" for no result. A V4 value with
// stray bytes past the fourth shows all 32 digits with a "V4!" mark.
std::string describe(const std::optional<IpPrefix>& p) {
  if (!p) return "-";
  const bool clean_v4 = p->family == AddressFamily::V4 &&
                        std::all_of(p->bytes.begin() + 4, p->bytes.end(), [](auto b) { return b == 0; });
  std::string out = p->family == AddressFamily::V4 && !clean_v4 ? "V4!" : "";
  for (std::size_t i = 0; i < (clean_v4 ? 4 : 16); ++i) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += kHex[p->bytes[i] >> 4];
    out += kHex[p->bytes[i] & 0xf];
  }
  return out + "/" + std::to_string(p->length);
}
std::string describe(const std::optional<IpAddress>& a) {
  return a ? describe(IpPrefix::of(*a, a->family == AddressFamily::V4 ? 32 : 128)) : "-";
}
IpPrefix from_notation(std::string_view s) {
  const std::size_t slash = s.find('/');
  IpAddress a;
  a.family = slash == 8 ? AddressFamily::V4 : AddressFamily::V6;
  for (std::size_t i = 0; i < slash / 2; ++i) {
    a.bytes[i] = static_cast<std::uint8_t>(std::stoul(std::string(s.substr(2 * i, 2)), nullptr, 16));
  }
  return IpPrefix::of(a, static_cast<std::uint8_t>(std::stoul(std::string(s.substr(slash + 1)))));
}

// Parses from an exactly sized heap copy, so that AddressSanitizer reports
// any read past the view.
template <typename Parse>
auto parse_exact(Parse parse, std::string_view text) {
  auto copy = std::make_unique<char[]>(text.size());
  std::copy(text.begin(), text.end(), copy.get());
  return parse(std::string_view(copy.get(), text.size()));
}

struct Case {
  std::string_view text;
  std::string_view expected;
};

const Case kPrefixCases[] = {
    // IPv4 lengths in every accepted spelling; host bits stay as written.
    {"10.0.0.0/8", "0a000000/8"}, {"10.1.2.3/8", "0a010203/8"}, {"10.0.0.0/+8", "0a000000/8"},
    {"10.0.0.0/08", "0a000000/8"}, {"10.0.0.0/255.0.0.0", "0a000000/8"},
    {"10.0.0.0/+000000000000000000000008", "0a000000/8"}, {"10.0.0.0/0000000000000000032", "0a000000/32"},
    {"192.0.2.1", "c0000201/32"}, {"0.0.0.0/0", "00000000/0"}, {"255.255.255.255/32", "ffffffff/32"},
    {"10.0.0.0/255.255.240.0", "0a000000/20"}, {"10.0.0.0/0.0.0.0", "0a000000/0"},
    {"10.0.0.0/255.255.255.255", "0a000000/32"}, {"1.2.3.4/128.0.0.0", "01020304/1"},
    {"10.0.0.0/33", "-"}, {"10.0.0.0/", "-"}, {"10.0.0.0/8/8", "-"}, {"10.0.0.0//8", "-"}, {"/8", "-"},
    {"", "-"}, {"/", "-"}, {"010.0.0.0/8", "-"}, {"10.0.0/8", "-"}, {"10.0.0.0.0", "-"}, {"1..2.3", "-"},
    {"1.2.3.4.", "-"}, {".1.2.3", "-"}, {"256.0.0.0", "-"}, {"1000.0.0.0", "-"}, {"10.0.0.0/255.0.255.0", "-"},
    {"10.0.0.0/0.255.255.255", "-"}, {"10.0.0.0/255.000.0.0", "-"}, {"10.0.0.0/++8", "-"}, {"10.0.0.0/-8", "-"},
    {"10.0.0.0/+", "-"}, {"10.0.0.0/8 ", "-"}, {" 10.0.0.0/8", "-"}, {"10.0.0.0/0x8", "-"},
    {"10.0.0.0/4294967304", "-"}, {"10.0.0.0/99999999999999999999999999", "-"}, {"10.0.0.\xff", "-"},
    {"10.0.0.1\0"sv, "-"}, {" 10.0.0.1", "-"}, {"10.0.0.1 ", "-"}, {"10.0.0.1/32", "0a000001/32"},
    // IPv6.
    {"2001:db8::1", "20010db8000000000000000000000001/128"}, {"2001:DB8::/32", "20010db8000000000000000000000000/32"},
    {"2001:db8::/+0032", "20010db8000000000000000000000000/32"}, {"::", "00000000000000000000000000000000/128"},
    {"::/0", "00000000000000000000000000000000/0"}, {"1::", "00010000000000000000000000000000/128"},
    {"::1:2:3:4:5:6:7", "00000001000200030004000500060007/128"},
    {"1:2:3:4:5:6:7::", "00010002000300040005000600070000/128"},
    {"1:2:3::4:5:6:7", "00010002000300000004000500060007/128"},
    {"0000:0000:0000:0000:0000:0000:0000:0001", "00000000000000000000000000000001/128"},
    {"abcd:EF01:2345:6789:aBcD:ef01:2345:6789", "abcdef0123456789abcdef0123456789/128"},
    {"::ffff:10.0.0.1/104", "00000000000000000000ffff0a000001/104"},
    {"1:2:3:4:5:6:1.2.3.4", "00010002000300040005000601020304/128"},
    {"::1.2.3.4", "00000000000000000000000001020304/128"},
    {"2001:db8::/129", "-"}, {"2001:db8::/255.255.0.0", "-"}, {"2001:db8::/", "-"}, {"::/4294967424", "-"},
    {"::ffff:10.0.0.1", "00000000000000000000ffff0a000001/128"}, {"fe80::1%1", "-"}, {"fe80::1%eth0", "-"}, {"[::1]", "-"}, {"[::1]/128", "-"}, {"1:2:3:4:5:6:7:8:9", "-"}, {":::", "-"},
    {"1:::2", "-"}, {":1::", "-"}, {":", "-"}, {"1:", "-"}, {"::1:", "-"}, {"1::2::3", "-"}, {"1:2:3:4:5:6:7", "-"},
    {"1:2:3:4:5:6:7:8::", "-"}, {"::1:2:3:4:5:6:7:8", "-"}, {"1::2:3:4:5:6:7:8", "-"}, {"12345::", "-"},
    {"g::", "-"}, {"1:2:3:4:5:6:7:1.2.3.4", "-"}, {"1:2:3:4:5:6::1.2.3.4", "-"}, {"::01.2.3.4", "-"},
    {"::1.2.3.4:5", "-"}, {"::1.2.3", "-"}, {"1.2.3.4::", "-"}, {"::a.b.c.d", "-"},
};

TEST(ParseText, Table) {
  for (const auto& [text, expected] : kPrefixCases) {
    EXPECT_EQ(describe(parse_exact(korvane::parse_prefix, text)), expected) << "prefix: " << text;
    // A text is an address exactly when it is a prefix without a length part.
    const bool bare = text.find('/') == std::string_view::npos;
    EXPECT_EQ(describe(parse_exact(korvane::parse_address, text)), bare ? expected : "-") << "address: " << text;
  }
}

TEST(ParseText, ReadsOnlyTheView) {
  const struct {
    std::string_view buffer;
    std::size_t size;
    std::string_view expected;
  } cases[] = {
      {"10.0.0.12", 8, "0a000001/32"}, {"10.0.0.0/80", 10, "0a000000/8"}, {"10.0.0.0/", 8, "0a000000/32"},
      {"10.0.0.0/8/8", 10, "0a000000/8"}, {"10.0.0.0/255.255.255.0", 18, "-"},
      {"2001:db8::12", 11, "20010db8000000000000000000000001/128"},
      {"::ffff:1.2.3.45", 14, "00000000000000000000ffff01020304/128"},
      {"1::/64x", 6, "00010000000000000000000000000000/64"}, {"1:2:3:4:5:6:7:8", 14, "-"},
  };
  for (const auto& c : cases) {
    const std::string_view view = c.buffer.substr(0, c.size);
    EXPECT_EQ(describe(korvane::parse_prefix(view)), c.expected) << view;
    if (view.find('/') == std::string_view::npos) {
      EXPECT_EQ(describe(korvane::parse_address(view)), c.expected) << view;
    }
  }
}

TEST(ParseText, DoesNotAllocate) {
  g_counting = true;
  for (const auto& c : kPrefixCases) {
    (void)korvane::parse_prefix(c.text);
    (void)korvane::parse_address(c.text);
  }
  g_counting = false;
  EXPECT_EQ(g_allocations, 0);
}

TEST(ParseText, Messages) {
  EXPECT_EQ(korvane::invalid_prefix_message("10.0.0.0/33"),
            "Invalid CIDR '10.0.0.0/33': invalid address: 10.0.0.0/33");
  EXPECT_EQ(korvane::invalid_address_message(" 10.0.0.1"), "Invalid IP address:  10.0.0.1");
}

// The forms where RFC 5952 and glibc's inet_ntop part ways (the round trip
// below checks every other address against inet_ntop).
TEST(FormatAddress, CanonicalText) {
  const Case cases[] = {
      {"000000000000000000000000c0000201/128", "::c000:201"},
      {"00000000000000000000ffffc0000201/128", "::ffff:192.0.2.1"},
      {"0000000000000000ffff0000c0000201/128", "::ffff:0:c000:201"},
      {"00000000000000000001ffffc0000201/128", "::1:ffff:c000:201"},
  };
  for (const auto& [notation, expected] : cases) {
    EXPECT_EQ(korvane::format_address(from_notation(notation).address()), expected) << notation;
  }
}

// ---- Properties against the C library ------------------------------------

std::optional<IpAddress> reference_address(const std::string& text) {
  if (text.find('\0') != std::string::npos) return std::nullopt;
  IpAddress a;
  if (inet_pton(AF_INET, text.c_str(), a.bytes.data()) == 1) return a;
  a.family = AddressFamily::V6;
  if (inet_pton(AF_INET6, text.c_str(), a.bytes.data()) == 1) return a;
  return std::nullopt;
}

int reference_length(std::string text, int max) {
  if (!text.empty() && text[0] == '+') text.erase(0, 1);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return -1;
  text.erase(0, std::min(text.find_first_not_of('0'), text.size() - 1));
  return text.size() <= 3 && std::stoi(text) <= max ? std::stoi(text) : -1;
}

std::optional<IpPrefix> reference_prefix(const std::string& text) {
  const std::size_t slash = text.find('/');
  const auto address = reference_address(text.substr(0, slash));
  if (!address) return std::nullopt;
  if (slash == std::string::npos) return IpPrefix::of(*address, address->family == AddressFamily::V4 ? 32 : 128);
  const std::string rest = text.substr(slash + 1);
  if (rest.find('/') != std::string::npos) return std::nullopt;
  int length = reference_length(rest, address->family == AddressFamily::V4 ? 32 : 128);
  const auto mask = reference_address(rest);
  if (address->family == AddressFamily::V4 && mask && mask->family == AddressFamily::V4) {
    length = 0;
    while (length < 32 && mask->bit(static_cast<unsigned>(length))) ++length;
    for (unsigned i = static_cast<unsigned>(length); i < 32; ++i) length = mask->bit(i) ? -1 : length;
  }
  if (length < 0) return std::nullopt;
  return IpPrefix::of(*address, static_cast<std::uint8_t>(length));
}

// Random addresses with many zero groups and embedded IPv4 forms, so that
// the "::" choice and the mapped form are exercised, and dense ones (eight
// groups, mostly of four digits), as most addresses in real tables are.
IpAddress random_address(std::mt19937_64& rng) {
  IpAddress a;
  if (rng() % 3 == 0) return IpAddress::v4(rng() % 256, rng() % 256, rng() % 256, rng() % 256);
  a.family = AddressFamily::V6;
  if (rng() % 3 == 0) {
    for (auto& byte : a.bytes) byte = rng() % 256;
    return a;
  }
  for (std::size_t i = 0; i < 16; i += 2) {
    if (rng() % 2 == 0) continue;
    a.bytes[i] = rng() % 4 == 0 ? rng() % 256 : 0;
    a.bytes[i + 1] = rng() % 256;
  }
  if (rng() % 8 == 0) std::fill(a.bytes.begin(), a.bytes.begin() + 12, 0);
  if (rng() % 8 == 0) std::fill(a.bytes.begin(), a.bytes.begin() + 10, 0), a.bytes[10] = a.bytes[11] = 0xff;
  return a;
}

TEST(AddressText, RoundTripAndAgreesWithInetNtop) {
  std::mt19937_64 rng(20240611);
  for (int n = 0; n < 50000; ++n) {
    const IpAddress a = random_address(rng);
    const std::string text = korvane::format_address(a);
    ASSERT_LE(text.size(), korvane::kMaxAddressTextLength);
    ASSERT_EQ(describe(korvane::parse_address(text)), describe(a)) << text;
    const IpPrefix p = IpPrefix::of(a, rng() % (korvane::address_width_bits(a.family) + 1));
    ASSERT_EQ(korvane::parse_prefix(korvane::format_prefix(p)), p) << korvane::format_prefix(p);

    // glibc writes ::a.b.c.d (the deprecated IPv4-compatible form) where
    // RFC 5952 asks for hex; everything else must match it byte for byte.
    const bool compatible = a.family == AddressFamily::V6 &&
                            std::all_of(a.bytes.begin(), a.bytes.begin() + 12, [](auto b) { return b == 0; }) &&
                            (a.bytes[12] != 0 || a.bytes[13] != 0);
    char ntop[INET6_ADDRSTRLEN];
    if (!compatible) {
      inet_ntop(a.family == AddressFamily::V4 ? AF_INET : AF_INET6, a.bytes.data(), ntop, sizeof ntop);
      ASSERT_EQ(text, ntop);
    }
  }
}

TEST(AddressText, MutatedTextsAgreeWithInetPton) {
  static constexpr std::string_view kAlphabet = "0123456789abcdefABCDEFgx:./+% ";
  std::mt19937_64 rng(7);
  for (int n = 0; n < 100000; ++n) {
    std::string text = korvane::format_address(random_address(rng));
    if (rng() % 2 == 0) text += "/" + std::to_string(rng() % 140);
    for (int edits = 1 + rng() % 3; edits > 0; --edits) {
      const std::size_t at = rng() % (text.size() + 1);
      const char c = kAlphabet[rng() % kAlphabet.size()];
      switch (rng() % 4) {
        case 0: text.insert(at, 1, c); break;
        case 1: if (at < text.size()) text.erase(at, 1); break;
        case 2: if (at < text.size()) text[at] = c; break;
        default: if (!text.empty()) text.insert(at, text.substr(rng() % text.size(), 1 + rng() % 4)); break;
      }
    }
    ASSERT_EQ(describe(korvane::parse_address(text)), describe(reference_address(text))) << text;
    ASSERT_EQ(describe(korvane::parse_prefix(text)), describe(reference_prefix(text))) << text;
  }
}

}  // namespace
