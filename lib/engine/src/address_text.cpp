// Text forms of addresses and prefixes.
//
// The parsers are on the hot path of every Python call and of the Redis
// reload, so they work on the caller's characters in place: no copies, no
// allocation, and every read is bounded by the view's size (the view need not
// be NUL-terminated and usually is not).
#include "korvane/address.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvane {

namespace {

constexpr bool is_decimal_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Value of a hexadecimal digit of either case, or -1.
constexpr int hex_digit_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A view of text[begin, end); never throws, unlike substr.
constexpr std::string_view slice(std::string_view text, std::size_t begin, std::size_t end) noexcept {
  return std::string_view(text.data() + begin, end - begin);
}

// The whole of `text` must be a strict dotted quad: four decimal numbers of
// one to three digits, each at most 255, no leading zero except in "0" itself.
// Three digits per number and three dots also bound the text to 15
// characters, so no separate length check is needed.
bool parse_dotted_quad(std::string_view text, std::array<std::uint8_t, 4>& out) noexcept {
  // The four bytes in memory order, written out with one store: a caller
  // that reads them as one word right away would stall on four byte stores.
  std::uint32_t bytes = 0;
  std::size_t i = 0;
  for (unsigned part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
    const std::size_t start = i;
    unsigned value = 0;
    // Stop after three digits: a fourth digit is then left for the separator
    // check to reject, and `value` cannot exceed 999.
    while (i < text.size() && i - start < 3 && is_decimal_digit(text[i])) {
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
    }
    const std::size_t digits = i - start;
    if (digits == 0 || value > 255) return false;
    if (digits > 1 && text[start] == '0') return false;
    bytes |= value << (std::endian::native == std::endian::little ? 8 * part : 24 - 8 * part);
  }
  if (i != text.size()) return false;
  std::memcpy(out.data(), &bytes, sizeof bytes);
  return true;
}

// Length of a netmask made of leading one bits only; -1 when a one bit
// follows a zero bit.
int netmask_length(const std::array<std::uint8_t, 4>& mask) noexcept {
  const std::uint32_t bits = (std::uint32_t{mask[0]} << 24) | (std::uint32_t{mask[1]} << 16) |
                             (std::uint32_t{mask[2]} << 8) | std::uint32_t{mask[3]};
  const int ones = std::countl_one(bits);
  // After the leading ones every remaining bit must be zero. Shifting a
  // 32-bit value by 32 is undefined, hence the all-ones case apart.
  if (ones < 32 && (bits << ones) != 0) return -1;
  return ones;
}

// An optional "+" and one or more decimal digits with a value of at most
// `max`; -1 otherwise. Leading zeros are allowed in any number, so the value
// is checked after every digit: it then never exceeds 10 * max + 9 and
// cannot overflow however long the text is.
int parse_length(std::string_view text, unsigned max) noexcept {
  std::size_t i = 0;
  if (i < text.size() && text[i] == '+') ++i;
  if (i == text.size()) return -1;
  unsigned value = 0;
  for (; i < text.size(); ++i) {
    if (!is_decimal_digit(text[i])) return -1;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
    if (value > max) return -1;
  }
  return static_cast<int>(value);
}

// Index in an IPv6 text's groups where "::" stands. It may legitimately be 8
// (after eight groups, rejected as standing for nothing), so "absent" is 9.
constexpr std::size_t kNoGap = 9;

// The 16 bytes of an IPv6 address from its `count` groups, with the zero
// groups "::" stands for inserted at `gap`; false when the groups do not
// make exactly eight.
bool expand_groups(const std::array<std::uint16_t, 8>& groups, std::size_t count, std::size_t gap,
                   std::array<std::uint8_t, 16>& out) noexcept {
  if (gap == kNoGap) {
    if (count != 8) return false;
  } else if (count > 7) {
    // "::" must stand for at least one zero group.
    return false;
  }

  std::array<std::uint16_t, 8> full{};
  if (gap == kNoGap) {
    full = groups;
  } else {
    const std::size_t tail = count - gap;
    for (std::size_t k = 0; k < gap; ++k) full[k] = groups[k];
    for (std::size_t k = 0; k < tail; ++k) full[8 - tail + k] = groups[gap + k];
  }
  for (std::size_t k = 0; k < 8; ++k) {
    out[2 * k] = static_cast<std::uint8_t>(full[k] >> 8);
    out[2 * k + 1] = static_cast<std::uint8_t>(full[k] & 0xff);
  }
  return true;
}

#if !defined(__SSE2__)
// What a character of a plain IPv6 text is: a hex digit's value, kColon, or
// kOther (anything else, the dot of an embedded dotted quad included).
constexpr std::uint8_t kColon = 0x10;
constexpr std::uint8_t kOther = 0x80;
constexpr std::array<std::uint8_t, 256> kIpv6Class = [] {
  std::array<std::uint8_t, 256> table{};
  for (std::size_t c = 0; c < 256; ++c) {
    const int digit = hex_digit_value(static_cast<char>(c));
    table[c] = digit >= 0 ? static_cast<std::uint8_t>(digit) : c == ':' ? kColon : kOther;
  }
  return table;
}();
#endif

// The longest IPv6 text without a dotted quad: eight groups of four digits.
constexpr std::size_t kMaxPlainIpv6Length = 39;

#if defined(__SSE2__)
// The first n characters of `p` (0 <= n < 16) in a vector, zeros after
// them, reading nothing outside them. Made from (overlapping) word loads in
// registers: copying the text to a buffer and loading the buffer as a
// vector would stall the load on the copy's narrower stores. (SSE2 means
// x86, so the words are little-endian: the first character is the lowest.)
__m128i load_under_16(const char* p, std::size_t n) noexcept {
  const auto load64 = [](const char* at) {
    std::uint64_t w;
    std::memcpy(&w, at, 8);
    return w;
  };
  const auto load32 = [](const char* at) {
    std::uint32_t w;
    std::memcpy(&w, at, 4);
    return std::uint64_t{w};
  };
  std::uint64_t lo = 0;
  std::uint64_t hi = 0;
  if (n >= 8) {
    lo = load64(p);
    // The last eight characters, less those lo already holds; two shifts,
    // as one of 64 bits (n = 8) would be undefined.
    hi = (load64(p + n - 8) >> (8 * (16 - n) - 8)) >> 8;
  } else if (n >= 4) {
    lo = load32(p) | ((load32(p + n - 4) >> (8 * (8 - n))) << 32);
  } else if (n > 0) {
    const auto byte = [&](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i); };
    lo = byte(0) | byte(n / 2) | byte(n - 1);
  }
  return _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
}
#endif

// The common forms of IPv6 text, hex groups and colons only, parsed without
// a branch per character: one pass classifies every character into a bit
// mask of colons and an array of digit values, and then each group is a
// masked read of the four digit values before its end, found by counting
// the zeros of the colon mask. The general parser below, which goes a
// character at a time, mispredicts a branch at nearly every hex letter and
// group end; on random addresses it took about three times as long.
// Returns false for every text outside those forms, valid or not (a dotted
// quad, a malformed text): the general parser then decides.
bool parse_plain_ipv6(std::string_view text, std::array<std::uint8_t, 16>& out) noexcept {
  const std::size_t n = text.size();
  if (n < 2 || n > kMaxPlainIpv6Length) return false;
  // `values` holds the digit values (0 for a colon) with four zeros ahead of
  // the text's first, so that the read of a group's four values never starts
  // before the array.
  std::uint64_t colons = 0;
#if defined(__SSE2__)
  // Sixteen characters at a time, no load reading past the text.
  alignas(16) std::array<std::uint8_t, 4 + 48> values{};
  std::uint64_t classified = 0;
  for (std::size_t k = 0; k < 48; k += 16) {
    const __m128i c = k + 16 <= n ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + k))
                                  : load_under_16(text.data() + k, k < n ? n - k : 0);
    const __m128i digit = _mm_sub_epi8(c, _mm_set1_epi8('0'));
    const __m128i is_digit = _mm_cmpeq_epi8(_mm_min_epu8(digit, _mm_set1_epi8(9)), digit);
    const __m128i letter = _mm_sub_epi8(_mm_or_si128(c, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
    const __m128i is_letter = _mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(5)), letter);
    const __m128i is_colon = _mm_cmpeq_epi8(c, _mm_set1_epi8(':'));
    const __m128i value = _mm_or_si128(_mm_and_si128(digit, is_digit),
                                       _mm_and_si128(_mm_add_epi8(letter, _mm_set1_epi8(10)), is_letter));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(values.data() + 4 + k), value);
    const auto bits = [](__m128i mask) {
      return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(mask)));
    };
    colons |= bits(is_colon) << k;
    classified |= bits(_mm_or_si128(_mm_or_si128(is_digit, is_letter), is_colon)) << k;
  }
  const std::uint64_t text_bits = (std::uint64_t{1} << n) - 1;
  if ((classified & text_bits) != text_bits) return false;
#else
  std::array<std::uint8_t, 4 + kMaxPlainIpv6Length> values{};
  unsigned others = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t kind = kIpv6Class[static_cast<unsigned char>(text[i])];
    values[4 + i] = kind & 0x0f;
    colons |= std::uint64_t{kind == kColon} << i;
    others |= kind;
  }
  if ((others & kOther) != 0) return false;
#endif

  // Bit i set: a "::" starts at i. More than one, or ":::", is not plain.
  const std::uint64_t doubles = colons & (colons >> 1);
  if ((doubles & (doubles - 1)) != 0) return false;
  // The colons, and the end of the text, end groups.
  const std::uint64_t ends = colons | (std::uint64_t{1} << n);

  std::array<std::uint16_t, 8> groups{};
  std::size_t count = 0;
  std::size_t gap = kNoGap;
  std::size_t start = 0;
  if ((colons & 1) != 0) {
    if ((doubles & 1) == 0) return false;  // only "::" may open the text
    gap = 0;
    start = 2;
  }
  while (start < n) {
    const std::size_t digits = static_cast<std::size_t>(std::countr_zero(ends >> start));
    if (digits == 0 || digits > 4 || count == 8) return false;
    const std::size_t end = start + digits;
    const std::uint8_t* last4 = values.data() + end;  // the values at end - 4 .. end - 1
    const unsigned value = (unsigned{last4[0]} << 12) | (unsigned{last4[1]} << 8) | (unsigned{last4[2]} << 4) |
                           unsigned{last4[3]};
    groups[count++] = static_cast<std::uint16_t>(value & ((1u << (4 * digits)) - 1));
    if (end == n) break;
    if (((doubles >> end) & 1) != 0) {
      gap = count;
      start = end + 2;
    } else {
      start = end + 1;
      if (start == n) return false;  // "1:" ends on a lone colon
    }
  }
  return expand_groups(groups, count, gap, out);
}

// RFC 4291 text: colon-separated groups of one to four hex digits, at most
// one "::" standing for at least one zero group, and optionally a dotted quad
// as the last token in place of two groups.
bool parse_ipv6(std::string_view text, std::array<std::uint8_t, 16>& out) noexcept {
  if (parse_plain_ipv6(text, out)) return true;
  std::array<std::uint16_t, 8> groups{};
  std::size_t count = 0;  // groups written so far, a dotted quad counting two
  std::size_t gap = kNoGap;
  const std::size_t n = text.size();
  std::size_t i = 0;

  if (n == 0) return false;
  if (text[0] == ':') {
    // Only "::" may open the text; a lone leading colon separates nothing.
    if (n < 2 || text[1] != ':') return false;
    gap = 0;
    i = 2;
  }

  while (i < n) {
    std::size_t end = i;
    bool dotted = false;
    while (end < n && text[end] != ':') {
      dotted = dotted || text[end] == '.';
      ++end;
    }
    const std::string_view token = slice(text, i, end);
    // An empty token means a colon right after "::", as in ":::" or "1:::2".
    if (token.empty()) return false;

    if (dotted) {
      std::array<std::uint8_t, 4> quad;
      if (end != n || count > 6 || !parse_dotted_quad(token, quad)) return false;
      groups[count++] = static_cast<std::uint16_t>((quad[0] << 8) | quad[1]);
      groups[count++] = static_cast<std::uint16_t>((quad[2] << 8) | quad[3]);
      i = end;
      break;
    }

    if (token.size() > 4 || count == 8) return false;
    unsigned value = 0;
    for (const char c : token) {
      const int digit = hex_digit_value(c);
      if (digit < 0) return false;
      value = (value << 4) | static_cast<unsigned>(digit);
    }
    groups[count++] = static_cast<std::uint16_t>(value);

    i = end;
    if (i == n) break;
    // text[i] is ':'.
    if (i + 1 < n && text[i + 1] == ':') {
      if (gap != kNoGap) return false;
      gap = count;
      i += 2;
    } else {
      ++i;
      // A single colon at the end separates nothing ("1:").
      if (i == n) return false;
    }
  }

  return expand_groups(groups, count, gap, out);
}

char* write_decimal(char* out, unsigned value) noexcept {
  char digits[10];
  std::size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) *out++ = digits[--n];
  return out;
}

char* write_dotted_quad(char* out, const std::uint8_t* bytes) noexcept {
  for (std::size_t k = 0; k < 4; ++k) {
    if (k > 0) *out++ = '.';
    out = write_decimal(out, bytes[k]);
  }
  return out;
}

char* write_hex_group(char* out, unsigned group) noexcept {
  static constexpr char kHex[] = "0123456789abcdef";
  int shift = 12;
  while (shift > 0 && ((group >> shift) & 0xf) == 0) shift -= 4;
  for (; shift >= 0; shift -= 4) *out++ = kHex[(group >> shift) & 0xf];
  return out;
}

// RFC 5952 section 5: only ::ffff:0:0/96 is written with an embedded dotted
// quad. The deprecated IPv4-compatible form (::a.b.c.d) is written in hex.
bool is_ipv4_mapped(const std::array<std::uint8_t, 16>& bytes) noexcept {
  for (std::size_t k = 0; k < 10; ++k) {
    if (bytes[k] != 0) return false;
  }
  return bytes[10] == 0xff && bytes[11] == 0xff;
}

char* write_ipv6(char* out, const std::array<std::uint8_t, 16>& bytes) noexcept {
  if (is_ipv4_mapped(bytes)) {
    for (const char c : std::string_view("::ffff:")) *out++ = c;
    return write_dotted_quad(out, bytes.data() + 12);
  }

  std::array<unsigned, 8> groups;
  for (std::size_t k = 0; k < 8; ++k) groups[k] = (unsigned{bytes[2 * k]} << 8) | bytes[2 * k + 1];

  // Longest run of zero groups; strict ">" keeps the first of equal runs.
  std::size_t best_start = 8;
  std::size_t best_length = 0;
  for (std::size_t k = 0; k < 8;) {
    if (groups[k] != 0) {
      ++k;
      continue;
    }
    std::size_t run_end = k;
    while (run_end < 8 && groups[run_end] == 0) ++run_end;
    if (run_end - k > best_length) {
      best_start = k;
      best_length = run_end - k;
    }
    k = run_end;
  }
  // A lone zero group stays "0": "::" must shorten something.
  if (best_length < 2) best_start = 8;
  const std::size_t best_end = best_start + best_length;

  for (std::size_t k = 0; k < 8;) {
    if (k == best_start) {
      *out++ = ':';
      *out++ = ':';
      k = best_end;
      continue;
    }
    // After "::" the next group needs no separator of its own.
    if (k > 0 && k != best_end) *out++ = ':';
    out = write_hex_group(out, groups[k]);
    ++k;
  }
  return out;
}

}  // namespace

std::optional<IpPrefix> parse_prefix(std::string_view text) noexcept {
  std::string_view address_part = text;
  std::string_view length_part;
  bool has_length = false;
  if (const std::size_t slash = text.find('/'); slash != std::string_view::npos) {
    address_part = slice(text, 0, slash);
    length_part = slice(text, slash + 1, text.size());
    has_length = true;
    if (length_part.find('/') != std::string_view::npos) return std::nullopt;
  }

  std::array<std::uint8_t, 4> quad;
  if (parse_dotted_quad(address_part, quad)) {
    int length = 32;
    if (has_length) {
      std::array<std::uint8_t, 4> mask;
      length = parse_dotted_quad(length_part, mask) ? netmask_length(mask) : parse_length(length_part, 32);
    }
    if (length >= 0) {
      return IpPrefix::of(IpAddress::v4(quad[0], quad[1], quad[2], quad[3]),
                          static_cast<std::uint8_t>(length));
    }
    // A dotted quad is never IPv6 text, so the IPv6 attempt below cannot
    // succeed; it is left to say so rather than duplicating the rule here.
  }

  std::array<std::uint8_t, 16> raw;
  if (!parse_ipv6(address_part, raw)) return std::nullopt;
  const int length = has_length ? parse_length(length_part, 128) : 128;
  if (length < 0) return std::nullopt;
  return IpPrefix::of(IpAddress::v6(raw), static_cast<std::uint8_t>(length));
}

std::optional<IpAddress> parse_address(std::string_view text) noexcept {
  // Parsed straight into the result, which is returned in place: building an
  // IpAddress and copying it out made the compiler reload it as one wide
  // word right after narrower stores, a stall longer than the parse.
  std::optional<IpAddress> address(std::in_place);
  std::array<std::uint8_t, 4> quad;
  if (parse_dotted_quad(text, quad)) {
    std::memcpy(address->bytes.data(), quad.data(), quad.size());
    return address;
  }
  address->family = AddressFamily::V6;
  std::array<std::uint8_t, 16> raw;
  if (parse_ipv6(text, raw)) {
    address->bytes = raw;
    return address;
  }
  address.reset();
  return address;
}

std::string invalid_prefix_message(std::string_view text) {
  std::string message;
  message.reserve(40 + 2 * text.size());
  message += "Invalid CIDR '";
  message += text;
  message += "': invalid address: ";
  message += text;
  return message;
}

std::string invalid_address_message(std::string_view text) {
  std::string message("Invalid IP address: ");
  message += text;
  return message;
}

std::size_t format_address(const IpAddress& address, char* out) noexcept {
  char* const begin = out;
  if (address.family == AddressFamily::V4) {
    out = write_dotted_quad(out, address.bytes.data());
  } else {
    out = write_ipv6(out, address.bytes);
  }
  return static_cast<std::size_t>(out - begin);
}

std::string format_address(const IpAddress& address) {
  char buffer[kMaxAddressTextLength];
  const std::size_t n = format_address(address, buffer);
  return std::string(buffer, n);
}

std::string format_prefix(const IpPrefix& prefix) {
  char buffer[kMaxPrefixTextLength];
  std::size_t n = format_address(prefix.address(), buffer);
  buffer[n++] = '/';
  n = static_cast<std::size_t>(write_decimal(buffer + n, prefix.length) - buffer);
  return std::string(buffer, n);
}

}  // namespace korvane
