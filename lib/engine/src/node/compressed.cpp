#include "node/compressed.hpp"

namespace korvane::node {

// The layouts the engine's memory figures rely on.
static_assert(sizeof(CompressedLocked) == 64, "a Locked node fits one cache line");
static_assert(sizeof(CompressedCompact) == 64, "a Compact node fits one cache line");
static_assert(sizeof(CompressedPadded) == 128, "a Padded node keeps its edge bits on a line of their own");
static_assert(alignof(CompressedHashed) == 64);

}  // namespace korvane::node
