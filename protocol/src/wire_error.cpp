#include "sorvel/protocol/wire_error.hpp"

#include <array>

namespace sorvel::protocol {

std::string_view name(WireError error) {
  static constexpr std::array<std::string_view, kWireErrorCount> kNames{
      "WontImplement",
      "NotYetImplemented",
      "SerializeBufferFull",
      "SerializeSeqLengthUnknown",
      "DeserializeUnexpectedEnd",
      "DeserializeBadVarint",
      "DeserializeBadBool",
      "DeserializeBadChar",
      "DeserializeBadUtf8",
      "DeserializeBadOption",
      "DeserializeBadEnum",
      "DeserializeBadEncoding",
      "DeserializeBadCrc",
      "SerdeSerCustom",
      "SerdeDeCustom",
      "CollectStrError",
  };
  return kNames[static_cast<std::size_t>(error)];
}

}  // namespace sorvel::protocol
