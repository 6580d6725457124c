#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "korvane/engine.hpp"
#include "korvane/types.hpp"
#include "metadata_rep.hpp"
#include "reference_stock.hpp"
#include "record_pool.hpp"

namespace korvane {

namespace {

// True when a and b agree on their first `bits` bits.
bool leading_bits_equal(const std::uint8_t* a, const std::uint8_t* b, unsigned bits) noexcept {
  const unsigned full = bits / 8;
  if (std::memcmp(a, b, full) != 0) return false;
  const unsigned rest = bits % 8;
  if (rest == 0) return true;
  const std::uint8_t mask = static_cast<std::uint8_t>(0xFFu << (8 - rest));
  return ((a[full] ^ b[full]) & mask) == 0;
}

const std::string kEmptyValue;
const Attributes kEmptyAttributes;

}  // namespace

bool IpPrefix::covers(const IpAddress& address) const noexcept {
  if (address.family != family) return false;
  const unsigned bits = std::min<unsigned>(length, address_width_bits(family));
  return leading_bits_equal(bytes.data(), address.bytes.data(), bits);
}

bool IpPrefix::same_entry(const IpPrefix& other) const noexcept {
  if (family != other.family || length != other.length) return false;
  const unsigned bits = std::min<unsigned>(length, address_width_bits(family));
  return leading_bits_equal(bytes.data(), other.bytes.data(), bits);
}

IpPrefix IpPrefix::canonical() const noexcept {
  IpPrefix out = *this;
  const unsigned bits = std::min<unsigned>(length, address_width_bits(family));
  for (unsigned i = 0; i < 16; ++i) {
    if (i * 8 >= bits) {
      out.bytes[i] = 0;
    } else if (i * 8 + 8 > bits) {
      out.bytes[i] &= static_cast<std::uint8_t>(0xFFu << (8 - (bits - i * 8)));
    }
  }
  return out;
}

namespace detail {

const Attributes& MetadataRep::attribute_map() const {
  if (const Attributes* m = map.load(std::memory_order_acquire)) return *m;
  if (!packed) return kEmptyAttributes;
  auto built = std::make_unique<Attributes>(packed.unpack());
  Attributes* expected = nullptr;
  if (map.compare_exchange_strong(expected, built.get(), std::memory_order_acq_rel, std::memory_order_acquire)) {
    return *built.release();
  }
  return *expected;  // another thread built it first; ours is freed
}

bool MetadataRep::same_attributes(const MetadataRep& other) const noexcept {
  if (packed && other.packed) return packed.same_pairs(other.packed);
  if (packed || other.packed) {
    const MetadataRep& in_block = packed ? *this : other;
    const MetadataRep& in_map = packed ? other : *this;
    const Attributes* m = in_map.map.load(std::memory_order_acquire);
    return in_block.packed.same_pairs(m != nullptr ? *m : kEmptyAttributes);
  }
  const Attributes* a = map.load(std::memory_order_acquire);
  const Attributes* b = other.map.load(std::memory_order_acquire);
  return (a != nullptr ? *a : kEmptyAttributes) == (b != nullptr ? *b : kEmptyAttributes);
}

MetadataRep* MetadataRep::packed_copy() {
  const Attributes* m = map.load(std::memory_order_acquire);
  if (packed || m == nullptr) return nullptr;
  if (m->empty()) {
    delete map.exchange(nullptr, std::memory_order_relaxed);  // the caller's alone
    return nullptr;
  }
  std::unique_ptr<MetadataRep> copy = with_packed(PackedAttributes::sorted_views(*m));
  copy->value = std::move(value);  // only now: a failure above leaves this record whole
  return copy.release();
}

std::unique_ptr<MetadataRep> MetadataRep::with_packed(std::span<const AttributeView> pairs) {
  const std::size_t bytes = sizeof(MetadataRep) + PackedAttributes::bytes_for(pairs);
  if (bytes > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  std::unique_ptr<MetadataRep> rep(::new (record_arena::allocate(bytes)) MetadataRep());
  rep->allocated_bytes = static_cast<std::uint32_t>(bytes);
  rep->packed = PackedAttributes::pack_into(pairs, reinterpret_cast<unsigned char*>(rep.get() + 1));
  return rep;
}

}  // namespace detail

Metadata::Metadata(std::string value, Attributes attributes) : rep_(new detail::MetadataRep()) {
  rep_->value = std::move(value);
  if (!attributes.empty()) {
    try {
      rep_->map.store(new Attributes(std::move(attributes)), std::memory_order_relaxed);
    } catch (...) {
      delete std::exchange(rep_, nullptr);
      throw;
    }
  }
}

Metadata Metadata::from_views(std::string_view value, std::span<const AttributeView> attributes) {
  // In name order, keeping a name's last value. Records have a handful of
  // attributes: those of most sort in place on the stack.
  constexpr std::size_t kOnStack = 16;
  std::array<AttributeView, kOnStack> on_stack;
  std::vector<AttributeView> on_heap;
  std::span<AttributeView> pairs;
  if (attributes.size() <= kOnStack) {
    pairs = std::span(on_stack.data(), attributes.size());
    std::copy(attributes.begin(), attributes.end(), pairs.begin());
  } else {
    on_heap.assign(attributes.begin(), attributes.end());
    pairs = on_heap;
  }
  std::stable_sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (i + 1 < pairs.size() && pairs[i + 1].first == pairs[i].first) continue;  // a later value follows
    pairs[kept++] = pairs[i];
  }
  std::unique_ptr<detail::MetadataRep> rep = kept == 0 ? std::make_unique<detail::MetadataRep>()
                                                       : detail::MetadataRep::with_packed(pairs.first(kept));
  rep->value.assign(value);
  Metadata record;
  record.rep_ = rep.release();
  return record;
}

namespace {
// A record of its own equal to `rep`, in the map form: unshared, unpooled,
// unexposed. Throws std::bad_alloc.
detail::MetadataRep* whole_copy(const detail::MetadataRep& rep) {
  auto copy = std::make_unique<detail::MetadataRep>();
  copy->value = rep.value;
  if (rep.packed) {
    copy->map.store(new Attributes(rep.packed.unpack()), std::memory_order_relaxed);
  } else if (const Attributes* m = rep.map.load(std::memory_order_acquire)) {
    copy->map.store(new Attributes(*m), std::memory_order_relaxed);
  }
  return copy.release();
}

// A reference to `rep` for a new copy of a Metadata holding it: the record
// itself, or, for an exposed record (whose holder may still write to it
// through a reference it was given), a whole copy, so that such a write
// reaches no other copy, nor an engine one went into. Running out of memory
// for that copy ends the process (the callers are noexcept).
detail::MetadataRep* share(detail::MetadataRep* rep) {
  if (rep == nullptr) return nullptr;
  if (rep->exposed.load(std::memory_order_relaxed)) return whole_copy(*rep);
  detail::stock::acquire(rep);
  return rep;
}
}  // namespace

// Copies and releases go through the calling thread's stock of references
// for records that several threads hand out (reference_stock.hpp).
Metadata::Metadata(const Metadata& other) noexcept : rep_(share(other.rep_)) {}

Metadata& Metadata::operator=(const Metadata& other) noexcept {
  if (this == &other) return *this;  // an exposed record stays its holder's
  detail::MetadataRep* rep = share(other.rep_);
  if (rep_ != nullptr) detail::stock::give_back(rep_);
  rep_ = rep;
  return *this;
}

void Metadata::give_back() noexcept { detail::stock::give_back(rep_); }

const std::string& Metadata::value() const noexcept {
  return rep_ != nullptr ? rep_->value : kEmptyValue;
}

const Attributes& Metadata::attributes() const noexcept {
  return rep_ != nullptr ? rep_->attribute_map() : kEmptyAttributes;
}

void Metadata::visit_attributes(AttributeVisit visit, void* context) const {
  if (rep_ == nullptr) return;
  rep_->for_each_attribute([&](std::string_view name, std::string_view value) { visit(context, name, value); });
}

std::size_t Metadata::attribute_count() const noexcept {
  return rep_ != nullptr ? rep_->attribute_count() : 0;
}

namespace {
// Makes `rep` exclusively owned by the caller's Metadata, copying the payload
// when other owners share it, and marks it exposed: the caller gets a
// reference into it, which it may keep past later copies of its Metadata.
detail::MetadataRep* detach(detail::MetadataRep*& rep) {
  if (rep == nullptr) {
    rep = new detail::MetadataRep();
  } else if (rep->refs.load(std::memory_order_acquire) != 1 ||
             rep->pool.load(std::memory_order_acquire) != nullptr || rep->packed) {
    // Shared, or pooled (a pooled record may be handed to a new owner at
    // any moment, so it is never changed in place), or packed (its block
    // cannot change): copy it, in the map form.
    detail::MetadataRep* copy = whole_copy(*rep);
    rep->release();
    rep = copy;
  }
  rep->exposed.store(true, std::memory_order_relaxed);
  return rep;
}
}  // namespace

std::string& Metadata::mutable_value() { return detach(rep_)->value; }

Attributes& Metadata::mutable_attributes() {
  detail::MetadataRep* rep = detach(rep_);
  // Unshared and never pooled, so the map form, which this thread alone reads.
  Attributes* m = rep->map.load(std::memory_order_relaxed);
  if (m == nullptr) {
    m = new Attributes();
    rep->map.store(m, std::memory_order_relaxed);
  }
  return *m;
}

bool operator==(const Metadata& a, const Metadata& b) {
  if (a.rep_ == b.rep_) return true;
  if (a.value() != b.value()) return false;
  if (a.rep_ == nullptr || b.rep_ == nullptr) return a.attribute_count() == 0 && b.attribute_count() == 0;
  return a.rep_->same_attributes(*b.rep_);
}

std::string EngineError::message() const {
  switch (kind_) {
    case Kind::Redis:
      return "Redis error: " + detail_;
    case Kind::ChannelSend:
      return "Channel send error";
    case Kind::ChannelReceive:
      return "Channel receive error";
  }
  return {};
}

PrefixEngine::~PrefixEngine() = default;

void PrefixEngine::for_each(EntryVisitor&) const {
  throw std::logic_error("this engine cannot list its entries");
}

void PrefixEngine::lookup_visit(std::span<const IpAddress> addresses, LookupVisitor& visitor) const {
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    const std::optional<Metadata> found = lookup(addresses[i]);
    visitor.visit(i, found ? &*found : nullptr);
  }
}

void PrefixEngine::lookup_many(std::span<const IpAddress> addresses,
                               std::span<std::optional<Metadata>> results) const {
  for (std::size_t i = 0; i < addresses.size(); ++i) results[i] = lookup(addresses[i]);
}

}  // namespace korvane
