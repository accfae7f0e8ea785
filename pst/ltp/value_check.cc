// Value layouts ([MS-PST] 2.3.3.4, [MS-OXCDATA] 2.11.1):
//   fixed types            FixedSizeOf(type) bytes, little-endian
//   PtypString             UTF-16LE code units, no terminator
//   PtypObject             {nid (4), ulSize (4)} of the object's subnode
//   fixed multi-valued     packed array of elements
//   variable multi-valued  (0x101E, 0x101F, 0x1102)
//     0           4            ulCount
//     4           4*ulCount    offsets of the items from the value start
//     4+4*ulCount ...          items; item k ends where item k+1 starts, the
//                              last at the end of the value
#include "pst/ltp/value_check.h"

#include <algorithm>
#include <string>
#include <vector>

#include "pst/base/checked_math.h"
#include "pst/base/coding.h"
#include "pst/ltp/prop_types.h"

namespace pst::ltp {
namespace {

constexpr uint64_t kOffsetsPerChunk = 1024;

bool IsVariableMultiValued(uint16_t type) {
  return type == kPtypMultipleString8 || type == kPtypMultipleString || type == kPtypMultipleBinary;
}

Status Bad(uint16_t type, const std::string& what) {
  return Status::Corruption(TypeName(type) + " value " + what);
}

}  // namespace

ValueKind KindOf(uint16_t type) {
  if (!IsKnownType(type) || type == kPtypNull || type == kPtypUnspecified) {
    return ValueKind::kUnsupported;
  }
  return FixedSizeOf(type) != 0 ? ValueKind::kFixed : ValueKind::kVariable;
}

Status CheckValueSize(uint16_t type, uint64_t size) {
  switch (KindOf(type)) {
    case ValueKind::kUnsupported:
      return Status::NotSupported("property type " + TypeName(type) + " is not supported");
    case ValueKind::kFixed:
      if (size != FixedSizeOf(type)) {
        return Bad(type, "of " + std::to_string(size) + " bytes (expected " +
                             std::to_string(FixedSizeOf(type)) + ")");
      }
      return Status::Ok();
    case ValueKind::kVariable:
      break;
  }
  if (type == kPtypString && size % 2 != 0) {
    return Bad(type, "has an odd size " + std::to_string(size));
  }
  if (type == kPtypObject && size != 8) {
    return Bad(type, "of " + std::to_string(size) + " bytes (expected 8)");
  }
  if (IsMultiValued(type)) {
    const size_t element = FixedSizeOf(type & ~kPtypMultipleFlag);
    if (element != 0 && size % element != 0) {
      return Bad(type, "of " + std::to_string(size) + " bytes is not a whole number of " +
                           std::to_string(element) + "-byte elements");
    }
    // An empty value (hnid 0) stands for no items; anything else has a count.
    if (IsVariableMultiValued(type) && size != 0 && size < 4) {
      return Bad(type, "of " + std::to_string(size) + " bytes has no item count");
    }
  }
  return Status::Ok();
}

Status CheckValue(uint16_t type, const ValueStream& value) {
  const uint64_t size = value.size();
  PST_RETURN_IF_ERROR(CheckValueSize(type, size));
  if (!IsVariableMultiValued(type) || size == 0) return Status::Ok();

  uint8_t head[4];
  PST_RETURN_IF_ERROR(value.Read(0, head));
  const uint64_t count = DecodeFixed32(head);
  const uint64_t items_start = 4 + 4 * count;  // no overflow: count < 2^32
  if (items_start > size) {
    return Bad(type, "claims " + std::to_string(count) + " items but has only " +
                         std::to_string(size) + " bytes");
  }
  const bool utf16 = type == kPtypMultipleString;
  uint64_t previous = items_start;
  std::vector<uint8_t> chunk;
  for (uint64_t first = 0; first < count; first += kOffsetsPerChunk) {
    const uint64_t n = std::min(kOffsetsPerChunk, count - first);
    chunk.resize(n * 4);
    PST_RETURN_IF_ERROR(value.Read(4 + 4 * first, chunk));
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t offset = DecodeFixed32(chunk.data() + 4 * i);
      if (offset < previous || offset > size) {
        return Bad(type, "item " + std::to_string(first + i) + " starts at " +
                             std::to_string(offset) + ", outside its place in the value");
      }
      if (utf16 && first + i > 0 && (offset - previous) % 2 != 0) {
        return Bad(type, "item " + std::to_string(first + i - 1) + " has an odd size");
      }
      previous = offset;
    }
  }
  if (utf16 && count > 0 && (size - previous) % 2 != 0) {
    return Bad(type, "last item has an odd size");
  }
  return Status::Ok();
}

Status CheckValue(uint16_t type, ByteSpan value) {
  // A view over the caller's bytes, to avoid copying them for the check.
  class SpanStream : public ValueStream {
   public:
    explicit SpanStream(ByteSpan data) : data_(data) {}
    uint64_t size() const override { return data_.size(); }
    Status Read(uint64_t offset, std::span<uint8_t> out) const override {
      if (!RangeWithin(offset, out.size(), data_.size())) {
        return Status::InvalidArgument("read outside the value");
      }
      std::copy_n(data_.begin() + static_cast<ptrdiff_t>(offset), out.size(), out.begin());
      return Status::Ok();
    }

   private:
    ByteSpan data_;
  };
  return CheckValue(type, SpanStream(value));
}

}  // namespace pst::ltp
