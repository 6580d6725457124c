#include "traits.hpp"

#include <array>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "epoch.hpp"
#include "node/arena.hpp"
#include "node/kinds.hpp"
#include "word_arena.hpp"
#include "platform.hpp"

namespace korvane {

using namespace node;

namespace {

// Holds the epoch for the duration of one public node operation, so the
// pointers it loads stay valid until it has counted or copied them.
using Pinned = epoch::Guard;

void release_deferred_now(void* node) { static_cast<TrieNode*>(node)->release_ref(); }

template <class N>
auto& children_of(N* n) {
  return n->children;
}

NodeRef child_at(const TrieNode* self, unsigned bit) {
  Pinned pin;
  TrieNode* child = visit_node(const_cast<TrieNode*>(self), [&](auto* n) { return n->children.child(bit); });
  // The slot's own reference keeps the child alive while pinned, so a plain
  // increment cannot resurrect a dead node.
  return NodeRef::share(child);
}

void set_child_at(TrieNode* self, unsigned bit, NodeRef child) {
  Pinned pin;
  TrieNode* raw = child.release();
  visit_node(self, [&](auto* n) { n->children.replace_child(bit, raw); });
}

}  // namespace

void* TrieNode::operator new(std::size_t size, std::align_val_t) { return node::arena_allocate(size); }

void TrieNode::operator delete(void* p, std::size_t size, std::align_val_t) noexcept {
  node::arena_release(p, size);
}

void TrieNode::release_ref() noexcept {
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy_node(this);
}

void TrieNode::release_deferred(TrieNode* node) noexcept {
  if (node != nullptr) epoch::retire(node, &release_deferred_now);
}

void TrieNode::release_deferred_shared(TrieNode* node) {
  if (node != nullptr) epoch::retire_shared(node, &release_deferred_now);
}

std::uint32_t TrieNode::wait_for_writer() const noexcept {
  for (unsigned spins = 0;; ++spins) {
    const std::uint32_t v = version_.load(std::memory_order_acquire);
    if ((v & 1u) == 0) return v;
    if (spins < 64) {
#if defined(__x86_64__)
      __builtin_ia32_pause();
#endif
    } else {
      std::this_thread::yield();  // the writer may have been preempted
    }
  }
}

void TrieNode::write_lock() noexcept {
  for (unsigned spins = 0;; ++spins) {
    std::uint32_t v = version_.load(std::memory_order_relaxed);
    // Acquire: the holder's critical section starts after the previous
    // holder's release in write_unlock.
    if ((v & 1u) == 0 &&
        version_.compare_exchange_weak(v, v + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
      return;
    }
    if (spins < 64) {
#if defined(__x86_64__)
      __builtin_ia32_pause();
#endif
    } else {
      std::this_thread::yield();
    }
  }
}

std::optional<std::uint8_t> TrieNode::aux() const {
  return visit_node(const_cast<TrieNode*>(this), [](auto* n) -> std::optional<std::uint8_t> {
    if constexpr (kIsCompressed<std::remove_pointer_t<decltype(n)>>) {
      return std::nullopt;
    } else {
      return n->aux();
    }
  });
}

void TrieNode::set_aux(std::uint8_t value) {
  visit_node(this, [&](auto* n) {
    if constexpr (!kIsCompressed<std::remove_pointer_t<decltype(n)>>) n->set_aux(value);
  });
}

NodeRef TrieNode::left() const { return child_at(this, 0); }
NodeRef TrieNode::right() const { return child_at(this, 1); }
void TrieNode::set_left(NodeRef child) { set_child_at(this, 0, std::move(child)); }
void TrieNode::set_right(NodeRef child) { set_child_at(this, 1, std::move(child)); }

std::optional<Metadata> TrieNode::metadata() const {
  Pinned pin;
  detail::MetadataRep* rep =
      visit_node(const_cast<TrieNode*>(this), [](auto* n) { return n->entry.load_metadata(); });
  if (rep == nullptr) return std::nullopt;
  rep->acquire();
  return detail::MetadataAccess::adopt(rep);
}

void TrieNode::set_metadata(Metadata md) {
  Pinned pin;
  detail::MetadataRep* rep = detail::MetadataAccess::take(md);
  detail::MetadataRep* old = visit_node(this, [&](auto* n) { return n->entry.exchange_metadata(rep); });
  release_rep_deferred(old);
}

void TrieNode::clear_metadata() {
  Pinned pin;
  detail::MetadataRep* old = visit_node(this, [](auto* n) { return n->entry.exchange_metadata(nullptr); });
  release_rep_deferred(old);
}

namespace {
WordArena& box_arena() {
  // Leaked on purpose: boxes may be released during static destruction.
  // Boxes are read only by trie walks and listings, not by indexed lookups,
  // so small pages do.
  static WordArena* a = [] {
    auto* made = new WordArena(std::size_t{1} << 20, sizeof(PrefixBox), false);
    made->hold_across_fork();
    return made;
  }();
  return *a;
}
// Made as the library loads: see hold_across_fork.
[[maybe_unused]] const bool box_arena_made = (box_arena(), true);
}  // namespace

void* PrefixBox::operator new(std::size_t size) { return box_arena().allocate(size); }
void PrefixBox::operator delete(void* p, std::size_t size) noexcept { box_arena().release(p, size); }
std::size_t prefix_box_bytes() noexcept { return box_arena().bytes_in_use(); }

namespace {
// The first eight address bytes as one big-endian word.
std::uint64_t high_bytes(const std::array<std::uint8_t, 16>& bytes) noexcept {
  std::uint64_t out = 0;
  for (unsigned i = 0; i < 8; ++i) out = out << 8 | bytes[i];
  return out;
}
}  // namespace

StoredPrefix StoredPrefix::make(const IpPrefix& prefix) {
  const std::uint64_t high = high_bytes(prefix.bytes);
  bool fits = (high & kTagBits) == 0 && prefix.length <= kMaxInlineLength;
  for (std::size_t i = 8; fits && i < prefix.bytes.size(); ++i) fits = prefix.bytes[i] == 0;
  if (!fits) return StoredPrefix(reinterpret_cast<std::uintptr_t>(new PrefixBox{prefix}));
  const std::uint64_t family = prefix.family == AddressFamily::V6 ? kV6Family : 0;
  return StoredPrefix(high | std::uint64_t{prefix.length} << 2 | family | kInlineTag);
}

IpPrefix StoredPrefix::get() const noexcept {
  if (const PrefixBox* b = box()) return b->prefix;
  IpPrefix out;
  out.family = (word_ & kV6Family) != 0 ? AddressFamily::V6 : AddressFamily::V4;
  out.length = static_cast<std::uint8_t>((word_ >> 2) & kMaxInlineLength);
  const std::uint64_t high = word_ & ~kTagBits;
  for (unsigned i = 0; i < 8; ++i) out.bytes[i] = static_cast<std::uint8_t>(high >> (56 - 8 * i));
  return out;
}

bool StoredPrefix::covers(const IpAddress& address) const noexcept { return get().covers(address); }

std::optional<IpPrefix> TrieNode::prefix() const {
  Pinned pin;
  const StoredPrefix stored =
      visit_node(const_cast<TrieNode*>(this), [](auto* n) { return n->entry.load_prefix(); });
  if (!stored) return std::nullopt;
  return stored.get();
}

void TrieNode::set_prefix(const IpPrefix& prefix) {
  Pinned pin;
  const StoredPrefix stored = StoredPrefix::make(prefix);
  visit_node(this, [&](auto* n) { n->entry.replace_prefix(stored); });
}

std::optional<std::array<std::uint8_t, 16>> TrieNode::edge() const {
  return visit_node(const_cast<TrieNode*>(this), [&](auto* n) -> std::optional<std::array<std::uint8_t, 16>> {
    if constexpr (kIsCompressed<std::remove_pointer_t<decltype(n)>>) {
      std::uint64_t hi = 0;
      std::uint64_t lo = 0;
      for (;;) {
        const std::uint32_t v = read_begin();
        hi = n->edge_hi();
        lo = n->edge_lo();
        if (read_valid(v)) break;
      }
      std::array<std::uint8_t, 16> out{};
      for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<std::uint8_t>(hi >> (56 - 8 * i));
        out[8 + i] = static_cast<std::uint8_t>(lo >> (56 - 8 * i));
      }
      return out;
    } else {
      return std::nullopt;
    }
  });
}

std::optional<std::uint64_t> TrieNode::edge_len() const {
  return visit_node(const_cast<TrieNode*>(this), [](auto* n) -> std::optional<std::uint64_t> {
    if constexpr (kIsCompressed<std::remove_pointer_t<decltype(n)>>) {
      return n->edge_length();
    } else {
      return std::nullopt;
    }
  });
}

void TrieNode::set_edge(const std::array<std::uint8_t, 16>& bits, std::uint64_t length) {
  visit_node(this, [&](auto* n) {
    if constexpr (kIsCompressed<std::remove_pointer_t<decltype(n)>>) {
      std::uint64_t hi = 0;
      std::uint64_t lo = 0;
      for (int i = 0; i < 8; ++i) {
        hi = (hi << 8) | bits[i];
        lo = (lo << 8) | bits[8 + i];
      }
      write_lock();
      n->store_edge(hi, lo, length);
      write_unlock();
    } else {
      std::fputs("set_edge called on an uncompressed node\n", stderr);
      std::abort();
    }
  });
}

NodeRef new_node(NodeKind kind) {
  switch (kind) {
    case NodeKind::UncompressedLocked: return NodeRef::adopt(new UncompressedLocked());
    case NodeKind::UncompressedCompact: return NodeRef::adopt(new UncompressedCompact());
    case NodeKind::UncompressedPadded: return NodeRef::adopt(new UncompressedPadded());
    case NodeKind::UncompressedHashed: return NodeRef::adopt(new UncompressedHashed());
    case NodeKind::CompressedLocked: return NodeRef::adopt(new CompressedLocked());
    case NodeKind::CompressedCompact: return NodeRef::adopt(new CompressedCompact());
    case NodeKind::CompressedPadded: return NodeRef::adopt(new CompressedPadded());
    case NodeKind::CompressedHashed: return NodeRef::adopt(new CompressedHashed());
  }
  std::fputs("new_node: unknown node kind\n", stderr);
  std::abort();
}

// Runs when the last reference is gone. No reader can reach the node any
// more (a slot that held it gave up its reference only after a grace
// period), so its children and entry are released at once, not deferred.
void destroy_node(TrieNode* node) noexcept {
  visit_node(node, [](auto* n) {
    n->children.destroy();
    n->entry.destroy();
    delete n;
  });
}

std::size_t default_child_map_shards() {
  static const std::size_t shards = [] {
    const unsigned processors = platform::logical_processors();
    const std::size_t wanted = processors == 0 ? 4 : std::size_t{4} * processors;
    return std::bit_ceil(wanted);
  }();
  return shards;
}

}  // namespace korvane
