// DamageLog: what a salvage read took in spite of damage. A conversion
// turns salvage on for its source (Database::ReadThroughDamage) and picks
// the entries up after each object it copies, to tell the user which of
// them may hold a wrong byte. Plain reads and the checker never use it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "pst/ndb/types.h"

namespace pst::ndb {

struct BlockDamage {
  Bid bid = 0;
  uint64_t offset = 0;  // file offset of the block or page
  std::string what;     // what did not match, e.g. "CRC 0x... does not match ..."
};

class DamageLog {
 public:
  // Entries kept between two Take calls; more are counted, not kept, so a
  // store damaged everywhere cannot grow the log without bound.
  static constexpr size_t kMaxEntries = 4096;

  void Add(BlockDamage damage) {
    std::lock_guard<std::mutex> lock(mu_);
    if (entries_.size() < kMaxEntries) entries_.push_back(std::move(damage));
    ++total_;
  }
  // The entries since the last call, and forgets them.
  std::vector<BlockDamage> Take() {
    std::lock_guard<std::mutex> lock(mu_);
    return std::exchange(entries_, {});
  }
  // Everything ever added, kept or not.
  uint64_t total() const {
    std::lock_guard<std::mutex> lock(mu_);
    return total_;
  }

 private:
  mutable std::mutex mu_;
  std::vector<BlockDamage> entries_;
  uint64_t total_ = 0;
};

}  // namespace pst::ndb
