#include "redis/subscriber.hpp"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <deque>
#include <system_error>
#include <stdexcept>

namespace korvane::redis {

namespace {
// A subscription speaks RESP2 whatever the URL asks for: under RESP3 its
// confirmation and its messages come as push replies, which hiredis 1.x
// hands to a push handler instead of to the reader this loop calls.
ConnectionSettings subscribing(ConnectionSettings settings) {
  settings.protocol = 2;
  return settings;
}
}  // namespace

Subscriber::Subscriber(ConnectionSettings settings, std::string channel, std::function<void()> on_subscribed,
                       std::function<void(std::string_view)> on_message, std::function<void()> on_tick,
                       std::size_t held_limit, std::function<void()> before_subscribing)
    : held_limit_(held_limit),
      settings_(subscribing(std::move(settings))),
      channel_(std::move(channel)),
      on_subscribed_(std::move(on_subscribed)),
      on_message_(std::move(on_message)),
      on_tick_(std::move(on_tick)),
      before_subscribing_(std::move(before_subscribing)) {
  thread_ = std::make_unique<std::thread>([this] { run(); });
}

Subscriber::~Subscriber() {
  if (owner_ != platform::process_id()) {
    // A forked child's copy: the thread was not copied, and the wake-up
    // pipe is the parent's, so neither is touched. The thread object is
    // left unjoined on purpose.
    (void)thread_.release();
    wake_.abandon();
    return;
  }
  stop_.store(true);
  wake_.wake();
  thread_->join();
}

bool Subscriber::wait_first_attempt(std::string* refusal) {
  std::unique_lock lock(first_mutex_);
  first_cv_.wait(lock, [this] { return first_done_; });
  if (refusal != nullptr) *refusal = first_refusal_;
  return first_ok_;
}

void Subscriber::finish_first_attempt(bool ok, std::string refusal) {
  std::lock_guard lock(first_mutex_);
  if (first_done_) return;
  first_done_ = true;
  first_ok_ = ok;
  first_refusal_ = std::move(refusal);
  first_cv_.notify_all();
}

bool Subscriber::pause(int ms) {
  (void)wake_.wait(-1, true, ms);
  return !stop_.load();
}

void Subscriber::run() {
  int backoff_ms = 100;
  while (!stop_.load()) {
    std::string error;
    std::unique_ptr<Connection> connection = Connection::open(settings_, error);
    std::optional<std::vector<Reply>> confirmed;
    if (connection) {
      if (before_subscribing_) before_subscribing_();
      confirmed = connection->run({{"SUBSCRIBE", channel_}});
    }
    if (!confirmed || confirmed->front().type == Reply::Type::Error) {
      // Only a denial is final; other errors (too many clients, a server
      // still loading) pass, and the next attempt may get through.
      const bool refused = confirmed && confirmed->front().text.starts_with("NOPERM");
      finish_first_attempt(false, refused ? confirmed->front().text : std::string());
      if (!pause(backoff_ms)) break;
      backoff_ms = std::min(backoff_ms * 2, 1000);
      continue;
    }
    backoff_ms = 100;
    if (!catch_up_while_reading(*connection)) continue;
    listen(*connection);
  }
  finish_first_attempt(false);
}

bool Subscriber::catch_up_while_reading(Connection& connection) {
  // `on_subscribed` (a reload, say) may take long, and the server drops a
  // subscriber whose unread messages pass its output limit (32 MiB by
  // default): a reload during a flood of messages would then be followed by
  // another, for as long as the flood lasted. So it runs on a thread of its
  // own while this one reads, and the messages wait here until it returns.
  std::atomic<bool> done{false};  // release by the helper, acquire here
  std::thread helper;
  try {
    helper = std::thread([this, &done] {
      on_subscribed_();
      done.store(true, std::memory_order_release);
    });
  } catch (const std::system_error&) {  // no thread to spare: as before, reading waits
    on_subscribed_();
    done.store(true, std::memory_order_relaxed);
  }
  std::deque<std::string> held;
  std::size_t held_bytes = 0;
  bool overflowed = false;
  bool reading = true;
  redisContext* context = connection.context();
  while (!done.load(std::memory_order_acquire)) {
    if (reading) {
      if (!read_messages(context, [&](std::string_view text) {
            if (overflowed) return;
            // What a held message costs, its bookkeeping counted too, so
            // that a flood of empty messages is bounded as well.
            const std::size_t cost = text.size() + kHeldOverheadBytes;
            bool kept = held_bytes + cost <= held_limit_;
            if (kept) {
              try {
                held.emplace_back(text);
                held_bytes += cost;
              } catch (const std::bad_alloc&) {
                kept = false;
              }
            }
            if (!kept) {
              // Past this, the messages cost more than a reload: drop them
              // and reload once this one is done.
              overflowed = true;
              held = {};
            }
          })) {
        connection.set_broken();
        reading = false;
      }
    }
    // The helper's end is not signalled on a descriptor: look every few
    // milliseconds. A stop does not end the wait for the helper (its owner
    // makes a reload end quickly before stopping the subscriber).
    const platform::Waker::Ready ready = wake_.wait(reading ? context->fd : -1, !stop_.load(), 5);
    if (ready.socket && redisBufferRead(context) != REDIS_OK) {
      connection.set_broken();
      reading = false;
    }
  }
  if (helper.joinable()) helper.join();
  subscriptions_.fetch_add(1);
  finish_first_attempt(true);
  if (!reading || overflowed) return false;  // reconnect, and reload
  for (const std::string& text : held) {
    if (stop_.load()) return false;
    on_message_(text);
  }
  return true;
}

bool Subscriber::read_messages(redisContext* context, const std::function<void(std::string_view)>& hand_on) {
  for (;;) {
    void* raw = nullptr;
    if (redisGetReplyFromReader(context, &raw) != REDIS_OK) return false;
    if (raw == nullptr) return true;
    const Reply reply = copy_reply(raw);
    freeReplyObject(raw);
    if (reply.type == Reply::Type::Array && reply.elements.size() == 3 && reply.elements[0].text == "message" &&
        reply.elements[2].type == Reply::Type::String) {
      messages_read_.fetch_add(1, std::memory_order_relaxed);
      hand_on(reply.elements[2].text);
    }
  }
}

void Subscriber::listen(Connection& connection) {
  redisContext* context = connection.context();
  auto next_tick = std::chrono::steady_clock::now() + kTick;
  while (!stop_.load()) {
    // Hand on every reply already buffered before waiting for more.
    if (!read_messages(context, on_message_)) return;
    auto now = std::chrono::steady_clock::now();
    if (on_tick_ && now >= next_tick) {
      on_tick_();
      now = std::chrono::steady_clock::now();
      next_tick = now + kTick;
    }
    const int wait_ms =
        on_tick_ ? static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next_tick - now).count()) : -1;
    const platform::Waker::Ready ready = wake_.wait(context->fd, true, wait_ms);
    if (ready.woken) return;
    if (ready.socket && redisBufferRead(context) != REDIS_OK) {
      connection.set_broken();
      return;  // the subscription dropped: reconnect and reload
    }
  }
}

}  // namespace korvane::redis
