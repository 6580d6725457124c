// The few facts the engine asks of the operating system, behind one small
// layer so that the rest of the library never calls it directly.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

#include <pthread.h>
#include <signal.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KORVANE_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KORVANE_SANITIZED_BUILD 1
#endif
#endif

namespace korvane::platform {

// True in AddressSanitizer and ThreadSanitizer builds. The engine's own
// allocators then step aside for the ordinary one, so that the sanitizers
// see every allocation's lifetime.
#if defined(KORVANE_SANITIZED_BUILD)
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif

// Logical processors online; 0 when the system does not say.
unsigned logical_processors() noexcept;

// Physical memory available now, in bytes; absent when the system does not
// say.
std::optional<std::uint64_t> available_memory_bytes() noexcept;

// A fresh random 64-bit value for seeding hash keys. Cheap: seeded once per
// thread from the system's entropy source, then a fast generator.
std::uint64_t random_u64() noexcept;
// A random 64-bit value straight from the system's entropy source, for
// names that must differ between processes, a forked child and its parent
// included (whose random_u64 generators start alike). A system without one
// gives a value from the process id, an address and the clock.
std::uint64_t entropy_u64() noexcept;

// Whether the processor runs SSE4.1 and AVX2 instructions; false off x86.
bool cpu_has_sse41() noexcept;
bool cpu_has_avx2() noexcept;

// Maps `bytes` of zeroed memory aligned to `bytes` (a power of two), asks the
// kernel to back it with huge pages where it can, and returns it; null when
// the system has no memory to give.
void* map_aligned_huge(std::size_t bytes) noexcept;
// The same, backed page by page as it is first touched, without huge pages
// until advise_huge asks for them.
void* map_aligned(std::size_t bytes) noexcept;
// Asks the kernel to back a mapping made by map_aligned with huge pages from
// now on, and to gather the pages already touched into them where it can.
// Best effort: a kernel that cannot leaves the mapping as it was.
void advise_huge(void* p, std::size_t bytes) noexcept;
// Gives a mapping made by map_aligned_huge or map_aligned back to the system.
void unmap(void* p, std::size_t bytes) noexcept;

// Has the thread that calls fork() lock `mutex` just before the fork and
// unlock it in both processes just after, so that a child never inherits it
// held by a thread it does not have, nor the state it guards half-changed.
// For process-wide locks that live as long as the process, and only for
// leaves: no thread may take another lock registered here while holding
// one, so that the forking thread can take them all in any order. Register
// a lock before any thread can take it, best as the library loads (a fork
// that finds a thread inside a static's initialisation leaves the child
// unable to finish it). At most kMaxForkLocks; past that, a lock is not
// held across forks.
inline constexpr std::size_t kMaxForkLocks = 32;
void hold_across_fork(std::mutex& mutex) noexcept;

// Registers functions the thread that calls fork() runs just before the
// fork, and after it in the parent and in the child; false when there is
// no room for more (kMaxForkHooks). For fork handling beyond holding leaf
// locks: the prepare functions run, in the order they were registered,
// before the locks above are taken, and the others after those are
// released, in the reverse order. So a lock that a prepare function takes
// may be held while a leaf lock is taken (a record pool's, held while a
// record is allocated), and the forking thread still takes both in that
// order. Registered, like the locks, before any thread can need them.
inline constexpr std::size_t kMaxForkHooks = 8;
bool on_fork(void (*prepare)(), void (*in_parent)(), void (*in_child)()) noexcept;

// The calling process's id. A forked child's differs from its parent's, so
// an object that owns threads or descriptors notes it when made, to leave
// the parent's alone in a child.
int process_id() noexcept;

// Whether the socket `fd` has something to read now (data, or its end).
bool socket_readable(int fd) noexcept;
// Waits until the socket can be read (or, `for_write`, written), or until
// `timeout` has passed; false on the time-out or an error. A signal does
// not start the wait over: however often one arrives, the wait ends once
// `timeout` has passed.
bool wait_socket(int fd, bool for_write, std::chrono::milliseconds timeout) noexcept;
// Keeps the descriptor from programs the process starts.
void close_on_exec(int fd) noexcept;
// Ends every read and write on the socket, now and to come: a thread
// blocked in one returns at once, as if the peer had closed it. The
// descriptor stays open for its owner to close.
void shut_down_socket(int fd) noexcept;

// A self-pipe with which one thread ends another's waits on a socket. Once
// woken it stays woken, so it suits stopping a thread for good.
class Waker {
 public:
  // Throws std::runtime_error, naming `user`, when the system gives no pipe.
  explicit Waker(const char* user);
  ~Waker();  // closes the pipe, unless abandon()ed
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;

  void wake() noexcept;
  struct Ready {
    bool socket = false;  // `socket` has something to read, or has ended
    bool woken = false;
  };
  // Waits up to `ms` milliseconds (-1: without limit) for the socket to be
  // readable (a negative `socket`: none to watch) or, with `watch_wake`,
  // for wake(); returns what was ready (nothing at the timeout, or when a
  // signal interrupted the wait).
  Ready wait(int socket, bool watch_wake, int ms) const noexcept;
  // Forgets the pipe without closing it: in a forked child, whose copy of
  // the descriptors still belongs to the parent's waker.
  void abandon() noexcept;

 private:
  int read_end_ = -1;
  int write_end_ = -1;
};

// While one lives, a write to a socket the peer has closed fails with EPIPE
// in the calling thread instead of raising SIGPIPE, whose default action
// ends the process: for the library's own sockets, in a host program that
// may not ignore the signal. Blocks SIGPIPE for the thread, and on leaving
// takes back a SIGPIPE that became pending meanwhile (one sent to the
// process from outside in that window is taken back too). Does nothing
// where the thread already blocks SIGPIPE.
class SigpipeHeld {
 public:
  SigpipeHeld() noexcept;
  ~SigpipeHeld();
  SigpipeHeld(const SigpipeHeld&) = delete;
  SigpipeHeld& operator=(const SigpipeHeld&) = delete;

 private:
  sigset_t before_;
  bool blocked_here_ = false;
  bool was_pending_ = false;
};

// A reader-writer lock that prefers writers: once a writer waits, new
// readers queue behind it, so a steady stream of readers cannot starve it.
// Not recursive on the shared side: a thread holding it shared must not take
// it shared again (a waiting writer would deadlock them both). Meets the
// standard SharedMutex requirements, for std::shared_lock and
// std::unique_lock.
class WriterPreferringMutex {
 public:
  WriterPreferringMutex() noexcept;
  ~WriterPreferringMutex();
  WriterPreferringMutex(const WriterPreferringMutex&) = delete;
  WriterPreferringMutex& operator=(const WriterPreferringMutex&) = delete;

  void lock() noexcept;
  void unlock() noexcept;
  void lock_shared() noexcept;
  void unlock_shared() noexcept;

 private:
  pthread_rwlock_t lock_;
};

}  // namespace korvane::platform
