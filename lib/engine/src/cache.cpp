#include "cache.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "epoch.hpp"
#include "metadata_rep.hpp"
#include "redis/backend.hpp"
#include "reference_stock.hpp"

namespace korvane {

CachedEngine::CachedEngine(std::uint64_t capacity, EngineHandle inner, std::shared_ptr<redis::RedisBackend> backend,
                           std::string update_channel)
    : capacity_(capacity),
      results_(capacity),
      backend_(std::move(backend)),
      update_channel_(backend_ && !update_channel.empty()
                          ? redis::notice_channel(update_channel, backend_->client().settings().database)
                          : std::move(update_channel)),
      origin_(backend_ ? redis::new_origin() : std::string()),
      inner_(std::move(inner)) {}

CachedEngine::~CachedEngine() = default;

InsertStatus CachedEngine::insert(const IpPrefix& prefix, Metadata metadata) const {
  if (!backend_) {
    if (InsertStatus error = inner_->insert(prefix, std::move(metadata))) return error;
  } else {
    if (InsertStatus error = inner_->insert(prefix, metadata)) return error;
    const std::string* channel = update_channel_.empty() ? nullptr : &update_channel_;
    const auto generation = backend_->store_entry(prefix, metadata, channel, origin_);
    note_write_through(generation && *generation != 0);
  }
  invalidate_covered(prefix);
  return std::nullopt;
}

std::optional<Metadata> CachedEngine::lookup(const IpAddress& address) const {
  if (backend_) return lookup_shared(address);
  // One pin for the probe, the inner lookup and the store (theirs nest).
  epoch::Guard pin;
  std::optional<Metadata> result;
  if (results_.find(address, result)) return result;
  const std::uint64_t before = log_.now();
  result = inner_->lookup(address);
  results_.store(address, result, log_, before);
  return result;
}

namespace {
// An address as whole words, compared without a call.
struct AddressWords {
  std::uint64_t high, low, family;
  AddressWords() = default;
  explicit AddressWords(const IpAddress& address) noexcept : family(static_cast<std::uint64_t>(address.family)) {
    std::memcpy(&high, address.bytes.data(), 8);
    std::memcpy(&low, address.bytes.data() + 8, 8);
  }
  bool operator==(const AddressWords&) const = default;
  std::uint64_t hash() const noexcept {
    return ((high * 0x9E3779B97F4A7C15ull) ^ (low * 0xC2B2AE3D27D4EB4Full) ^ family) * 0xFF51AFD7ED558CCDull;
  }
};

// The first miss of each address within a chunk. A later miss of the same
// address is a repeat: a single lookup there would probe the cache after
// the first one's store.
class FirstMisses {
 public:
  // The number of the earlier miss of this chunk that had `address`, or
  // `count` when there is none; the caller then appends it to `misses` (of
  // which there are `count`).
  std::size_t note(const IpAddress* misses, std::size_t count, const IpAddress& address) noexcept {
    const AddressWords words(address);
    // Twice as many slots as a chunk has misses: every probe ends.
    for (std::size_t slot = words.hash() >> 57;; slot = (slot + 1) % kSlots) {
      if (slots_[slot] == 0) {
        slots_[slot] = static_cast<std::uint8_t>(count + 1);
        return count;
      }
      if (AddressWords(misses[slots_[slot] - 1]) == words) return slots_[slot] - 1u;
    }
  }

 private:
  static constexpr std::size_t kSlots = 128;
  std::array<std::uint8_t, kSlots> slots_{};  // 1 + a miss's position, 0 for none
};

// The addresses the stores of a chunk have evicted so far and that are not
// cached again since. A filter of hash bits answers most checks without
// the list.
class EvictedSince {
 public:
  bool empty() const noexcept { return count_ == 0; }
  bool contains(const IpAddress& address) const noexcept {
    const AddressWords words(address);
    if ((filter_ & bit(words)) == 0) return false;
    for (std::size_t i = 0; i < count_; ++i) {
      if (list_[i] == words) return true;
    }
    return false;
  }
  void add(const ResultTable::StoreOutcome& outcome) noexcept {
    for (std::size_t e = 0; e < outcome.evicted_count; ++e) {
      if (count_ == std::size(list_)) {
        // More evictions than a chunk's stores make alone (other threads'
        // stores evict too): forget the oldest, which the chunk has passed
        // likeliest.
        std::move(list_ + 1, list_ + count_, list_);
        --count_;
      }
      list_[count_] = AddressWords(outcome.evicted[e]);
      filter_ |= bit(list_[count_++]);
    }
  }
  // After the address is cached again.
  void remove(const IpAddress& address) noexcept {
    const AddressWords words(address);
    if ((filter_ & bit(words)) == 0) return;
    for (std::size_t i = count_; i > 0; --i) {
      if (list_[i - 1] == words) list_[i - 1] = list_[--count_];
    }
  }

 private:
  static std::uint64_t bit(const AddressWords& words) noexcept { return std::uint64_t{1} << (words.hash() >> 58); }
  AddressWords list_[2 * 64];  // [0, count_) in use
  std::size_t count_ = 0;
  std::uint64_t filter_ = 0;  // may keep bits of removed addresses
};

// The record of an answer (alive while the answer is), or null for none.
detail::MetadataRep* rep_of(const std::optional<Metadata>& answer) noexcept {
  return answer ? const_cast<detail::MetadataRep*>(detail::MetadataAccess::peek(*answer)) : nullptr;
}
}  // namespace

void CachedEngine::lookup_many(std::span<const IpAddress> addresses,
                               std::span<std::optional<Metadata>> results) const {
  if (backend_ || addresses.size() == 1) return PrefixEngine::lookup_many(addresses, results);
  for (std::size_t base = 0; base < addresses.size(); base += kChunk) {
    answer_chunk(addresses.data() + base, std::min(kChunk, addresses.size() - base), results.data() + base);
  }
}

void CachedEngine::lookup_visit(std::span<const IpAddress> addresses, LookupVisitor& visitor) const {
  if (backend_ || addresses.size() == 1) return PrefixEngine::lookup_visit(addresses, visitor);
  std::optional<Metadata> answers[kChunk];
  for (std::size_t base = 0; base < addresses.size(); base += kChunk) {
    const std::size_t n = std::min(kChunk, addresses.size() - base);
    answer_chunk(addresses.data() + base, n, answers);
    // The visitor reads each record's contents, which handing it out left
    // in cache only in part.
    for (std::size_t i = 0; i < n; ++i) {
      if (answers[i]) detail::prefetch_record_span(static_cast<const detail::MetadataRep*>(answers[i]->identity()));
    }
    for (std::size_t i = 0; i < n; ++i) visitor.visit(base + i, answers[i] ? &*answers[i] : nullptr);
  }
}

// Single lookups in turn would probe each address, and on a miss ask the
// inner engine and store the answer (which may evict a cached address)
// before the next address is probed. A chunk probes every address first,
// asks the inner engine about the first miss of each address in one batch,
// then goes through the chunk in order, storing: a repeat of a miss finds
// the answer stored for it unless a store has evicted it since (or it was
// not stored), and an address that a store of this chunk evicted before
// its turn misses there, as it would have, and is asked about on its own.
// So the inner engine sees (and counts) exactly the lookups single ones
// would make, and the stores are the same, in the same order.
void CachedEngine::answer_chunk(const IpAddress* addresses, std::size_t n, std::optional<Metadata>* answers) const {
  static_assert(kChunk * 2 <= 128 && kChunk < 255, "FirstMisses sizes its table and positions for a chunk");
  enum : std::uint8_t { kHit, kFirstMiss, kRepeat };
  std::uint8_t kind[kChunk];
  std::uint8_t miss_of[kChunk];  // for a first miss or a repeat: the number of the first miss
  IpAddress missed[kChunk];
  std::size_t misses = 0;
  FirstMisses first;
  epoch::Participant* self = epoch::local_participant();
  // One pin for the probes, the inner batch and the stores (theirs nest).
  epoch::Guard pin;
  for (std::size_t i = 0; i < n; ++i) {
    if (results_.find(addresses[i], answers[i])) {
      kind[i] = kHit;
      continue;
    }
    const std::size_t j = first.note(missed, misses, addresses[i]);
    kind[i] = j == misses ? kFirstMiss : kRepeat;
    miss_of[i] = static_cast<std::uint8_t>(j);
    if (j == misses) missed[misses++] = addresses[i];
  }
  if (misses == 0) return;
  // Read before the inner batch, as a single miss reads it before its inner
  // lookup: a change logged since stops the store of every address it covers.
  const std::uint64_t before = log_.now();
  std::optional<Metadata> found[kChunk];
  inner_->lookup_many(std::span(missed, misses), std::span(found, misses));
  // For each first miss: whether its address is stored (and not evicted
  // by this chunk's stores since), and the position of its latest answer.
  bool stored[kChunk];
  std::uint8_t answered_at[kChunk];
  EvictedSince evicted;
  const auto miss_here = [&](std::size_t i) {
    const std::uint64_t asked_at = log_.now();
    answers[i] = inner_->lookup(addresses[i]);
    const ResultTable::StoreOutcome outcome = results_.store(addresses[i], answers[i], log_, asked_at);
    evicted.add(outcome);
    if (outcome.stored) evicted.remove(addresses[i]);
    return outcome.stored;
  };
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t j = miss_of[i];
    switch (kind[i]) {
      case kHit:
        if (!evicted.empty() && evicted.contains(addresses[i])) miss_here(i);
        break;
      case kFirstMiss: {
        answers[i] = std::move(found[j]);
        // Not cached when the chunk began, so not evicted by it either.
        const ResultTable::StoreOutcome outcome = results_.store(addresses[i], answers[i], log_, before);
        evicted.add(outcome);
        stored[j] = outcome.stored;
        answered_at[j] = static_cast<std::uint8_t>(i);
        break;
      }
      default:  // kRepeat
        if (stored[j] && (evicted.empty() || !evicted.contains(addresses[i]))) {
          answers[i] = detail::stock::hand_out(rep_of(answers[answered_at[j]]), self->index);
        } else {
          stored[j] = miss_here(i);
          answered_at[j] = static_cast<std::uint8_t>(i);
        }
    }
  }
}

// No pin is held across a Redis round trip: it would hold back reclamation
// in the whole process for as long as the server takes.
std::optional<Metadata> CachedEngine::lookup_shared(const IpAddress& address) const {
  std::optional<Metadata> result;
  {
    epoch::Guard pin;
    if (results_.find(address, result)) return result;
  }
  // Read before the inner lookup: a change that overtakes the lookup has
  // bumped past it, so a stale record stored with it is never fetched.
  // 0: none, or no key, and then nothing is shared (see fetch_result).
  const std::uint64_t generation = shared_tier_usable() ? backend_->generation().value_or(0) : 0;
  std::uint64_t before = 0;
  {
    epoch::Guard pin;
    before = log_.now();
    result = inner_->lookup(address);
    if (result || generation == 0) results_.store(address, result, log_, before);
  }
  if (result) {
    if (generation != 0) backend_->store_result(address, *result, generation);
    return result;
  }
  if (generation == 0) return result;
  if (std::optional<Metadata> shared = backend_->fetch_result(address)) return shared;
  // Found neither here nor in Redis: the miss is cached as usual.
  epoch::Guard pin;
  results_.store(address, std::nullopt, log_, before);
  return std::nullopt;
}

std::optional<Metadata> CachedEngine::remove(const IpPrefix& prefix) const {
  std::optional<Metadata> removed = inner_->remove(prefix);
  if (backend_) {
    const std::string* channel = update_channel_.empty() ? nullptr : &update_channel_;
    const auto generation = backend_->delete_entry(prefix, channel, origin_);
    note_write_through(generation && *generation != 0);
  }
  invalidate_covered(prefix);
  return removed;
}

// `counted`: the write reached the server and bumped the generation (a
// generation key planted by hand that INCR cannot count gives 0: the shared
// results must then not be trusted, and the next bump fails too).
void CachedEngine::note_write_through(bool counted) const {
  if (!counted) unbumped_.fetch_add(1);
}

bool CachedEngine::shared_tier_usable() const {
  // Read before the bump: a change noted while it runs needs another one.
  const std::uint64_t due = unbumped_.load();
  std::uint64_t covered = bumped_for_.load();
  if (covered >= due) return true;
  if (!backend_->bump_generation()) return false;
  while (covered < due && !bumped_for_.compare_exchange_weak(covered, due)) {
  }
  return true;
}

bool CachedEngine::contains(const IpPrefix& prefix) const { return inner_->contains(prefix); }

void CachedEngine::clear() const {
  // Results shared before the clear must end with it (noted first, so that
  // no miss during the clear fetches them either), and so must results a
  // miss during the clear computed from the entries still there and shared
  // under the generation that first note bumped: noted again after.
  if (backend_) note_write_through(false);
  inner_->clear();
  if (backend_) note_write_through(false);
  log_.record(nullptr);
  results_.drop_all();
}

std::uint64_t CachedEngine::len() const { return inner_->len(); }

EngineStats CachedEngine::stats() const { return inner_->stats(); }

std::size_t CachedEngine::cached() const { return results_.size(); }

void CachedEngine::invalidate_covered(const IpPrefix& prefix) const {
  log_.record(&prefix);
  results_.drop_covered(prefix);
}

// The entries are the inner engine's; the cache holds only results.
void CachedEngine::for_each(EntryVisitor& visitor) const { inner_->for_each(visitor); }

}  // namespace korvane
