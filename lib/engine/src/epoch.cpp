#include "epoch.hpp"

#include <pthread.h>

#include <algorithm>
#include <mutex>
#include <utility>

#include "platform.hpp"

namespace korvane::epoch {

namespace detail {
// Starts at 2 so that "stamp + 2 <= epoch" never underflows.
std::atomic<std::uint64_t> global_epoch{2};
std::atomic<bool> shared_garbage{false};
}  // namespace detail

namespace {

// Retired items worth stamping and collecting at once; amortises the fence
// and the scan over the participants.
constexpr std::size_t kPendingBatch = 64;
// A thread with sealed garbage, or seeing shared garbage, retries
// collection after this many unpins, so garbage does not linger when writes
// stop.
constexpr std::uint32_t kUnpinsPerRetry = 128;

// Participants are never freed: a slot is reused by the next new thread.
// The registry and the orphan list are deliberately leaked so that they
// outlive every thread-exit hook, including the main thread's at exit.
std::atomic<Participant*> registry_head{nullptr};

// Garbage any thread collects: shared retirements and the bags of exited
// threads. shared_garbage mirrors "sealed is not empty" and is written only
// under the mutex.
struct Orphans {
  std::mutex mutex;
  std::vector<Participant::Sealed> sealed;

  void publish_locked() noexcept { detail::shared_garbage.store(!sealed.empty(), std::memory_order_relaxed); }
};
Orphans& orphans() {
  static Orphans* const instance = new Orphans();
  return *instance;
}

std::uint64_t stamp_epoch() {
  // The fence orders the unlinking stores before the epoch read: a reader
  // that pins at a later epoch cannot still find the object.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  return detail::global_epoch.load(std::memory_order_acquire);
}

// Makes room for `more` elements, growing geometrically, so that the
// push_backs after it cannot throw: out of memory, this throws before any
// bag has been moved out of its list, and nothing is lost.
template <typename T>
void reserve_for(std::vector<T>& v, std::size_t more) {
  if (v.capacity() - v.size() < more) v.reserve(std::max(v.size() + more, 2 * v.capacity()));
}

// Out of memory, throws with the items still pending.
void seal_pending(Participant* p) {
  if (p->pending.empty()) return;
  reserve_for(p->sealed, 1);
  p->sealed.push_back({stamp_epoch(), std::move(p->pending)});
  p->pending.clear();
}

// Moves the global epoch on by one if every pinned participant has seen the
// current one. Returns the epoch in force afterwards.
std::uint64_t try_advance() {
  std::uint64_t e = detail::global_epoch.load(std::memory_order_acquire);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  for (Participant* q = registry_head.load(std::memory_order_acquire); q != nullptr; q = q->next) {
    const std::uint64_t s = q->state.load(std::memory_order_acquire);
    if ((s & 1u) != 0 && (s >> 1) != e) return e;
  }
  if (detail::global_epoch.compare_exchange_strong(e, e + 1, std::memory_order_acq_rel,
                                                   std::memory_order_acquire)) {
    return e + 1;
  }
  return e;  // somebody else advanced; e holds the new value
}

// Moves the bags whose grace period has passed at `epoch` out of `sealed`.
// Out of memory, throws with every bag still in `sealed`.
std::vector<Participant::Sealed> take_ready(std::vector<Participant::Sealed>& sealed, std::uint64_t epoch) {
  std::vector<Participant::Sealed> ready;
  reserve_for(ready, static_cast<std::size_t>(std::count_if(
                         sealed.begin(), sealed.end(), [&](const Participant::Sealed& bag) { return bag.epoch + 2 <= epoch; })));
  for (auto it = sealed.begin(); it != sealed.end();) {
    if (it->epoch + 2 <= epoch) {
      ready.push_back(std::move(*it));
      it = sealed.erase(it);
    } else {
      ++it;
    }
  }
  return ready;
}

// Releases can retire further objects (a node releasing its children), so
// the ready bags are taken out of their lists before they run.
void run(std::vector<Participant::Sealed>& ready) {
  for (auto& bag : ready) {
    for (const Retired& r : bag.items) r.release(r.object);
  }
}

// Out of memory, throws with nothing lost: every retired object is still
// listed, to be freed by a later collection.
void collect_for(Participant* p) {
  seal_pending(p);
  std::uint64_t e = try_advance();
  if (p->nesting == 0) e = try_advance();
  std::vector<Participant::Sealed> ready = take_ready(p->sealed, e);
  // Shared garbage stays shared until it is ready, so a thread that takes
  // none of it home can go idle without holding anything back.
  std::vector<Participant::Sealed> shared_ready;
  if (detail::shared_garbage.load(std::memory_order_relaxed)) {
    Orphans& o = orphans();
    std::unique_lock lock(o.mutex, std::try_to_lock);
    if (lock.owns_lock()) {
      try {
        shared_ready = take_ready(o.sealed, e);
      } catch (...) {
        // Out of memory: the shared bags wait for another collection. This
        // thread's own ready ones are already out of their list.
      }
      o.publish_locked();
    }
  }
  p->unpins_since_collect = 0;
  run(ready);
  run(shared_ready);
}

// Hands the exiting thread's garbage to the shared list and frees its slot.
// A key destructor, not a thread_local one: the C library runs key
// destructors after every thread_local destructor, so what those retire (a
// handle kept per thread dropping the last reference to an engine) is handed
// over too; a destructor that pins again registers the thread again, and the
// library then runs this once more.
// Out of memory, what could not be handed over stays on the slot, for the
// next thread to take it.
void on_thread_exit(void* slot) noexcept {
  auto* p = static_cast<Participant*>(slot);
  try {
    seal_pending(p);
    if (!p->sealed.empty()) {
      Orphans& o = orphans();
      std::lock_guard lock(o.mutex);
      reserve_for(o.sealed, p->sealed.size());
      for (auto& bag : p->sealed) o.sealed.push_back(std::move(bag));
      o.publish_locked();
      p->sealed.clear();
    }
  } catch (...) {
  }
  p->nesting = 0;
  p->state.store(0, std::memory_order_release);
  if (detail::current() == p) detail::current() = nullptr;
  p->in_use.store(false, std::memory_order_release);
}

// A forked child has only the thread that forked. The slots of the others
// stay claimed for good (their lists may have been mid-change), but no longer
// count as pinned: a parent thread inside a Guard at the fork would otherwise
// stop the child's epoch, and the child would never free anything again. The
// orphan list's mutex is held across the fork so that the child does not
// inherit it locked by a thread it does not have.
void before_fork() noexcept { orphans().mutex.lock(); }
void after_fork_in_parent() noexcept { orphans().mutex.unlock(); }
void after_fork_in_child() noexcept {
  orphans().mutex.unlock();
  for (Participant* q = registry_head.load(std::memory_order_acquire); q != nullptr; q = q->next) {
    if (q != detail::current()) q->state.store(0, std::memory_order_relaxed);
  }
}

struct ExitHooks {
  pthread_key_t key{};
  bool ready = false;
};
const ExitHooks& exit_hooks() noexcept {
  static const ExitHooks hooks = [] {
    ExitHooks h;
    h.ready = ::pthread_key_create(&h.key, &on_thread_exit) == 0;
    (void)platform::on_fork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
    return h;
  }();
  return hooks;
}
// Made as the library loads, with the orphan list whose mutex the fork
// handlers hold: a fork that found a thread making them would leave the
// child unable to finish, its first pin waiting for good, and a fork
// handler must not allocate.
[[maybe_unused]] const bool exit_hooks_made = (orphans(), exit_hooks(), true);

// Ties the calling thread's exit to its participant (when the process had
// no key left to give, the slot is simply never handed back).
void hand_back_at_exit(Participant* p) noexcept {
  const ExitHooks& hooks = exit_hooks();
  if (hooks.ready) ::pthread_setspecific(hooks.key, p);
}

}  // namespace

namespace detail {

Participant* register_thread() {
  for (Participant* q = registry_head.load(std::memory_order_acquire); q != nullptr; q = q->next) {
    bool expected = false;
    if (!q->in_use.load(std::memory_order_relaxed) &&
        q->in_use.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
      current() = q;
      hand_back_at_exit(q);
      return q;
    }
  }
  static std::atomic<std::uint32_t> created{0};
  auto* p = new Participant();
  p->index = created.fetch_add(1, std::memory_order_relaxed);
  p->in_use.store(true, std::memory_order_relaxed);
  Participant* head = registry_head.load(std::memory_order_relaxed);
  do {
    p->next = head;
  } while (!registry_head.compare_exchange_weak(head, p, std::memory_order_release,
                                                std::memory_order_relaxed));
  current() = p;
  hand_back_at_exit(p);
  return p;
}

void after_unpin(Participant* p) noexcept {
  if (p->pending.size() >= kPendingBatch || ++p->unpins_since_collect >= kUnpinsPerRetry) {
    // Sealing and sorting out the ready bags allocate. Out of memory,
    // every object stays listed for a later collection.
    try {
      collect_for(p);
    } catch (...) {
    }
  }
}

}  // namespace detail

void retire(void* object, void (*release)(void*)) noexcept {
  Participant* p = nullptr;
  try {
    p = local_participant();
    p->pending.push_back({object, release});
  } catch (...) {
    return;  // out of memory: the object is leaked, never freed early
  }
  if (p->nesting == 0 && p->pending.size() >= kPendingBatch) {
    // Listed already. A collection that runs out of memory leaves every
    // object listed, for a later one.
    try {
      collect_for(p);
    } catch (...) {
    }
  }
}

void retire_shared(void* object, void (*release)(void*)) noexcept {
  try {
    Participant::Sealed bag{stamp_epoch(), {Retired{object, release}}};
    Orphans& o = orphans();
    std::lock_guard lock(o.mutex);
    o.sealed.push_back(std::move(bag));
    o.publish_locked();
  } catch (...) {
    // Out of memory: leaked, as retire does.
  }
}

void collect() {
  Participant* p = local_participant();
  // A few rounds: each bag needs the epoch two steps past its stamp, and
  // releases may retire more objects.
  for (int round = 0; round < 4; ++round) collect_for(p);
}

}  // namespace korvane::epoch
