// Property context ([MS-PST] 2.3.3): the properties of one object (store,
// folder, message, attachment), a BTH on a heap keyed by property id.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "pst/base/result.h"
#include "pst/ltp/heap.h"
#include "pst/ltp/prop_types.h"
#include "pst/ltp/value_stream.h"
#include "pst/ndb/node.h"

namespace pst::ltp {

class PropertyContext {
 public:
  struct Entry {
    uint16_t id = 0;
    uint16_t type = 0;
    uint32_t hnid = 0;  // value, HID or subnode NID, per the type
  };

  // Takes ownership of the node (the PC reads values from it lazily).
  static Result<PropertyContext> Open(std::unique_ptr<ndb::NodeData> node);

  // Entries sorted by property id.
  const std::vector<Entry>& entries() const { return entries_; }
  const Entry* Find(uint16_t id) const;

  // Size in bytes of a property's stored value.
  Result<uint64_t> ValueSize(const Entry& entry) const;
  // Whether the value has a subnode of its own (a value too big for the
  // heap). Its size and its stream each come from opening that subnode,
  // which reads the list of its blocks: a caller that wants both opens the
  // value once and asks the stream for its size.
  bool InSubnode(const Entry& entry) const;

  // The whole stored value. Fails with NotSupported if it is larger than
  // max_size (use OpenValue for large values).
  Result<Bytes> ReadValue(const Entry& entry, size_t max_size = kDefaultMaxValue) const;

  // Streams a value of any size in bounded memory.
  Result<std::unique_ptr<ValueStream>> OpenValue(const Entry& entry) const;

  // All properties with their values (values larger than max_size fail).
  Result<std::vector<PropValue>> ReadAll(size_t max_size = kDefaultMaxValue) const;

  // The node, for its subnodes (attachments, embedded messages).
  const ndb::NodeData& node() const { return *node_; }

  static constexpr size_t kDefaultMaxValue = 64 * 1024 * 1024;

  PropertyContext(PropertyContext&&) = default;
  PropertyContext& operator=(PropertyContext&&) = default;

 private:
  PropertyContext() = default;

  std::unique_ptr<ndb::NodeData> node_;
  std::unique_ptr<Heap> heap_;
  std::vector<Entry> entries_;
};

}  // namespace pst::ltp
