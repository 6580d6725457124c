#include "engine_art.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "epoch.hpp"
#include "metadata_rep.hpp"

namespace korvane {

namespace {

bool valid(const IpPrefix& prefix) noexcept {
  return (prefix.family == AddressFamily::V4 || prefix.family == AddressFamily::V6) &&
         prefix.length <= address_width_bits(prefix.family);
}

bool valid(const IpAddress& address) noexcept {
  return address.family == AddressFamily::V4 || address.family == AddressFamily::V6;
}

}  // namespace

// ---------------------------------------------------------------------------
// ArtEngine

InsertStatus ArtEngine::insert(const IpPrefix& prefix, Metadata metadata) const {
  if (!valid(prefix)) return std::string("Invalid prefix length");
  // A record whose holder was given a reference to write through is stored
  // as a copy (a copy of it is a whole one): a later write through that
  // reference must not reach the stored record under lock-free readers.
  const detail::MetadataRep* given = detail::MetadataAccess::peek(metadata);
  if (given != nullptr && given->exposed.load(std::memory_order_relaxed)) metadata = Metadata(metadata);
  // Pinned so that what this writer retires is collected on its way out,
  // and before the record is taken: a thread's first pin may throw.
  epoch::Guard pin;
  std::lock_guard writer(writer_);
  detail::MetadataRep* rep = detail::MetadataAccess::take(metadata);
  tree_.insert(prefix.family, prefix.bytes.data(), prefix.length, rep);
  return std::nullopt;
}

std::optional<Metadata> ArtEngine::lookup(const IpAddress& address) const {
  if (!valid(address)) return std::nullopt;
  epoch::Guard pin;
  const detail::MetadataRep* rep = tree_.lookup(address.family, address.bytes.data());
  if (rep == nullptr) return std::nullopt;
  // The tree's reference keeps the record alive while pinned; the caller
  // gets one of its own.
  auto* owned = const_cast<detail::MetadataRep*>(rep);
  owned->acquire();
  return detail::MetadataAccess::adopt(owned);
}

std::optional<Metadata> ArtEngine::remove(const IpPrefix& prefix) const {
  if (!valid(prefix)) return std::nullopt;
  // Pinned before the lock, as insert is, so that the collection the pin
  // may run as it ends runs with the lock let go.
  epoch::Guard pin;
  std::lock_guard writer(writer_);
  detail::MetadataRep* rep = tree_.remove(prefix.family, prefix.bytes.data(), prefix.length);
  if (rep == nullptr) return std::nullopt;
  return detail::MetadataAccess::adopt(rep);
}

bool ArtEngine::contains(const IpPrefix& prefix) const {
  if (!valid(prefix)) return false;
  epoch::Guard pin;
  return tree_.contains(prefix.family, prefix.bytes.data(), prefix.length);
}

void ArtEngine::clear() const {
  epoch::Guard pin;
  std::lock_guard writer(writer_);
  tree_.clear();
}

EngineStats ArtEngine::stats() const noexcept {
  EngineStats out;
  out.size = len();
  return out;
}

void ArtEngine::for_each(EntryVisitor& visitor) const {
  // One pass over the live tree, pinned, taking a reference on each record;
  // then sorted, and visited unpinned so that the visitor may take its time.
  std::vector<std::pair<IpPrefix, Metadata>> entries;
  {
    std::vector<std::pair<IpPrefix, const detail::MetadataRep*>> found;
    epoch::Guard pin;
    tree_.collect(AddressFamily::V4, found);
    tree_.collect(AddressFamily::V6, found);
    entries.reserve(found.size());
    for (const auto& [prefix, rep] : found) {
      auto* owned = const_cast<detail::MetadataRep*>(rep);
      owned->acquire();
      entries.emplace_back(prefix, detail::MetadataAccess::adopt(owned));
    }
  }
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return listing_order(a.first, b.first); });
  for (const auto& [prefix, record] : entries) visitor.visit(prefix, record);
}

// ---------------------------------------------------------------------------
// Layouts 4 and 5

std::shared_ptr<const LocalEngine> LocalEngine::make_art(std::uint64_t shards) {
  auto layout = std::make_unique<detail::LocalLayout>();
  if (shards <= 1) {
    layout->tag = Layout::Art;
    layout->art = std::make_shared<const ArtEngine>();
  } else {
    layout->tag = Layout::ShardedArt;
    layout->art_group = std::make_shared<const detail::ArtShardGroup>(shards);
  }
  return std::make_shared<const LocalEngine>(std::move(layout));
}

namespace detail {

namespace {

// Marks a change to the row as under way for as long as it lives; made with
// the group's writer mutex held.
class RowChange {
 public:
  explicit RowChange(const ArtShardGroup& group) noexcept : changes_(group.changes) {
    changes_.fetch_add(1, std::memory_order_relaxed);
  }
  ~RowChange() { changes_.fetch_add(1, std::memory_order_release); }
  RowChange(const RowChange&) = delete;
  RowChange& operator=(const RowChange&) = delete;

 private:
  std::atomic<std::uint64_t>& changes_;
};

}  // namespace

InsertStatus art_insert(const LocalLayout& layout, const IpPrefix& prefix, Metadata metadata) {
  if (layout.art) return layout.art->insert(prefix, std::move(metadata));
  const ArtShardGroup& group = *layout.art_group;
  // What may throw (a payload for an empty record, the whole copy of an
  // exposed one, the thread's first pin) happens once, before any shard
  // changes: running out of memory part way would leave the shards holding
  // different entries for good.
  if (const MetadataRep* given = MetadataAccess::peek(metadata); given == nullptr) {
    metadata = MetadataAccess::adopt(new MetadataRep());
  } else if (given->exposed.load(std::memory_order_relaxed)) {
    metadata = Metadata(metadata);
  }
  epoch::Guard pin;
  std::lock_guard writers(group.writers);
  const RowChange change(group);
  // Every shard stores the same immutable record: a copy shares it.
  for (std::uint64_t i = 0; i + 1 < group.shard_count; ++i) {
    if (InsertStatus error = group.row[i].insert(prefix, metadata)) return error;
  }
  return group.row[group.shard_count - 1].insert(prefix, std::move(metadata));
}

std::optional<Metadata> art_lookup(const LocalLayout& layout, const IpAddress& address) {
  if (layout.art) return layout.art->lookup(address);
  const ArtShardGroup& group = *layout.art_group;
  const bool changing = (group.changes.load(std::memory_order_acquire) & 1u) != 0;
  return group.row[changing ? 0 : select_shard(address, group.shard_count)].lookup(address);
}

std::optional<Metadata> art_remove(const LocalLayout& layout, const IpPrefix& prefix) {
  if (layout.art) return layout.art->remove(prefix);
  const ArtShardGroup& group = *layout.art_group;
  std::lock_guard writers(group.writers);
  const RowChange change(group);
  std::optional<Metadata> first;
  for (std::uint64_t i = 0; i < group.shard_count; ++i) {
    std::optional<Metadata> removed = group.row[i].remove(prefix);
    if (!first) first = std::move(removed);
  }
  return first;
}

bool art_contains(const LocalLayout& layout, const IpPrefix& prefix) {
  return layout.art ? layout.art->contains(prefix) : layout.art_group->row[0].contains(prefix);
}

void art_clear(const LocalLayout& layout) {
  if (layout.art) return layout.art->clear();
  const ArtShardGroup& group = *layout.art_group;
  std::lock_guard writers(group.writers);
  const RowChange change(group);
  for (std::uint64_t i = 0; i < group.shard_count; ++i) group.row[i].clear();
}

std::uint64_t art_len(const LocalLayout& layout) {
  return layout.art ? layout.art->len() : layout.art_group->row[0].len();
}

EngineStats art_stats(const LocalLayout& layout) {
  return layout.art ? layout.art->stats() : layout.art_group->row[0].stats();
}

void art_for_each(const LocalLayout& layout, EntryVisitor& visitor) {
  // Every shard of the row holds every entry: the first lists them.
  (layout.art ? *layout.art : layout.art_group->row[0]).for_each(visitor);
}

}  // namespace detail

}  // namespace korvane
