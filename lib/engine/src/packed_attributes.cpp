#include "packed_attributes.hpp"

#include <algorithm>
#include <new>
#include <vector>

namespace korvane::detail {

namespace {

std::size_t length_bytes(std::size_t length) noexcept {
  std::size_t bytes = 1;
  while (length >= 0x80) {
    length >>= 7;
    ++bytes;
  }
  return bytes;
}

unsigned char* write_length(unsigned char* at, std::size_t length) noexcept {
  while (length >= 0x80) {
    *at++ = static_cast<unsigned char>(length | 0x80);
    length >>= 7;
  }
  *at++ = static_cast<unsigned char>(length);
  return at;
}

unsigned char* write_text(unsigned char* at, std::string_view text) noexcept {
  at = write_length(at, text.size());
  return std::copy(text.begin(), text.end(), at);
}

}  // namespace

std::vector<AttributeView> PackedAttributes::sorted_views(const Attributes& map) {
  std::vector<AttributeView> pairs(map.begin(), map.end());
  std::sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  return pairs;
}

std::size_t PackedAttributes::bytes_for(std::span<const AttributeView> pairs) noexcept {
  std::size_t bytes = length_bytes(pairs.size());
  for (const auto& [name, value] : pairs) {
    bytes += length_bytes(name.size()) + name.size() + length_bytes(value.size()) + value.size();
  }
  return bytes;
}

PackedAttributes PackedAttributes::pack_into(std::span<const AttributeView> pairs, unsigned char* into) noexcept {
  unsigned char* at = write_length(into, pairs.size());
  for (const auto& [name, value] : pairs) at = write_text(write_text(at, name), value);
  return PackedAttributes(into);
}

std::size_t PackedAttributes::size() const noexcept {
  if (block_ == nullptr) return 0;
  const unsigned char* at = block_;
  return read_length(at);
}

Attributes PackedAttributes::unpack() const {
  Attributes map;
  if (block_ == nullptr) return map;
  map.reserve(size());
  for_each([&](std::string_view name, std::string_view value) { map.emplace(name, value); });
  return map;
}

bool PackedAttributes::same_pairs(PackedAttributes other) const noexcept {
  if (size() != other.size()) return false;
  if (block_ == nullptr || other.block_ == nullptr) return true;  // both empty
  // Both in name order: equal pairs come in the same order.
  const unsigned char* a = block_;
  const unsigned char* b = other.block_;
  read_length(b);
  for (std::size_t n = read_length(a); n != 0; --n) {
    if (read_text(a) != read_text(b) || read_text(a) != read_text(b)) return false;
  }
  return true;
}

bool PackedAttributes::same_pairs(const Attributes& map) const noexcept {
  if (size() != map.size()) return false;
  // Names are unique on both sides, so equal sizes and every pair of the map
  // found here make the same pairs. Records mostly have a handful of
  // attributes, and callers compare contents only once their hashes agree:
  // a scan per pair, without allocating. Beyond a few, the scans would add
  // up to a quadratic cost: the map's pairs are sorted by name, as the
  // block's are, and compared side by side (by scans again if the sorting
  // finds no memory).
  constexpr std::size_t kScanUpTo = 16;
  if (map.size() > kScanUpTo) {
    try {
      const std::vector<AttributeView> sorted = sorted_views(map);
      std::size_t i = 0;
      bool same = true;
      for_each([&](std::string_view n, std::string_view v) {
        same = same && n == sorted[i].first && v == sorted[i].second;
        ++i;
      });
      return same;
    } catch (const std::bad_alloc&) {
    }
  }
  for (const auto& pair : map) {
    bool found = false;
    for_each([&](std::string_view n, std::string_view v) { found = found || (n == pair.first && v == pair.second); });
    if (!found) return false;
  }
  return true;
}

}  // namespace korvane::detail
