#include "node/fields.hpp"

#include "platform.hpp"

namespace korvane::node {

namespace {
void release_rep_now(void* rep) { static_cast<detail::MetadataRep*>(rep)->release(); }
void release_box_now(void* box) { static_cast<PrefixBox*>(box)->release(); }
}  // namespace

void release_rep_deferred(detail::MetadataRep* rep) noexcept {
  if (rep != nullptr) epoch::retire(rep, &release_rep_now);
}

void release_prefix_deferred(StoredPrefix prefix) noexcept {
  if (PrefixBox* box = prefix.box()) epoch::retire(box, &release_box_now);
}

void EntryFields::destroy() noexcept {
  if (detail::MetadataRep* rep = metadata.exchange(nullptr, std::memory_order_acquire)) rep->release();
  StoredPrefix::from_word(prefix.exchange(0, std::memory_order_acquire)).release();
}

void ChildSlots::destroy() noexcept {
  for (auto& s : slot) {
    if (TrieNode* child = s.exchange(nullptr, std::memory_order_acquire)) child->release_ref();
  }
}

namespace {
KeyedByteHash random_keyed_hash() {
  KeyedByteHash h;
  h.k0 = platform::random_u64();
  h.k1 = platform::random_u64();
  return h;
}
}  // namespace

// Sizing the table at shards * slots-per-bucket gives one bucket, and so one
// lock stripe, per shard.
ChildMap::ChildMap() : map(default_child_map_shards() * Map::slot_per_bucket(), random_keyed_hash()) {}

void ChildMap::replace_child(unsigned bit, TrieNode* node) {
  const auto key = static_cast<std::uint8_t>(bit);
  TrieNode* old = nullptr;
  if (node == nullptr) {
    map.erase_fn(key, [&](TrieNode*& value) {
      old = value;
      return true;
    });
  } else {
    map.upsert(
        key,
        [&](TrieNode*& value) {
          old = value;
          value = node;
        },
        node);
  }
  if (old != nullptr) TrieNode::release_deferred(old);
}

TrieNode* ChildMap::install_if_empty(unsigned bit, TrieNode* node) {
  const auto key = static_cast<std::uint8_t>(bit);
  TrieNode* existing = nullptr;
  map.upsert(
      key, [&](TrieNode*& value) { existing = value; }, node);
  return existing;
}

TrieNode* ChildMap::take_child(unsigned bit) {
  TrieNode* old = nullptr;
  map.erase_fn(static_cast<std::uint8_t>(bit), [&](TrieNode*& value) {
    old = value;
    return true;
  });
  return old;
}

void ChildMap::destroy() noexcept {
  for (unsigned bit = 0; bit < 2; ++bit) {
    if (TrieNode* child = take_child(bit)) child->release_ref();
  }
}

}  // namespace korvane::node
