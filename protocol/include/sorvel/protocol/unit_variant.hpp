#pragma once
// Payload-free alternatives of the tagged unions (commands, responses, config items, reasons).

#include <string_view>

#include "sorvel/protocol/codec.hpp"

namespace sorvel::protocol {

/// A payload-free variant: prints its name alone, encodes as its index alone. The tag only
/// carries the name, so that each variant stays a distinct type.
template <typename Tag>
struct Unit {
  static constexpr std::string_view kName = Tag::kName;
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self&, Visit&&) {}
  bool operator==(const Unit&) const = default;
};

}  // namespace sorvel::protocol

/// Declares `Name` (with its tag `NameTag`) as a payload-free variant in the current namespace.
#define SORVEL_UNIT_VARIANT(Name)                    \
  struct Name##Tag {                                 \
    static constexpr std::string_view kName = #Name; \
  };                                                 \
  using Name = ::sorvel::protocol::Unit<Name##Tag>
