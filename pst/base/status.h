// Status: the outcome of an engine operation. No exception crosses a layer
// boundary; every fallible call returns a Status or a Result<T>.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace pst {

class [[nodiscard]] Status {
 public:
  enum class Code {
    kOk = 0,
    kCorruption,     // the file breaks the format
    kNotSupported,   // valid, but something this engine does not handle
    kIOError,        // the operating system failed a read or write
    kInvalidArgument,
    kOutOfSpace,     // the disk (or the file system's file size limit) is full
    kCancelled,
    kNotFound,
    kPermissionDenied,  // e.g. a wrong or missing store password
    kSizeLimit,      // the store would grow past its size limit (the format's or one set)
    kFormatLimit,    // the format holds no more of something: an ANSI table's rows, ids, heap pages
  };

  Status() = default;
  static Status Ok() { return Status(); }
  static Status Corruption(std::string msg) { return {Code::kCorruption, std::move(msg)}; }
  static Status NotSupported(std::string msg) { return {Code::kNotSupported, std::move(msg)}; }
  static Status IOError(std::string msg) { return {Code::kIOError, std::move(msg)}; }
  static Status InvalidArgument(std::string msg) { return {Code::kInvalidArgument, std::move(msg)}; }
  static Status OutOfSpace(std::string msg) { return {Code::kOutOfSpace, std::move(msg)}; }
  static Status Cancelled(std::string msg) { return {Code::kCancelled, std::move(msg)}; }
  static Status NotFound(std::string msg) { return {Code::kNotFound, std::move(msg)}; }
  static Status PermissionDenied(std::string msg) { return {Code::kPermissionDenied, std::move(msg)}; }
  static Status SizeLimit(std::string msg) { return {Code::kSizeLimit, std::move(msg)}; }
  static Status FormatLimit(std::string msg) { return {Code::kFormatLimit, std::move(msg)}; }

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  const std::string& message() const { return message_; }
  bool IsCorruption() const { return code_ == Code::kCorruption; }
  bool IsNotFound() const { return code_ == Code::kNotFound; }
  bool IsSizeLimit() const { return code_ == Code::kSizeLimit; }

  // Adds context in front of the message: "while reading folder 0x8022: ...".
  Status WithContext(std::string_view context) const;

  // "Corruption: <message>", or "OK".
  std::string ToString() const;

 private:
  Status(Code code, std::string msg) : code_(code), message_(std::move(msg)) {}

  Code code_ = Code::kOk;
  std::string message_;
};

const char* StatusCodeName(Status::Code code);

}  // namespace pst

#define PST_RETURN_IF_ERROR(expr)               \
  do {                                          \
    ::pst::Status pst_status_ = (expr);         \
    if (!pst_status_.ok()) return pst_status_;  \
  } while (0)
