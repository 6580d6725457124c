// The 128-bit key space of the path-compressed trie. Bit i of a key is bit
// 127 - i of the integer, so key bit 0 is the most significant bit; edges are
// packed the same way from bit 0. An IPv6 address is its own key; an IPv4
// address a.b.c.d is twelve zero bytes followed by a, b, c, d, and an IPv4
// prefix of length L has key length 96 + L.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "korvane/types.hpp"

namespace korvane::trie {

__extension__ typedef unsigned __int128 u128;

constexpr u128 make_u128(std::uint64_t hi, std::uint64_t lo) noexcept {
  return (static_cast<u128>(hi) << 64) | lo;
}
constexpr std::uint64_t high_word(u128 x) noexcept { return static_cast<std::uint64_t>(x >> 64); }
constexpr std::uint64_t low_word(u128 x) noexcept { return static_cast<std::uint64_t>(x); }

constexpr u128 shift_left(u128 x, unsigned n) noexcept { return n >= 128 ? 0 : x << n; }
constexpr u128 shift_right(u128 x, unsigned n) noexcept { return n >= 128 ? 0 : x >> n; }

// The top `len` bits set.
constexpr u128 top_mask(unsigned len) noexcept {
  if (len == 0) return 0;
  if (len >= 128) return ~u128{0};
  return ~(~u128{0} >> len);
}

constexpr unsigned bit_at(u128 key, unsigned i) noexcept {
  return i >= 128 ? 0u : static_cast<unsigned>((key >> (127 - i)) & 1u);
}

// Key bits from .. from + len - 1, packed from bit 0; bits past 127 read 0.
constexpr u128 key_bits(u128 key, unsigned from, unsigned len) noexcept {
  return shift_left(key, from) & top_mask(len);
}

// First index below `limit` where a and b differ, or `limit`.
inline unsigned first_difference(u128 a, u128 b, unsigned limit) noexcept {
  const u128 x = (a ^ b) & top_mask(limit);
  if (x == 0) return limit;
  const std::uint64_t hi = high_word(x);
  const unsigned index = hi != 0 ? static_cast<unsigned>(__builtin_clzll(hi))
                                 : 64u + static_cast<unsigned>(__builtin_clzll(low_word(x)));
  return std::min(index, limit);
}

// A big-endian word of `bytes`, loaded whole: a byte at a time, an address's
// key took a shift and an or per byte on every lookup.
template <class Word>
inline Word load_big_endian(const std::uint8_t* bytes) noexcept {
  Word word;
  std::memcpy(&word, bytes, sizeof word);
  if constexpr (std::endian::native == std::endian::little) {
    if constexpr (sizeof(Word) == 4) return __builtin_bswap32(word);
    else return __builtin_bswap64(word);
  }
  return word;
}

inline u128 address_key(const IpAddress& address) noexcept {
  if (address.family == AddressFamily::V4) return load_big_endian<std::uint32_t>(address.bytes.data());
  return make_u128(load_big_endian<std::uint64_t>(address.bytes.data()),
                   load_big_endian<std::uint64_t>(address.bytes.data() + 8));
}

struct PrefixKey {
  u128 bits;        // host bits cleared
  unsigned length;  // 96 + L for IPv4, L for IPv6
};

inline PrefixKey prefix_key(const IpPrefix& prefix) noexcept {
  const unsigned length = prefix.family == AddressFamily::V4 ? 96u + prefix.length : prefix.length;
  return {address_key(prefix.address()) & top_mask(length), length};
}

}  // namespace korvane::trie
