// Looks inside a trie layout, for tests of its shape.
#pragma once

#include "engine.hpp"
#include "korvane/local_engine.hpp"

namespace korvane::testing {

inline const TrieEngine& trie_of(const LocalEngine& engine) {
  const detail::LocalLayout& layout = engine.internals();
  return layout.single ? *layout.single : *layout.group->row.front();
}

// Nodes reachable in the engine's trie, both roots included.
inline std::size_t trie_nodes(const LocalEngine& engine) { return trie_of(engine).node_count(); }

}  // namespace korvane::testing
