// Deferred reclamation by epochs.
//
// Readers walk shared structures through plain pointers inside a Guard and
// never write anything shared but their own participant slot. A writer that
// unlinks an object hands it to retire() instead of freeing it; the release
// function runs only once every thread that was inside a Guard at the time of
// the unlink has left it. This is what lets a trie walk take no reference
// count and no lock per node.
//
// Thread safety: every function may be called from any thread. Guards nest;
// only the outermost one pins. A thread must not hold a Guard across a
// blocking wait on another thread's progress (that would only delay
// reclamation, never break it).
//
// Memory ordering, for those who change this file:
// - pin publishes (epoch, pinned) and then needs a full barrier, so that no
//   load of a shared pointer after it can be satisfied before other threads
//   can see the pin (the writer's side of that pairing is the seq_cst fence
//   before it reads the participants). On x86 a sequentially consistent
//   exchange is that barrier (a locked instruction); the language promises
//   it only for other seq_cst operations, so elsewhere a store and a seq_cst
//   fence make it;
// - unpin is a release store, and the advancing thread reads participant
//   slots with acquire loads, so everything a reader did inside its Guard
//   happens before the global epoch moves on;
// - the global epoch is advanced with release and read with acquire, so the
//   thread that frees an object after seeing the epoch two steps on is
//   ordered after every reader that could have seen the object.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace korvane::epoch {

struct Retired {
  void* object;
  void (*release)(void*);
};

struct alignas(64) Participant {
  // 0 while not pinned; (epoch << 1) | 1 while pinned. Written only by the
  // owning thread, read by any thread that tries to advance the epoch.
  std::atomic<std::uint64_t> state{0};
  // Owner-only fields.
  std::uint32_t nesting = 0;
  std::uint32_t unpins_since_collect = 0;
  std::uint32_t reads_without_pin = 0;  // see skip_pin
  std::vector<Retired> pending;  // retired, not yet stamped with an epoch
  struct Sealed {
    std::uint64_t epoch;
    std::vector<Retired> items;
  };
  std::vector<Sealed> sealed;  // stamped; freed two epochs after their stamp
  // Registry fields.
  std::uint32_t index = 0;  // 0, 1, 2... in order of creation; a slot keeps it
  std::atomic<bool> in_use{false};
  Participant* next = nullptr;  // immutable once published
};

namespace detail {
extern std::atomic<std::uint64_t> global_epoch;
// True while the shared list (retire_shared, and what exited threads left)
// holds garbage. Read relaxed on every unpin: a stale answer only delays a
// collection by one unpin, and the flag's line is written rarely.
extern std::atomic<bool> shared_garbage;
// The calling thread's participant, null until its first pin. A
// function-local constant-initialised thread_local needs no TLS wrapper call
// and no guard; initial-exec keeps the access to one instruction even in a
// dynamically loaded module.
inline Participant*& current() noexcept {
#if defined(__SANITIZE_ADDRESS__)
  // The address sanitizer's runtime does not cope with initial-exec TLS.
  static thread_local Participant* participant = nullptr;
#else
  static thread_local Participant* participant __attribute__((tls_model("initial-exec"))) = nullptr;
#endif
  return participant;
}
Participant* register_thread();
// Collects the thread's garbage now and then. Never throws: it runs in
// Guard's destructor. A collection that runs out of memory leaves every
// object listed, for a later one.
void after_unpin(Participant* p) noexcept;
}  // namespace detail

inline Participant* local_participant() {
  Participant* p = detail::current();
  if (__builtin_expect(p == nullptr, 0)) p = detail::register_thread();
  return p;
}

inline void pin(Participant* p) {
  if (p->nesting++ == 0) {
    const std::uint64_t e = detail::global_epoch.load(std::memory_order_acquire);
#if defined(__x86_64__) || defined(__i386__)
    p->state.exchange((e << 1) | 1u, std::memory_order_seq_cst);
#else
    p->state.store((e << 1) | 1u, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
  }
}

inline void unpin(Participant* p) noexcept {
  if (--p->nesting == 0) {
    p->state.store(0, std::memory_order_release);
    if (__builtin_expect(!p->pending.empty() || !p->sealed.empty() ||
                             detail::shared_garbage.load(std::memory_order_relaxed),
                         0)) {
      detail::after_unpin(p);
    }
  }
}

// For a read that needs no pin (it loads atomics and follows no pointer):
// whether to go without one this time. Every kPinAfterSkips-th such read
// pins all the same, since a thread collects garbage only as it unpins: a
// thread that only ever reads that way must still free what it, and threads
// that have exited, retired.
inline constexpr std::uint32_t kPinAfterSkips = 16;
inline bool skip_pin(Participant* p) noexcept {
  if (++p->reads_without_pin < kPinAfterSkips) return true;
  p->reads_without_pin = 0;
  return false;
}

inline void pin() { pin(local_participant()); }
inline void unpin() noexcept { unpin(detail::current()); }

class Guard {
 public:
  Guard() { pin(); }
  ~Guard() { unpin(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
};

// Runs release(object) once no thread that might have seen the object is
// still inside a Guard. The object must already be unreachable for new
// readers. It waits on the calling thread's own list, which that thread
// collects as it goes on pinning (or when it exits).
// Never throws: a caller retires what it has already unlinked, and could
// not undo that. An object that cannot be listed for want of memory is
// never released: a leak, where anything else could free it under a reader.
void retire(void* object, void (*release)(void*)) noexcept;

// As retire, but the object goes on a list that every thread collects
// from: it is released within a bounded number of Guards on any thread, even
// if the retiring thread never pins again. For large retirements (a whole
// cleared trie) made by threads that may then go idle. Never throws, as
// retire.
void retire_shared(void* object, void (*release)(void*)) noexcept;

// Advances the epoch as far as possible and runs every release that has
// become safe, including those left behind by exited threads. For tests and
// for callers that want memory back now; never needed for correctness.
void collect();

}  // namespace korvane::epoch
