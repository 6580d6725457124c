// Value types that travel through every engine: address and prefix keys,
// the metadata record, the statistics record and the engine error.
//
// Thread safety: all types here are values. Distinct objects may be used from
// different threads freely; one object needs external synchronisation when
// one thread writes it while another reads it, like any standard value type.
// Copies of a Metadata share its immutable payload, so copying is cheap and
// copies may be read and released on any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>

namespace korvane {

enum class AddressFamily : std::uint8_t { V4 = 0, V6 = 1 };

// Number of address bytes of a family: 4 or 16.
constexpr std::size_t address_width_bytes(AddressFamily family) noexcept {
  return family == AddressFamily::V4 ? 4 : 16;
}
// Number of address bits of a family: 32 or 128.
constexpr unsigned address_width_bits(AddressFamily family) noexcept {
  return family == AddressFamily::V4 ? 32 : 128;
}

// One address. Bytes are in network order; for V4 only bytes 0..3 are
// meaningful and bytes 4..15 are zero.
struct IpAddress {
  AddressFamily family = AddressFamily::V4;
  std::array<std::uint8_t, 16> bytes{};

  static IpAddress v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) noexcept {
    IpAddress out;
    out.family = AddressFamily::V4;
    out.bytes[0] = a;
    out.bytes[1] = b;
    out.bytes[2] = c;
    out.bytes[3] = d;
    return out;
  }
  static IpAddress v6(const std::array<std::uint8_t, 16>& raw) noexcept {
    IpAddress out;
    out.family = AddressFamily::V6;
    out.bytes = raw;
    return out;
  }

  // Bit i (0 = most significant bit of byte 0); bits at or beyond the
  // family's width read as 0.
  bool bit(unsigned i) const noexcept {
    if (i >= address_width_bits(family)) return false;
    return (bytes[i / 8] >> (7 - i % 8)) & 1U;
  }

  friend bool operator==(const IpAddress&, const IpAddress&) = default;
};

// One CIDR prefix. The address is kept exactly as written, host bits
// included; matching and identity only ever look at the first `length` bits.
struct IpPrefix {
  AddressFamily family = AddressFamily::V4;
  std::array<std::uint8_t, 16> bytes{};
  std::uint8_t length = 0;  // 0..32 for V4, 0..128 for V6

  static IpPrefix of(const IpAddress& address, std::uint8_t length) noexcept {
    IpPrefix out;
    out.family = address.family;
    out.bytes = address.bytes;
    out.length = length;
    return out;
  }

  IpAddress address() const noexcept {
    IpAddress out;
    out.family = family;
    out.bytes = bytes;
    return out;
  }

  // True when the address has this prefix's family and agrees with it on the
  // first `length` bits.
  bool covers(const IpAddress& address) const noexcept;

  // True when both name the same entry: same family, same length and the
  // same first `length` bits (host bits ignored).
  bool same_entry(const IpPrefix& other) const noexcept;

  // The prefix with every bit at or after `length` cleared.
  IpPrefix canonical() const noexcept;

  // Exact equality, host bits included.
  friend bool operator==(const IpPrefix&, const IpPrefix&) = default;
};

using Attributes = std::unordered_map<std::string, std::string>;
// One attribute as a name and a value viewed where the caller keeps them.
using AttributeView = std::pair<std::string_view, std::string_view>;

namespace detail {
struct MetadataRep;
struct MetadataAccess;
}  // namespace detail

// The record stored with a prefix: a text `value` and a map of text
// `attributes`. It behaves as a plain value, but its payload is immutable and
// shared between copies (copy on write), so handing out a copy costs one
// atomic increment rather than an allocation. Mutators detach first.
class Metadata {
 public:
  Metadata() noexcept = default;
  explicit Metadata(std::string value, Attributes attributes = {});
  // A record of copies of `value` and `attributes`, built in the form an
  // engine stores: one allocation, the attributes packed after the record.
  // Equal to Metadata(value, map) of the same pairs, and cheaper to make
  // (no map, no hashing), which counts when loading a table whose records
  // mostly repeat: an engine keeps one of each set of equal records and
  // drops the others as they arrive. A name given more than once keeps its
  // last value.
  static Metadata from_views(std::string_view value, std::span<const AttributeView> attributes);
  Metadata(const Metadata& other) noexcept;
  Metadata(Metadata&& other) noexcept : rep_(std::exchange(other.rep_, nullptr)) {}
  Metadata& operator=(const Metadata& other) noexcept;
  // Inline, as the destructor: a batch of answers moved into a caller's
  // results costs no call per answer.
  Metadata& operator=(Metadata&& other) noexcept {
    if (this != &other) {
      if (rep_ != nullptr) give_back();
      rep_ = std::exchange(other.rep_, nullptr);
    }
    return *this;
  }
  // Inline, so that a moved-from Metadata (a lookup's answer on its way out,
  // say) costs nothing to destroy.
  ~Metadata() {
    if (rep_ != nullptr) give_back();
  }

  const std::string& value() const noexcept;
  // A record stored in an engine may keep its attributes packed, and builds
  // this map the first time it is asked for (then keeps it as long as the
  // record lives). Running out of memory while building it ends the
  // process. for_each_attribute reads them without building anything.
  const Attributes& attributes() const noexcept;
  // Calls visit(name, value), both std::string_view, once per attribute, in
  // no particular order.
  template <class F>
  void for_each_attribute(F&& visit) const {
    visit_attributes(
        [](void* f, std::string_view name, std::string_view value) {
          (*static_cast<std::remove_reference_t<F>*>(f))(name, value);
        },
        const_cast<void*>(static_cast<const void*>(std::addressof(visit))));
  }
  std::size_t attribute_count() const noexcept;
  // Equal for copies of one record, for as long as any copy lives: a key
  // for caching what a caller derives from a record (its Python objects,
  // say). Null for an empty record. Copies of a record its holder was given
  // mutable access to are whole copies (see below), each its own record.
  const void* identity() const noexcept { return rep_; }

  // Mutable access; detaches from any other copy first. The reference stays
  // this Metadata's alone: copies made later, and the records an engine
  // keeps of them, are whole copies, which writes through it do not reach
  // (running out of memory for such a copy ends the process). Like any
  // reference into an object, it is valid only while this Metadata holds
  // its record: not after it is moved from (into an insert, say),
  // assigned or destroyed.
  std::string& mutable_value();
  Attributes& mutable_attributes();

  friend bool operator==(const Metadata& a, const Metadata& b);

 private:
  friend struct detail::MetadataAccess;
  using AttributeVisit = void (*)(void* visit, std::string_view name, std::string_view value);
  void visit_attributes(AttributeVisit visit, void* context) const;
  // Returns this Metadata's reference on its record (rep_ not null).
  void give_back() noexcept;
  detail::MetadataRep* rep_ = nullptr;  // null: empty value, no attributes
};

// Operation counters and size of an engine.
struct EngineStats {
  std::uint64_t inserts = 0;
  std::uint64_t lookups = 0;
  std::uint64_t hits = 0;
  std::uint64_t misses = 0;
  std::uint64_t removals = 0;
  std::uint64_t size = 0;

  friend bool operator==(const EngineStats&, const EngineStats&) = default;
};

// Failures of the Redis-backed layers. Only the text crosses the engine
// interface.
class EngineError {
 public:
  enum class Kind : std::uint8_t { Redis, ChannelSend, ChannelReceive };

  static EngineError redis(std::string client_text) {
    return EngineError(Kind::Redis, std::move(client_text));
  }
  static EngineError channel_send() { return EngineError(Kind::ChannelSend, {}); }
  static EngineError channel_receive() { return EngineError(Kind::ChannelReceive, {}); }

  Kind kind() const noexcept { return kind_; }
  // "Redis error: <client text>", "Channel send error" or
  // "Channel receive error".
  std::string message() const;

 private:
  EngineError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}
  Kind kind_;
  std::string detail_;
};

// Result of insert: absent on success, otherwise the error's message text.
using InsertStatus = std::optional<std::string>;

}  // namespace korvane
