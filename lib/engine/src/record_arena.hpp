// Where records live. An indexed lookup ends by reading its record, and on
// a table whose prefixes carry records of their own (a table keyed by
// prefix, a routing table with each route's attributes) that read lands
// anywhere among millions of records: from the ordinary heap, on 4 KiB
// pages, it costs a TLB miss and a page walk before the miss on the record
// itself. Here records sit packed in 2 MiB chunks that the kernel is asked
// to back with huge pages, each one 16-byte aligned (a read-index node keeps
// four tag bits beside a record pointer) and taking its size rounded up to
// 16 bytes (and, past 1 KiB, to its size class), with no header of its own.
// Records larger than 16 KiB come from operator new.
//
// Thread safety: allocate and release may be called from any thread (a
// record is made by its writer and freed by whichever thread lets go of it
// last); it is one WordArena (word_arena.hpp), whose mutex is held for one
// push or pop.
#pragma once

#include <cstddef>

namespace korvane::record_arena {

// 16-byte aligned storage for a record of `bytes` bytes. Throws
// std::bad_alloc when the system has no memory to give.
void* allocate(std::size_t bytes);
// Takes back storage from allocate, given the same `bytes`.
void release(void* p, std::size_t bytes) noexcept;
// Whether a record of `bytes` bytes comes from the chunks (in sanitizer
// builds, whether it would).
bool from_chunks(std::size_t bytes) noexcept;

// Bytes of records the chunks hand out now (records larger than the
// arena's largest size are the heap's, and its own figures count them).
std::size_t bytes_in_use() noexcept;
// Bytes held in mapped chunks, in use or not.
std::size_t bytes_reserved() noexcept;

}  // namespace korvane::record_arena
