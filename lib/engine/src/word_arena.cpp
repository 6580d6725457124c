#include "word_arena.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <new>

#include "platform.hpp"

namespace korvane {

WordArena::WordArena(std::size_t chunk, std::size_t largest, bool huge, std::size_t align) noexcept
    : chunk_(chunk),
      largest_(largest < kLargestClass ? largest : kLargestClass),
      huge_(huge),
      run_(run_bytes(largest_, chunk, align)),
      runs_(chunk / run_),
      header_(header_bytes(align)) {}

// Small runs keep down what the classes in use hold beyond their objects
// (a run each, partly filled, at worst: a read index's nodes come in over
// a hundred sizes). A run holds at least four of the largest objects, and
// the first run of a chunk, past the header, at least one.
std::size_t WordArena::run_bytes(std::size_t largest, std::size_t chunk, std::size_t align) noexcept {
  const std::size_t largest_class = largest == 0 ? kWord : class_size(class_of(largest));
  std::size_t run = std::max(kSmallestRun, std::bit_ceil(4 * largest_class));
  while (run < chunk) {
    const std::size_t header = (sizeof(ChunkHeader) + chunk / run * sizeof(Run) + align - 1) / align * align;
    if (run >= header + largest_class) break;
    run *= 2;
  }
  return std::min(run, chunk);
}

std::size_t WordArena::header_bytes(std::size_t align) const noexcept {
  return (sizeof(ChunkHeader) + runs_ * sizeof(Run) + align - 1) / align * align;
}

void WordArena::hold_across_fork() noexcept { platform::hold_across_fork(mutex_); }

// Sizes up to kFineLimit have a class each; above, a size in (2^k, 2^(k+1)]
// falls in one of eight classes of 2^k / 8 bytes each.
std::size_t WordArena::class_of(std::size_t size) noexcept {
  if (size <= kFineLimit) return size / kWord - 1;
  const unsigned k = static_cast<unsigned>(std::bit_width(size - 1)) - 1;
  const std::size_t within = (size - 1 - (std::size_t{1} << k)) >> (k - 3);
  return kFineLimit / kWord + (k - 10) * 8 + within;
}

std::size_t WordArena::class_size(std::size_t c) noexcept {
  if (c < kFineLimit / kWord) return (c + 1) * kWord;
  const std::size_t k = 10 + (c - kFineLimit / kWord) / 8;
  const std::size_t within = (c - kFineLimit / kWord) % 8;
  return (std::size_t{1} << k) + ((within + 1) << (k - 3));
}

// Chunks are aligned to their size, and runs to theirs within a chunk.
WordArena::Run* WordArena::run_of(void* p) const noexcept {
  const auto address = reinterpret_cast<std::uintptr_t>(p);
  auto* chunk = reinterpret_cast<ChunkHeader*>(address & ~(chunk_ - 1));
  return &runs_of(chunk)[(address & (chunk_ - 1)) / run_];
}

void WordArena::map_chunk() {
  void* memory = huge_ ? platform::map_aligned_huge(chunk_) : platform::map_aligned(chunk_);
  if (memory == nullptr) throw std::bad_alloc();
  reserved_.fetch_add(chunk_, std::memory_order_relaxed);
  auto* chunk = new (memory) ChunkHeader{chunks_};
  chunks_ = chunk;
  char* base = static_cast<char*>(memory);
  for (std::size_t i = 0; i < runs_; ++i) {
    Run* r = new (&runs_of(chunk)[i]) Run{};
    r->start = base + (i == 0 ? header_ : i * run_);
    r->end = base + (i + 1) * run_;
  }
  list_empty(chunk);
}

// Puts every run of `chunk` on the list of empty runs, the first run first:
// its pages are the ones the header has touched.
void WordArena::list_empty(ChunkHeader* chunk) noexcept {
  for (std::size_t i = runs_; i-- > 0;) {
    runs_of(chunk)[i].next = empty_;
    empty_ = &runs_of(chunk)[i];
  }
}

void WordArena::list_room(Run* r, std::size_t c) noexcept {
  r->prev = nullptr;
  r->next = room_[c];
  if (r->next != nullptr) r->next->prev = r;
  room_[c] = r;
  r->has_room_listed = true;
}

void WordArena::unlist_room(Run* r, std::size_t c) noexcept {
  (r->prev != nullptr ? r->prev->next : room_[c]) = r->next;
  if (r->next != nullptr) r->next->prev = r->prev;
  r->has_room_listed = false;
}

WordArena::Run* WordArena::take_empty_run(std::size_t c) {
  if (empty_ == nullptr) map_chunk();
  Run* r = empty_;
  empty_ = r->next;
  r->free = nullptr;
  r->bump = r->start;
  r->object = static_cast<std::uint32_t>(class_size(c));
  r->size_class = static_cast<std::uint16_t>(c);
  r->live = 0;
  list_room(r, c);
  return r;
}

void WordArena::make_empty(Run* r) noexcept {
  r->object = 0;
  r->free = nullptr;
  r->next = empty_;
  empty_ = r;
}

// No object is handed out, so every run is empty: every chunk but the
// newest goes back to the system, and the newest's runs are all the empty
// runs there are, so that a structure built and dropped leaves one chunk
// behind, not its peak. With one chunk there is nothing to do: a program
// whose only objects are short-lived ones (records made and dropped one at
// a time) empties the arena at every release.
void WordArena::start_over() noexcept {
  if (chunks_ == nullptr || chunks_->next == nullptr) return;
  for (ChunkHeader* c = chunks_->next; c != nullptr;) {
    ChunkHeader* next = c->next;
    platform::unmap(c, chunk_);
    reserved_.fetch_sub(chunk_, std::memory_order_relaxed);
    c = next;
  }
  chunks_->next = nullptr;
  empty_ = nullptr;
  list_empty(chunks_);
}

void* WordArena::allocate(std::size_t size) {
  if (!platform::kSanitizedBuild && size <= largest_) {
    const std::size_t c = class_of(size);
    std::lock_guard lock(mutex_);
    Run* r = room_[c] != nullptr ? room_[c] : take_empty_run(c);
    void* out;
    if (r->free != nullptr) {
      out = r->free;
      r->free = r->free->next;
      // Released objects come back cold (through the epoch, in batches);
      // asking for the next one now makes the next allocation's pop a hit
      // instead of a stall.
      if (r->free != nullptr) __builtin_prefetch(r->free, 1);
    } else {
      out = r->bump;
      r->bump += r->object;
    }
    ++r->live;
    if (r->free == nullptr && static_cast<std::size_t>(r->end - r->bump) < r->object) unlist_room(r, c);
    ++live_;
    in_use_.fetch_add(size, std::memory_order_relaxed);
    return out;
  }
  void* out = ::operator new(size);
  in_use_.fetch_add(size, std::memory_order_relaxed);
  return out;
}

void WordArena::release(void* p, std::size_t size) noexcept {
  in_use_.fetch_sub(size, std::memory_order_relaxed);
  if (!platform::kSanitizedBuild && size <= largest_) {
    std::lock_guard lock(mutex_);
    // The run knows its class: a size that rounds to another one (a
    // caller's mistake) cannot put the run on that class's list.
    Run* r = run_of(p);
    if (--r->live == 0) {
      if (r->has_room_listed) unlist_room(r, r->size_class);
      make_empty(r);
    } else {
      r->free = new (p) FreeNode{r->free};
      if (!r->has_room_listed) list_room(r, r->size_class);
    }
    if (--live_ == 0) start_over();
    return;
  }
  ::operator delete(p);
}

}  // namespace korvane
