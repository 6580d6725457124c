// A stored record's attributes in one block of bytes, for records that stay
// in a table unchanged: a map of three short pairs takes about 450 bytes of
// heap in nodes, buckets and string buffers, the same pairs packed about 50.
//
// Layout: the pair count, then for each pair its name and its value, each
// written as a length (LEB128: seven bits a byte, low bits first) followed
// by that many bytes. Pairs are sorted by name, so two blocks of equal
// attributes are equal pair by pair.
//
// A PackedAttributes only points at its block: the block lives where the
// record that holds it put it (right after the record, in the record's own
// allocation) and goes with that record.
//
// Thread safety: a block is immutable once made, and any number of threads
// may read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "korvane/types.hpp"

namespace korvane::detail {

class PackedAttributes {
 public:
  PackedAttributes() noexcept = default;  // holds nothing
  // The pairs of `map` as views into it, in name order. Throws
  // std::bad_alloc.
  static std::vector<AttributeView> sorted_views(const Attributes& map);
  // Bytes the block for `pairs` (in name order, no name twice) takes.
  static std::size_t bytes_for(std::span<const AttributeView> pairs) noexcept;
  // `pairs` (in name order, no name twice) packed into `into`, which has
  // room for bytes_for(pairs) and outlives the result.
  static PackedAttributes pack_into(std::span<const AttributeView> pairs, unsigned char* into) noexcept;

  explicit operator bool() const noexcept { return block_ != nullptr; }
  const void* data() const noexcept { return block_; }
  std::size_t size() const noexcept;
  // Calls visit(name, value) per pair, in name order.
  template <class F>
  void for_each(F&& visit) const {
    const unsigned char* at = block_;
    for (std::size_t n = read_length(at); n != 0; --n) {
      const std::string_view name = read_text(at);
      const std::string_view value = read_text(at);
      visit(name, value);
    }
  }
  // The pairs as a map. Throws std::bad_alloc.
  Attributes unpack() const;
  // Whether both hold the same pairs.
  bool same_pairs(PackedAttributes other) const noexcept;
  bool same_pairs(const Attributes& map) const noexcept;

 private:
  explicit PackedAttributes(const unsigned char* block) noexcept : block_(block) {}
  static std::size_t read_length(const unsigned char*& at) noexcept {
    std::size_t length = 0;
    for (unsigned shift = 0;; shift += 7) {
      const unsigned char byte = *at++;
      length |= static_cast<std::size_t>(byte & 0x7F) << shift;
      if ((byte & 0x80) == 0) return length;
    }
  }
  static std::string_view read_text(const unsigned char*& at) noexcept {
    const std::size_t length = read_length(at);
    const std::string_view text(reinterpret_cast<const char*>(at), length);
    at += length;
    return text;
  }

  const unsigned char* block_ = nullptr;
};

}  // namespace korvane::detail
