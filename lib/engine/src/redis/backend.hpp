// RedisBackend: what the Redis-backed layers send, on one shared client.
//
// Every change that reaches Redis (an entry written or deleted) also bumps
// "korvane:generation" and, when an update channel is given, publishes an
// update notice, all in one pipelined round trip.
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

#include <memory>
#include <optional>
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

std::string format_notice(std::string_view origin, const IpPrefix& prefix, const Metadata* record);
// Absent when the text is not a well-formed notice (unknown kind, a prefix
// that does not parse, a record that does not decode).
std::optional<UpdateNotice> parse_notice(std::string_view text);

class RedisBackend {
 public:
  // Parses the URL and opens a first connection. On failure returns nothing
  // and sets `error` to the client's text.
  static std::shared_ptr<RedisBackend> make(std::string_view url, std::string& error);

  // HSET of the entry (and the generation bump and notice); the outcome is
  // not reported: write-through never fails a local operation.
  void store_entry(const IpPrefix& prefix, const Metadata& record, const std::string* channel,
                   std::string_view origin) const;
  // HDEL of the prefix text (and the generation bump and notice).
  void delete_entry(const IpPrefix& prefix, const std::string* channel, std::string_view origin) const;
  // HGETALL of the entries hash; absent when the connection, the command or
  // the reply's shape fails.
  std::optional<std::vector<std::pair<std::string, std::string>>> load_entries() const;

  RedisClient& client() const noexcept { return *client_; }

 private:
  explicit RedisBackend(std::unique_ptr<RedisClient> client) : client_(std::move(client)) {}
  std::unique_ptr<RedisClient> client_;
};

}  // namespace korvane::redis
