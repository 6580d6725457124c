// Small numbers for records, so that read-index leaves can hold a record in
// two bytes, and threads can keep their reference stocks in an array
// (reference_stock.hpp). A record gets its number the first time an index
// node is laid out with it or threads are found to share it, and gives it
// back when the record is destroyed; until then the number names that
// record and no other.
//
// Thread safety: `record` may be called from any thread without a lock.
// `number_of` and `give_back` take one process-wide mutex, and only when a
// number changes hands: once per record an index meets or threads share,
// once per such record destroyed.
//
// Why a number needs no epoch of its own: an index node holds a record only
// while the trie holds it, and the trie lets go of a record only through
// the epoch, after every index node naming it has been retired. So a record
// is destroyed, and its number handed on, only once no reader can still be
// reading a node that holds the number. A reference stock holds references
// on its record, which therefore keeps its number while the stock lasts.
#pragma once

#include <atomic>
#include <cstdint>

#include "metadata_rep.hpp"

namespace korvane::detail {

class RecordIds {
 public:
  // Numbers 1 to 65535; 0 names no record.
  static constexpr std::uint32_t kCount = std::uint32_t{1} << 16;

  // The number of `rep` (0 for null), given one now if it has none; false
  // when every number is taken (the caller then stores the record another
  // way).
  static bool number_of(MetadataRep* rep, std::uint16_t& number) noexcept {
    if (rep == nullptr) {
      number = 0;
      return true;
    }
    number = rep->index_number.load(std::memory_order_acquire);
    return number != 0 || assign(rep, number);
  }
  // The record numbered `number`, or null for 0. The caller reached the
  // number through an acquire load of what holds it, which orders the
  // table's store before this load.
  static MetadataRep* record(std::uint16_t number) noexcept {
    return table_[number].load(std::memory_order_relaxed);
  }
  // Called by a numbered record as it is destroyed.
  static void give_back(std::uint16_t number) noexcept;

  // Numbers held now (for tests).
  static std::uint32_t in_use() noexcept;

 private:
  static bool assign(MetadataRep* rep, std::uint16_t& number) noexcept;

  // Entry 0 stays null. 512 KiB of zeroed static storage: the kernel backs
  // it page by page as numbers are handed out.
  static std::atomic<MetadataRep*> table_[kCount];
};

}  // namespace korvane::detail
