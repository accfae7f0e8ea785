#include "pst/base/status.h"

namespace pst {

const char* StatusCodeName(Status::Code code) {
  switch (code) {
    case Status::Code::kOk: return "OK";
    case Status::Code::kCorruption: return "Corruption";
    case Status::Code::kNotSupported: return "Not supported";
    case Status::Code::kIOError: return "I/O error";
    case Status::Code::kInvalidArgument: return "Invalid argument";
    case Status::Code::kOutOfSpace: return "Out of space";
    case Status::Code::kCancelled: return "Cancelled";
    case Status::Code::kNotFound: return "Not found";
    case Status::Code::kPermissionDenied: return "Permission denied";
    case Status::Code::kSizeLimit: return "Size limit reached";
    case Status::Code::kFormatLimit: return "Format limit reached";
  }
  return "Unknown";
}

Status Status::WithContext(std::string_view context) const {
  if (ok()) return *this;
  std::string msg(context);
  msg += ": ";
  msg += message_;
  return Status(code_, std::move(msg));
}

std::string Status::ToString() const {
  if (ok()) return "OK";
  std::string s = StatusCodeName(code_);
  s += ": ";
  s += message_;
  return s;
}

}  // namespace pst
