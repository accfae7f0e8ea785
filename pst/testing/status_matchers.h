// ASSERT_OK / EXPECT_OK for a pst::Status or a pst::Result<T>: a failure
// prints the expression and the status it gave, not just "false".
// ASSERT_OK_AND_ASSIGN(lhs, expr) asserts that a Result is OK and moves its
// value into lhs (a declaration such as `auto store` or an existing variable).
#pragma once

#include <utility>

#include <gtest/gtest.h>

#include "pst/base/result.h"
#include "pst/base/status.h"

namespace pst::test {

inline const Status& StatusOf(const Status& status) { return status; }
template <typename T>
const Status& StatusOf(const Result<T>& result) {
  return result.status();
}

// The predicate-formatter behind the macros.
template <typename T>
::testing::AssertionResult IsOk(const char* expression, const T& value) {
  const Status& status = StatusOf(value);
  if (status.ok()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << expression << " is not OK: " << status.ToString();
}

}  // namespace pst::test

#define ASSERT_OK(expr) ASSERT_PRED_FORMAT1(::pst::test::IsOk, expr)
#define EXPECT_OK(expr) EXPECT_PRED_FORMAT1(::pst::test::IsOk, expr)

#define PST_TEST_CONCAT_INNER_(a, b) a##b
#define PST_TEST_CONCAT_(a, b) PST_TEST_CONCAT_INNER_(a, b)
#define PST_TEST_ASSERT_OK_AND_ASSIGN_(result, lhs, expr) \
  auto result = (expr);                                   \
  ASSERT_OK(result);                                      \
  lhs = std::move(result).value()
#define ASSERT_OK_AND_ASSIGN(lhs, expr) \
  PST_TEST_ASSERT_OK_AND_ASSIGN_(PST_TEST_CONCAT_(pst_test_result_, __LINE__), lhs, expr)
