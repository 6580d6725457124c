// RedisBackend: what the Redis-backed layers send, on one shared client.
//
// Every change that reaches Redis (an entry written or deleted) also bumps
// "korvane:generation" and, when an update channel is given, publishes an
// update notice, all in one transaction (MULTI/EXEC) sent in one pipelined
// round trip.
//
// Update notice format (one text per change; the prefix text never holds a
// space):
//   "<origin> I <prefix text> <JSON record>"   an insert
//   "<origin> R <prefix text>"                 a remove
// <origin> is 16 lowercase hex digits naming the sending engine, so that an
// engine can ignore its own notices. A clear sends nothing.
//
// Thread safety: all members may be called from any thread (RedisClient is
// thread-safe; the rest is immutable after construction).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "korvane/types.hpp"
#include "redis/client.hpp"

namespace korvane::redis {

struct UpdateNotice {
  std::string origin;
  bool insert = false;
  IpPrefix prefix;
  Metadata record;  // inserts only
};

// A fresh random origin (or incarnation token): 16 lowercase hex digits.
std::string new_origin();

// The channel that carries notices of one database's entries: the update
// channel itself for database 0, "<channel>/<database>" for any other.
// Publish and subscribe span a server's databases, so each needs its own.
std::string notice_channel(const std::string& update_channel, std::uint64_t database);

std::string format_notice(std::string_view origin, const IpPrefix& prefix, const Metadata* record);
// Absent when the text is not a well-formed notice (unknown kind, a prefix
// that does not parse, a record that does not decode).
std::optional<UpdateNotice> parse_notice(std::string_view text);

// The entries hash read in one transaction with the generation it is at.
struct Snapshot {
  // Nothing when the generation key holds something other than a count
  // (planted by hand): the entries are still the hash's.
  std::optional<std::uint64_t> generation;
  // The server's incarnation token (see kIncarnationKey), or nothing when
  // the key holds no string.
  std::optional<std::string> incarnation;
  std::vector<std::pair<std::string, std::string>> entries;  // field text -> value text
};

// What is known of a write-through that did not land.
enum class WriteFailure {
  kUnknown,  // no reply, or one of another shape: the change may have run
  // The server answered and ran none of it (a command refused as it was
  // queued: out of memory, no permission), or it was never sent: no notice
  // went out.
  kRefused,
  // The change itself failed as it ran (the entries key is of another
  // type), while the generation bump and the notice ran: the hash cannot
  // take writes until it is usable again.
  kFailedAsItRan,
};

class RedisBackend {
 public:
  // Parses the URL and opens a first connection. On failure returns nothing
  // and sets `error` to the client's text.
  static std::shared_ptr<RedisBackend> make(std::string_view url, std::string& error);

  // Write-through of one change: HSET (or HDEL) of the entry, the generation
  // bump and, with a channel, the notice, in one transaction and one
  // pipelined round trip; a write the server refuses publishes nothing.
  // Returns the generation the change set (0 when the write landed but the
  // generation key could not count it), or nothing when the change did not
  // reach the hash; callers never fail a local operation on it. `failure`,
  // when given, says what is known of a change that did not land (see
  // WriteFailure).
  // `other_spellings` are further fields naming the same entry (spelt by
  // another tool: upper-case hex, a netmask, leading zeros), deleted in the
  // same transaction.
  std::optional<std::uint64_t> store_entry(const IpPrefix& prefix, const Metadata& record,
                                           const std::string* channel, std::string_view origin,
                                           WriteFailure* failure = nullptr,
                                           std::span<const std::string> other_spellings = {}) const;
  std::optional<std::uint64_t> delete_entry(const IpPrefix& prefix, const std::string* channel,
                                            std::string_view origin, WriteFailure* failure = nullptr,
                                            std::span<const std::string> other_spellings = {}) const;
  // The entries hash and the generation, read atomically (MULTI/EXEC), so
  // that every change counted in `generation` is in `entries`. Nothing when
  // the connection, the command or the reply's shape fails. Waits up to
  // kLoadTimeout for the reply: a large hash takes seconds to send.
  // The incarnation key is set to `token` first where it is missing (and
  // writes are allowed).
  std::optional<Snapshot> load_snapshot(const std::string& token) const;

  // The shared result tier. A result is stored with the generation read
  // before the lookup that computed it, and fetched only while that is
  // still the current generation: any change anywhere since then (which
  // bumps the generation) makes it stale, so a superseded record is never
  // returned.
  std::optional<std::uint64_t> generation() const;
  // The record stored for the address if it is current; nothing for no
  // result, a stale one, a value that is not a record, or any failure.
  std::optional<Metadata> fetch_result(const IpAddress& address) const;
  // SET of the result with its generation (one MSET); outcome discarded.
  void store_result(const IpAddress& address, const Metadata& record, std::uint64_t generation) const;
  // Bumps the generation on its own (after a change whose write-through
  // failed); whether it reached Redis.
  bool bump_generation() const;

  RedisClient& client() const noexcept { return *client_; }

 private:
  explicit RedisBackend(std::unique_ptr<RedisClient> client) : client_(std::move(client)) {}
  std::optional<std::uint64_t> write_change(std::vector<std::string> change, const IpPrefix& prefix,
                                            const Metadata* record, const std::string* channel,
                                            std::string_view origin, WriteFailure* failure,
                                            std::vector<std::string> also = {}) const;
  std::unique_ptr<RedisClient> client_;
};

}  // namespace korvane::redis
