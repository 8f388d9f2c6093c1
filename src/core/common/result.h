#pragma once
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace gt {

// Why an operation failed: `kind` for the caller that decides what to do next, `detail` for the person who
// reads about it (each declaration says what its detail holds).
template <typename Kind>
struct Problem {
  Kind kind{};
  std::string detail;
  bool operator==(const Problem&) const = default;
};

// A failure on its way into a Result: `return fail(error);` or `return fail(Kind::x, "detail");`.
template <typename E>
struct Failure {
  E error;
};
template <typename E>
Failure<std::decay_t<E>> fail(E&& error) {
  return {std::forward<E>(error)};
}
template <typename Kind>
Failure<Problem<Kind>> fail(Kind kind, std::string detail) {
  return {{kind, std::move(detail)}};
}

// The value of an operation that worked, or the problem of one that did not: the shape of
// std::expected, which GCC 12 lacks. Test it before taking value() or error().
template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  Result() = default;  // a default T, as std::expected
  template <typename U = T, typename = std::enable_if_t<std::is_convertible_v<U&&, T>>>
  Result(U&& value) : state_(std::in_place_index<0>, std::forward<U>(value)) {}
  template <typename F>
  Result(Failure<F> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  template <typename U>
  T value_or(U&& fallback) const& {
    return ok() ? value() : static_cast<T>(std::forward<U>(fallback));
  }
  const E& error() const { return std::get<1>(state_); }
  bool operator==(const Result&) const = default;

 private:
  std::variant<T, E> state_;
};

// An operation that gives nothing back when it works: `return {};`.
template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <typename F>
  Result(Failure<F> failure) : error_(std::move(failure.error)) {}

  bool ok() const { return !error_; }
  explicit operator bool() const { return ok(); }
  const E& error() const { return *error_; }
  bool operator==(const Result&) const = default;

 private:
  std::optional<E> error_;
};

}  // namespace gt
