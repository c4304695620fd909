#pragma once
// Early-return propagation for std::expected (g++ 12 lacks and_then/transform).
//
//   auto value = TRY(parse(bytes));   // returns std::unexpected(error) on failure
//   TRY_VOID(write(bytes));           // for std::expected<void, E>
//
// The error is converted to the enclosing function's error type through that
// type's converting constructor, so a lower layer's error can pass upward.
#include <expected>
#include <utility>

#define TRY(expr)                                                  \
  ({                                                               \
    auto&& try_result_ = (expr);                                   \
    if (!try_result_) {                                            \
      return std::unexpected(std::move(try_result_).error());      \
    }                                                              \
    std::move(*try_result_);                                       \
  })

#define TRY_VOID(expr)                                             \
  do {                                                             \
    auto&& try_result_ = (expr);                                   \
    if (!try_result_) {                                            \
      return std::unexpected(std::move(try_result_).error());      \
    }                                                              \
  } while (0)
