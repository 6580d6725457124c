#include "cache.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform.hpp"

namespace korvane {


std::size_t CachedEngine::AddressHash::operator()(const IpAddress& a) const noexcept {
  std::uint64_t words[2];
  std::memcpy(words, a.bytes.data(), 16);
  std::uint64_t h = seed ^ (static_cast<std::uint64_t>(a.family) << 56);
  for (std::uint64_t w : words) {
    h ^= w;
    h *= 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
  }
  return static_cast<std::size_t>(h * 0xBF58476D1CE4E5B9ull ^ (h >> 31));
}

std::size_t CachedEngine::GroupHash::operator()(std::uint64_t group) const noexcept {
  std::uint64_t h = (group ^ seed) * 0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>(h ^ (h >> 32));
}

namespace {

constexpr unsigned kV4GroupBits = 16;
constexpr unsigned kV6GroupBits = 32;

unsigned group_bits(AddressFamily family) noexcept {
  return family == AddressFamily::V4 ? kV4GroupBits : kV6GroupBits;
}

// The group of an address: its family and leading group bits.
std::uint64_t group_of(const IpAddress& a) noexcept {
  std::uint64_t lead = 0;
  for (unsigned i = 0; i < group_bits(a.family) / 8; ++i) lead = (lead << 8) | a.bytes[i];
  return (static_cast<std::uint64_t>(a.family) << 40) | lead;
}

}  // namespace

CachedEngine::CachedEngine(std::uint64_t capacity, EngineHandle inner, std::shared_ptr<RedisBackend> backend)
    : capacity_(capacity),
      results_(0, AddressHash{platform::random_u64()}),
      groups_(0, GroupHash{platform::random_u64()}),
      victim_state_(platform::random_u64()),
      backend_(std::move(backend)),
      inner_(std::move(inner)) {}

CachedEngine::~CachedEngine() = default;

InsertStatus CachedEngine::insert(const IpPrefix& prefix, Metadata metadata) const {
  if (InsertStatus error = inner_->insert(prefix, std::move(metadata))) return error;
  invalidate_covered(prefix);
  return std::nullopt;
}

std::optional<Metadata> CachedEngine::lookup(const IpAddress& address) const {
  {
    std::shared_lock read(mutex_);
    if (auto it = results_.find(address); it != results_.end()) return it->second.result;
  }
  const std::uint64_t before = generation_.load(std::memory_order_acquire);
  std::optional<Metadata> result = inner_->lookup(address);

  std::unique_lock write(mutex_);
  if (stale_since(before, address)) return result;  // a change overtook us
  if (results_.size() >= std::max<std::uint64_t>(capacity_, 1) && !results_.empty()) evict_one();
  auto [it, inserted] = results_.try_emplace(address);
  it->second.result = result;
  if (inserted) link(*it);
  return result;
}

// Evicts an arbitrary entry: the first found from a pseudo-random bucket on.
// It needs no bookkeeping on hits, and unlike always taking the table's
// first entry (the newest, in this hash table) it does not pin the cache to
// the first addresses ever seen.
void CachedEngine::evict_one() const {
  const std::size_t buckets = results_.bucket_count();
  victim_state_ = victim_state_ * 6364136223846793005ull + 1442695040888963407ull;
  std::size_t b = static_cast<std::size_t>(victim_state_ >> 17) % buckets;
  while (results_.bucket_size(b) == 0) b = b + 1 == buckets ? 0 : b + 1;
  auto victim = results_.find(results_.begin(b)->first);
  unlink(*victim);
  results_.erase(victim);
}

void CachedEngine::link(Node& node) const {
  Node*& head = groups_[group_of(node.first)];
  node.second.prev = nullptr;
  node.second.next = head;
  if (head != nullptr) head->second.prev = &node;
  head = &node;
}

void CachedEngine::unlink(Node& node) const {
  Cached& c = node.second;
  if (c.next != nullptr) c.next->second.prev = c.prev;
  if (c.prev != nullptr) {
    c.prev->second.next = c.next;
  } else {
    const std::uint64_t group = group_of(node.first);
    if (c.next != nullptr) {
      groups_[group] = c.next;
    } else {
      groups_.erase(group);
    }
  }
}

std::optional<Metadata> CachedEngine::remove(const IpPrefix& prefix) const {
  std::optional<Metadata> removed = inner_->remove(prefix);
  invalidate_covered(prefix);
  return removed;
}

bool CachedEngine::contains(const IpPrefix& prefix) const { return inner_->contains(prefix); }

void CachedEngine::clear() const {
  inner_->clear();
  std::unique_lock write(mutex_);
  record_invalidation(nullptr);
  results_.clear();
  groups_.clear();
}

std::uint64_t CachedEngine::len() const { return inner_->len(); }

EngineStats CachedEngine::stats() const { return inner_->stats(); }

std::size_t CachedEngine::cached() const {
  std::shared_lock read(mutex_);
  return results_.size();
}

void CachedEngine::invalidate_covered(const IpPrefix& prefix) const {
  std::unique_lock write(mutex_);
  record_invalidation(&prefix);
  drop_covered(prefix);
}

void CachedEngine::record_invalidation(const IpPrefix* prefix) const {
  const std::uint64_t g = generation_.load(std::memory_order_relaxed) + 1;
  Invalidation& slot = log_[g % kLogSize];
  slot.generation = g;
  slot.everything = prefix == nullptr;
  if (prefix != nullptr) slot.prefix = *prefix;
  generation_.store(g, std::memory_order_release);
}

bool CachedEngine::stale_since(std::uint64_t before, const IpAddress& address) const {
  const std::uint64_t now = generation_.load(std::memory_order_relaxed);
  if (now == before) return false;
  if (now - before > kLogSize) return true;  // the log no longer reaches back
  for (std::uint64_t g = before + 1; g <= now; ++g) {
    const Invalidation& entry = log_[g % kLogSize];
    if (entry.everything || entry.prefix.covers(address)) return true;
  }
  return false;
}

// Only the groups the prefix spans are visited. A prefix shorter than the
// group bits spans 2^(group bits - length) groups; when that is more than the
// groups present, walking every cached entry is cheaper.
void CachedEngine::drop_covered(const IpPrefix& prefix) const {
  auto drop_if_covered = [&](Node* node) {
    Node* next = node->second.next;
    if (prefix.covers(node->first)) {
      unlink(*node);
      results_.erase(node->first);
    }
    return next;
  };
  const unsigned bits = group_bits(prefix.family);
  const unsigned length = std::min<unsigned>(prefix.length, address_width_bits(prefix.family));
  const unsigned free_bits = length >= bits ? 0 : bits - length;
  if (free_bits >= 63 || (std::uint64_t{1} << free_bits) > groups_.size()) {
    for (auto it = results_.begin(); it != results_.end();) {
      if (prefix.covers(it->first)) {
        unlink(*it);
        it = results_.erase(it);
      } else {
        ++it;
      }
    }
    return;
  }
  const std::uint64_t first = group_of(prefix.canonical().address());
  for (std::uint64_t g = 0; g < (std::uint64_t{1} << free_bits); ++g) {
    auto group = groups_.find(first | g);
    if (group == groups_.end()) continue;
    for (Node* node = group->second; node != nullptr;) node = drop_if_covered(node);
  }
}

}  // namespace korvane
