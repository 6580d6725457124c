// The operating-system layer's waits: what the Redis subscriber and client
// rely on to stop their threads.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform.hpp"

namespace korvane::platform {
namespace {

struct SocketPair {
  int ends[2] = {-1, -1};
  SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0); }
  ~SocketPair() {
    ::close(ends[0]);
    ::close(ends[1]);
  }
};

TEST(Waker, WakesAWaitingThreadAndStaysWoken) {
  Waker waker("a test pipe");
  SocketPair pair;
  // Nothing ready: the wait ends at its timeout with nothing to report.
  Waker::Ready ready = waker.wait(pair.ends[0], true, 10);
  EXPECT_FALSE(ready.socket);
  EXPECT_FALSE(ready.woken);

  std::thread waiter([&] { ready = waker.wait(pair.ends[0], true, -1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  waker.wake();
  waiter.join();
  EXPECT_TRUE(ready.woken);
  EXPECT_FALSE(ready.socket);
  // Woken for good, and ignored where the caller does not watch it.
  EXPECT_TRUE(waker.wait(-1, true, -1).woken);
  waker.wake();
  EXPECT_TRUE(waker.wait(-1, true, 0).woken);
  EXPECT_FALSE(waker.wait(pair.ends[0], false, 0).woken);

  ASSERT_EQ(::write(pair.ends[1], "x", 1), 1);
  ready = waker.wait(pair.ends[0], false, -1);
  EXPECT_TRUE(ready.socket);
  EXPECT_TRUE(socket_readable(pair.ends[0]));
  EXPECT_FALSE(socket_readable(pair.ends[1]));
}

TEST(ShutDownSocket, EndsAReadBlockedInAnotherThread) {
  SocketPair pair;
  long got = 1;
  std::thread reader([&] {
    char byte;
    got = ::read(pair.ends[0], &byte, 1);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  shut_down_socket(pair.ends[0]);
  reader.join();  // would hang if the read went on waiting
  EXPECT_EQ(got, 0);
  EXPECT_TRUE(socket_readable(pair.ends[0]));  // its end reads as ready from now on
}

}  // namespace
}  // namespace korvane::platform
