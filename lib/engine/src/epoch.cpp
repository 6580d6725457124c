#include "epoch.hpp"

#include <mutex>
#include <utility>

namespace korvane::epoch {

namespace detail {
// Starts at 2 so that "stamp + 2 <= epoch" never underflows.
std::atomic<std::uint64_t> global_epoch{2};
}  // namespace detail

namespace {

// Retired items worth stamping and collecting at once; amortises the fence
// and the scan over the participants.
constexpr std::size_t kPendingBatch = 64;
// A thread with sealed garbage retries collection after this many unpins,
// so garbage does not linger when writes stop.
constexpr std::uint32_t kUnpinsPerRetry = 128;

// Participants are never freed: a slot is reused by the next new thread.
// The registry and the orphan list are deliberately leaked so that they
// outlive every thread-exit hook, including the main thread's at exit.
std::atomic<Participant*> registry_head{nullptr};

struct Orphans {
  std::mutex mutex;
  std::vector<Participant::Sealed> sealed;
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

void release_ready(std::vector<Participant::Sealed>& sealed, std::uint64_t epoch) {
  // Releases can retire further objects (a node releasing its children), so
  // take the ready bags out before running them.
  std::vector<Participant::Sealed> ready;
  for (auto it = sealed.begin(); it != sealed.end();) {
    if (it->epoch + 2 <= epoch) {
      ready.push_back(std::move(*it));
      it = sealed.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& bag : ready) {
    for (const Retired& r : bag.items) r.release(r.object);
  }
}

void collect_for(Participant* p) {
  seal_pending(p);
  {
    Orphans& o = orphans();
    std::unique_lock lock(o.mutex, std::try_to_lock);
    if (lock.owns_lock() && !o.sealed.empty()) {
      for (auto& bag : o.sealed) p->sealed.push_back(std::move(bag));
      o.sealed.clear();
    }
  }
  std::uint64_t e = try_advance();
  if (p->nesting == 0) e = try_advance();
  release_ready(p->sealed, e);
  p->unpins_since_collect = 0;
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

void collect() {
  Participant* p = local_participant();
  // A few rounds: each bag needs the epoch two steps past its stamp, and
  // releases may retire more objects.
  for (int round = 0; round < 4; ++round) collect_for(p);
}

}  // namespace korvane::epoch
