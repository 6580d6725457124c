#include "node/uncompressed.hpp"

namespace korvane::node {

// The layouts the engine's memory figures rely on.
static_assert(sizeof(UncompressedLocked) == 64, "a Locked node fits one cache line");
static_assert(sizeof(UncompressedCompact) == 64, "a Compact node fits one cache line");
static_assert(sizeof(UncompressedPadded) == 128, "a Padded node keeps its auxiliary value on a line of its own");
static_assert(alignof(UncompressedHashed) == 64);

}  // namespace korvane::node
