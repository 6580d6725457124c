// Deferred reclamation: a retired object outlives every guard that could
// have seen it, and is released once none can.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "epoch.hpp"
#include "reference.hpp"

namespace korvane {
namespace {

std::atomic<int> released{0};
void count_release(void*) { released.fetch_add(1); }

// Retires `n` tokens and collects until no more progress is possible.
void retire_tokens(int n) {
  for (int i = 0; i < n; ++i) epoch::retire(nullptr, &count_release);
}

TEST(Epoch, PinnedReaderHoldsBackRelease) {
  epoch::collect();
  released = 0;

  enum { kPinned = 1, kLeave };
  testing::Stages stages;
  std::thread reader([&] {
    epoch::Guard guard;
    stages.advance(kPinned);
    stages.await(kLeave);
  });
  stages.await(kPinned);

  // A forked child has none of its parent's other threads: the reader
  // pinned here holds nothing back there.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    retire_tokens(300);
    for (int i = 0; i < 5; ++i) epoch::collect();
    _exit(released.load() == 300 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a forked child's garbage was never released";

  retire_tokens(300);
  for (int i = 0; i < 5; ++i) epoch::collect();
  EXPECT_EQ(released.load(), 0) << "released while a reader that could see it was pinned";

  stages.advance(kLeave);
  reader.join();
  epoch::collect();
  EXPECT_EQ(released.load(), 300);
}

TEST(Epoch, NestedGuardsPinOnce) {
  epoch::collect();
  released = 0;
  {
    epoch::Guard outer;
    {
      epoch::Guard inner;
    }
    // Still pinned by the outer guard: nothing retired now may go.
    retire_tokens(100);
    epoch::collect();
    EXPECT_EQ(released.load(), 0);
  }
  epoch::collect();
  EXPECT_EQ(released.load(), 100);
}

TEST(Epoch, GarbageOfExitedThreadsIsReleased) {
  epoch::collect();
  released = 0;
  std::thread worker([] {
    epoch::Guard guard;
    retire_tokens(10);  // fewer than a batch: left behind at exit
  });
  worker.join();
  epoch::collect();
  EXPECT_EQ(released.load(), 10);
}

// A thread_local made before the thread's first pin is destroyed after the
// thread's other exit work; what its destructor retires (an engine dropped
// by a handle kept per thread) is released all the same.
TEST(Epoch, RetiredByLateThreadExitIsReleased) {
  epoch::collect();
  released = 0;
  struct RetiresAtExit {
    ~RetiresAtExit() {
      epoch::Guard guard;
      retire_tokens(10);
    }
  };
  std::thread worker([] {
    static thread_local RetiresAtExit late;
    (void)&late;
    epoch::Guard guard;
  });
  worker.join();
  epoch::collect();
  EXPECT_EQ(released.load(), 10);
}

}  // namespace
}  // namespace korvane
