// Where trie nodes live. Nodes of one size are carved from 2 MiB chunks that
// the kernel is asked to back with huge pages, so a walk through a large
// trie costs few TLB misses, and nodes made together (the top of a trie is
// made first) sit together. A chunk keeps its own free list and count of
// live nodes; once every node of a chunk is free the chunk goes back to the
// system (one empty chunk per size class is kept to absorb churn).
//
// Thread safety: allocate and release may be called from any thread; each
// size class has its own mutex, held only to pop or push one node (and, at
// most once per 2 MiB, to map or unmap a chunk).
//
// Sanitizer builds use the ordinary allocator instead, so that the
// sanitizers keep seeing every node's lifetime.
#pragma once

#include <cstddef>

namespace korvane::node {

// 64-byte aligned storage for one node of `size` bytes. Throws
// std::bad_alloc when the system has no memory to give.
void* arena_allocate(std::size_t size);
void arena_release(void* p, std::size_t size) noexcept;

// Bytes the arena holds in mapped chunks, for memory figures.
std::size_t arena_bytes_reserved() noexcept;
// Bytes of nodes currently handed out (by the chunks or, for large nodes and
// in sanitizer builds, by the ordinary allocator).
std::size_t arena_bytes_in_use() noexcept;
// The part of arena_bytes_in_use() the ordinary allocator holds, which its
// own figures (mallinfo2) count too.
std::size_t arena_bytes_from_heap() noexcept;

// Fault injection for tests: after `successes` more node allocations, the
// next one throws std::bad_alloc; then allocation works again. A negative
// value disarms it.
void arena_fail_after(long successes) noexcept;

}  // namespace korvane::node
