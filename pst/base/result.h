// Result<T>: a value or the Status that explains why there is none.
#pragma once

#include <cassert>
#include <optional>
#include <utility>

#include "pst/base/status.h"

namespace pst {

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
  Result(Status status) : status_(std::move(status)) {  // NOLINT
    assert(!status_.ok() && "a Result needs a value or an error");
    if (status_.ok()) status_ = Status::InvalidArgument("Result built from an OK status");
  }

  bool ok() const { return value_.has_value(); }
  const Status& status() const { return status_; }

  T& value() & { assert(ok()); return *value_; }
  const T& value() const& { assert(ok()); return *value_; }
  T&& value() && { assert(ok()); return std::move(*value_); }

  // The value, or `fallback` when there is none.
  T value_or(T fallback) const& { return ok() ? *value_ : std::move(fallback); }

  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

 private:
  Status status_;
  std::optional<T> value_;
};

}  // namespace pst

#define PST_CONCAT_INNER_(a, b) a##b
#define PST_CONCAT_(a, b) PST_CONCAT_INNER_(a, b)

// PST_ASSIGN_OR_RETURN(auto x, MakeX()); returns the error Status on failure.
#define PST_ASSIGN_OR_RETURN(lhs, expr) \
  PST_ASSIGN_OR_RETURN_IMPL_(PST_CONCAT_(pst_result_, __LINE__), lhs, expr)
#define PST_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr) \
  auto tmp = (expr);                               \
  if (!tmp.ok()) return tmp.status();              \
  lhs = std::move(tmp).value()
