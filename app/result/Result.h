// The app layer's one way to report an outcome: a code and a message that
// says why, in words the user may be shown. Nothing in app/ throws; every
// operation that can fail returns a Result, or a ResultOf<T> when it also
// hands back a value.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "aError.h"

class [[nodiscard]] Result {
public:
    // Success.
    Result() = default;
    // A failure; `code` is never aErrNone (aErrUnknown stands in for it).
    static Result Failure(aErr code, std::string message) {
        return Result(code == aErrNone ? aErrUnknown : code, std::move(message));
    }

    bool ok() const { return code_ == aErrNone; }
    aErr code() const { return code_; }
    // Why it failed; empty on success.
    const std::string& message() const { return message_; }

private:
    Result(aErr code, std::string message) : code_(code), message_(std::move(message)) {}

    aErr code_ = aErrNone;
    std::string message_;
};

// A value, or the Result that says why there is none.
template <typename T>
class [[nodiscard]] ResultOf {
public:
    ResultOf(T value) : value_(std::move(value)) {}
    // Only a failed Result converts; a success without a value is a bug.
    ResultOf(Result failure)
        : failure_(failure.ok() ? Result::Failure(aErrUnknown, "no value") : std::move(failure)) {}

    bool ok() const { return value_.has_value(); }
    aErr code() const { return failure_.code(); }
    const std::string& message() const { return failure_.message(); }
    // The failure (success when a value is held), to pass on to a caller.
    const Result& result() const { return failure_; }

    // The value; only when ok().
    T& value() & { return *value_; }
    const T& value() const& { return *value_; }
    T&& value() && { return std::move(*value_); }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    T& operator*() & { return *value_; }
    const T& operator*() const& { return *value_; }

private:
    std::optional<T> value_;
    Result failure_;
};
