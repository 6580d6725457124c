// The Redis client layer on hiredis: URL parsing, connections with bounded
// time-outs, commands and the reply shapes the engine relies on.
//
// Thread safety: RedisClient may be shared by any number of threads, and
// survives a fork: the child opens connections of its own, provided no
// other thread was inside the client at the fork (the child would inherit
// its pool's mutex held by a thread it does not have). It
// keeps a pool of idle connections behind one mutex, held only to take or
// give back a connection, never during network I/O; a command runs on a
// connection that belongs to its thread until the reply is read, so
// concurrent commands never wait for each other inside the client.
// Connection objects are owned by one thread at a time.
//
// Time-outs: a connect (name resolution excepted) gives up after
// kConnectTimeout, a command once kCommandTimeout passes with nothing of
// it sent or received (however often signals interrupt the wait); either
// way the command fails and the connection is discarded. No Redis call can block a thread longer than about
// kConnectTimeout + kCommandTimeout per attempt (two attempts at most, see
// RedisClient::pipeline). And once a server has failed a fresh connection,
// commands fail at once for kRetryAfter instead of each waiting out its own
// time-outs: a partitioned server costs one wait per second, not one per
// operation.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform.hpp"

struct redisContext;

namespace korvane::redis {

inline constexpr std::chrono::milliseconds kConnectTimeout{1000};
inline constexpr std::chrono::milliseconds kCommandTimeout{2000};
// For reading a whole table (HGETALL of the entries hash): millions of
// entries take the server seconds to send.
inline constexpr std::chrono::milliseconds kLoadTimeout{120000};
inline constexpr std::chrono::milliseconds kRetryAfter{1000};

struct ConnectionSettings {
  std::string host;
  std::uint16_t port = 6379;
  std::uint64_t database = 0;
  std::optional<std::string> user;
  std::optional<std::string> password;
  int protocol = 2;  // 2 (RESP2) or 3 (RESP3)

  friend bool operator==(const ConnectionSettings&, const ConnectionSettings&) = default;
};

// Parses redis://[user[:password]@]host[:port][/database][?protocol=3][&db=N].
// User and password are percent-decoded; an IPv6 host is written in
// brackets. The TLS scheme "rediss" and the socket schemes "unix" and
// "redis+unix" are recognised and refused. On failure returns nothing and
// sets `error` to the reason.
std::optional<ConnectionSettings> parse_url(std::string_view url, std::string& error);

// One reply, copied out of hiredis.
struct Reply {
  enum class Type : std::uint8_t { String, Status, Error, Integer, Nil, Array, Map };
  Type type = Type::Nil;
  std::string text;              // String, Status, Error
  long long integer = 0;         // Integer
  std::vector<Reply> elements;   // Array; Map as alternating keys and values
};

// A field -> value map from an HGETALL reply: a RESP2 flat array of an even
// number of texts or a RESP3 map; nil is an empty map. An element that is not
// a string makes the whole reply unusable; a pair whose field is not valid
// UTF-8 is left out (its value is passed on as it came).
// Takes the reply by value so that a caller done with it can move it in.
std::optional<std::vector<std::pair<std::string, std::string>>> reply_text_map(Reply reply);
// GET: nil is absent; a string holding valid UTF-8 is the text; anything
// else is unusable (also absent).
std::optional<std::string> reply_optional_text(const Reply& reply);

bool valid_utf8(std::string_view text) noexcept;

// An open, authenticated connection on the configured database.
class Connection {
 public:
  // Connects within kConnectTimeout, sets kCommandTimeout for replies,
  // switches TCP keep-alive on, authenticates and selects the database.
  static std::unique_ptr<Connection> open(const ConnectionSettings& settings, std::string& error);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Sends the commands in one write and reads one reply per command. A
  // transport failure (time-out, closed socket) leaves the connection broken
  // and returns nothing; an error reply is a reply.
  // `reply_timeout`, when given, replaces kCommandTimeout for these replies.
  std::optional<std::vector<Reply>> run(const std::vector<std::vector<std::string>>& commands,
                                        std::optional<std::chrono::milliseconds> reply_timeout = std::nullopt);
  bool broken() const noexcept { return broken_; }
  // hiredis's context, for the subscriber's own reading loop.
  redisContext* context() noexcept { return context_; }
  // Marks the connection unusable (the subscriber, after a failed read).
  void set_broken() noexcept { broken_ = true; }
  // Whether the calling process opened it. A forked child shares its
  // parent's sockets: replies to one process could reach the other, so a
  // child never sends on an inherited connection.
  bool owned_here() const noexcept;
  // Whether the server has neither closed the connection nor sent anything
  // on it since its last reply: nothing is waiting to be read.
  bool quiet() const noexcept;

 private:
  explicit Connection(redisContext* context);
  redisContext* context_;
  bool broken_ = false;
  int owner_;  // the pid that opened it
};

Reply copy_reply(const void* hiredis_reply);

class RedisClient {
 public:
  explicit RedisClient(ConnectionSettings settings) : settings_(std::move(settings)) {}
  ~RedisClient();

  // Opens one connection (kept in the pool) and checks that a Redis server
  // answers on it (PING) and lets this user run transactions (MULTI), waiting
  // a few seconds for a server that is not up yet; the reason when any fails.
  std::optional<std::string> check_connection();

  // Runs the commands on a pooled connection, or a new one. A pooled
  // connection that went stale while it sat in the pool (server restarted,
  // idle socket closed) shows it as something to read, and is dropped
  // before anything is sent on it. Commands once sent are never sent again:
  // a reply that does not come may still mean the server ran them, and a
  // write repeated later could undo another process's change made between.
  // Nothing on any failure, and at once while a failed server's kRetryAfter
  // runs.
  std::optional<std::vector<Reply>> pipeline(const std::vector<std::vector<std::string>>& commands,
                                             std::optional<std::chrono::milliseconds> reply_timeout = std::nullopt);
  std::optional<Reply> command(std::vector<std::string> args);

  const ConnectionSettings& settings() const noexcept { return settings_; }
  // Off: every command opens and closes its own connection (for
  // measurements against reuse).
  void set_reuse(bool reuse) noexcept { reuse_ = reuse; }
  // Ends the wait after a failure early: the caller knows the server answers
  // again (the subscriber got through).
  void server_reachable() noexcept { retry_at_.store(0, std::memory_order_relaxed); }
  // Fresh connections tried by commands so far (for tests and diagnostics).
  std::uint64_t connect_attempts() const noexcept { return connect_attempts_.load(std::memory_order_relaxed); }
  // Ends every wait for a reply at once and fails every command from now
  // on, for an owner about to go whose threads may be waiting on a stalled
  // server (a load waits up to kLoadTimeout). Only connections of the
  // calling process are touched: a forked child's copy leaves its parent's
  // alone.
  void interrupt() noexcept;

 private:
  static constexpr int kConnectRetries = 6;
  // One check; `worth_retrying` when the server may answer a little later.
  std::optional<std::string> check_connection_once(bool& worth_retrying);
  std::unique_ptr<Connection> take_idle();
  void give_back(std::unique_ptr<Connection> connection);
  // Runs the commands on `connection`, listed in busy_ meanwhile.
  std::optional<std::vector<Reply>> run_on(Connection& connection,
                                           const std::vector<std::vector<std::string>>& commands,
                                           std::optional<std::chrono::milliseconds> reply_timeout);

  static constexpr std::size_t kMaxIdle = 8;
  const ConnectionSettings settings_;
  bool reuse_ = true;
  std::mutex mutex_;  // guards idle_ and busy_
  std::vector<std::unique_ptr<Connection>> idle_;
  // Descriptors of connections sending or waiting on a reply: interrupt()
  // shuts them down. A descriptor leaves the list before its connection
  // closes, so no descriptor number reused meanwhile is ever shut down.
  std::vector<int> busy_;
  // Set once by interrupt() (under mutex_, read under it by run_on; the
  // relaxed read in pipeline only saves a connect).
  std::atomic<bool> interrupted_{false};
  const int owner_ = platform::process_id();
  // Steady-clock nanoseconds before which no fresh connection is tried.
  // Relaxed: a hint that only saves waiting; a race costs one extra try.
  std::atomic<std::int64_t> retry_at_{0};
  std::atomic<std::uint64_t> connect_attempts_{0};
};

}  // namespace korvane::redis
