#include "epoch.hpp"

#include <mutex>
#include <utility>

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
  static Orphans* instance = new Orphans();
  return *instance;
}

std::uint64_t stamp_epoch() {
  // The fence orders the unlinking stores before the epoch read: a reader
  // that pins at a later epoch cannot still find the object.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  return detail::global_epoch.load(std::memory_order_acquire);
}

void seal_pending(Participant* p) {
  if (p->pending.empty()) return;
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
std::vector<Participant::Sealed> take_ready(std::vector<Participant::Sealed>& sealed, std::uint64_t epoch) {
  std::vector<Participant::Sealed> ready;
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

void collect_for(Participant* p) {
  seal_pending(p);
  std::uint64_t e = try_advance();
  if (p->nesting == 0) e = try_advance();
  std::vector<Participant::Sealed> ready = take_ready(p->sealed, e);
  // Shared garbage stays shared until it is ready, so a thread that takes
  // none of it home can go idle without holding anything back.
  if (detail::shared_garbage.load(std::memory_order_relaxed)) {
    Orphans& o = orphans();
    std::unique_lock lock(o.mutex, std::try_to_lock);
    if (lock.owns_lock()) {
      for (auto& bag : take_ready(o.sealed, e)) ready.push_back(std::move(bag));
      o.publish_locked();
    }
  }
  p->unpins_since_collect = 0;
  run(ready);
}

struct ThreadExitHook {
  ~ThreadExitHook() {
    Participant* p = detail::current();
    if (p == nullptr) return;
    seal_pending(p);
    if (!p->sealed.empty()) {
      Orphans& o = orphans();
      std::lock_guard lock(o.mutex);
      for (auto& bag : p->sealed) o.sealed.push_back(std::move(bag));
      o.publish_locked();
    }
    p->sealed.clear();
    p->nesting = 0;
    p->state.store(0, std::memory_order_release);
    detail::current() = nullptr;
    p->in_use.store(false, std::memory_order_release);
  }
};

}  // namespace

namespace detail {

Participant* register_thread() {
  static thread_local ThreadExitHook hook;
  (void)&hook;  // odr-use so the hook is constructed and runs at thread exit
  for (Participant* q = registry_head.load(std::memory_order_acquire); q != nullptr; q = q->next) {
    bool expected = false;
    if (!q->in_use.load(std::memory_order_relaxed) &&
        q->in_use.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
      current() = q;
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
  return p;
}

void after_unpin(Participant* p) {
  if (p->pending.size() >= kPendingBatch || ++p->unpins_since_collect >= kUnpinsPerRetry) {
    collect_for(p);
  }
}

}  // namespace detail

void retire(void* object, void (*release)(void*)) {
  Participant* p = local_participant();
  p->pending.push_back({object, release});
  if (p->nesting == 0 && p->pending.size() >= kPendingBatch) collect_for(p);
}

void retire_shared(void* object, void (*release)(void*)) {
  Participant::Sealed bag{stamp_epoch(), {Retired{object, release}}};
  Orphans& o = orphans();
  std::lock_guard lock(o.mutex);
  o.sealed.push_back(std::move(bag));
  o.publish_locked();
}

void collect() {
  Participant* p = local_participant();
  // A few rounds: each bag needs the epoch two steps past its stamp, and
  // releases may retire more objects.
  for (int round = 0; round < 4; ++round) collect_for(p);
}

}  // namespace korvane::epoch
