#include "redis/client.hpp"

#include <hiredis/hiredis.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <thread>

#include "platform.hpp"

namespace korvane::redis {
namespace {

timeval to_timeval(std::chrono::milliseconds ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ms.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms.count() % 1000) * 1000);
  return tv;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percent_decode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = hex_digit(text[i + 1]), low = hex_digit(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return out;
}

template <class T>
bool parse_decimal(std::string_view text, T& out) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::optional<ConnectionSettings> parse_url(std::string_view url, std::string& error) {
  // A NUL would end the host where the resolver reads it, and the engine
  // would connect to another host than the URL names.
  if (std::any_of(url.begin(), url.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
    error = "invalid Redis URL: a control character";
    return std::nullopt;
  }
  const std::size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos || scheme_end == 0) {
    error = "invalid Redis URL: missing scheme";
    return std::nullopt;
  }
  const std::string scheme = lower(url.substr(0, scheme_end));
  if (scheme == "rediss") {
    error = "TLS connections (rediss://) are not supported by this build";
    return std::nullopt;
  }
  if (scheme == "unix" || scheme == "redis+unix") {
    error = "Unix socket connections (" + scheme + "://) are not supported by this build";
    return std::nullopt;
  }
  if (scheme != "redis") {
    error = "invalid Redis URL: unsupported scheme '" + scheme + "'";
    return std::nullopt;
  }
  std::string_view rest = url.substr(scheme_end + 3);
  if (const std::size_t hash = rest.find('#'); hash != std::string_view::npos) rest = rest.substr(0, hash);
  std::string_view query;
  if (const std::size_t q = rest.find('?'); q != std::string_view::npos) {
    query = rest.substr(q + 1);
    rest = rest.substr(0, q);
  }
  std::string_view path;
  if (const std::size_t slash = rest.find('/'); slash != std::string_view::npos) {
    path = rest.substr(slash + 1);
    rest = rest.substr(0, slash);
  }
  ConnectionSettings settings;
  if (const std::size_t at = rest.rfind('@'); at != std::string_view::npos) {
    const std::string_view userinfo = rest.substr(0, at);
    rest = rest.substr(at + 1);
    const std::size_t colon = userinfo.find(':');
    const auto user = percent_decode(userinfo.substr(0, colon));
    std::optional<std::string> password;
    if (colon != std::string_view::npos) password = percent_decode(userinfo.substr(colon + 1));
    if (!user || (colon != std::string_view::npos && !password)) {
      error = "invalid Redis URL: bad percent-encoding in the user information";
      return std::nullopt;
    }
    if (!user->empty()) settings.user = *user;
    if (password) settings.password = *password;
  }
  std::string_view port_text;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) {
      error = "invalid Redis URL: unclosed '[' in the host";
      return std::nullopt;
    }
    settings.host = std::string(rest.substr(1, close - 1));
    const std::string_view after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') {
        error = "invalid Redis URL: text after the host";
        return std::nullopt;
      }
      port_text = after.substr(1);
    }
  } else {
    const std::size_t colon = rest.rfind(':');
    settings.host = std::string(rest.substr(0, colon));
    if (colon != std::string_view::npos) {
      port_text = rest.substr(colon + 1);
    }
  }
  if (settings.host.empty()) {
    error = "invalid Redis URL: no host";
    return std::nullopt;
  }
  // A password holding a '/', '?' or '#' that was not percent-encoded is
  // split there and read as a port or a database number: where the URL
  // holds credentials, the errors do not quote what they could not read.
  const bool credentials = url.find('@') != std::string_view::npos;
  const auto quoted = [credentials](std::string_view text) {
    return credentials ? std::string(" (not shown, as the URL holds credentials: a '/', '?', '#' or '@' in them "
                                     "must be percent-encoded)")
                       : " '" + std::string(text) + "'";
  };
  if (!port_text.empty()) {  // "host:" names the default port, as "host" does
    unsigned port = 0;
    if (!parse_decimal(port_text, port) || port == 0 || port > 65535) {
      error = "invalid Redis URL: bad port" + quoted(port_text);
      return std::nullopt;
    }
    settings.port = static_cast<std::uint16_t>(port);
  }
  if (!path.empty() && !parse_decimal(path, settings.database)) {
    error = "invalid Redis URL: bad database number" + quoted(path);
    return std::nullopt;
  }
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const std::size_t eq = pair.find('=');
    const std::string_view name = pair.substr(0, eq);
    const std::string_view given = eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
    if (name == "db") {
      // The database as other clients' URLs give it. Ignored, it would
      // leave the engine writing to database 0.
      std::uint64_t database = 0;
      if (!parse_decimal(given, database)) {
        error = "invalid Redis URL: bad database number" + quoted(given);
        return std::nullopt;
      }
      if (!path.empty() && database != settings.database) {
        error = "invalid Redis URL: two different database numbers";
        return std::nullopt;
      }
      settings.database = database;
      continue;
    }
    if (name != "protocol") continue;  // other parameters are not ours
    // RESP2 unless RESP3 is asked for.
    const std::string value = lower(given);
    settings.protocol = value == "3" || value == "resp3" ? 3 : 2;
  }
#ifndef REDIS_REPLY_MAP
  if (settings.protocol == 3) {
    error = "RESP3 (protocol=3) needs hiredis 1.0 or later; this build uses hiredis " +
            std::to_string(HIREDIS_MAJOR) + "." + std::to_string(HIREDIS_MINOR);
    return std::nullopt;
  }
#endif
  return settings;
}

bool valid_utf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int extra;
    std::uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (end - p <= extra) return false;
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
    static constexpr std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
    p += extra + 1;
  }
  return true;
}

Reply copy_reply(const void* hiredis_reply) {
  const auto* r = static_cast<const redisReply*>(hiredis_reply);
  Reply out;
  switch (r->type) {
    case REDIS_REPLY_STRING: out.type = Reply::Type::String; break;
    case REDIS_REPLY_STATUS: out.type = Reply::Type::Status; break;
    case REDIS_REPLY_ERROR: out.type = Reply::Type::Error; break;
    case REDIS_REPLY_INTEGER: out.type = Reply::Type::Integer; break;
    case REDIS_REPLY_ARRAY: out.type = Reply::Type::Array; break;
#ifdef REDIS_REPLY_MAP
    case REDIS_REPLY_MAP: out.type = Reply::Type::Map; break;
#endif
    default: out.type = Reply::Type::Nil; break;
  }
  if (out.type == Reply::Type::String || out.type == Reply::Type::Status || out.type == Reply::Type::Error) {
    out.text.assign(r->str, r->len);
  } else if (out.type == Reply::Type::Integer) {
    out.integer = r->integer;
  } else if (out.type == Reply::Type::Array || out.type == Reply::Type::Map) {
    out.elements.reserve(r->elements);
    for (std::size_t i = 0; i < r->elements; ++i) out.elements.push_back(copy_reply(r->element[i]));
  }
  return out;
}

std::optional<std::vector<std::pair<std::string, std::string>>> reply_text_map(Reply reply) {
  std::vector<std::pair<std::string, std::string>> out;
  if (reply.type == Reply::Type::Nil) return out;
  if (reply.type != Reply::Type::Array && reply.type != Reply::Type::Map) return std::nullopt;
  if (reply.elements.size() % 2 != 0) return std::nullopt;
  out.reserve(reply.elements.size() / 2);
  for (std::size_t i = 0; i < reply.elements.size(); i += 2) {
    Reply& field = reply.elements[i];
    Reply& value = reply.elements[i + 1];
    if (field.type != Reply::Type::String || value.type != Reply::Type::String) return std::nullopt;
    // A field that is not text (a byte that is no UTF-8) names no prefix:
    // it goes alone, as an unreadable pair does, not the whole table with
    // it. A value that is not text stays, for the caller to find it is no
    // record: the field still says the entry is there.
    if (!valid_utf8(field.text)) continue;
    out.emplace_back(std::move(field.text), std::move(value.text));
  }
  return out;
}

std::optional<std::string> reply_optional_text(const Reply& reply) {
  if (reply.type != Reply::Type::String || !valid_utf8(reply.text)) return std::nullopt;
  return reply.text;
}

std::unique_ptr<Connection> Connection::open(const ConnectionSettings& settings, std::string& error) {
  redisContext* context = redisConnectWithTimeout(settings.host.c_str(), settings.port, to_timeval(kConnectTimeout));
  if (context == nullptr) {
    error = "cannot allocate a Redis connection";
    return nullptr;
  }
  if (context->err != 0) {
    error = context->errstr;
    redisFree(context);
    return nullptr;
  }
  std::unique_ptr<Connection> connection(new Connection(context));
  // Programs the host starts (os.system, popen) would otherwise keep the
  // connection, and a subscription's messages, open on the server.
  platform::close_on_exec(context->fd);
  redisSetTimeout(context, to_timeval(kCommandTimeout));
  redisEnableKeepAlive(context);
  std::vector<std::vector<std::string>> setup;
  if (settings.protocol == 3) {
    std::vector<std::string> hello{"HELLO", "3"};
    if (settings.password) {
      hello.insert(hello.end(), {"AUTH", settings.user.value_or("default"), *settings.password});
    }
    setup.push_back(std::move(hello));
  } else if (settings.password) {
    if (settings.user) {
      setup.push_back({"AUTH", *settings.user, *settings.password});
    } else {
      setup.push_back({"AUTH", *settings.password});
    }
  }
  if (settings.database != 0) setup.push_back({"SELECT", std::to_string(settings.database)});
  if (!setup.empty()) {
    const auto replies = connection->run(setup);
    if (!replies) {
      error = context->errstr[0] != '\0' ? context->errstr : "connection closed during set-up";
      return nullptr;
    }
    for (const Reply& reply : *replies) {
      if (reply.type == Reply::Type::Error) {
        error = reply.text;
        return nullptr;
      }
    }
  }
  return connection;
}

Connection::Connection(redisContext* context) : context_(context), owner_(platform::process_id()) {}

Connection::~Connection() { redisFree(context_); }  // closes this process's copy of the socket only

bool Connection::owned_here() const noexcept { return owner_ == platform::process_id(); }

std::optional<std::vector<Reply>> Connection::run(const std::vector<std::vector<std::string>>& commands,
                                                  std::optional<std::chrono::milliseconds> reply_timeout) {
  if (broken_) return std::nullopt;
  // A server that hangs up while a command is still being written (at its
  // client limit, restarting, or a killed connection) would otherwise raise
  // SIGPIPE in the host; the write then fails as any lost connection does.
  const platform::SigpipeHeld no_sigpipe;
  std::vector<const char*> argv;
  std::vector<std::size_t> lengths;
  for (const auto& args : commands) {
    argv.clear();
    lengths.clear();
    for (const std::string& arg : args) {
      argv.push_back(arg.data());
      lengths.push_back(arg.size());
    }
    if (redisAppendCommandArgv(context_, static_cast<int>(argv.size()), argv.data(), lengths.data()) != REDIS_OK) {
      broken_ = true;
      return std::nullopt;
    }
  }
  // The waits are ours, not the socket's: hiredis retries a read a signal
  // interrupted with the whole time-out again, so a host that takes a
  // signal more often than that (a profiler's timer, an alarm) would wait
  // on a stalled server for as long as it stalled. Each wait gives up once
  // `timeout` passes with nothing sent or received.
  const std::chrono::milliseconds timeout = reply_timeout.value_or(kCommandTimeout);
  for (int written = 0; !written;) {
    if (redisBufferWrite(context_, &written) != REDIS_OK ||
        (!written && !platform::wait_socket(context_->fd, true, timeout))) {
      broken_ = true;
      return std::nullopt;
    }
  }
  std::vector<Reply> replies;
  replies.reserve(commands.size());
  for (std::size_t i = 0; i < commands.size(); ++i) {
    void* raw = nullptr;
    for (;;) {
      if (redisGetReplyFromReader(context_, &raw) != REDIS_OK) {
        broken_ = true;  // hiredis contexts are unusable after an I/O or protocol error
        return std::nullopt;
      }
      if (raw != nullptr) break;
      if (!platform::wait_socket(context_->fd, false, timeout) || redisBufferRead(context_) != REDIS_OK) {
        broken_ = true;
        return std::nullopt;
      }
    }
    replies.push_back(copy_reply(raw));
    freeReplyObject(raw);
  }
  return replies;
}

RedisClient::~RedisClient() = default;

bool Connection::quiet() const noexcept {
  return !platform::socket_readable(context_->fd);
}

std::unique_ptr<Connection> RedisClient::take_idle() {
  std::lock_guard lock(mutex_);
  while (!idle_.empty()) {
    std::unique_ptr<Connection> connection = std::move(idle_.back());
    idle_.pop_back();
    // Inherited across a fork: the pool holds only the parent's. Stale:
    // the server closed it, or sent what nobody asked for.
    if (connection->owned_here() && connection->quiet()) return connection;
  }
  return nullptr;
}

void RedisClient::give_back(std::unique_ptr<Connection> connection) {
  if (!reuse_ || connection->broken()) return;
  std::lock_guard lock(mutex_);
  if (idle_.size() < kMaxIdle) idle_.push_back(std::move(connection));
}

namespace {
// Whether a failed connect or command found nobody listening yet: hiredis
// words a failed connect with strerror(errno).
bool nobody_listening(std::string_view error) {
  return error.find(std::strerror(ECONNREFUSED)) != std::string_view::npos ||
         error.find(std::strerror(ECONNRESET)) != std::string_view::npos;
}
bool still_loading(std::string_view reply) { return reply.starts_with("LOADING"); }
}  // namespace

std::optional<std::string> RedisClient::check_connection() {
  // A server that is not up yet (started beside this process, restarting,
  // loading its data) is waited for: tried again after 100 ms, then after
  // waits that double, six times (6.3 s of waits; a refused connect or a
  // LOADING reply comes back at once). Anything else fails at once: a
  // server that refuses this user, another service on the port, a host
  // that cannot be reached within the connect time-out.
  std::chrono::milliseconds wait{100};
  for (int retries = 0;; ++retries, wait *= 2) {
    bool worth_retrying = false;
    std::optional<std::string> failure = check_connection_once(worth_retrying);
    if (!failure || !worth_retrying || retries == kConnectRetries) return failure;
    std::this_thread::sleep_for(wait);
  }
}

std::optional<std::string> RedisClient::check_connection_once(bool& worth_retrying) {
  std::string error;
  std::unique_ptr<Connection> connection = Connection::open(settings_, error);
  if (!connection) {
    worth_retrying = nobody_listening(error) || still_loading(error);
    return error;
  }
  // A connection alone proves nothing: the port may belong to another
  // service, or to a proxy that accepts anything. Set-up sends no command
  // when there is no password or database to set. Writes go as
  // transactions: a user not allowed them could not write a change and its
  // notice as one, so it is refused here, as a user denied the update
  // channel is.
  const auto replies = connection->run({{"PING"}, {"MULTI"}, {"DISCARD"}});
  if (!replies) {
    const char* reason = connection->context()->errstr;
    worth_retrying = nobody_listening(reason);
    return reason[0] != '\0' ? std::string(reason) : std::string("no reply to PING");
  }
  const Reply& pong = (*replies)[0];
  if (pong.type == Reply::Type::Error) {
    worth_retrying = still_loading(pong.text);
    return pong.text;
  }
  if (pong.text != "PONG") return "not a Redis server (PING answered \"" + pong.text + "\")";
  if ((*replies)[1].type == Reply::Type::Error) return (*replies)[1].text;
  // Kept for the first command only if it left the transaction.
  if ((*replies)[2].type != Reply::Type::Error) give_back(std::move(connection));
  return std::nullopt;
}

std::optional<std::vector<Reply>> RedisClient::run_on(Connection& connection,
                                                    const std::vector<std::vector<std::string>>& commands,
                                                    std::optional<std::chrono::milliseconds> reply_timeout) {
  const int fd = connection.context()->fd;
  {
    std::lock_guard lock(mutex_);
    if (interrupted_.load(std::memory_order_relaxed)) return std::nullopt;
    busy_.push_back(fd);
  }
  // Off the list however run() ends, an exception included: a descriptor
  // left there would be shut down by interrupt() after its number was
  // reused for another file.
  struct Listed {
    RedisClient& client;
    int fd;
    ~Listed() {
      std::lock_guard lock(client.mutex_);
      client.busy_.erase(std::find(client.busy_.begin(), client.busy_.end(), fd));
    }
  } listed{*this, fd};
  return connection.run(commands, reply_timeout);
}

void RedisClient::interrupt() noexcept {
  if (owner_ != platform::process_id()) return;
  std::lock_guard lock(mutex_);
  interrupted_.store(true, std::memory_order_relaxed);
  // A blocked read then sees the connection end: the reply waits go at
  // once, each command failing as if the server had closed it.
  for (const int fd : busy_) platform::shut_down_socket(fd);
}

std::optional<std::vector<Reply>> RedisClient::pipeline(const std::vector<std::vector<std::string>>& commands,
                                                      std::optional<std::chrono::milliseconds> reply_timeout) {
  if (interrupted_.load(std::memory_order_relaxed)) return std::nullopt;
  if (std::unique_ptr<Connection> pooled = take_idle()) {
    auto replies = run_on(*pooled, commands, reply_timeout);
    if (replies) give_back(std::move(pooled));
    return replies;  // sent: never again (see the declaration)
  }
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  if (std::chrono::nanoseconds(retry_at_.load(std::memory_order_relaxed)) > now) return std::nullopt;
  connect_attempts_.fetch_add(1, std::memory_order_relaxed);
  std::string error;
  std::unique_ptr<Connection> fresh = Connection::open(settings_, error);
  std::optional<std::vector<Reply>> replies;
  if (fresh) replies = run_on(*fresh, commands, reply_timeout);
  if (!replies) {
    const auto failed_at = std::chrono::steady_clock::now().time_since_epoch();
    retry_at_.store(std::chrono::duration_cast<std::chrono::nanoseconds>(failed_at + kRetryAfter).count(),
                    std::memory_order_relaxed);
    return std::nullopt;
  }
  give_back(std::move(fresh));
  return replies;
}

std::optional<Reply> RedisClient::command(std::vector<std::string> args) {
  std::vector<std::vector<std::string>> commands;
  commands.push_back(std::move(args));
  auto replies = pipeline(commands);
  if (!replies) return std::nullopt;
  return std::move(replies->front());
}

}  // namespace korvane::redis
