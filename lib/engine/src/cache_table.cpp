#include "cache_table.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>
#include <thread>

#include "epoch.hpp"
#include "injected_failure.hpp"
#include "metadata_rep.hpp"
#include "platform.hpp"
#include "reference_stock.hpp"

namespace korvane {

namespace {

constexpr std::size_t kMaxStripes = 1024;
// Entries per stripe the stripe count aims at: small stripes keep the scan
// of an invalidation short and make two writers rarely meet.
constexpr std::uint64_t kEntriesPerStripe = 8;
constexpr std::size_t kFirstArraySlots = 8;
constexpr int kOptimisticAttempts = 8;

InjectedFailure array_failure;

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

std::uint64_t mix(std::uint64_t h) noexcept {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  return h ^ (h >> 33);
}

void relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  std::this_thread::yield();
#endif
}

// Per-thread generator for eviction's choices; touches no shared memory.
std::uint64_t next_random() noexcept {
  static thread_local std::uint64_t state = 0;
  if (state == 0) state = platform::random_u64() | 1;
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

void release_record(void* rep) { static_cast<detail::MetadataRep*>(rep)->release(); }

void retire_record(detail::MetadataRep* rep) {
  if (rep != nullptr) epoch::retire(rep, release_record);
}


}  // namespace

// One entry. Every field is an atomic because readers probe without the
// lock; writers change fields only inside a stripe's odd sequence, and a
// reader discards whatever it read then. `record` is stored with release and
// loaded with acquire so that a reader that takes a record also sees its
// payload.
struct alignas(32) ResultTable::Slot {
  std::atomic<std::uint64_t> high{0};
  std::atomic<std::uint64_t> low{0};
  std::atomic<std::uint64_t> tag{0};                 // 0: empty
  std::atomic<detail::MetadataRep*> record{nullptr};  // the table's reference; null: "no match"
};

// One stripe's slot array, allocated in one block: the header, then the
// slots. `mask` never changes after the array is published; `used` is read
// and written only under the stripe lock.
struct alignas(64) ResultTable::Array {
  std::size_t mask;
  std::size_t used = 0;

  explicit Array(std::size_t slots) : mask(slots - 1) {}
  Slot* slots() noexcept { return reinterpret_cast<Slot*>(this + 1); }

  static Array* make(std::size_t slots) {
    array_failure.check();
    void* block = ::operator new(sizeof(Array) + slots * sizeof(Slot), std::align_val_t{alignof(Array)});
    auto* array = new (block) Array(slots);
    for (std::size_t i = 0; i < slots; ++i) new (&array->slots()[i]) Slot();
    return array;
  }
  static void destroy(void* block) {
    static_cast<Array*>(block)->~Array();  // slots are trivially destructible
    ::operator delete(block, std::align_val_t{alignof(Array)});
  }
};

// Stripes are not padded to a line each: packed, the headers of all
// stripes stay in cache, which saves a miss on every probe, and hits only
// read them. Writers of neighbouring stripes share lines, which costs little
// as stores are rare next to lookups.
struct ResultTable::Stripe {
  // Odd while a writer changes the stripe. Written only by the lock holder;
  // see WriteSection for the ordering.
  std::atomic<std::uint32_t> sequence{0};
  // The writers' spin lock: exchange with acquire, release store to unlock.
  std::atomic<std::uint32_t> lock{0};
  // Entries, plus stores in progress that counted themselves; read and
  // incremented sequentially consistently (see "Stale stores").
  std::atomic<std::uint32_t> count{0};
  // The slot array, null until the first store. Replaced (by growth) only
  // under the lock and inside an odd sequence; published with release so
  // that a reader sees its initialised slots, retired through the epochs.
  std::atomic<Array*> array{nullptr};
};

namespace {

// Writers of a stripe spin briefly, then yield: a lock is held for a few
// dozen instructions, but the holder may be descheduled.
template <class Stripe>
class StripeLock {
 public:
  explicit StripeLock(Stripe& s) : s_(s) {
    int spins = 0;
    while (s_.lock.exchange(1, std::memory_order_acquire) != 0) {
      while (s_.lock.load(std::memory_order_relaxed) != 0) {
        if (++spins < 64) {
          relax();
        } else {
          std::this_thread::yield();
        }
      }
    }
  }
  ~StripeLock() { s_.lock.store(0, std::memory_order_release); }
  StripeLock(const StripeLock&) = delete;
  StripeLock& operator=(const StripeLock&) = delete;

 private:
  Stripe& s_;
};

// Makes the sequence odd for the lifetime of the section. The release fence
// after the odd store orders it before every slot store of the section: a
// reader that sees any of them (then issues its acquire fence) re-reads an
// odd or later sequence. The closing release store publishes the slots to a
// reader that loads the even sequence with acquire.
template <class Stripe>
class WriteSection {
 public:
  explicit WriteSection(Stripe& s) : s_(s), start_(s.sequence.load(std::memory_order_relaxed)) {
    s_.sequence.store(start_ + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
  }
  ~WriteSection() { s_.sequence.store(start_ + 2, std::memory_order_release); }
  WriteSection(const WriteSection&) = delete;
  WriteSection& operator=(const WriteSection&) = delete;

 private:
  Stripe& s_;
  const std::uint32_t start_;
};

}  // namespace

ResultTable::ResultTable(std::uint64_t capacity)
    : capacity_(std::max<std::uint64_t>(capacity, 1)),
      address_seed_(platform::random_u64()),
      group_seed_(platform::random_u64()),
      stripe_mask_(std::bit_ceil(static_cast<std::size_t>(
                       std::clamp<std::uint64_t>(capacity_ / kEntriesPerStripe, 1, kMaxStripes))) -
                   1),
      stripes_(new Stripe[stripe_mask_ + 1]) {}

ResultTable::~ResultTable() {
  // No reader or writer is left; give up the table's references directly.
  for (std::size_t i = 0; i <= stripe_mask_; ++i) {
    Array* array = stripes_[i].array.load(std::memory_order_relaxed);
    if (array == nullptr) continue;
    for (std::size_t j = 0; j <= array->mask; ++j) {
      Slot& slot = array->slots()[j];
      detail::MetadataRep* rep = slot.record.load(std::memory_order_relaxed);
      if (slot.tag.load(std::memory_order_relaxed) != 0 && rep != nullptr) rep->release();
    }
    Array::destroy(array);
  }
}

std::size_t ResultTable::stripe_of_group(std::uint64_t group) const noexcept {
  return static_cast<std::size_t>(mix(group ^ group_seed_)) & stripe_mask_;
}

ResultTable::Key ResultTable::key_of(const IpAddress& address) const noexcept {
  Key k;
  std::uint64_t words[2];
  std::memcpy(words, address.bytes.data(), 16);
  k.high = words[0];
  k.low = words[1];
  const auto family = static_cast<std::uint64_t>(address.family);
  const std::uint64_t h = mix(mix(words[0] ^ address_seed_ ^ (family << 56)) ^ words[1]);
  k.tag = (h >> 32 << 32) | (family + 1);
  k.home = static_cast<std::size_t>(h >> 32);
  k.stripe = &stripes_[stripe_of_group(group_of(address))];
  return k;
}

namespace {

// The address a slot holds (under the stripe lock).
template <class Slot>
IpAddress address_in(const Slot& slot) noexcept {
  IpAddress address;
  address.family = static_cast<AddressFamily>((slot.tag.load(std::memory_order_relaxed) & 0xFF) - 1);
  const std::uint64_t words[2] = {slot.high.load(std::memory_order_relaxed), slot.low.load(std::memory_order_relaxed)};
  std::memcpy(address.bytes.data(), words, 16);
  return address;
}

void note_eviction(ResultTable::StoreOutcome& outcome, const IpAddress& address) noexcept {
  if (outcome.evicted_count < std::size(outcome.evicted)) outcome.evicted[outcome.evicted_count++] = address;
}

template <class Array, class Slot, class Key>
Slot* probe(Array* array, const Key& k) noexcept {
  if (array == nullptr) return nullptr;
  const std::size_t mask = array->mask;
  Slot* slots = array->slots();
  // Bounded: a torn view of a changing array might show no empty slot.
  for (std::size_t n = 0, i = k.home & mask; n <= mask; ++n, i = (i + 1) & mask) {
    const std::uint64_t tag = slots[i].tag.load(std::memory_order_relaxed);
    if (tag == 0) return nullptr;
    if (tag == k.tag && slots[i].high.load(std::memory_order_relaxed) == k.high &&
        slots[i].low.load(std::memory_order_relaxed) == k.low) {
      return &slots[i];
    }
  }
  return nullptr;
}

}  // namespace

bool ResultTable::find(const IpAddress& address, std::optional<Metadata>& answer) const {
  const Key k = key_of(address);
  Stripe& s = *k.stripe;
  // The pin keeps every array and record this reader can reach alive until
  // the unpin, even if a writer drops them meanwhile.
  epoch::Participant* self = epoch::local_participant();
  epoch::pin(self);
  for (int attempt = 0; attempt < kOptimisticAttempts; ++attempt) {
    const std::uint32_t before = s.sequence.load(std::memory_order_acquire);
    if ((before & 1) != 0) {
      relax();
      continue;
    }
    const Slot* slot = probe<Array, Slot>(s.array.load(std::memory_order_acquire), k);
    detail::MetadataRep* rep = slot != nullptr ? slot->record.load(std::memory_order_acquire) : nullptr;
    std::atomic_thread_fence(std::memory_order_acquire);
    if (s.sequence.load(std::memory_order_relaxed) != before) continue;
    // A cached "no match" is a slot with a null record.
    if (slot != nullptr) answer = detail::stock::hand_out(rep, self->index);
    epoch::unpin(self);
    return slot != nullptr;
  }
  // Writers kept changing this stripe: read it under the lock instead.
  bool hit = false;
  {
    StripeLock lock(s);
    if (const Slot* slot = probe<Array, Slot>(s.array.load(std::memory_order_relaxed), k)) {
      answer = detail::stock::hand_out(slot->record.load(std::memory_order_relaxed), self->index);
      hit = true;
    }
  }
  epoch::unpin(self);
  return hit;
}

ResultTable::StoreOutcome ResultTable::store(const IpAddress& address, const std::optional<Metadata>& answer,
                                             const ChangeLog& log, std::uint64_t before) {
  StoreOutcome outcome;
  // A change already overtook the inner lookup: store nothing, evict nothing.
  if (log.stale_since(before, address)) return outcome;
  // Pinned throughout, so that what this store retires under a stripe lock
  // (a grown stripe's old array) is only listed there: an unpinned retire
  // may run a collection, which would hold the lock, and keep every reader
  // of the stripe waiting, for as long as it frees.
  epoch::Guard pinned;

  const Key k = key_of(address);
  Stripe& s = *k.stripe;
  detail::MetadataRep* rep = nullptr;  // the table's future reference
  if (answer) {
    Metadata copy = *answer;
    rep = detail::MetadataAccess::take(copy);
  }
  detail::MetadataRep* dropped[2] = {nullptr, nullptr};  // evicted, replaced
  bool reserved = try_reserve();
  // Full: seven stores in eight evict an entry of their own stripe, whose
  // lines the probe has just read, and the rest an entry of a random
  // stripe (a lock and a cache miss or two more). Evicting only here would
  // freeze each stripe's share of the table at what it held when the table
  // filled, so that a group rare then and hot now could never hold more;
  // with both, a stripe's share follows its rate of misses, as under
  // evictions of random entries, only settling eight times more slowly.
  const bool evict_here = !reserved && (next_random() & 7) != 0;
  for (;;) {
    bool stale = false;
    bool stored = false;
    bool existed = false;
    {
      StripeLock lock(s);
      // Counted before the log is read: see "Stale stores".
      s.count.fetch_add(1, std::memory_order_seq_cst);
      Array* array = s.array.load(std::memory_order_relaxed);
      if (log.stale_since(before, address)) {
        stale = true;
      } else if (reserved || (evict_here && array != nullptr && array->used > 0)) {
        WriteSection section(s);
        if (!reserved) {
          // The first entry from the address's home slot on is most likely
          // on a line the probe has just read.
          std::size_t i = k.home & array->mask;
          while (array->slots()[i].tag.load(std::memory_order_relaxed) == 0) i = (i + 1) & array->mask;
          dropped[0] = array->slots()[i].record.load(std::memory_order_relaxed);
          note_eviction(outcome, address_in(array->slots()[i]));
          erase_at(*array, i);
          s.count.fetch_sub(1, std::memory_order_relaxed);
          reserved = true;  // the evicted entry's room
        }
        if (array == nullptr || (array->used + 1) * 2 > array->mask + 1) {
          try {
            grow(s);
          } catch (const std::bad_alloc&) {
            // No room to be had: the answer goes uncached, and the room
            // reserved for it (an evicted entry's included) is given back.
            stale = true;
          }
          array = s.array.load(std::memory_order_relaxed);
        }
        if (!stale) {
          Slot* slots = array->slots();
          std::size_t i = k.home & array->mask;
          while (slots[i].tag.load(std::memory_order_relaxed) != 0) {
            if (slots[i].tag.load(std::memory_order_relaxed) == k.tag &&
                slots[i].high.load(std::memory_order_relaxed) == k.high &&
                slots[i].low.load(std::memory_order_relaxed) == k.low) {
              existed = true;
              break;
            }
            i = (i + 1) & array->mask;
          }
          if (existed) {
            dropped[1] = slots[i].record.load(std::memory_order_relaxed);
          } else {
            slots[i].high.store(k.high, std::memory_order_relaxed);
            slots[i].low.store(k.low, std::memory_order_relaxed);
            slots[i].tag.store(k.tag, std::memory_order_relaxed);
            ++array->used;
          }
          slots[i].record.store(rep, std::memory_order_release);
          stored = true;
        }
      }
      if (!stored || existed) s.count.fetch_sub(1, std::memory_order_relaxed);
    }
    if (stored) {
      if (existed) size_.fetch_sub(1, std::memory_order_seq_cst);  // replaced: the room is not needed
      outcome.stored = true;
      break;
    }
    if (stale) {
      if (reserved) size_.fetch_sub(1, std::memory_order_seq_cst);
      if (rep != nullptr) rep->release();  // never published
      break;
    }
    // The table is full, and this store evicts elsewhere (or its stripe
    // is empty).
    if (!evict_one(outcome)) std::this_thread::yield();
    reserved = try_reserve();
  }
  retire_record(dropped[0]);
  retire_record(dropped[1]);
  return outcome;
}

// Takes room for one more entry if the table is not full.
bool ResultTable::try_reserve() {
  std::uint64_t n = size_.load(std::memory_order_seq_cst);
  while (n < capacity_) {
    if (size_.compare_exchange_weak(n, n + 1, std::memory_order_seq_cst, std::memory_order_relaxed)) return true;
  }
  return false;
}

bool ResultTable::evict_one(StoreOutcome& outcome) {
  const std::uint64_t r = next_random();
  for (std::size_t n = 0; n <= stripe_mask_; ++n) {
    Stripe& s = stripes_[(r + n) & stripe_mask_];
    if (s.count.load(std::memory_order_relaxed) == 0) continue;
    detail::MetadataRep* victim = nullptr;
    {
      StripeLock lock(s);
      Array* array = s.array.load(std::memory_order_relaxed);
      if (array == nullptr || array->used == 0) continue;
      WriteSection section(s);
      std::size_t i = static_cast<std::size_t>(r >> 32) & array->mask;
      while (array->slots()[i].tag.load(std::memory_order_relaxed) == 0) i = (i + 1) & array->mask;
      victim = array->slots()[i].record.load(std::memory_order_relaxed);
      note_eviction(outcome, address_in(array->slots()[i]));
      erase_at(*array, i);
      shrink_if_sparse(s);
      s.count.fetch_sub(1, std::memory_order_relaxed);
    }
    size_.fetch_sub(1, std::memory_order_seq_cst);
    retire_record(victim);
    return true;
  }
  return false;
}

// Removes slot `index` by shifting later members of its cluster back
// (no tombstones): an entry at j moves into the hole when the hole lies
// between its home slot and j. The caller has taken the slot's record.
void ResultTable::erase_at(Array& array, std::size_t index) {
  Slot* slots = array.slots();
  const std::size_t mask = array.mask;
  std::size_t hole = index;
  for (std::size_t j = (index + 1) & mask;; j = (j + 1) & mask) {
    const std::uint64_t tag = slots[j].tag.load(std::memory_order_relaxed);
    if (tag == 0) break;
    const std::size_t home = static_cast<std::size_t>(tag >> 32) & mask;
    if (((j - home) & mask) >= ((j - hole) & mask)) {
      slots[hole].high.store(slots[j].high.load(std::memory_order_relaxed), std::memory_order_relaxed);
      slots[hole].low.store(slots[j].low.load(std::memory_order_relaxed), std::memory_order_relaxed);
      slots[hole].tag.store(tag, std::memory_order_relaxed);
      slots[hole].record.store(slots[j].record.load(std::memory_order_relaxed), std::memory_order_release);
      hole = j;
    }
  }
  slots[hole].tag.store(0, std::memory_order_relaxed);
  slots[hole].record.store(nullptr, std::memory_order_relaxed);
  --array.used;
}

// Moves the stripe's entries into a new array of `slots` slots, or makes
// its first one. The entries move with their references; the old array goes
// to the epochs, as readers may still probe it. Throws std::bad_alloc,
// leaving the stripe as it was.
void ResultTable::resize(Stripe& stripe, std::size_t slots) {
  Array* old = stripe.array.load(std::memory_order_relaxed);
  Array* fresh = Array::make(slots);
  if (old != nullptr) {
    for (std::size_t j = 0; j <= old->mask; ++j) {
      const Slot& from = old->slots()[j];
      const std::uint64_t tag = from.tag.load(std::memory_order_relaxed);
      if (tag == 0) continue;
      std::size_t i = static_cast<std::size_t>(tag >> 32) & fresh->mask;
      while (fresh->slots()[i].tag.load(std::memory_order_relaxed) != 0) i = (i + 1) & fresh->mask;
      Slot& to = fresh->slots()[i];
      to.high.store(from.high.load(std::memory_order_relaxed), std::memory_order_relaxed);
      to.low.store(from.low.load(std::memory_order_relaxed), std::memory_order_relaxed);
      to.tag.store(tag, std::memory_order_relaxed);
      to.record.store(from.record.load(std::memory_order_relaxed), std::memory_order_relaxed);
    }
    fresh->used = old->used;
  }
  stripe.array.store(fresh, std::memory_order_release);
  if (old != nullptr) epoch::retire(old, Array::destroy);
}

void ResultTable::grow(Stripe& stripe) {
  const Array* old = stripe.array.load(std::memory_order_relaxed);
  resize(stripe, old == nullptr ? kFirstArraySlots : (old->mask + 1) * 2);
}

void ResultTable::shrink_if_sparse(Stripe& stripe) noexcept {
  const Array* array = stripe.array.load(std::memory_order_relaxed);
  if (array == nullptr) return;
  const std::size_t slots = array->mask + 1;
  if (slots <= kFirstArraySlots || array->used * 8 > slots) return;
  const std::size_t room = std::bit_ceil(std::max<std::size_t>(array->used, 1) * 4);
  try {
    resize(stripe, std::max(kFirstArraySlots, room));
  } catch (const std::bad_alloc&) {
    // Kept as it is: a larger array serves as well.
  }
}

// Drops the entries of one stripe that the prefix covers (every entry for a
// null prefix). Returns how many.
std::size_t ResultTable::drop_if(Stripe& stripe, const IpPrefix* prefix) {
  std::size_t dropped = 0;
  StripeLock lock(stripe);
  Array* array = stripe.array.load(std::memory_order_relaxed);
  if (array == nullptr || array->used == 0) return 0;
  WriteSection section(stripe);
  Slot* slots = array->slots();
  // erase_at only moves entries into the hole from later in the cluster, so
  // an entry not yet examined never moves below the scan position.
  for (std::size_t i = 0; i <= array->mask; ++i) {
    for (;;) {
      const std::uint64_t tag = slots[i].tag.load(std::memory_order_relaxed);
      if (tag == 0) break;
      if (prefix != nullptr && !prefix->covers(address_in(slots[i]))) break;
      retire_record(slots[i].record.load(std::memory_order_relaxed));
      erase_at(*array, i);
      ++dropped;
    }
  }
  shrink_if_sparse(stripe);
  stripe.count.fetch_sub(static_cast<std::uint32_t>(dropped), std::memory_order_relaxed);
  return dropped;
}

void ResultTable::drop_covered(const IpPrefix& prefix) {
  // The change is logged (seq_cst) before these loads; see "Stale stores".
  if (size_.load(std::memory_order_seq_cst) == 0) return;
  epoch::Guard pinned;  // records retired under a stripe lock: see store
  auto visit = [&](Stripe& s) {
    if (s.count.load(std::memory_order_seq_cst) == 0) return;
    if (const std::size_t n = drop_if(s, &prefix)) size_.fetch_sub(n, std::memory_order_seq_cst);
  };
  const unsigned bits = group_bits(prefix.family);
  const unsigned length = std::min<unsigned>(prefix.length, address_width_bits(prefix.family));
  const unsigned free_bits = length >= bits ? 0 : bits - length;
  if (free_bits >= 63 || (std::uint64_t{1} << free_bits) > stripe_mask_) {
    for (std::size_t i = 0; i <= stripe_mask_; ++i) visit(stripes_[i]);
    return;
  }
  const std::uint64_t first = group_of(prefix.canonical().address());
  if (free_bits == 0) {
    visit(stripes_[stripe_of_group(first)]);
    return;
  }
  // Fewer groups than stripes; several may share a stripe.
  std::array<std::uint64_t, kMaxStripes / 64> seen{};
  for (std::uint64_t g = 0; g < (std::uint64_t{1} << free_bits); ++g) {
    const std::size_t i = stripe_of_group(first | g);
    if ((seen[i / 64] >> (i % 64) & 1) != 0) continue;
    seen[i / 64] |= std::uint64_t{1} << (i % 64);
    visit(stripes_[i]);
  }
}

void ResultTable::drop_all() {
  if (size_.load(std::memory_order_seq_cst) == 0) return;
  epoch::Guard pinned;  // records retired under a stripe lock: see store
  for (std::size_t i = 0; i <= stripe_mask_; ++i) {
    Stripe& s = stripes_[i];
    if (s.count.load(std::memory_order_seq_cst) == 0) continue;
    if (const std::size_t n = drop_if(s, nullptr)) size_.fetch_sub(n, std::memory_order_seq_cst);
  }
}

std::size_t ResultTable::slot_count() const {
  epoch::Guard pinned;  // the arrays read may be replaced meanwhile
  std::size_t n = 0;
  for (std::size_t i = 0; i <= stripe_mask_; ++i) {
    if (const Array* array = stripes_[i].array.load(std::memory_order_acquire)) n += array->mask + 1;
  }
  return n;
}

std::size_t ResultTable::size() const noexcept {
  std::size_t n = 0;
  for (std::size_t i = 0; i <= stripe_mask_; ++i) n += stripes_[i].count.load(std::memory_order_relaxed);
  return n;
}

void ResultTable::fail_arrays_after(long successes) noexcept { array_failure.fail_after(successes); }

}  // namespace korvane
