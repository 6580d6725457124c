// One-bit-per-level node kinds (0..3). A node holds at most one entry and
// two children; its auxiliary value is carried but never used by the trie.
#pragma once

#include "node/fields.hpp"

namespace korvane::node {

template <NodeKind K, class Children, std::size_t PadBytes>
struct UncompressedNode final : TrieNode {
  static constexpr NodeKind kKind = K;
  // Kinds 1 and 3 keep the auxiliary value in the plain byte; 0 and 2 in an
  // atomic word of their own (the padded kind's sits alone on its line).
  static constexpr bool kPlainAux = K == NodeKind::UncompressedCompact || K == NodeKind::UncompressedHashed;

  UncompressedNode() : TrieNode(K) {}

  std::optional<std::uint8_t> aux() const noexcept {
    if constexpr (kPlainAux) {
      const std::uint8_t b = plain_byte_.load(std::memory_order_relaxed);
      if (b == 0) return std::nullopt;
      return static_cast<std::uint8_t>(b - 1);
    } else {
      const std::uint16_t w = aux_word_.load(std::memory_order_acquire);
      if ((w & 0x100u) == 0) return std::nullopt;
      return static_cast<std::uint8_t>(w & 0xFFu);
    }
  }
  void set_aux(std::uint8_t value) noexcept {
    if constexpr (kPlainAux) {
      plain_byte_.store(static_cast<std::uint8_t>(value + 1), std::memory_order_relaxed);
    } else {
      // The word also carries the unlinked mark, which a remove may set
      // meanwhile under the node's lock (set_aux takes none): a plain store
      // of what was read could wipe it out.
      std::uint16_t word = aux_word_.load(std::memory_order_relaxed);
      while (!aux_word_.compare_exchange_weak(word, static_cast<std::uint16_t>((word & kUnlinkedBit) | 0x100u | value),
                                              std::memory_order_release, std::memory_order_relaxed)) {
      }
    }
  }

  [[no_unique_address]] Padding<PadBytes> padding;
  Children children;
  EntryFields entry;
};

using UncompressedLocked = UncompressedNode<NodeKind::UncompressedLocked, ChildSlots, 0>;
using UncompressedCompact = UncompressedNode<NodeKind::UncompressedCompact, ChildSlots, 0>;
using UncompressedPadded = UncompressedNode<NodeKind::UncompressedPadded, ChildSlots, 64>;
using UncompressedHashed = UncompressedNode<NodeKind::UncompressedHashed, ChildMap, 0>;

}  // namespace korvane::node
