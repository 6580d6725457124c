#include "platform.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <stdexcept>
#include <string>

namespace korvane::platform {

unsigned logical_processors() noexcept {
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 0;
}

std::optional<std::uint64_t> available_memory_bytes() noexcept {
  // MemAvailable is the kernel's own estimate of memory that can be handed
  // out without swapping, which is what "available now" means here.
  std::FILE* f = std::fopen("/proc/meminfo", "re");
  if (f == nullptr) return std::nullopt;
  char line[256];
  std::optional<std::uint64_t> result;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    unsigned long long kib = 0;
    if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) {
      result = static_cast<std::uint64_t>(kib) * 1024u;
      break;
    }
  }
  std::fclose(f);
  return result;
}

namespace {
std::uint64_t splitmix64(std::uint64_t& state) noexcept {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint64_t entropy_seed() noexcept {
  try {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
  } catch (...) {
    // No entropy source: fall back to addresses and the clock, which still
    // differ between processes.
    std::uint64_t local = 0;
    return reinterpret_cast<std::uintptr_t>(&local) ^ static_cast<std::uint64_t>(::getpid()) << 32 ^
           static_cast<std::uint64_t>(std::random_device::result_type(std::time(nullptr)));
  }
}
}  // namespace

namespace {
// Fixed storage, so that registering cannot fail. Registering takes no lock:
// it may run inside a static's initialisation, and a fork that waited for
// it there would leave the child that initialisation marked as under way
// for good. A slot is claimed, then filled (release); a fork skips a slot
// claimed but not yet filled, whose lock no thread can hold yet (its owner
// registers it before handing it out), or whose hooks guard nothing yet.
struct ForkHooks {
  void (*prepare)();
  void (*in_parent)();
  void (*in_child)();
};
struct ForkLocks {
  std::atomic<std::size_t> claimed{0};
  std::atomic<std::mutex*> locks[kMaxForkLocks] = {};
  std::atomic<std::size_t> hooks_claimed{0};
  ForkHooks hooks[kMaxForkHooks] = {};
  std::atomic<bool> hook_ready[kMaxForkHooks] = {};
  // One fork's handlers at a time; guards `held`, `held_count` and
  // `hooks_run`, what the forking thread took, for its unlocks.
  std::mutex forking;
  std::mutex* held[kMaxForkLocks] = {};
  std::size_t held_count = 0;
  const ForkHooks* hooks_run[kMaxForkHooks] = {};
  std::size_t hooks_run_count = 0;
};
ForkLocks& fork_locks() {
  static ForkLocks* instance = new ForkLocks();  // leaked: forks may come late
  return *instance;
}
// The hooks first, in the order they were registered, then the leaf locks:
// a hook's locks may be held while a leaf is taken (a record pool's lock
// while a record is allocated), never the other way round.
void lock_before_fork() noexcept {
  ForkLocks& f = fork_locks();
  f.forking.lock();
  f.hooks_run_count = 0;
  const std::size_t hooks = std::min(f.hooks_claimed.load(std::memory_order_acquire), kMaxForkHooks);
  for (std::size_t i = 0; i < hooks; ++i) {
    if (f.hook_ready[i].load(std::memory_order_acquire)) {
      f.hooks[i].prepare();
      f.hooks_run[f.hooks_run_count++] = &f.hooks[i];
    }
  }
  const std::size_t claimed = std::min(f.claimed.load(std::memory_order_acquire), kMaxForkLocks);
  f.held_count = 0;
  for (std::size_t i = 0; i < claimed; ++i) {
    if (std::mutex* lock = f.locks[i].load(std::memory_order_acquire)) {
      lock->lock();
      f.held[f.held_count++] = lock;
    }
  }
}
// In the reverse order.
template <bool kChild>
void unlock_after_fork() noexcept {
  ForkLocks& f = fork_locks();
  for (std::size_t i = f.held_count; i > 0; --i) f.held[i - 1]->unlock();
  for (std::size_t i = f.hooks_run_count; i > 0; --i) {
    const ForkHooks& h = *f.hooks_run[i - 1];
    kChild ? h.in_child() : h.in_parent();
  }
  f.forking.unlock();
}
// Set up as the library loads, before any thread of its own can fork.
[[maybe_unused]] const bool fork_handlers =
    (fork_locks(), ::pthread_atfork(&lock_before_fork, &unlock_after_fork<false>, &unlock_after_fork<true>) == 0);
}  // namespace

namespace {
sigset_t only_sigpipe() noexcept {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  return set;
}
bool sigpipe_pending() noexcept {
  sigset_t pending;
  return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}
}  // namespace

SigpipeHeld::SigpipeHeld() noexcept {
  const sigset_t set = only_sigpipe();
  if (pthread_sigmask(SIG_BLOCK, &set, &before_) != 0) return;
  blocked_here_ = sigismember(&before_, SIGPIPE) != 1;
  // One pending already is not ours to take.
  if (blocked_here_) was_pending_ = sigpipe_pending();
}

SigpipeHeld::~SigpipeHeld() {
  if (!blocked_here_) return;
  if (!was_pending_ && sigpipe_pending()) {
    const sigset_t set = only_sigpipe();
    const timespec now{0, 0};
    while (sigtimedwait(&set, nullptr, &now) == -1 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &before_, nullptr);
}

bool on_fork(void (*prepare)(), void (*in_parent)(), void (*in_child)()) noexcept {
  ForkLocks& f = fork_locks();
  const std::size_t slot = f.hooks_claimed.fetch_add(1, std::memory_order_relaxed);
  if (slot >= kMaxForkHooks) return false;
  f.hooks[slot] = ForkHooks{prepare, in_parent, in_child};
  f.hook_ready[slot].store(true, std::memory_order_release);
  return true;
}

int process_id() noexcept { return static_cast<int>(::getpid()); }

bool socket_readable(int fd) noexcept {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

bool wait_socket(int fd, bool for_write, std::chrono::milliseconds timeout) noexcept {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  pollfd p{fd, static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) return false;
    const int ready = ::poll(&p, 1, static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), 1 << 30)));
    if (ready > 0) return true;  // readable, writable, or an error the next read or write reports
    if (ready == 0 || errno != EINTR) return false;
  }
}

void close_on_exec(int fd) noexcept {
  const int flags = ::fcntl(fd, F_GETFD);
  if (flags >= 0) (void)::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

void shut_down_socket(int fd) noexcept { (void)::shutdown(fd, SHUT_RDWR); }

Waker::Waker(const char* user) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error(std::string("cannot create ") + user);
  read_end_ = ends[0];
  write_end_ = ends[1];
}

Waker::~Waker() {
  if (read_end_ >= 0) ::close(read_end_);
  if (write_end_ >= 0) ::close(write_end_);
}

void Waker::wake() noexcept {
  // One byte is enough: nothing reads it, so the pipe stays readable. A
  // full pipe (woken many times) is as readable as ever.
  const char byte = 0;
  (void)!::write(write_end_, &byte, 1);
}

Waker::Ready Waker::wait(int socket, bool watch_wake, int ms) const noexcept {
  pollfd fds[2] = {{socket, POLLIN, 0}, {watch_wake ? read_end_ : -1, POLLIN, 0}};
  Ready ready;
  if (::poll(fds, 2, ms) > 0) {
    ready.socket = socket >= 0 && fds[0].revents != 0;
    ready.woken = watch_wake && fds[1].revents != 0;
  }
  return ready;
}

void Waker::abandon() noexcept { read_end_ = write_end_ = -1; }

void hold_across_fork(std::mutex& mutex) noexcept {
  ForkLocks& f = fork_locks();
  const std::size_t slot = f.claimed.fetch_add(1, std::memory_order_relaxed);
  if (slot < kMaxForkLocks) f.locks[slot].store(&mutex, std::memory_order_release);
}

std::uint64_t random_u64() noexcept {
  thread_local std::uint64_t state = entropy_seed();
  return splitmix64(state);
}

std::uint64_t entropy_u64() noexcept { return entropy_seed(); }

#if defined(__x86_64__) || defined(__i386__)
// Feature tests may run before the runtime's own constructor has filled
// the feature words, so initialise them first.
bool cpu_has_sse41() noexcept {
  static const bool yes = (__builtin_cpu_init(), __builtin_cpu_supports("sse4.1"));
  return yes;
}
bool cpu_has_avx2() noexcept {
  static const bool yes = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
  return yes;
}
#else
bool cpu_has_sse41() noexcept { return false; }
bool cpu_has_avx2() noexcept { return false; }
#endif

// Linux 6.1 gathers a range's pages into huge pages on request; older
// headers do not name the request.
#if defined(__linux__) && !defined(MADV_COLLAPSE)
#define MADV_COLLAPSE 25
#endif

void* map_aligned(std::size_t bytes) noexcept {
  // Over-map by the alignment, then cut away the unaligned head and tail.
  const std::size_t span = bytes * 2;
  void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + bytes - 1) & ~(static_cast<std::uintptr_t>(bytes) - 1);
  if (aligned > start) ::munmap(raw, aligned - start);
  const std::uintptr_t tail = start + span - (aligned + bytes);
  if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + bytes), tail);
  return reinterpret_cast<void*>(aligned);
}

void* map_aligned_huge(std::size_t bytes) noexcept {
  void* p = map_aligned(bytes);
#if defined(MADV_HUGEPAGE)
  if (p != nullptr) ::madvise(p, bytes, MADV_HUGEPAGE);
#endif
  return p;
}

void advise_huge(void* p, std::size_t bytes) noexcept {
#if defined(MADV_HUGEPAGE)
  ::madvise(p, bytes, MADV_HUGEPAGE);
#endif
#if defined(MADV_COLLAPSE)
  // Fails harmlessly (EINVAL) where the kernel predates it, and (EAGAIN,
  // ENOMEM) where no huge page is free; the pages then stay as they are.
  ::madvise(p, bytes, MADV_COLLAPSE);
#endif
}

void unmap(void* p, std::size_t bytes) noexcept { ::munmap(p, bytes); }

WriterPreferringMutex::WriterPreferringMutex() noexcept {
  pthread_rwlockattr_t attr;
  ::pthread_rwlockattr_init(&attr);
  // glibc honours writer preference only in its non-recursive flavour.
  ::pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  ::pthread_rwlock_init(&lock_, &attr);
  ::pthread_rwlockattr_destroy(&attr);
}
WriterPreferringMutex::~WriterPreferringMutex() { ::pthread_rwlock_destroy(&lock_); }
void WriterPreferringMutex::lock() noexcept { ::pthread_rwlock_wrlock(&lock_); }
void WriterPreferringMutex::unlock() noexcept { ::pthread_rwlock_unlock(&lock_); }
void WriterPreferringMutex::lock_shared() noexcept { ::pthread_rwlock_rdlock(&lock_); }
void WriterPreferringMutex::unlock_shared() noexcept { ::pthread_rwlock_unlock(&lock_); }

}  // namespace korvane::platform
