#pragma once
// Random values of any type the codec handles, for property tests. The generator walks a type the
// way the codec does: records field by field, unions through a random alternative, enumerations
// over their named values, arrays element by element, integers over their whole range.

#include <concepts>
#include <cstdint>
#include <limits>
#include <random>
#include <type_traits>
#include <utility>
#include <variant>

#include "sorvel/protocol/codec.hpp"
#include "sorvel/trackers/tracker_address.hpp"

namespace sorvel::protocol {

template <typename T>
void fill_random(std::mt19937_64& rng, T& value);

template <typename T>
T random_value(std::mt19937_64& rng) {
  T value{};
  fill_random(rng, value);
  return value;
}

namespace detail {

/// Any value of `U`, with a random bit width first so that every varint length and small values
/// turn up as often as large ones.
template <std::unsigned_integral U>
U random_bits(std::mt19937_64& rng) {
  constexpr int kBits = std::numeric_limits<U>::digits;
  const int width = static_cast<int>(rng() % (kBits + 1));
  const std::uint64_t bits = rng();
  return width == 0 ? U{0} : static_cast<U>(bits >> (64 - width));
}

template <typename T, std::size_t... I>
void fill_alternative(std::mt19937_64& rng, T& value, std::size_t index,
                      std::index_sequence<I...>) {
  ((index == I ? fill_random(rng, value.as_variant().template emplace<I>()) : void()), ...);
}

template <typename T>
inline constexpr bool kUnsupported = false;

}  // namespace detail

template <typename T>
void fill_random(std::mt19937_64& rng, T& value) {
  if constexpr (std::same_as<T, bool>) {
    value = (rng() & 1) != 0;
  } else if constexpr (std::unsigned_integral<T>) {
    value = detail::random_bits<T>(rng);
  } else if constexpr (std::signed_integral<T>) {
    // Small magnitudes of both signs, and the full range.
    using U = std::make_unsigned_t<T>;
    const U bits = detail::random_bits<U>(rng);
    value = static_cast<T>((rng() & 1) != 0 ? static_cast<U>(~bits) : bits);
  } else if constexpr (NamedEnum<T>) {
    value = static_cast<T>(rng() % EnumNames<T>::kNames.size());
  } else if constexpr (std::same_as<T, TrackerAddress>) {
    fill_random(rng, value.bytes);
  } else if constexpr (requires { std::tuple_size<T>::value; }) {
    for (auto& element : value) fill_random(rng, element);
  } else if constexpr (TaggedUnion<T>) {
    constexpr std::size_t kCount = std::variant_size_v<typename T::Variant>;
    detail::fill_alternative(rng, value, rng() % kCount, std::make_index_sequence<kCount>{});
  } else if constexpr (Described<T>) {
    T::fields(value, [&rng](std::string_view, auto& field) { fill_random(rng, field); });
  } else {
    static_assert(detail::kUnsupported<T>, "no random values for this type");
  }
}

}  // namespace sorvel::protocol
