#include "trie/shortcuts.hpp"

#include <cstring>
#include <new>

#include "platform.hpp"

namespace korvane::trie {

namespace {
std::atomic<std::size_t> table_bytes{0};  // relaxed: a figure, ordering nothing
constexpr std::size_t kTableBytes = (std::size_t{1} << Shortcuts::kBits) * sizeof(std::uintptr_t);
}  // namespace

std::size_t shortcut_table_bytes() noexcept { return table_bytes.load(std::memory_order_relaxed); }

Shortcuts::Shortcuts(unsigned offset)
    : offset_(offset),
      limit_(offset + kBits),
      // Zeroed, and backed page by page as slots are first set: a small
      // table costs a few pages.
      slots_(static_cast<std::atomic<std::uintptr_t>*>(platform::map_aligned(kTableBytes))) {
  if (slots_ == nullptr) throw std::bad_alloc();
  table_bytes.fetch_add(kTableBytes, std::memory_order_relaxed);
}

Shortcuts::~Shortcuts() {
  platform::unmap(slots_, kTableBytes);
  table_bytes.fetch_sub(kTableBytes, std::memory_order_relaxed);
}

Shortcuts::Walk Shortcuts::walk(const PrefixKey& key) noexcept {
  Walk w;
  if (key.length < limit_) return w;
  w.slot_ = &slots_[index_of(key.bits)];
  w.limit_ = limit_;
  // Acquire: the node's contents as the writer that recorded it saw them.
  w.seen_ = w.slot_->load(std::memory_order_acquire);
  w.deepest_ = w.seen_;
  if (!used_.load(std::memory_order_relaxed)) used_.store(true, std::memory_order_relaxed);
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
  if (key.length < limit_) return nullptr;
  const std::uintptr_t word = slots_[index_of(key.bits)].load(std::memory_order_acquire);
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
  if (d > limit_ || limit_ - d > kWindow) return;  // never recorded
  const std::uintptr_t word = tag(n, limit_ - d);
  const std::size_t count = std::size_t{1} << (limit_ - d);
  const std::size_t first = index_of(path) & ~(count - 1);
  for (std::size_t i = first; i < first + count; ++i) {
    std::uintptr_t expected = word;
    if (slots_[i].load(std::memory_order_relaxed) == word) {
      slots_[i].compare_exchange_strong(expected, 0, std::memory_order_relaxed);
    }
  }
}

void Shortcuts::clear() noexcept {
  if (!used_.load(std::memory_order_relaxed)) return;
  std::memset(static_cast<void*>(slots_), 0, kTableBytes);
  used_.store(false, std::memory_order_relaxed);
}

}  // namespace korvane::trie
