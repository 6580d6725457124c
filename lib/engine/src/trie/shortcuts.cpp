#include "trie/shortcuts.hpp"

#include <cstring>

#include "platform.hpp"

namespace korvane::trie {

namespace {
std::atomic<std::size_t> table_bytes{0};  // relaxed: a figure, ordering nothing
constexpr std::size_t kTableBytes = (std::size_t{1} << Shortcuts::kBits) * sizeof(std::uintptr_t);
constexpr std::size_t kDeepTableBytes = (std::size_t{1} << Shortcuts::kDeepSlotBits) * 2 * sizeof(std::uint64_t);
}  // namespace

std::size_t shortcut_table_bytes() noexcept { return table_bytes.load(std::memory_order_relaxed); }

Shortcuts::Shortcuts(unsigned offset, unsigned deep_bits) noexcept
    : offset_(offset), limit_(offset + kBits), deep_bits_(deep_bits), deep_limit_(offset + deep_bits) {}

Shortcuts::~Shortcuts() {
  if (std::atomic<std::uintptr_t>* slots = slots_.load(std::memory_order_relaxed)) {
    platform::unmap(slots, kTableBytes);
    table_bytes.fetch_sub(kTableBytes, std::memory_order_relaxed);
  }
  if (DeepSlot* deep = deep_slots_.load(std::memory_order_relaxed)) {
    platform::unmap(deep, kDeepTableBytes);
    table_bytes.fetch_sub(kDeepTableBytes, std::memory_order_relaxed);
  }
}

void Shortcuts::enable() noexcept {
  if (deep_slots_.load(std::memory_order_acquire) != nullptr) return;
  if (slots_.load(std::memory_order_acquire) == nullptr) {
    // Zeroed, and backed page by page as slots are first set.
    auto* fresh = static_cast<std::atomic<std::uintptr_t>*>(platform::map_aligned(kTableBytes));
    if (fresh == nullptr) return;  // walks keep starting at the root
    std::atomic<std::uintptr_t>* none = nullptr;
    if (slots_.compare_exchange_strong(none, fresh, std::memory_order_acq_rel)) {
      table_bytes.fetch_add(kTableBytes, std::memory_order_relaxed);
    } else {
      platform::unmap(fresh, kTableBytes);  // another writer's came first
    }
  }
  auto* deep = static_cast<DeepSlot*>(platform::map_aligned(kDeepTableBytes));
  if (deep == nullptr) return;  // walks start at the first-level slots only
  DeepSlot* none = nullptr;
  if (!deep_slots_.compare_exchange_strong(none, deep, std::memory_order_acq_rel)) {
    platform::unmap(deep, kDeepTableBytes);
    return;
  }
  table_bytes.fetch_add(kDeepTableBytes, std::memory_order_relaxed);
}

std::uintptr_t Shortcuts::deep_word(DeepSlot* slots, std::uint64_t key) const noexcept {
  const std::size_t i = deep_index(key);
  std::lock_guard lock(deep_stripe(i));
  return slots[i].word != 0 && slots[i].key == key ? slots[i].word : 0;
}

Shortcuts::Walk Shortcuts::walk(const PrefixKey& key) noexcept {
  Walk w;
  std::atomic<std::uintptr_t>* slots = slots_.load(std::memory_order_acquire);
  if (slots == nullptr || key.length < limit_) return w;
  w.slot_ = &slots[index_of(key.bits)];
  w.limit_ = limit_;
  // Acquire: the node's contents as the writer that recorded it saw them.
  w.seen_ = w.slot_->load(std::memory_order_acquire);
  w.deepest_ = w.seen_;
  DeepSlot* deep = deep_slots_.load(std::memory_order_acquire);
  if (deep == nullptr || key.length < deep_limit_ || (w.seen_ & kDense) == 0) return w;
  w.deep_ = this;
  w.deep_limit_ = deep_limit_;
  w.deep_key_ = deep_key_of(key.bits);
  // The stripe's mutex orders the node's contents as for the first level.
  w.deep_seen_ = deep_word(deep, w.deep_key_);
  w.deep_deepest_ = w.deep_seen_;
  return w;
}

void Shortcuts::Walk::record() noexcept {
  if (deepest_ != 0 && (deepest_ & ~kDense) != (seen_ & ~kDense)) {
    TrieNode* n = node_of(deepest_);
    // Under the node's word, so that a writer unlinking it either sees this
    // store in its scan or is seen here (see the header). A new node keeps
    // the slot's mark: what lies below it is as dense as before.
    NodeWriteLock lock(n);
    if (!n->unlinked()) slot_->store(deepest_ | (seen_ & kDense), std::memory_order_release);
  } else if (slot_ != nullptr && (seen_ & kDense) == 0 && deep_seen_ == 0 && passed_ >= kDenseAfter) {
    // Only from the word read: a slot cleared or changed meanwhile stays
    // as it is. A slot without a node (no node starts in its window: all
    // its keys share the bits past its end) gets the mark alone.
    std::uintptr_t expected = seen_;
    slot_->compare_exchange_strong(expected, seen_ | kDense, std::memory_order_relaxed);
  }
  if (deep_deepest_ != 0 && deep_deepest_ != deep_seen_) {
    TrieNode* n = node_of(deep_deepest_);
    NodeWriteLock lock(n);  // as above; the stripe is taken inside it, never the other way
    if (n->unlinked()) return;
    DeepSlot* slots = deep_->deep_slots_.load(std::memory_order_acquire);
    const std::size_t i = deep_->deep_index(deep_key_);
    std::lock_guard stripe(deep_->deep_stripe(i));
    slots[i] = DeepSlot{deep_key_, deep_deepest_};
  }
}

TrieNode* Shortcuts::linked_start(const PrefixKey& key, unsigned most_bits, unsigned& depth) const noexcept {
  std::atomic<std::uintptr_t>* slots = slots_.load(std::memory_order_acquire);
  if (slots == nullptr || key.length < limit_) return nullptr;
  std::uintptr_t word = 0;
  unsigned limit = limit_;
  const std::uintptr_t first_level = slots[index_of(key.bits)].load(std::memory_order_acquire);
  DeepSlot* deep = deep_slots_.load(std::memory_order_acquire);
  if (deep != nullptr && key.length >= deep_limit_ && most_bits >= deep_bits_ && (first_level & kDense) != 0) {
    word = deep_word(deep, deep_key_of(key.bits));
    limit = deep_limit_;
  }
  if (word == 0) {
    word = first_level;
    limit = limit_;
  }
  if (node_of(word) == nullptr) return nullptr;
  // The slot's node is not retired while this writer is inside its Guard;
  // whether it is still linked is read against its version word.
  TrieNode* n = node_of(word);
  const std::uint32_t v = n->read_begin();
  const bool unlinked = n->unlinked();
  std::atomic_thread_fence(std::memory_order_acquire);
  if (unlinked || !n->read_valid(v)) return nullptr;
  depth = limit - distance_of(word);
  return n;
}

void Shortcuts::forget_deep(const TrieNode* n, unsigned d, u128 path) noexcept {
  DeepSlot* slots = deep_slots_.load(std::memory_order_acquire);
  if (slots == nullptr || d > deep_limit_ || deep_limit_ - d > kDeepWindow) return;  // never recorded
  const std::uintptr_t word = tag(n, deep_limit_ - d);
  // Every key whose walks pass n: n's path, then any deep_limit_ - d bits.
  const std::uint64_t first = deep_key_of(path);
  const std::uint64_t count = std::uint64_t{1} << (deep_limit_ - d);
  for (std::uint64_t k = first; k < first + count; ++k) {
    const std::size_t i = deep_index(k);
    std::lock_guard stripe(deep_stripe(i));
    if (slots[i].word == word) slots[i].word = 0;
  }
}

void Shortcuts::forget(const TrieNode* n, unsigned d, u128 path) noexcept {
  forget_deep(n, d, path);
  std::atomic<std::uintptr_t>* slots = slots_.load(std::memory_order_acquire);
  if (slots == nullptr || d > limit_ || limit_ - d > kWindow) return;  // never recorded
  const std::uintptr_t word = tag(n, limit_ - d);
  const std::size_t count = std::size_t{1} << (limit_ - d);
  const std::size_t first = index_of(path) & ~(count - 1);
  for (std::size_t i = first; i < first + count; ++i) {
    // Whether or not a walk marks the slot dense meanwhile.
    std::uintptr_t current = slots[i].load(std::memory_order_relaxed);
    while ((current & ~kDense) == word && !slots[i].compare_exchange_weak(current, 0, std::memory_order_relaxed)) {
    }
  }
}

void Shortcuts::clear() noexcept {
  if (std::atomic<std::uintptr_t>* slots = slots_.load(std::memory_order_relaxed)) {
    std::memset(static_cast<void*>(slots), 0, kTableBytes);
  }
  if (DeepSlot* deep = deep_slots_.load(std::memory_order_relaxed)) std::memset(static_cast<void*>(deep), 0, kDeepTableBytes);
}

}  // namespace korvane::trie
