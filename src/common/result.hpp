// A value or an error, for operations that fail without unwinding.
#pragma once

#include <utility>
#include <variant>

template <class T, class E>
class Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit by design

  [[nodiscard]] bool ok() const noexcept { return state_.index() == 0; }
  [[nodiscard]] T& value() & { return std::get<0>(state_); }
  [[nodiscard]] T&& value() && { return std::get<0>(std::move(state_)); }
  [[nodiscard]] const T& value() const& { return std::get<0>(state_); }
  [[nodiscard]] E& error() & { return std::get<1>(state_); }
  [[nodiscard]] const E& error() const& { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};
