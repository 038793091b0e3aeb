#pragma once
// A value or the reason there is none: what every fallible step of the body returns (no
// exceptions leave this component).

#include <string>
#include <utility>
#include <variant>

namespace sorvel::pose {

/// Why a step was refused, as a sentence for the user ("LeftHand moved during the hold").
struct Error {
  std::string message;
  bool operator==(const Error&) const = default;
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}      // NOLINT
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const& { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

}  // namespace sorvel::pose
