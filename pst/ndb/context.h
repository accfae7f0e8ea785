// Nesting error messages of this layer: "ndb: data tree of node 0x21:
// block 0x8 is not in the block index" rather than repeating the prefix.
#pragma once

#include <string>
#include <string_view>

#include "pst/base/status.h"

namespace pst::ndb {

inline Status InContext(const Status& s, std::string_view context) {
  if (s.ok()) return s;
  std::string_view inner = s.message();
  constexpr std::string_view kPrefix = "ndb: ";
  if (inner.substr(0, kPrefix.size()) == kPrefix) inner.remove_prefix(kPrefix.size());
  std::string msg(context);
  msg += ": ";
  msg += inner;
  switch (s.code()) {
    case Status::Code::kCorruption: return Status::Corruption(std::move(msg));
    case Status::Code::kNotSupported: return Status::NotSupported(std::move(msg));
    case Status::Code::kIOError: return Status::IOError(std::move(msg));
    case Status::Code::kInvalidArgument: return Status::InvalidArgument(std::move(msg));
    case Status::Code::kOutOfSpace: return Status::OutOfSpace(std::move(msg));
    case Status::Code::kCancelled: return Status::Cancelled(std::move(msg));
    case Status::Code::kNotFound: return Status::NotFound(std::move(msg));
    case Status::Code::kPermissionDenied: return Status::PermissionDenied(std::move(msg));
    case Status::Code::kSizeLimit: return Status::SizeLimit(std::move(msg));
    case Status::Code::kFormatLimit: return Status::FormatLimit(std::move(msg));
    case Status::Code::kOk: break;
  }
  return s;
}

}  // namespace pst::ndb
