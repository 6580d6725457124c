// The engine interface every storage engine and layer implements.
//
// Thread safety: every implementation is safe to share between threads. Any
// number of threads may call any operation on one engine at the same time;
// each operation is atomic with respect to the engine's own invariants (a
// lookup sees a record either entirely before or entirely after a concurrent
// insert replaces it). Handles may be copied, moved and released on any
// thread.
//
// Fork: a child forked while other threads run may make and use engines of
// its own, and use an inherited engine that no other thread was changing at
// the fork. An engine another thread was changing (a hybrid engine's
// subscriber applies other engines' changes at any time; a lookup through a
// lookup cache may store its answer) may be left half-changed in the child,
// which must not use it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "korvane/types.hpp"

namespace korvane {

// Receives the answers of PrefixEngine::lookup_visit, one call per address.
class LookupVisitor {
 public:
  // `record` is the answer for addresses[index], or null for no match. It
  // is lent for the length of the call: read it there, or copy it (a cheap
  // shared copy) to keep it.
  virtual void visit(std::size_t index, const Metadata* record) = 0;

 protected:
  ~LookupVisitor() = default;
};

// Receives the entries of PrefixEngine::for_each.
class EntryVisitor {
 public:
  // One stored prefix (host bits cleared) and its record, lent for the
  // length of the call.
  virtual void visit(const IpPrefix& prefix, const Metadata& record) = 0;

 protected:
  ~EntryVisitor() = default;
};

class PrefixEngine {
 public:
  virtual ~PrefixEngine();

  // Stores the record for the prefix, replacing the record of an equal
  // prefix (host bits ignored). Absent result: success.
  virtual InsertStatus insert(const IpPrefix& prefix, Metadata metadata) const = 0;
  // Longest-prefix match: the record of the most specific stored prefix that
  // covers the address.
  virtual std::optional<Metadata> lookup(const IpAddress& address) const = 0;
  // Deletes exactly this prefix and hands out its record.
  virtual std::optional<Metadata> remove(const IpPrefix& prefix) const = 0;
  // Whether exactly this prefix holds a record (no longest-prefix search).
  virtual bool contains(const IpPrefix& prefix) const = 0;
  // Deletes every record; operation counters keep their values.
  virtual void clear() const = 0;
  // Number of prefixes holding a record.
  virtual std::uint64_t len() const = 0;
  // Counters and size.
  virtual EngineStats stats() const = 0;

  // Answers every address as lookup would, results[i] for addresses[i], and
  // counts as that many lookups. Engines that can overlap the memory
  // accesses of several lookups do so; this default asks one at a time.
  // `results` must be at least as long as `addresses`.
  virtual void lookup_many(std::span<const IpAddress> addresses, std::span<std::optional<Metadata>> results) const;
  // The same answers, lent to `visitor` in address order instead of handed
  // out: an engine that can avoids taking a reference on each record. The
  // visitor must not hold the engine busy for long (it runs inside the
  // engine's read-side critical section), and may call the engine again.
  virtual void lookup_visit(std::span<const IpAddress> addresses, LookupVisitor& visitor) const;

  // Visits every stored prefix with its record: IPv4 before IPv6, then by
  // address, then by length. Beside writers the walk is weakly consistent:
  // a prefix stored throughout it is visited exactly once, and a prefix
  // never stored is not visited. Engines that cannot list their entries
  // throw std::logic_error (this default). The visitor may not call the
  // engine's writers.
  virtual void for_each(EntryVisitor& visitor) const;

 protected:
  PrefixEngine() = default;
  PrefixEngine(const PrefixEngine&) = delete;
  PrefixEngine& operator=(const PrefixEngine&) = delete;
};

// Shared, atomically reference-counted handle; the engine is destroyed with
// the last handle.
using EngineHandle = std::shared_ptr<const PrefixEngine>;

}  // namespace korvane
