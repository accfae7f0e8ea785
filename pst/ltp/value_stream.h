// A property value read in pieces, so that large bodies and attachments never
// need to be in memory at once.
#pragma once

#include <cstdint>
#include <span>

#include "pst/base/status.h"

namespace pst::ltp {

class ValueStream {
 public:
  virtual ~ValueStream() = default;
  virtual uint64_t size() const = 0;
  // Reads out.size() bytes at offset; fails when the range passes size().
  virtual Status Read(uint64_t offset, std::span<uint8_t> out) const = 0;
};

}  // namespace pst::ltp
