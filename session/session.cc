#include "session/session.h"

namespace quillmar::session {

int32_t ErrorNumber(const Status& status) {
  // Numbers are part of what users report back to us: keep them stable.
  using Code = Status::Code;
  switch (status.code()) {
    case Code::kOk: return 0;
    case Code::kCorruption: return 1001;
    case Code::kNotSupported: return 1002;
    case Code::kIOError: return 1003;
    case Code::kInvalidArgument: return 1004;
    case Code::kOutOfSpace: return 1005;
    case Code::kCancelled: return 1006;
    case Code::kNotFound: return 1007;
    case Code::kPermissionDenied: return 1008;
    case Code::kSizeLimit: return 1009;
    case Code::kFormatLimit: return 1010;
  }
  return 1000;
}

std::string ErrorDescription(const Status& status) {
  if (!status.message().empty()) return status.message();
  return pst::StatusCodeName(status.code());
}

}  // namespace quillmar::session
