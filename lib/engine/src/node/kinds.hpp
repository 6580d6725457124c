// All node kinds, and dispatch from a node to its concrete type.
#pragma once

#include "node/compressed.hpp"
#include "node/uncompressed.hpp"

namespace korvane::node {


// Calls f with the node cast to its concrete type.
template <class F>
decltype(auto) visit_node(TrieNode* n, F&& f) {
  switch (n->kind()) {
    case NodeKind::UncompressedLocked: return f(static_cast<UncompressedLocked*>(n));
    case NodeKind::UncompressedCompact: return f(static_cast<UncompressedCompact*>(n));
    case NodeKind::UncompressedPadded: return f(static_cast<UncompressedPadded*>(n));
    case NodeKind::UncompressedHashed: return f(static_cast<UncompressedHashed*>(n));
    case NodeKind::CompressedLocked: return f(static_cast<CompressedLocked*>(n));
    case NodeKind::CompressedCompact: return f(static_cast<CompressedCompact*>(n));
    case NodeKind::CompressedPadded: return f(static_cast<CompressedPadded*>(n));
    case NodeKind::CompressedHashed: break;
  }
  return f(static_cast<CompressedHashed*>(n));
}

template <class N>
inline constexpr bool kIsCompressed = is_compressed(N::kKind);

}  // namespace korvane::node
