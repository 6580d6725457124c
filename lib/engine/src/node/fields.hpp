// Field building blocks shared by the node kinds: the entry (record and
// stored prefix), two child slots, and the concurrent child map of the
// Hashed flavour.
//
// Every field is one atomic word. A reader loads it with acquire ordering,
// which also orders the load of what it points to; a writer replaces it with
// an exchange (acq_rel) and hands the old pointee to deferred release, so a
// reader that loaded the old pointer keeps a valid object until it leaves
// its epoch Guard. Single-word fields need no lock of their own: the atomic
// exchange is the whole critical section.
#pragma once

#include <atomic>
#include <cstdint>

#include <libcuckoo/cuckoohash_map.hh>

#include "epoch.hpp"
#include "metadata_rep.hpp"
#include "traits.hpp"

namespace korvane::node {

template <std::size_t N>
struct Padding {
  unsigned char bytes[N] = {};  // never read
};
template <>
struct Padding<0> {};

void release_rep_deferred(detail::MetadataRep* rep) noexcept;
void release_prefix_deferred(StoredPrefix prefix) noexcept;

struct EntryFields {
  std::atomic<detail::MetadataRep*> metadata{nullptr};  // owns one reference
  // A StoredPrefix's word; owns one reference when it names a box.
  std::atomic<std::uintptr_t> prefix{0};

  detail::MetadataRep* load_metadata() const noexcept { return metadata.load(std::memory_order_acquire); }
  StoredPrefix load_prefix() const noexcept { return StoredPrefix::from_word(prefix.load(std::memory_order_acquire)); }
  // For a node no reader can see yet.
  void store_prefix_unpublished(StoredPrefix stored) noexcept { prefix.store(stored.word(), std::memory_order_relaxed); }

  // Installs `rep` (an owned reference, may be null) and returns the
  // previous one, whose reference now belongs to the caller; the caller must
  // release it through release_rep_deferred unless it moves it elsewhere.
  detail::MetadataRep* exchange_metadata(detail::MetadataRep* rep) noexcept {
    return metadata.exchange(rep, std::memory_order_acq_rel);
  }
  void replace_prefix(StoredPrefix stored) noexcept {
    release_prefix_deferred(StoredPrefix::from_word(prefix.exchange(stored.word(), std::memory_order_acq_rel)));
  }
  void destroy() noexcept;  // only when no reader can see the node
};

struct ChildSlots {
  std::atomic<TrieNode*> slot[2] = {nullptr, nullptr};  // each owns one reference

  TrieNode* child(unsigned bit) const noexcept { return slot[bit].load(std::memory_order_acquire); }
  // Installs an owned reference (or null); the previous child is released
  // once no walker can still see it.
  void replace_child(unsigned bit, TrieNode* node) noexcept {
    if (TrieNode* old = slot[bit].exchange(node, std::memory_order_acq_rel)) TrieNode::release_deferred(old);
  }
  // Installs `node` only if the slot is empty. Returns null on success,
  // otherwise the child already there (and `node` stays the caller's).
  TrieNode* install_if_empty(unsigned bit, TrieNode* node) noexcept {
    TrieNode* expected = nullptr;
    if (slot[bit].compare_exchange_strong(expected, node, std::memory_order_acq_rel,
                                          std::memory_order_acquire)) {
      return nullptr;
    }
    return expected;
  }
  // Moves both children out, for a split; the caller owns the references.
  TrieNode* take_child(unsigned bit) noexcept { return slot[bit].exchange(nullptr, std::memory_order_acq_rel); }
  void destroy() noexcept;
};

// Keyed hash for the child map; the keys are drawn at random per map.
struct KeyedByteHash {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
  std::size_t operator()(std::uint8_t key) const noexcept {
    std::uint64_t z = (key ^ k0) * 0x9E3779B97F4A7C15ull + k1;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<std::size_t>(z ^ (z >> 31));
  }
};

// Children kept in a lock-striped concurrent map keyed by the child's bit.
// The map's own striped locks guard its slots; the stored pointers follow
// the same ownership rules as ChildSlots.
struct ChildMap {
  using Map = libcuckoo::cuckoohash_map<std::uint8_t, TrieNode*, KeyedByteHash>;
  Map map;

  ChildMap();
  TrieNode* child(unsigned bit) const noexcept {
    TrieNode* out = nullptr;
    map.find(static_cast<std::uint8_t>(bit), out);
    return out;
  }
  void replace_child(unsigned bit, TrieNode* node);
  TrieNode* install_if_empty(unsigned bit, TrieNode* node);
  TrieNode* take_child(unsigned bit);
  void destroy() noexcept;
};

}  // namespace korvane::node
