// Golden bytes and debug texts of every message the receiver sends.
#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>
#include <vector>

#include "sorvel/protocol/messages.hpp"

namespace sorvel::protocol {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace rsp = response;
namespace fr = failure_reason;

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

constexpr TrackerAddress kAddress{{1, 2, 3, 4, 5, 6}};
constexpr TrackerAddress kOtherAddress{{12, 34, 56, 78, 90, 255}};
const Bytes kAddressBytes{1, 2, 3, 4, 5, 6};
const Bytes kOtherAddressBytes{12, 34, 56, 78, 90, 255};

struct Golden {
  Response value;
  Bytes bytes;
  std::string text;
};

std::vector<Golden> golden_responses() {
  using enum BodyPart;
  using enum UpdateStatus;
  std::array<UpdateStatus, 15> every_status{};
  for (std::size_t i = 0; i < every_status.size(); ++i) {
    every_status[i] = static_cast<UpdateStatus>(i % 7);
  }
  std::array<UpdateStatus, 15> all_finished{};
  all_finished.fill(Finished);
  const TrackerConfigRecord tracker_config{kAddress, -4, 6, 3, {1000}, 2, 4, 65535};
  const TrackerConfigRecord tracker_config_max{kAddress,     127, 255, UINT32_MAX,
                                               {UINT32_MAX}, 255, 255, 65535};
  const ReceiverConfigRecord receiver_config{-4, 6, 0, 3, {1000}};
  const ReceiverConfigRecord receiver_config_max{-128, 255, 65535, UINT32_MAX, {UINT32_MAX}};
  const std::array<std::uint8_t, 9> inner{255, 0, 1, 2, 3, 4, 5, 6, 128};

  return {
      {rsp::ReadyToReport{}, {0x00}, "ReadyToReport"},
      {rsp::ReceiverInfo{{kAddress, {2, 0, 1}}}, join({{0x01}, kAddressBytes, {2, 0, 1}}),
       "ReceiverInfo(ReceiverInfo { addr: [1, 2, 3, 4, 5, 6], version: SemVer { major: 2, "
       "minor: 0, patch: 1 } })"},
      {rsp::TrackerDiscovered{kOtherAddress, LeftLowerArm, {1, 0, 0}},
       join({{0x02}, kOtherAddressBytes, {0x00, 1, 0, 0}}),
       "TrackerDiscovered([12, 34, 56, 78, 90, 255], LeftLowerArm, SemVer { major: 1, minor: 0, "
       "patch: 0 })"},
      {rsp::TrackerReconnected{Hips}, {0x03, 0x05}, "TrackerReconnected(Hips)"},
      {rsp::TrackerReadyToUpdate{Chest}, {0x04, 0x0A}, "TrackerReadyToUpdate(Chest)"},
      {rsp::TrackerUpdateFinished{RightFoot}, {0x05, 0x0E}, "TrackerUpdateFinished(RightFoot)"},
      {rsp::TrackerUpdateProgress{Head, 250},
       {0x06, 0x04, 0xFA},
       "TrackerUpdateProgress(Head, 250)"},
      {rsp::IncompatibleTracker{kAddress, RightHand, {1, 9, 9}},
       join({{0x07}, kAddressBytes, {0x0C, 1, 9, 9}}),
       "IncompatibleTracker([1, 2, 3, 4, 5, 6], RightHand, SemVer { major: 1, minor: 9, patch: 9 "
       "})"},
      {rsp::RepeatedTracker{kAddress, LeftFoot}, join({{0x08}, kAddressBytes, {0x0D}}),
       "RepeatedTracker([1, 2, 3, 4, 5, 6], LeftFoot)"},
      {rsp::ConnectionLost{LeftUpperArm}, {0x09, 0x06}, "ConnectionLost(LeftUpperArm)"},
      {rsp::Failed{}, {0x0A}, "Failed"},
      {rsp::ReadyToUpdate{}, {0x0B}, "ReadyToUpdate"},
      {rsp::MissingChunk{{3, {72, inner}}},
       join({{0x0C, 0x03, 0x48}, Bytes(inner.begin(), inner.end())}),
       "MissingChunk(MissingChunk { page_id: 3, bitmap: Bitmap { len: 72, inner: [255, 0, 1, 2, "
       "3, 4, 5, 6, 128] } })"},
      {rsp::MissingChunk{{0, {UINT32_MAX, {}}}},
       join({{0x0C, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, Bytes(9, 0x00)}),
       "MissingChunk(MissingChunk { page_id: 0, bitmap: Bitmap { len: 4294967295, inner: [0, 0, "
       "0, 0, 0, 0, 0, 0, 0] } })"},
      {rsp::ImageSaved{}, {0x0D}, "ImageSaved"},
      {rsp::SkipWritingImage{}, {0x0E}, "SkipWritingImage"},
      {rsp::UpdateFailed{fr::CanNotDowngrade{}}, {0x0F, 0x00}, "UpdateFailed(CanNotDowngrade)"},
      {rsp::UpdateFailed{fr::FlashError{-3}}, {0x0F, 0x02, 0x05}, "UpdateFailed(FlashError(-3))"},
      {rsp::UpdateFailed{fr::DecompressError{INT32_MIN}},
       {0x0F, 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F},
       "UpdateFailed(DecompressError(-2147483648))"},
      {rsp::SendingTrackerImage{}, {0x10}, "SendingTrackerImage"},
      {rsp::SoftResetDone{}, {0x11}, "SoftResetDone"},
      {rsp::TrackerConfig{Head, tracker_config},
       join({{0x12, 0x04},
             kAddressBytes,
             {0xFC, 0x06, 0x03, 0xE8, 0x07, 0x02, 0x04, 0xFF, 0xFF, 0x03}}),
       "TrackerConfig(Head, Config { receiver: [1, 2, 3, 4, 5, 6], wifi_tx_power: -4, "
       "wifi_channel: 6, wireless_retry: 3, lag_tolerant: Millis(1000), sensor_variant: 2, index: "
       "4, battery: 65535 })"},
      {rsp::TrackerConfig{RightFoot, tracker_config_max},
       join({{0x12, 0x0E},
             kAddressBytes,
             {0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF,
              0xFF, 0xFF, 0x03}}),
       "TrackerConfig(RightFoot, Config { receiver: [1, 2, 3, 4, 5, 6], wifi_tx_power: 127, "
       "wifi_channel: 255, wireless_retry: 4294967295, lag_tolerant: Millis(4294967295), "
       "sensor_variant: 255, index: 255, battery: 65535 })"},
      {rsp::TrackerConfigWrite{RightLowerLeg}, {0x13, 0x03}, "TrackerConfigWrite(RightLowerLeg)"},
      {rsp::ReceiverConfigWrite{}, {0x14}, "ReceiverConfigWrite"},
      {rsp::TrackerUpdateFailed{RightFoot, fr::TrackerNotReady{LeftLowerArm}},
       {0x15, 0x0E, 0x09, 0x00},
       "TrackerUpdateFailed(RightFoot, TrackerNotReady(LeftLowerArm))"},
      {rsp::TrackerUpdateTimeout{all_finished}, join({{0x16}, Bytes(15, 0x06)}),
       "TrackerUpdateTimeout([Finished, Finished, Finished, Finished, Finished, Finished, "
       "Finished, Finished, Finished, Finished, Finished, Finished, Finished, Finished, "
       "Finished])"},
      {rsp::TrackerUpdateTimeout{every_status},
       {0x16, 0, 1, 2, 3, 4, 5, 6, 0, 1, 2, 3, 4, 5, 6, 0},
       "TrackerUpdateTimeout([NotIncluded, NotPrepared, WritingImage, Finalizing, "
       "ImageDecompressed, Failed, Finished, NotIncluded, NotPrepared, WritingImage, Finalizing, "
       "ImageDecompressed, Failed, Finished, NotIncluded])"},
      {rsp::TrackerBiasUpdated{LeftUpperLeg, 0},
       {0x17, 0x08, 0x00},
       "TrackerBiasUpdated(LeftUpperLeg, 0)"},
      {rsp::ReceiverConfig{receiver_config},
       {0x18, 0xFC, 0x06, 0x00, 0x03, 0xE8, 0x07},
       "ReceiverConfig(Config { wifi_tx_power: -4, wifi_channel: 6, padding: 0, wireless_retry: "
       "3, lag_tolerant: Millis(1000) })"},
      {rsp::ReceiverConfig{receiver_config_max},
       {0x18, 0x80, 0xFF, 0xFF, 0xFF, 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF,
        0x0F},
       "ReceiverConfig(Config { wifi_tx_power: -128, wifi_channel: 255, padding: 65535, "
       "wireless_retry: 4294967295, lag_tolerant: Millis(4294967295) })"},
      {rsp::ButtonEvent{Head, ButtonState::Pressed},
       {0x19, 0x04, 0x00},
       "ButtonEvent(Head, Pressed)"},
      {rsp::ButtonEvent{RightFoot, ButtonState::Released},
       {0x19, 0x0E, 0x01},
       "ButtonEvent(RightFoot, Released)"},
      {rsp::GetPageChunks{255}, {0x1A, 0xFF}, "GetPageChunks(255)"},
      {rsp::DCDCleared{RightUpperLeg}, {0x1B, 0x09}, "DCDCleared(RightUpperLeg)"},
      {rsp::PoweredOff{}, {0x1C}, "PoweredOff"},
  };
}

TEST(Response, GoldenBytesAndDebugTextOfEveryVariant) {
  std::set<std::size_t> variants;
  for (const auto& golden : golden_responses()) {
    SCOPED_TRACE(golden.text);
    variants.insert(golden.value.index());

    std::array<std::uint8_t, 63> buffer{};
    const auto size = encode(golden.value, buffer);
    ASSERT_TRUE(size.has_value());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + *size), golden.bytes);
    EXPECT_EQ(decode_response(golden.bytes), WireResult<Response>(golden.value));
    EXPECT_EQ(fmt::format("{}", golden.value), golden.text);

    // A transfer carries more bytes than the message; the rest is ignored.
    Bytes transfer = golden.bytes;
    transfer.resize(63, 0xEE);
    EXPECT_EQ(decode_response(transfer), WireResult<Response>(golden.value));
  }
  EXPECT_EQ(variants.size(), std::variant_size_v<Response::Variant>);
}

TEST(Response, EveryTruncatedEncodingEndsUnexpectedly) {
  for (const auto& golden : golden_responses()) {
    for (std::size_t cut = 0; cut < golden.bytes.size(); ++cut) {
      const auto got = decode_response(std::span(golden.bytes).first(cut));
      ASSERT_FALSE(got.has_value()) << golden.text << " cut at " << cut;
      EXPECT_EQ(got.error(), WireError::DeserializeUnexpectedEnd)
          << golden.text << " cut at " << cut;
    }
  }
}

TEST(Response, EncodingIntoABufferOneByteShortIsFull) {
  for (const auto& golden : golden_responses()) {
    Bytes buffer(golden.bytes.size() - 1);
    EXPECT_EQ(encode(golden.value, buffer).error(), WireError::SerializeBufferFull) << golden.text;
  }
}

TEST(Response, RecordsPrintUnderTheirOwnNames) {
  EXPECT_EQ(fmt::format("{}", ReceiverInfo{kAddress, {2, 0, 1}}),
            "ReceiverInfo { addr: [1, 2, 3, 4, 5, 6], version: SemVer { major: 2, minor: 0, "
            "patch: 1 } }");
  EXPECT_EQ(fmt::format("{}", Millis{1000}), "Millis(1000)");
  EXPECT_EQ(fmt::format("{}", ReceiverConfigRecord{-4, 6, 0, 3, {1000}}),
            "Config { wifi_tx_power: -4, wifi_channel: 6, padding: 0, wireless_retry: 3, "
            "lag_tolerant: Millis(1000) }");
  EXPECT_EQ(fmt::format("{}", UpdateStatus::ImageDecompressed), "ImageDecompressed");
  EXPECT_EQ(fmt::format("{}", ButtonState::Released), "Released");
}

TEST(Response, DecodesTheReceiversEdgeCases) {
  const auto custom = unexpected(WireError::SerdeDeCustom);
  const auto end = unexpected(WireError::DeserializeUnexpectedEnd);
  const auto bad_varint = unexpected(WireError::DeserializeBadVarint);
  Bytes one_bad_status = join({{0x16}, Bytes(15, 0x06)});
  one_bad_status[8] = 0x07;
  struct Case {
    const char* what;
    Bytes bytes;
    WireResult<Response> expected;
  };
  const std::vector<Case> cases{
      {"empty transfer", {}, end},
      {"index 29", {0x1D}, custom},
      {"index cut inside its varint", {0x80}, end},
      {"redundant index group", {0x80, 0x00}, Response{rsp::ReadyToReport{}}},
      {"ReadyToReport in a zero-filled transfer", join({{0x00}, Bytes(62, 0x00)}),
       Response{rsp::ReadyToReport{}}},
      {"ReceiverInfo 1.2.3", join({{0x01}, kAddressBytes, {1, 2, 3}}),
       Response{rsp::ReceiverInfo{{kAddress, {1, 2, 3}}}}},
      {"ReceiverInfo with 8 payload bytes", join({{0x01}, kAddressBytes, {1, 2}}), end},
      {"body part 15", {0x03, 0x0F}, custom},
      {"button state 2", {0x19, 0x04, 0x02}, custom},
      {"failure reason 11", {0x0F, 0x0B}, custom},
      {"FlashError over 32 bits", {0x0F, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x10}, bad_varint},
      {"update status 7", one_bad_status, custom},
      {"battery over 16 bits",
       join({{0x12, 0x04},
             kAddressBytes,
             {0xFC, 0x06, 0x03, 0xE8, 0x07, 0x02, 0x04, 0xFF, 0xFF, 0x04}}),
       bad_varint},
      {"padding over 16 bits", {0x18, 0xFC, 0x06, 0xFF, 0xFF, 0x04, 0x03, 0xE8, 0x07}, bad_varint},
      {"redundant padding group",
       {0x18, 0xFC, 0x06, 0x80, 0x00, 0x03, 0xE8, 0x07},
       Response{rsp::ReceiverConfig{{-4, 6, 0, 3, {1000}}}}},
      {"bitmap length over 32 bits", {0x0C, 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0x10}, bad_varint},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode_response(c.bytes), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace sorvel::protocol
