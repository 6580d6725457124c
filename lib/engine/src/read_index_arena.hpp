// Where read-index nodes live. Lookups touch one node per level at random
// across the whole index, so the nodes sit packed in 2 MiB chunks that the
// kernel is asked to back with huge pages: a walk then costs few TLB misses,
// and the index takes no more memory than its nodes' own bytes (sizes are
// whole words, and each size keeps its own list of released nodes for
// reuse). Chunks are kept while any node lives; when the last node of the
// process is released they go back to the system, but for one kept to start
// the next index.
//
// Thread safety: allocate and release may be called from any thread (writers
// of different engines allocate, epoch reclamation releases); it is one
// WordArena (word_arena.hpp), whose mutex is held for one push or pop.
#pragma once

#include <cstddef>

namespace korvane::index_arena {

// 8-byte aligned storage for one node of `size` bytes, a multiple of 8.
// Throws std::bad_alloc when the system has no memory to give.
void* allocate(std::size_t size);
// Takes back storage from allocate, of the same size.
void release(void* p, std::size_t size) noexcept;

// Bytes of nodes handed out now.
std::size_t bytes_in_use() noexcept;
// Bytes held in mapped chunks, in use or not.
std::size_t bytes_reserved() noexcept;

// Fault injection for tests: after `successes` more allocations, the next
// one throws std::bad_alloc; then allocation works again. A negative value
// disarms it.
void fail_after(long successes) noexcept;

}  // namespace korvane::index_arena
