#pragma once
// Host-to-receiver commands and the records they carry. A command goes out as its encoding at the
// start of a zero-filled 64-byte transfer.
//
// Records live in `sorvel::protocol`; the alternatives of each union live in a namespace of their
// own, because several share a name with a record or with an alternative of another union.

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "sorvel/protocol/codec.hpp"
#include "sorvel/protocol/semver.hpp"
#include "sorvel/protocol/unit_variant.hpp"
#include "sorvel/trackers/body_part.hpp"
#include "sorvel/trackers/tracker_address.hpp"

namespace sorvel::protocol {

/// Length of the body-part lists sent to the receiver (`Initiate`, `TrackerUpdateInfo::group`).
inline constexpr std::size_t kGroupSlots = 15;

using Md5 = std::array<std::uint8_t, 16>;

// Firmware update records --------------------------------------------------------------------

struct TrackerUpdateInfo {
  Md5 comp_md5{};
  std::uint8_t len = 0;
  std::array<BodyPart, kGroupSlots> group{};

  static constexpr std::string_view kName = "TrackerUpdateInfo";
  static constexpr Style kStyle = Style::Record;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("comp_md5", self.comp_md5);
    visit("len", self.len);
    visit("group", self.group);
  }
  bool operator==(const TrackerUpdateInfo&) const = default;
};

namespace update_target {
struct Tracker {
  TrackerUpdateInfo info;

  static constexpr std::string_view kName = "Tracker";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("info", self.info);
  }
  bool operator==(const Tracker&) const = default;
};
SORVEL_UNIT_VARIANT(Receiver);
}  // namespace update_target

/// Which device an image is for (the field `ty` of `UsbUpdateInfo`).
struct UpdateTarget : Union<update_target::Tracker, update_target::Receiver> {
  using Union::Union;
};

/// Announces a firmware image.
struct UsbUpdateInfo {
  Md5 md5{};
  std::uint8_t page_num = 0;
  SemVer version;
  UpdateTarget ty;

  static constexpr std::string_view kName = "UsbUpdateInfo";
  static constexpr Style kStyle = Style::Record;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("md5", self.md5);
    visit("page_num", self.page_num);
    visit("version", self.version);
    visit("ty", self.ty);
  }
  bool operator==(const UsbUpdateInfo&) const = default;
};

/// One piece of image data; 59 bytes so that the whole command takes 62 of the 64 bytes.
struct UpdateChunk {
  std::uint8_t idx = 0;
  std::uint8_t page_id = 0;
  std::array<std::uint8_t, 59> chunk{};

  static constexpr std::string_view kName = "UpdateChunk";
  static constexpr Style kStyle = Style::Record;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("idx", self.idx);
    visit("page_id", self.page_id);
    visit("chunk", self.chunk);
  }
  bool operator==(const UpdateChunk&) const = default;
};

struct PageChunks {
  std::uint8_t page_base = 0;
  std::array<std::uint8_t, 60> chunk_numbers{};

  static constexpr std::string_view kName = "PageChunks";
  static constexpr Style kStyle = Style::Record;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("page_base", self.page_base);
    visit("chunk_numbers", self.chunk_numbers);
  }
  bool operator==(const PageChunks&) const = default;
};

// Settings ------------------------------------------------------------------------------------

namespace tracker_config_item {
SORVEL_UNIT_VARIANT(ResetToDefault);
struct ReceiverAddress {
  TrackerAddress addr;

  static constexpr std::string_view kName = "ReceiverAddress";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("addr", self.addr);
  }
  bool operator==(const ReceiverAddress&) const = default;
};
struct WifiChannel {
  std::uint8_t channel = 0;

  static constexpr std::string_view kName = "WifiChannel";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("channel", self.channel);
  }
  bool operator==(const WifiChannel&) const = default;
};
struct WifiTxPower {
  std::int8_t power = 0;  // raw two's complement, no zigzag

  static constexpr std::string_view kName = "WifiTxPower";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("power", self.power);
  }
  bool operator==(const WifiTxPower&) const = default;
};
struct Index {
  BodyPart part = BodyPart::LeftLowerArm;

  static constexpr std::string_view kName = "Index";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("part", self.part);
  }
  bool operator==(const Index&) const = default;
};
struct Activated {
  bool on = false;

  static constexpr std::string_view kName = "Activated";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("on", self.on);
  }
  bool operator==(const Activated&) const = default;
};
SORVEL_UNIT_VARIANT(ResetBias);
}  // namespace tracker_config_item

/// One tracker setting to write.
struct TrackerConfigItem
    : Union<tracker_config_item::ResetToDefault, tracker_config_item::ReceiverAddress,
            tracker_config_item::WifiChannel, tracker_config_item::WifiTxPower,
            tracker_config_item::Index, tracker_config_item::Activated,
            tracker_config_item::ResetBias> {
  using Union::Union;
};

namespace receiver_config_item {
SORVEL_UNIT_VARIANT(ResetToDefault);
// Same payloads, encodings and texts as the tracker's settings of the same name.
using tracker_config_item::WifiChannel;
using tracker_config_item::WifiTxPower;
}  // namespace receiver_config_item

/// One receiver setting to write.
struct ReceiverConfigItem
    : Union<receiver_config_item::ResetToDefault, receiver_config_item::WifiChannel,
            receiver_config_item::WifiTxPower> {
  using Union::Union;
};

// Commands ------------------------------------------------------------------------------------

namespace command {

SORVEL_UNIT_VARIANT(FactoryReset);
SORVEL_UNIT_VARIANT(GetInfo);

/// Starts pairing with the trackers of a group.
struct Initiate {
  /// Used entries of `group`.
  std::uint8_t count = 0;
  /// The group in the caller's order; `Chest` fills the unused slots.
  std::array<BodyPart, kGroupSlots> group = filled(BodyPart::Chest);

  /// The command for `parts`, or nothing when they do not fit the 15 slots.
  static std::optional<Initiate> for_group(std::span<const BodyPart> parts) {
    if (parts.size() > kGroupSlots) return std::nullopt;
    Initiate initiate;
    initiate.count = static_cast<std::uint8_t>(parts.size());
    std::copy(parts.begin(), parts.end(), initiate.group.begin());
    return initiate;
  }

  static constexpr std::string_view kName = "Initiate";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("count", self.count);
    visit("group", self.group);
  }
  bool operator==(const Initiate&) const = default;

 private:
  static constexpr std::array<BodyPart, kGroupSlots> filled(BodyPart part) {
    std::array<BodyPart, kGroupSlots> slots{};
    slots.fill(part);
    return slots;
  }
};

SORVEL_UNIT_VARIANT(Stop);
SORVEL_UNIT_VARIANT(Go);

struct Calibrate {
  std::uint8_t value = 0;

  static constexpr std::string_view kName = "Calibrate";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("value", self.value);
  }
  bool operator==(const Calibrate&) const = default;
};

struct OtaUpdate {
  UsbUpdateInfo info;

  static constexpr std::string_view kName = "OtaUpdate";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("info", self.info);
  }
  bool operator==(const OtaUpdate&) const = default;
};

struct ImageChunk {
  UpdateChunk chunk;

  static constexpr std::string_view kName = "ImageChunk";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("chunk", self.chunk);
  }
  bool operator==(const ImageChunk&) const = default;
};

SORVEL_UNIT_VARIANT(EndOfImage);
SORVEL_UNIT_VARIANT(TrackerSoftReset);
SORVEL_UNIT_VARIANT(ReadReceiverConfig);

struct WriteTrackerConfig {
  BodyPart part = BodyPart::LeftLowerArm;
  TrackerConfigItem item;

  static constexpr std::string_view kName = "WriteTrackerConfig";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("part", self.part);
    visit("item", self.item);
  }
  bool operator==(const WriteTrackerConfig&) const = default;
};

struct WriteReceiverConfig {
  ReceiverConfigItem item;

  static constexpr std::string_view kName = "WriteReceiverConfig";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("item", self.item);
  }
  bool operator==(const WriteReceiverConfig&) const = default;
};

SORVEL_UNIT_VARIANT(ReceiverHardReset);
SORVEL_UNIT_VARIANT(PowerOff);

struct ReadTrackerConfig {
  BodyPart part = BodyPart::LeftLowerArm;

  static constexpr std::string_view kName = "ReadTrackerConfig";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("part", self.part);
  }
  bool operator==(const ReadTrackerConfig&) const = default;
};

struct TimeSync {
  std::uint64_t time = 0;  // a varint, not 8 raw bytes

  static constexpr std::string_view kName = "TimeSync";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("time", self.time);
  }
  bool operator==(const TimeSync&) const = default;
};

struct PageChunks {
  protocol::PageChunks pages;

  static constexpr std::string_view kName = "PageChunks";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("pages", self.pages);
  }
  bool operator==(const PageChunks&) const = default;
};

SORVEL_UNIT_VARIANT(EndOfPage);

struct ClearDCD {
  BodyPart part = BodyPart::LeftLowerArm;

  static constexpr std::string_view kName = "ClearDCD";
  static constexpr Style kStyle = Style::Tuple;
  template <typename Self, typename Visit>
  static void fields(Self& self, Visit&& visit) {
    visit("part", self.part);
  }
  bool operator==(const ClearDCD&) const = default;
};

}  // namespace command

/// Every command the receiver understands; the alternative's position is its wire index.
struct Command
    : Union<command::FactoryReset, command::GetInfo, command::Initiate, command::Stop, command::Go,
            command::Calibrate, command::OtaUpdate, command::ImageChunk, command::EndOfImage,
            command::TrackerSoftReset, command::ReadReceiverConfig, command::WriteTrackerConfig,
            command::WriteReceiverConfig, command::ReceiverHardReset, command::PowerOff,
            command::ReadTrackerConfig, command::TimeSync, command::PageChunks, command::EndOfPage,
            command::ClearDCD> {
  using Union::Union;
};

}  // namespace sorvel::protocol
