// HNID ([MS-PST] 2.3.3.2): where a property or cell value lives. Low 5 bits
// 0 = a HID into the node's heap; otherwise the NID of one of the node's
// subnodes, whose data stream is the value. HNID 0 = an empty value.
#pragma once

#include <cstdint>
#include <memory>

#include "pst/base/bytes.h"
#include "pst/base/result.h"
#include "pst/ltp/heap.h"
#include "pst/ltp/value_stream.h"
#include "pst/ndb/node.h"

namespace pst::ltp {

Result<uint64_t> HnidValueSize(const Heap& heap, uint32_t hnid);

// The whole value; NotSupported when it is larger than max_size.
Result<Bytes> ReadHnidValue(const Heap& heap, uint32_t hnid, size_t max_size);

// A stream over the value that never holds more than one heap page.
Result<std::unique_ptr<ValueStream>> OpenHnidValue(const Heap& heap, uint32_t hnid);

}  // namespace pst::ltp
