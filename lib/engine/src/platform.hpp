// The few facts the engine asks of the operating system, behind one small
// layer so that the rest of the library never calls it directly.
//
// Thread safety: every function may be called from any thread.
#pragma once

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

}  // namespace korvane::platform
