#pragma once
// The one way a factory, a parser or a device step fails: a Result holds either its value or a
// Failure, whose kind says what sort of failure it is (the programs choose their exit status by
// it) and whose reason keeps the cause's own words, one line, for the user.

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace tamrik::base {

enum class FailureKind {
  Usage,        // the command line cannot be understood: an unknown option, a missing value
  BadArgument,  // a value, file or path that cannot be used, or a request refused
  NoUnit,       // no unit attached, none with the serial asked for, or several and none chosen
  UnitFailed,   // the unit was found but did not answer, or refused what was asked
  System,       // the system failed the request: a device, a file or a socket, for its reasons
};

struct Failure {
  FailureKind kind = FailureKind::System;
  std::string reason;
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Failure failure) : v_(std::in_place_index<1>, std::move(failure)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  // The value; only when ok().
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  // The failure; only when !ok().
  const Failure& failure() const { return std::get<1>(v_); }
  // The value, or `fallback` when there is none.
  T value_or(T fallback) const { return ok() ? value() : fallback; }
  // The failure's reason, or "" when there is a value.
  std::string reason() const { return ok() ? std::string() : failure().reason; }

 private:
  std::variant<T, Failure> v_;
};

// A step that gives nothing back but may fail.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Failure failure) : failure_(std::move(failure)) {}

  bool ok() const { return !failure_; }
  explicit operator bool() const { return ok(); }
  const Failure& failure() const { return *failure_; }
  std::string reason() const { return ok() ? std::string() : failure().reason; }

 private:
  std::optional<Failure> failure_;
};

inline Failure fail(FailureKind kind, std::string reason) { return Failure{kind, std::move(reason)}; }

}  // namespace tamrik::base
