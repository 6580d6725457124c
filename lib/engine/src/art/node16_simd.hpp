// The 16-way key search of the Node16 kind: the position of a key byte among
// the first `count` of 16 key bytes.
//
// Three forms give the same answer: AVX2, SSE4.1 and a plain scan. The form
// is picked from the processor's features, detected once per process, so one
// build serves every x86-64 processor; other architectures always scan.
//
// Thread safety: pure functions of their arguments.
#pragma once

#include <cstdint>

namespace korvane::art {

// Position of the first of keys[0 .. count-1] equal to b, or -1. `keys`
// must point at 16 readable bytes whatever `count` is (bytes past `count`
// may be stale and never match). count is at most 16.
int find_key16(const std::uint8_t* keys, unsigned count, std::uint8_t b) noexcept;

// The individual forms, for tests and benchmarks. A SIMD form may only be
// called when the processor has the feature (see below).
int find_key16_scalar(const std::uint8_t* keys, unsigned count, std::uint8_t b) noexcept;
int find_key16_sse41(const std::uint8_t* keys, unsigned count, std::uint8_t b) noexcept;
int find_key16_avx2(const std::uint8_t* keys, unsigned count, std::uint8_t b) noexcept;

bool have_sse41() noexcept;
bool have_avx2() noexcept;

// "avx2", "sse4.1" or "scalar": the form find_key16 uses.
const char* key16_form() noexcept;

}  // namespace korvane::art
