// How errors travel: as values, never by unwinding, until the one place
// where they become Python exceptions (src/binding/). Two shapes serve
// every layer:
//
//   Result<T, E>  a value or an error, for operations that produce
//                 something: the CSV reader's header row and batches
//                 (E = csv::CsvError).
//   Status<E>     success (std::nullopt) or the first error met, for
//                 operations that fill what they are given:
//                   qarn::WriteStatus      = Status<qarn::FormatError>, the writer;
//                   qarn::ReadStatus       = Status<qarn::ReadError>, the reader
//                                            (a FormatError and its file offset);
//                   convert::ConversionStatus = Status<convert::ConversionFailure>,
//                                            a whole conversion (the message with
//                                            its stage prefix, as Python sees it).
//   It reads well as `if (auto err = write_x(...)) return err;`.
//
// Only two things are thrown: std::bad_alloc (and std::length_error) when
// memory runs out, and a standard exception for a broken invariant. The
// parallel driver's threads carry what they throw back to the calling
// thread as a std::exception_ptr, and the binding turns the first into
// MemoryError and the second into PanicException (binding/failures.hpp).
#pragma once

#include <optional>
#include <utility>
#include <variant>

namespace common {

template <class E>
using Status = std::optional<E>;

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

}  // namespace common
