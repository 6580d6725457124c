// The few facts the engine asks of the operating system, behind one small
// layer so that the rest of the library never calls it directly.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace korvane::platform {

// Logical processors online; 0 when the system does not say.
unsigned logical_processors() noexcept;

// Physical memory available now, in bytes; absent when the system does not
// say.
std::optional<std::uint64_t> available_memory_bytes() noexcept;

// A fresh random 64-bit value for seeding hash keys. Cheap: seeded once per
// thread from the system's entropy source, then a fast generator.
std::uint64_t random_u64() noexcept;

// Maps `bytes` of zeroed memory aligned to `bytes` (a power of two), asks the
// kernel to back it with huge pages where it can, and returns it; null when
// the system has no memory to give. Never unmapped.
void* map_aligned_huge(std::size_t bytes) noexcept;

}  // namespace korvane::platform
