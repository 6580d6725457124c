// Reading and writing the text forms of addresses and prefixes.
//
// Thread safety: pure functions of their arguments.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "korvane/types.hpp"

namespace korvane {

// Parses a subnet text: an IPv4 dotted quad with an optional "/length"
// (decimal, optional "+", leading zeros allowed, at most 32) or "/netmask"
// (a dotted quad made of leading one bits), or an RFC 4291 IPv6 address with
// an optional "/length" (at most 128). A bare address is a host prefix. The
// address keeps its host bits. Reads only the given characters and does not
// allocate. Absent when the text is not a subnet.
std::optional<IpPrefix> parse_prefix(std::string_view text) noexcept;

// Parses an address text: a whole IPv4 dotted quad, else a whole IPv6
// address. No length part. Absent when the text is not an address.
std::optional<IpAddress> parse_address(std::string_view text) noexcept;

// "Invalid CIDR '<text>': invalid address: <text>"
std::string invalid_prefix_message(std::string_view text);
// "Invalid IP address: <text>"
std::string invalid_address_message(std::string_view text);

// Longest address text: an IPv6 address with an embedded IPv4 address.
inline constexpr std::size_t kMaxAddressTextLength = 45;
// Longest prefix text: address, "/" and three digits.
inline constexpr std::size_t kMaxPrefixTextLength = kMaxAddressTextLength + 4;

// Writes the address: IPv4 in dotted decimal, IPv6 in the canonical form of
// RFC 5952 (an IPv4-mapped address as ::ffff:a.b.c.d). `out` must hold at
// least kMaxAddressTextLength characters; returns the number written. No
// terminating NUL is written.
std::size_t format_address(const IpAddress& address, char* out) noexcept;
std::string format_address(const IpAddress& address);

// Writes the prefix as address text (host bits as stored), "/" and the
// length in decimal.
std::string format_prefix(const IpPrefix& prefix);

}  // namespace korvane
