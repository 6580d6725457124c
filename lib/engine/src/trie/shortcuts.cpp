#include "trie/shortcuts.hpp"

#include <cstring>

#include "platform.hpp"

namespace korvane::trie {

namespace {
std::atomic<std::size_t> table_bytes{0};  // relaxed: a figure, ordering nothing
constexpr std::size_t kTableBytes = (std::size_t{1} << Shortcuts::kBits) * sizeof(std::uintptr_t);
}  // namespace

std::size_t shortcut_table_bytes() noexcept { return table_bytes.load(std::memory_order_relaxed); }

Shortcuts::Shortcuts(unsigned offset) noexcept : offset_(offset), limit_(offset + kBits) {}

Shortcuts::~Shortcuts() {
  if (std::atomic<std::uintptr_t>* slots = slots_.load(std::memory_order_relaxed)) {
    platform::unmap(slots, kTableBytes);
    table_bytes.fetch_sub(kTableBytes, std::memory_order_relaxed);
  }
}

void Shortcuts::enable() noexcept {
  if (slots_.load(std::memory_order_acquire) != nullptr) return;
  // Zeroed, and backed page by page as slots are first set.
  auto* fresh = static_cast<std::atomic<std::uintptr_t>*>(platform::map_aligned(kTableBytes));
  if (fresh == nullptr) return;  // walks keep starting at the root
  std::atomic<std::uintptr_t>* none = nullptr;
  if (!slots_.compare_exchange_strong(none, fresh, std::memory_order_acq_rel)) {
    platform::unmap(fresh, kTableBytes);  // another writer's came first
    return;
  }
  table_bytes.fetch_add(kTableBytes, std::memory_order_relaxed);
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
  return w;
}

void Shortcuts::Walk::record() noexcept {
  if (deepest_ == 0 || deepest_ == seen_) return;
  TrieNode* n = node_of(deepest_);
  // Under the node's word, so that a writer unlinking it either sees this
  // store in its scan or is seen here (see the header).
  NodeWriteLock lock(n);
  if (!n->unlinked()) slot_->store(deepest_, std::memory_order_release);
}

TrieNode* Shortcuts::linked_start(const PrefixKey& key, unsigned& depth) const noexcept {
  std::atomic<std::uintptr_t>* slots = slots_.load(std::memory_order_acquire);
  if (slots == nullptr || key.length < limit_) return nullptr;
  const std::uintptr_t word = slots[index_of(key.bits)].load(std::memory_order_acquire);
  if (word == 0) return nullptr;
  // The slot's node is not retired while this writer is inside its Guard;
  // whether it is still linked is read against its version word.
  TrieNode* n = node_of(word);
  const std::uint32_t v = n->read_begin();
  const bool unlinked = n->unlinked();
  std::atomic_thread_fence(std::memory_order_acquire);
  if (unlinked || !n->read_valid(v)) return nullptr;
  depth = limit_ - distance_of(word);
  return n;
}

void Shortcuts::forget(const TrieNode* n, unsigned d, u128 path) noexcept {
  std::atomic<std::uintptr_t>* slots = slots_.load(std::memory_order_acquire);
  if (slots == nullptr || d > limit_ || limit_ - d > kWindow) return;  // never recorded
  const std::uintptr_t word = tag(n, limit_ - d);
  const std::size_t count = std::size_t{1} << (limit_ - d);
  const std::size_t first = index_of(path) & ~(count - 1);
  for (std::size_t i = first; i < first + count; ++i) {
    std::uintptr_t expected = word;
    if (slots[i].load(std::memory_order_relaxed) == word) {
      slots[i].compare_exchange_strong(expected, 0, std::memory_order_relaxed);
    }
  }
}

void Shortcuts::clear() noexcept {
  if (std::atomic<std::uintptr_t>* slots = slots_.load(std::memory_order_relaxed)) {
    std::memset(static_cast<void*>(slots), 0, kTableBytes);
  }
}

}  // namespace korvane::trie
