#include "art/node16_simd.hpp"

#include "platform.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KORVANE_X86 1
#endif

namespace korvane::art {

namespace {

// The low `count` bits set: the lanes that hold valid key bytes.
inline unsigned valid_lanes(unsigned count) noexcept { return ~(~0u << count) & 0xFFFFu; }

inline int lowest_lane(unsigned mask) noexcept { return mask == 0 ? -1 : __builtin_ctz(mask); }

}  // namespace

int find_key16_scalar(const std::uint8_t* keys, unsigned count, std::uint8_t b) noexcept {
  for (unsigned i = 0; i < count; ++i) {
    if (keys[i] == b) return static_cast<int>(i);
  }
  return -1;
}

#ifdef KORVANE_X86

__attribute__((target("sse4.1"))) int find_key16_sse41(const std::uint8_t* keys, unsigned count,
                                                        std::uint8_t b) noexcept {
  // Broadcast by shuffling lane 0 into every lane (an all-zero control).
  const __m128i needle = _mm_shuffle_epi8(_mm_cvtsi32_si128(b), _mm_setzero_si128());
  const __m128i haystack = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keys));
  const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(needle, haystack)));
  return lowest_lane(mask & valid_lanes(count));
}

__attribute__((target("avx2"))) int find_key16_avx2(const std::uint8_t* keys, unsigned count,
                                                     std::uint8_t b) noexcept {
  const __m128i needle = _mm_broadcastb_epi8(_mm_cvtsi32_si128(b));
  const __m128i haystack = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keys));
  const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(needle, haystack)));
  return lowest_lane(mask & valid_lanes(count));
}

bool have_sse41() noexcept { return platform::cpu_has_sse41(); }
bool have_avx2() noexcept { return platform::cpu_has_avx2(); }

#else

int find_key16_sse41(const std::uint8_t* keys, unsigned count, std::uint8_t b) noexcept {
  return find_key16_scalar(keys, count, b);
}
int find_key16_avx2(const std::uint8_t* keys, unsigned count, std::uint8_t b) noexcept {
  return find_key16_scalar(keys, count, b);
}
bool have_sse41() noexcept { return false; }
bool have_avx2() noexcept { return false; }

#endif

namespace {

using Find = int (*)(const std::uint8_t*, unsigned, std::uint8_t) noexcept;

Find choose() noexcept {
  if (have_avx2()) return find_key16_avx2;
  if (have_sse41()) return find_key16_sse41;
  return find_key16_scalar;
}

// Detected on first use (a function-local constant, so it is ready whatever
// order static constructors run in) and never changed afterwards.
Find chosen() noexcept {
  static const Find form = choose();
  return form;
}

}  // namespace

int find_key16(const std::uint8_t* keys, unsigned count, std::uint8_t b) noexcept {
  return chosen()(keys, count, b);
}

const char* key16_form() noexcept {
  const Find form = chosen();
  if (form == find_key16_avx2) return "avx2";
  if (form == find_key16_sse41) return "sse4.1";
  return "scalar";
}

}  // namespace korvane::art
