#pragma once
// One description per type drives its encoding, its decoding and its debug text.
//
// A record or variant payload describes itself with
//     static constexpr std::string_view kName = "SemVer";
//     static constexpr Style kStyle = Style::Record;          // or Style::Tuple
//     template <typename Self, typename Visit>
//     static void fields(Self& self, Visit&& visit) {           // wire order
//       visit("major", self.major); visit("minor", self.minor); visit("patch", self.patch);
//     }
// A tagged union derives from `Union<Alternatives...>`: the alternative's position is its wire
// index. A fieldless enumeration specialises `EnumNames`. Integers follow their C++ width:
// u8/i8 raw, bool one byte, u16/u32/u64 varints, i16/i32 zigzag varints. A `TrackerAddress` is
// its six raw bytes and prints through its own formatter.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include <fmt/format.h>

#include "sorvel/protocol/wire.hpp"
#include "sorvel/trackers/body_part.hpp"
#include "sorvel/trackers/tracker_address.hpp"

namespace sorvel::protocol {

/// How a described type prints: `Name { a: 1, b: 2 }` or `Name(1, 2)` (`Name` with no fields).
enum class Style { Record, Tuple };

template <typename T>
concept Described = requires {
  { T::kName } -> std::convertible_to<std::string_view>;
  { T::kStyle } -> std::convertible_to<Style>;
};

/// Names of a fieldless enumeration's values, in value order.
template <typename E>
struct EnumNames;

template <typename E>
concept NamedEnum = std::is_enum_v<E> && requires {
  EnumNames<E>::kNames;
};

template <>
struct EnumNames<BodyPart> {
  static constexpr auto kNames = [] {
    std::array<std::string_view, kBodyPartCount> names{};
    for (std::size_t i = 0; i < kBodyPartCount; ++i) names[i] = name(static_cast<BodyPart>(i));
    return names;
  }();
};

/// A tagged union whose alternatives are described types.
template <typename... Alternatives>
struct Union : std::variant<Alternatives...> {
  using Variant = std::variant<Alternatives...>;
  using Variant::Variant;
  const Variant& as_variant() const { return *this; }
  Variant& as_variant() { return *this; }
};

template <typename T>
concept TaggedUnion = requires {
  typename T::Variant;
}
&&std::derived_from<T, typename T::Variant>;

/// Encode, decode and debug text of one type. Specialised below per kind of type.
template <typename T>
struct Codec;

template <>
struct Codec<std::uint8_t> {
  static void write(Writer& w, std::uint8_t v) { w.byte(v); }
  static void read(Reader& r, std::uint8_t& v) { v = r.byte(); }
};
template <>
struct Codec<std::int8_t> {
  static void write(Writer& w, std::int8_t v) { w.byte(static_cast<std::uint8_t>(v)); }
  static void read(Reader& r, std::int8_t& v) { v = static_cast<std::int8_t>(r.byte()); }
};
template <>
struct Codec<bool> {
  static void write(Writer& w, bool v) { w.byte(v ? 1 : 0); }
  static void read(Reader& r, bool& v) {
    const std::uint8_t b = r.byte();
    if (b > 1) r.fail(WireError::DeserializeBadBool);
    v = b == 1;
  }
};

template <typename U, VarintLimit Limit>
struct VarintCodec {
  static void write(Writer& w, U v) { w.varint(v); }
  static void read(Reader& r, U& v) { v = static_cast<U>(r.varint(Limit)); }
};
template <>
struct Codec<std::uint16_t> : VarintCodec<std::uint16_t, kU16Limit> {};
template <>
struct Codec<std::uint32_t> : VarintCodec<std::uint32_t, kU32Limit> {};
template <>
struct Codec<std::uint64_t> : VarintCodec<std::uint64_t, kU64Limit> {};

template <typename S, typename U>
struct ZigzagCodec {
  static void write(Writer& w, S v) { Codec<U>::write(w, zigzag_encode(v)); }
  static void read(Reader& r, S& v) {
    U u{};
    Codec<U>::read(r, u);
    v = zigzag_decode(u);
  }
};
template <>
struct Codec<std::int16_t> : ZigzagCodec<std::int16_t, std::uint16_t> {};
template <>
struct Codec<std::int32_t> : ZigzagCodec<std::int32_t, std::uint32_t> {};

template <NamedEnum E>
struct Codec<E> {
  static constexpr std::size_t kCount = EnumNames<E>::kNames.size();
  static void write(Writer& w, E v) { w.varint(static_cast<std::uint32_t>(v)); }
  static void read(Reader& r, E& v) { v = static_cast<E>(r.index(kCount)); }
};

template <typename T, std::size_t N>
struct Codec<std::array<T, N>> {
  static void write(Writer& w, const std::array<T, N>& v) {
    for (const T& element : v) Codec<T>::write(w, element);
  }
  static void read(Reader& r, std::array<T, N>& v) {
    for (T& element : v) Codec<T>::read(r, element);
  }
};

template <>
struct Codec<TrackerAddress> {
  static void write(Writer& w, const TrackerAddress& v) {
    Codec<decltype(v.bytes)>::write(w, v.bytes);
  }
  static void read(Reader& r, TrackerAddress& v) { Codec<decltype(v.bytes)>::read(r, v.bytes); }
};

template <Described T>
struct Codec<T> {
  static void write(Writer& w, const T& v) {
    T::fields(v, [&w](std::string_view, const auto& field) {
      Codec<std::decay_t<decltype(field)>>::write(w, field);
    });
  }
  static void read(Reader& r, T& v) {
    T::fields(v, [&r](std::string_view, auto& field) {
      Codec<std::decay_t<decltype(field)>>::read(r, field);
    });
  }
};

template <TaggedUnion T>
struct Codec<T> {
  using Variant = typename T::Variant;
  static constexpr std::size_t kCount = std::variant_size_v<Variant>;

  static void write(Writer& w, const T& v) {
    w.varint(v.index());
    std::visit([&w](const auto& alt) { Codec<std::decay_t<decltype(alt)>>::write(w, alt); },
               v.as_variant());
  }
  static void read(Reader& r, T& v) {
    const std::uint32_t index = r.index(kCount);
    if (r.ok()) read_alternative(r, v, index, std::make_index_sequence<kCount>{});
  }

 private:
  template <std::size_t... I>
  static void read_alternative(Reader& r, T& v, std::uint32_t index, std::index_sequence<I...>) {
    ((index == I ? (void)Codec<std::variant_alternative_t<I, Variant>>::read(
                       r, v.as_variant().template emplace<I>())
                 : void()),
     ...);
  }
};

/// Writes the encoding of `value` at the start of `out`; bytes after it are left as they were.
template <typename T>
WireResult<std::size_t> encode(const T& value, std::span<std::uint8_t> out) {
  Writer writer(out);
  Codec<T>::write(writer, value);
  return writer.finish();
}

/// Reads one `T` from the start of `in`; bytes after it are ignored.
template <typename T>
WireResult<T> decode(std::span<const std::uint8_t> in) {
  Reader reader(in);
  T value{};
  Codec<T>::read(reader, value);
  if (!reader.ok()) return unexpected(*reader.error());
  return value;
}

// Debug text -------------------------------------------------------------------------------

template <typename T>
void write_debug(fmt::appender out, const T& value);

namespace detail {
template <typename T>
void write_fields(fmt::appender out, const T& value) {
  if constexpr (T::kStyle == Style::Record) {
    fmt::format_to(out, "{} {{ ", T::kName);
    bool first = true;
    T::fields(value, [&](std::string_view field_name, const auto& field) {
      fmt::format_to(out, "{}{}: ", first ? "" : ", ", field_name);
      write_debug(out, field);
      first = false;
    });
    fmt::format_to(out, " }}");
  } else {
    fmt::format_to(out, "{}", T::kName);
    bool first = true;
    T::fields(value, [&](std::string_view, const auto& field) {
      fmt::format_to(out, "{}", first ? "(" : ", ");
      write_debug(out, field);
      first = false;
    });
    if (!first) fmt::format_to(out, ")");
  }
}
}  // namespace detail

template <typename T>
void write_debug(fmt::appender out, const T& value) {
  if constexpr (Described<T>) {
    detail::write_fields(out, value);
  } else if constexpr (TaggedUnion<T>) {
    std::visit([out](const auto& alt) { write_debug(out, alt); }, value.as_variant());
  } else if constexpr (NamedEnum<T>) {
    fmt::format_to(out, "{}", EnumNames<T>::kNames[static_cast<std::size_t>(value)]);
  } else if constexpr (requires {
                         std::tuple_size<T>::value;
                         value[0];
                       }) {
    fmt::format_to(out, "[");
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (i != 0) fmt::format_to(out, ", ");
      write_debug(out, value[i]);
    }
    fmt::format_to(out, "]");
  } else {
    fmt::format_to(out, "{}", value);  // integers in decimal, bool as true/false
  }
}

/// The debug text of any described type, union, enumeration or array of them.
template <typename T>
std::string debug_text(const T& value) {
  fmt::memory_buffer buffer;
  write_debug(fmt::appender(buffer), value);
  return fmt::to_string(buffer);
}

/// Body parts print through their own formatter (trackers); every other protocol type here.
template <typename T>
concept DebugPrinted = Described<T> || TaggedUnion<T> ||
    (NamedEnum<T> && !std::same_as<T, BodyPart>);

}  // namespace sorvel::protocol

/// `fmt::format("{}", x)` prints the debug text of every protocol type.
template <sorvel::protocol::DebugPrinted T>
struct fmt::formatter<T> {
  constexpr auto parse(format_parse_context& ctx) { return ctx.begin(); }
  auto format(const T& value, format_context& ctx) const {
    sorvel::protocol::write_debug(ctx.out(), value);
    return ctx.out();
  }
};
