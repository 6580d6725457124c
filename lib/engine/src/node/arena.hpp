// Where trie nodes live. Nodes of one size are carved from 2 MiB chunks that
// the kernel is asked to back with huge pages, so a walk through a large
// trie costs few TLB misses, and nodes made together (the top of a trie is
// made first) sit together. Freed nodes are kept for reuse; chunks are never
// returned.
//
// Thread safety: allocate and release may be called from any thread; each
// size class has its own mutex, held only to pop or push one node.
//
// Sanitizer builds use the ordinary allocator instead, so that the
// sanitizers keep seeing every node's lifetime.
#pragma once

#include <cstddef>

namespace korvane::node {

// 64-byte aligned storage for one node of `size` bytes.
void* arena_allocate(std::size_t size);
void arena_release(void* p, std::size_t size) noexcept;

// Bytes the arena holds (chunks carved for small nodes), for memory figures.
std::size_t arena_bytes_reserved() noexcept;
// Bytes of nodes currently handed out by the arena's size classes.
std::size_t arena_bytes_in_use() noexcept;

}  // namespace korvane::node
