// Path-compressed node kinds (4..7). Besides the entry and the children a
// node carries an edge of up to 128 bits: two atomic words (the most
// significant bit of `hi` is edge bit 0) and a length in the header, read
// optimistically against the node's version word.
#pragma once

#include "node/fields.hpp"

namespace korvane::node {

struct EdgeWords {
  std::atomic<std::uint64_t> hi{0};
  std::atomic<std::uint64_t> lo{0};
};

template <NodeKind K, class Children, std::size_t PadBytes>
struct CompressedNode final : TrieNode {
  static constexpr NodeKind kKind = K;
  // Kind 5 answers the length from a plain byte for lengths below 255.
  static constexpr bool kLengthCache = K == NodeKind::CompressedCompact;
  static constexpr std::uint8_t kCacheMiss = 255;

  CompressedNode() : TrieNode(K) {}

  // Loads are acquire so that an optimistic reader's closing read of the
  // version word cannot be satisfied before them.
  std::uint64_t edge_hi() const noexcept { return edge.hi.load(std::memory_order_acquire); }
  std::uint64_t edge_lo() const noexcept { return edge.lo.load(std::memory_order_acquire); }
  std::uint64_t edge_length() const noexcept {
    if constexpr (kLengthCache) {
      const std::uint8_t cached = plain_byte_.load(std::memory_order_acquire);
      if (cached != kCacheMiss) return cached;
    }
    return edge_len_.load(std::memory_order_acquire);
  }

  // Writes the bits, then the length. Only while holding the version word
  // odd; the release stores make a reader that sees any new value also see
  // the odd version and retry.
  void store_edge(std::uint64_t hi, std::uint64_t lo, std::uint64_t length) noexcept {
    edge.hi.store(hi, std::memory_order_release);
    edge.lo.store(lo, std::memory_order_release);
    const auto clamped = static_cast<std::uint32_t>(length > UINT32_MAX ? UINT32_MAX : length);
    if constexpr (kLengthCache) {
      if (length < kCacheMiss) {
        plain_byte_.store(static_cast<std::uint8_t>(length), std::memory_order_release);
        return;
      }
      plain_byte_.store(kCacheMiss, std::memory_order_release);
    }
    edge_len_.store(clamped, std::memory_order_release);
  }

  EdgeWords edge;
  [[no_unique_address]] Padding<PadBytes> padding;
  EntryFields entry;
  Children children;
};

using CompressedLocked = CompressedNode<NodeKind::CompressedLocked, ChildSlots, 0>;
using CompressedCompact = CompressedNode<NodeKind::CompressedCompact, ChildSlots, 0>;
using CompressedPadded = CompressedNode<NodeKind::CompressedPadded, ChildSlots, 64>;
using CompressedHashed = CompressedNode<NodeKind::CompressedHashed, ChildMap, 0>;

}  // namespace korvane::node
