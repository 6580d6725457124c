// libFuzzer harness for the address and prefix text parsers.
//
// Any byte string must be handled without reading past it (libFuzzer hands
// over an exactly sized heap copy, so AddressSanitizer sees any overread),
// and whatever is accepted must survive formatting and reparsing. Any broken
// property aborts, which libFuzzer reports as a crash with the input saved.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "korvane/address.hpp"

#if defined(__GLIBC__)
#include <arpa/inet.h>
#endif

namespace {

using korvane::AddressFamily;
using korvane::IpAddress;
using korvane::IpPrefix;

void check(bool ok) {
  if (!ok) std::abort();
}

// Clears the host bits. Kept local so the harness needs nothing but the
// parser's own translation unit.
IpPrefix masked(IpPrefix prefix) {
  for (unsigned i = prefix.length; i < 128; ++i) {
    prefix.bytes[i / 8] = static_cast<std::uint8_t>(prefix.bytes[i / 8] & ~(0x80U >> (i % 8)));
  }
  return prefix;
}

bool well_formed(const IpPrefix& prefix) {
  if (prefix.length > korvane::address_width_bits(prefix.family)) return false;
  if (prefix.family == AddressFamily::V6) return true;
  for (std::size_t i = 4; i < 16; ++i) {
    if (prefix.bytes[i] != 0) return false;
  }
  return true;
}

void check_prefix(std::string_view text, const std::optional<IpPrefix>& prefix) {
  if (!prefix) {
    // "Invalid CIDR '" and "': invalid address: " around two copies.
    check(korvane::invalid_prefix_message(text).size() == 34 + 2 * text.size());
    return;
  }
  check(well_formed(*prefix));
  const std::string formatted = korvane::format_prefix(*prefix);
  check(formatted.size() <= korvane::kMaxPrefixTextLength);
  const auto again = korvane::parse_prefix(formatted);
  check(again.has_value());
  check(masked(*again) == masked(*prefix));
  // Host bits are written as stored, so nothing at all may change, and the
  // written text is a fixed point.
  check(*again == *prefix);
  check(korvane::format_prefix(*again) == formatted);
}

void check_address(std::string_view text, const std::optional<IpAddress>& address,
                   const std::optional<IpPrefix>& prefix) {
  // Without a length part a text is a prefix exactly when it is an address,
  // and then the host prefix of that address.
  if (text.find('/') == std::string_view::npos) {
    check(address.has_value() == prefix.has_value());
    if (address) {
      check(prefix->address() == *address);
      check(prefix->length == korvane::address_width_bits(address->family));
    }
  } else {
    check(!address.has_value());
  }
  if (!address) return;

  char buffer[korvane::kMaxAddressTextLength];
  const std::size_t n = korvane::format_address(*address, buffer);
  check(n > 0 && n <= korvane::kMaxAddressTextLength);
  const auto again = korvane::parse_address(std::string_view(buffer, n));
  check(again.has_value() && *again == *address);
  check(korvane::format_address(*address) == std::string_view(buffer, n));
}

#if defined(__GLIBC__)
// glibc's inet_pton reads the same strict grammar for whole addresses, and
// its inet_ntop writes RFC 5952 text.
void check_against_inet_pton(std::string_view text, const std::optional<IpAddress>& address) {
  if (text.find('\0') != std::string_view::npos || text.size() > 64) return;
  const std::string terminated(text);
  IpAddress expected;
  bool found = inet_pton(AF_INET, terminated.c_str(), expected.bytes.data()) == 1;
  if (!found) {
    expected.family = AddressFamily::V6;
    found = inet_pton(AF_INET6, terminated.c_str(), expected.bytes.data()) == 1;
  }
  check(found == address.has_value());
  if (!found) return;
  check(expected == *address);

  // inet_ntop writes the same canonical text, except that it keeps the
  // deprecated IPv4-compatible form ::a.b.c.d, which RFC 5952 writes in hex.
  bool compatible = address->family == AddressFamily::V6 && (address->bytes[12] | address->bytes[13]) != 0;
  for (std::size_t i = 0; i < 12 && compatible; ++i) compatible = address->bytes[i] == 0;
  if (compatible) return;
  char reference[INET6_ADDRSTRLEN];
  inet_ntop(address->family == AddressFamily::V4 ? AF_INET : AF_INET6, address->bytes.data(), reference,
            sizeof reference);
  check(korvane::format_address(*address) == reference);
}
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto prefix = korvane::parse_prefix(text);
  const auto address = korvane::parse_address(text);
  check_prefix(text, prefix);
  check_address(text, address, prefix);
#if defined(__GLIBC__)
  check_against_inet_pton(text, address);
#endif
  return 0;
}
