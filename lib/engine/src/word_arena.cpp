#include "word_arena.hpp"

#include <new>

#include "platform.hpp"

namespace korvane {

WordArena::WordArena(std::size_t chunk, std::size_t largest, bool huge, std::size_t align) noexcept
    : chunk_(chunk),
      largest_(largest < kMaxClasses * kWord ? largest : kMaxClasses * kWord),
      huge_(huge),
      header_(align > sizeof(ChunkHeader) ? align : sizeof(ChunkHeader)) {}

void WordArena::hold_across_fork() noexcept { platform::hold_across_fork(mutex_); }

void* WordArena::carve(std::size_t size) {
  if (bump_ == nullptr || static_cast<std::size_t>(end_ - bump_) < size) {
    void* memory = huge_ ? platform::map_aligned_huge(chunk_) : platform::map_aligned(chunk_);
    if (memory == nullptr) throw std::bad_alloc();
    reserved_.fetch_add(chunk_, std::memory_order_relaxed);
    // The old chunk's tail, shorter than this object, is left unused.
    chunks_ = new (memory) ChunkHeader{chunks_};
    bump_ = static_cast<char*>(memory) + header_;
    end_ = static_cast<char*>(memory) + chunk_;
  }
  void* out = bump_;
  bump_ += size;
  return out;
}

// No object is handed out: every chunk but the newest goes back to the
// system, and the newest starts over, so that a structure built and dropped
// leaves one chunk behind, not its peak. With one chunk there is nothing to
// give back, and its lists stay as they are: a program whose only objects
// are short-lived ones (records made and dropped one at a time) empties the
// arena at every release, which must not cost a pass over every list.
void WordArena::start_over() noexcept {
  if (chunks_ == nullptr || chunks_->next == nullptr) return;
  for (ChunkHeader* c = chunks_->next; c != nullptr;) {
    ChunkHeader* next = c->next;
    platform::unmap(c, chunk_);
    reserved_.fetch_sub(chunk_, std::memory_order_relaxed);
    c = next;
  }
  chunks_->next = nullptr;
  for (FreeNode*& head : free_) head = nullptr;
  bump_ = reinterpret_cast<char*>(chunks_) + header_;
}

void* WordArena::allocate(std::size_t size) {
  if (!platform::kSanitizedBuild && size <= largest_) {
    std::lock_guard lock(mutex_);
    FreeNode*& head = free_[size / kWord - 1];
    void* out;
    if (head != nullptr) {
      out = head;
      head = head->next;
      // Released objects come back cold (through the epoch, in batches);
      // asking for the next one now makes the next allocation's pop a hit
      // instead of a stall.
      if (head != nullptr) __builtin_prefetch(head, 1);
    } else {
      out = carve(size);
    }
    live_ += size;
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
    FreeNode*& head = free_[size / kWord - 1];
    head = new (p) FreeNode{head};
    live_ -= size;
    if (live_ == 0) start_over();
    return;
  }
  ::operator delete(p);
}

}  // namespace korvane
