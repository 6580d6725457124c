// Subscriber: one thread that listens on a publish/subscribe channel and
// hands each message to a callback.
//
// Thread safety: the callbacks run one at a time, never concurrently with
// each other, on the subscriber's own thread, except `on_subscribed`, which
// runs on a short-lived thread of its own while the subscriber keeps reading
// (see Reconnection); they must be safe to run concurrently with whatever
// the owner's other threads do. The destructor stops the thread and joins it
// (within one poll wake-up, once a callback that is running returns, or,
// while the thread connects, once the connect or the server's confirmation
// of the subscription comes or times out: kConnectTimeout and
// kCommandTimeout at most), so no callback runs after it returns. In a forked child, which has no copy of
// the thread, it leaves the thread and the parent's wake-up pipe alone: a
// child hears no messages.
//
// Reconnection: when the subscription cannot be made or drops, the thread
// retries with a back-off from 100 ms up to 1 s. Each time a subscription is
// confirmed it calls `on_subscribed` before handing on any message received
// on that subscription, so the owner can reload whatever it may have missed.
// `before_subscribing`, when given, runs just before each SUBSCRIBE is sent,
// on the subscriber's thread: what is published after it may still reach
// the subscription that follows.
// Meanwhile the messages are read and kept in order (up to kMaxHeldBytes of
// them, or the limit given; past that they are dropped and the subscription
// made again), so that a long reload during a flood of messages does not
// get the subscription dropped by the server's output limit.
//
// Ticks: while subscribed it also calls `on_tick` about once per kTick,
// between messages, for work that waits for the server (such as writes it
// refused) and that no message or reconnection would set off.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform.hpp"
#include "redis/client.hpp"

namespace korvane::redis {

class Subscriber {
 public:
  static constexpr std::chrono::milliseconds kTick{1000};
  // Held messages, each counted with kHeldOverheadBytes of bookkeeping.
  static constexpr std::size_t kMaxHeldBytes = std::size_t{256} << 20;
  static constexpr std::size_t kHeldOverheadBytes = 64;

  Subscriber(ConnectionSettings settings, std::string channel, std::function<void()> on_subscribed,
             std::function<void(std::string_view)> on_message, std::function<void()> on_tick = {},
             std::size_t held_limit = kMaxHeldBytes, std::function<void()> before_subscribing = {});
  ~Subscriber();
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

  // Waits until the first attempt has finished: subscribed and
  // `on_subscribed` returned (true), or failed (false). Where the server
  // denied the subscription (NOPERM: a user whose ACL lacks the channel),
  // `refusal` gets its text: trying again would get the same.
  bool wait_first_attempt(std::string* refusal = nullptr);
  // Number of confirmed subscriptions so far (1 + reconnections), each
  // counted once its `on_subscribed` has returned.
  std::uint64_t subscriptions() const noexcept { return subscriptions_.load(); }
  // Messages read so far, handed on, held or dropped.
  std::uint64_t messages_read() const noexcept { return messages_read_.load(std::memory_order_relaxed); }

 private:
  void run();
  // Runs `on_subscribed` while reading and holding the messages that
  // arrive, then hands those on; false when the subscription must be made
  // again (it dropped, or too much arrived to hold) or a stop was asked.
  bool catch_up_while_reading(Connection& connection);
  // Hands on every message already buffered on the connection; false when
  // the reader failed.
  bool read_messages(redisContext* context, const std::function<void(std::string_view)>& hand_on);
  // Reads messages until the connection fails or a stop is asked.
  void listen(Connection& connection);
  // Sleeps up to `ms` milliseconds; false when a stop was asked.
  bool pause(int ms);
  void finish_first_attempt(bool ok, std::string refusal = {});

  const std::size_t held_limit_;
  const ConnectionSettings settings_;
  const std::string channel_;
  const std::function<void()> on_subscribed_;
  const std::function<void(std::string_view)> on_message_;
  const std::function<void()> on_tick_;
  const std::function<void()> before_subscribing_;
  platform::Waker wake_{"the subscriber's wake-up pipe"};  // the destructor wakes the thread's waits
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> subscriptions_{0};
  std::atomic<std::uint64_t> messages_read_{0};  // relaxed: a figure, ordering nothing
  std::mutex first_mutex_;  // guards first_done_, first_ok_ and first_refusal_
  std::condition_variable first_cv_;
  bool first_done_ = false;
  bool first_ok_ = false;
  std::string first_refusal_;
  const int owner_ = platform::process_id();  // the process whose thread it is
  std::unique_ptr<std::thread> thread_;  // last: starts after every other member exists
};

}  // namespace korvane::redis
