// The variant dispatcher: one engine holding its storage in one of six
// layouts and routing the engine operations to it.
//
// Thread safety: as every PrefixEngine. The dispatcher itself takes no lock;
// the storage engines it routes to synchronise internally.
#pragma once

#include <cstdint>
#include <memory>

#include "korvane/engine.hpp"

namespace korvane {

namespace detail {
struct LocalLayout;
}

class LocalEngine final : public PrefixEngine {
 public:
  // Layout tags.
  enum class Layout : std::uint8_t {
    Trie = 0,              // one trie engine, uncompressed nodes
    ShardedTrie = 1,       // shards sharing one uncompressed trie
    CompressedTrie = 2,    // one trie engine, path-compressed nodes
    ShardedCompressed = 3, // shards sharing one path-compressed trie
    Art = 4,               // one adaptive radix tree engine
    ShardedArt = 5,        // shards, each its own adaptive radix tree
  };

  // A trie layout over nodes of `node_kind` (0..3 uncompressed, 4..7
  // path-compressed; any other throws std::invalid_argument). With
  // shards >= 2 the shards share one trie.
  static std::shared_ptr<const LocalEngine> make_trie(std::uint8_t node_kind, std::uint64_t shards);
  // An adaptive radix tree layout: one engine when shards <= 1, otherwise
  // that many engines, each holding a full copy of the data.
  static std::shared_ptr<const LocalEngine> make_art(std::uint64_t shards);

  explicit LocalEngine(std::unique_ptr<detail::LocalLayout> layout);
  ~LocalEngine() override;

  Layout layout() const noexcept;
  // 1 for the single layouts, the number of shards otherwise.
  std::uint64_t shard_count() const noexcept;

  InsertStatus insert(const IpPrefix& prefix, Metadata metadata) const override;
  std::optional<Metadata> lookup(const IpAddress& address) const override;
  std::optional<Metadata> remove(const IpPrefix& prefix) const override;
  bool contains(const IpPrefix& prefix) const override;
  void clear() const override;
  std::uint64_t len() const override;
  EngineStats stats() const override;
  void lookup_many(std::span<const IpAddress> addresses, std::span<std::optional<Metadata>> results) const override;
  void lookup_visit(std::span<const IpAddress> addresses, LookupVisitor& visitor) const override;
  void for_each(EntryVisitor& visitor) const override;

  // The layout's internals, for the engine library's own code.
  const detail::LocalLayout& internals() const noexcept { return *layout_; }

 private:
  std::unique_ptr<detail::LocalLayout> layout_;
};

// Index of the shard that serves a lookup of `address` among `shard_count`
// shards: h = h * 31 + byte over the first four address bytes, then h mod n
// (0 for no shards).
std::uint64_t select_shard(const IpAddress& address, std::uint64_t shard_count) noexcept;

}  // namespace korvane
