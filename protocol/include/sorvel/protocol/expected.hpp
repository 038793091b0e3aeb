#pragma once
// A value or an error: the result of every fallible operation (no exceptions on these paths).

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace sorvel {

template <typename E>
struct Unexpected {
  E error;
};

template <typename E>
Unexpected<std::decay_t<E>> unexpected(E&& error) {
  return {std::forward<E>(error)};
}

template <typename T, typename E>
class [[nodiscard]] Expected {
 public:
  using value_type = T;
  using error_type = E;

  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  template <typename G>
  Expected(Unexpected<G> error)  // NOLINT
      : state_(std::in_place_index<1>, std::move(error.error)) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & { return std::get<1>(state_); }
  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }

  bool operator==(const Expected&) const = default;

 private:
  std::variant<T, E> state_;
};

template <typename E>
class [[nodiscard]] Expected<void, E> {
 public:
  using value_type = void;
  using error_type = E;

  Expected() = default;
  template <typename G>
  Expected(Unexpected<G> error) : error_(std::move(error.error)) {}  // NOLINT

  bool has_value() const { return !error_.has_value(); }
  explicit operator bool() const { return has_value(); }
  E& error() & { return *error_; }
  const E& error() const& { return *error_; }
  E&& error() && { return std::move(*error_); }

  bool operator==(const Expected&) const = default;

 private:
  std::optional<E> error_;
};

}  // namespace sorvel
