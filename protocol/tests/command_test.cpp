// Golden bytes and debug texts of every command the receiver understands.
#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>
#include <vector>

#include "sorvel/protocol/messages.hpp"

namespace sorvel::protocol {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace cmd = command;
namespace tci = tracker_config_item;
namespace rci = receiver_config_item;

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

/// `count` bytes counting up from `first`.
Bytes counting(std::uint8_t first, std::size_t count) {
  Bytes out(count);
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::uint8_t>(first + i);
  return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> array_of(const Bytes& bytes) {
  std::array<std::uint8_t, N> out{};
  std::copy_n(bytes.begin(), N, out.begin());
  return out;
}

std::string list_text(const Bytes& bytes) {
  return fmt::format("[{}]", fmt::join(bytes, ", "));
}

/// "Chest, Chest, ..." `count` times: the filler of unused group slots.
std::string chests(std::size_t count) {
  return fmt::format("{}", fmt::join(std::vector<std::string_view>(count, "Chest"), ", "));
}

Command initiate(std::initializer_list<BodyPart> parts) {
  return *cmd::Initiate::for_group(std::vector<BodyPart>(parts));
}

struct Golden {
  Command value;
  Bytes bytes;
  std::string text;
};

std::vector<Golden> golden_commands() {
  using enum BodyPart;
  const Bytes md5 = counting(0x10, 16);
  const Bytes comp_md5 = counting(0xA0, 16);
  const Bytes chunk = counting(0, 59);
  const Bytes chunk_numbers = counting(100, 60);

  UsbUpdateInfo receiver_image{array_of<16>(md5), 5, {2, 0, 1}, update_target::Receiver{}};
  UsbUpdateInfo tracker_image{
      array_of<16>(md5),
      200,
      {1, 2, 3},
      update_target::Tracker{
          {array_of<16>(comp_md5), 130, cmd::Initiate::for_group(std::vector{Head, Hips})->group}}};

  return {
      {cmd::FactoryReset{}, {0x00}, "FactoryReset"},
      {cmd::GetInfo{}, {0x01}, "GetInfo"},
      {initiate({Head, Hips, Chest}), join({{0x02, 0x03, 0x04, 0x05, 0x0A}, Bytes(12, 0x0A)}),
       "Initiate(3, [Head, Hips, " + chests(13) + "])"},
      {initiate({LeftLowerArm}), join({{0x02, 0x01, 0x00}, Bytes(14, 0x0A)}),
       "Initiate(1, [LeftLowerArm, " + chests(14) + "])"},
      {initiate({LeftLowerArm, RightLowerArm, LeftLowerLeg, RightLowerLeg, Head, Hips, LeftUpperArm,
                 RightUpperArm, LeftUpperLeg, RightUpperLeg, Chest, LeftHand, RightHand, LeftFoot,
                 RightFoot}),
       join({{0x02, 0x0F}, counting(0, 15)}),
       "Initiate(15, [LeftLowerArm, RightLowerArm, LeftLowerLeg, RightLowerLeg, Head, Hips, "
       "LeftUpperArm, RightUpperArm, LeftUpperLeg, RightUpperLeg, Chest, LeftHand, RightHand, "
       "LeftFoot, RightFoot])"},
      {cmd::Stop{}, {0x03}, "Stop"},
      {cmd::Go{}, {0x04}, "Go"},
      // One raw byte: a varint would need two for 200.
      {cmd::Calibrate{200}, {0x05, 0xC8}, "Calibrate(200)"},
      {cmd::OtaUpdate{receiver_image}, join({{0x06}, md5, {0x05, 0x02, 0x00, 0x01, 0x01}}),
       "OtaUpdate(UsbUpdateInfo { md5: " + list_text(md5) +
           ", page_num: 5, version: SemVer { major: 2, minor: 0, patch: 1 }, ty: Receiver })"},
      {cmd::OtaUpdate{tracker_image},
       join({{0x06},
             md5,
             {0xC8, 0x01, 0x02, 0x03, 0x00},
             comp_md5,
             {0x82, 0x04, 0x05},
             Bytes(13, 0x0A)}),
       "OtaUpdate(UsbUpdateInfo { md5: " + list_text(md5) +
           ", page_num: 200, version: SemVer { major: 1, minor: 2, patch: 3 }, ty: "
           "Tracker(TrackerUpdateInfo { comp_md5: " +
           list_text(comp_md5) + ", len: 130, group: [Head, Hips, " + chests(13) + "] }) })"},
      {cmd::ImageChunk{{3, 7, array_of<59>(chunk)}}, join({{0x07, 0x03, 0x07}, chunk}),
       "ImageChunk(UpdateChunk { idx: 3, page_id: 7, chunk: " + list_text(chunk) + " })"},
      {cmd::EndOfImage{}, {0x08}, "EndOfImage"},
      {cmd::TrackerSoftReset{}, {0x09}, "TrackerSoftReset"},
      {cmd::ReadReceiverConfig{}, {0x0A}, "ReadReceiverConfig"},
      {cmd::WriteTrackerConfig{RightFoot, tci::ResetToDefault{}},
       {0x0B, 0x0E, 0x00},
       "WriteTrackerConfig(RightFoot, ResetToDefault)"},
      {cmd::WriteTrackerConfig{Chest, tci::ReceiverAddress{{{1, 2, 3, 4, 5, 6}}}},
       {0x0B, 0x0A, 0x01, 1, 2, 3, 4, 5, 6},
       "WriteTrackerConfig(Chest, ReceiverAddress([1, 2, 3, 4, 5, 6]))"},
      {cmd::WriteTrackerConfig{Hips, tci::WifiChannel{200}},
       {0x0B, 0x05, 0x02, 0xC8},
       "WriteTrackerConfig(Hips, WifiChannel(200))"},
      {cmd::WriteTrackerConfig{LeftHand, tci::WifiTxPower{-4}},
       {0x0B, 0x0B, 0x03, 0xFC},
       "WriteTrackerConfig(LeftHand, WifiTxPower(-4))"},
      {cmd::WriteTrackerConfig{LeftFoot, tci::Index{RightHand}},
       {0x0B, 0x0D, 0x04, 0x0C},
       "WriteTrackerConfig(LeftFoot, Index(RightHand))"},
      {cmd::WriteTrackerConfig{Head, tci::Activated{true}},
       {0x0B, 0x04, 0x05, 0x01},
       "WriteTrackerConfig(Head, Activated(true))"},
      {cmd::WriteTrackerConfig{Head, tci::Activated{false}},
       {0x0B, 0x04, 0x05, 0x00},
       "WriteTrackerConfig(Head, Activated(false))"},
      {cmd::WriteTrackerConfig{LeftLowerArm, tci::ResetBias{}},
       {0x0B, 0x00, 0x06},
       "WriteTrackerConfig(LeftLowerArm, ResetBias)"},
      {cmd::WriteReceiverConfig{rci::ResetToDefault{}},
       {0x0C, 0x00},
       "WriteReceiverConfig(ResetToDefault)"},
      {cmd::WriteReceiverConfig{rci::WifiChannel{6}},
       {0x0C, 0x01, 0x06},
       "WriteReceiverConfig(WifiChannel(6))"},
      {cmd::WriteReceiverConfig{rci::WifiTxPower{-4}},
       {0x0C, 0x02, 0xFC},
       "WriteReceiverConfig(WifiTxPower(-4))"},
      {cmd::WriteReceiverConfig{rci::WifiTxPower{-128}},
       {0x0C, 0x02, 0x80},
       "WriteReceiverConfig(WifiTxPower(-128))"},
      {cmd::WriteReceiverConfig{rci::WifiTxPower{127}},
       {0x0C, 0x02, 0x7F},
       "WriteReceiverConfig(WifiTxPower(127))"},
      {cmd::ReceiverHardReset{}, {0x0D}, "ReceiverHardReset"},
      {cmd::PowerOff{}, {0x0E}, "PowerOff"},
      {cmd::ReadTrackerConfig{RightFoot}, {0x0F, 0x0E}, "ReadTrackerConfig(RightFoot)"},
      {cmd::TimeSync{0}, {0x10, 0x00}, "TimeSync(0)"},
      {cmd::TimeSync{300}, {0x10, 0xAC, 0x02}, "TimeSync(300)"},
      {cmd::TimeSync{UINT64_MAX}, join({{0x10}, Bytes(9, 0xFF), {0x01}}),
       "TimeSync(18446744073709551615)"},
      {cmd::PageChunks{{9, array_of<60>(chunk_numbers)}}, join({{0x11, 0x09}, chunk_numbers}),
       "PageChunks(PageChunks { page_base: 9, chunk_numbers: " + list_text(chunk_numbers) + " })"},
      {cmd::EndOfPage{}, {0x12}, "EndOfPage"},
      {cmd::ClearDCD{Head}, {0x13, 0x04}, "ClearDCD(Head)"},
  };
}

TEST(Command, GoldenBytesAndDebugTextOfEveryVariant) {
  std::set<std::size_t> variants;
  for (const auto& golden : golden_commands()) {
    SCOPED_TRACE(golden.text);
    variants.insert(golden.value.index());

    std::array<std::uint8_t, 64> buffer{};
    const auto size = encode(golden.value, buffer);
    ASSERT_TRUE(size.has_value());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + *size), golden.bytes);
    EXPECT_EQ(decode_command(golden.bytes), WireResult<Command>(golden.value));
    EXPECT_EQ(fmt::format("{}", golden.value), golden.text);
    EXPECT_EQ(debug_text(golden.value), golden.text);

    Bytes transfer = golden.bytes;
    transfer.resize(kCommandTransferSize, 0x00);
    const auto sent = command_transfer(golden.value);
    EXPECT_EQ(Bytes(sent.begin(), sent.end()), transfer);
    EXPECT_EQ(decode_command(transfer), WireResult<Command>(golden.value));
  }
  EXPECT_EQ(variants.size(), std::variant_size_v<Command::Variant>);
}

TEST(Command, EveryTruncatedEncodingEndsUnexpectedly) {
  for (const auto& golden : golden_commands()) {
    for (std::size_t cut = 0; cut < golden.bytes.size(); ++cut) {
      const auto got = decode_command(std::span(golden.bytes).first(cut));
      ASSERT_FALSE(got.has_value()) << golden.text << " cut at " << cut;
      EXPECT_EQ(got.error(), WireError::DeserializeUnexpectedEnd)
          << golden.text << " cut at " << cut;
    }
  }
}

TEST(Command, EncodingIntoABufferOneByteShortIsFull) {
  for (const auto& golden : golden_commands()) {
    Bytes buffer(golden.bytes.size() - 1);
    EXPECT_EQ(encode(golden.value, buffer).error(), WireError::SerializeBufferFull) << golden.text;
  }
}

TEST(Command, LongestEncodingsLeaveTheTransferTailZero) {
  const auto chunk = command_transfer(cmd::ImageChunk{{3, 7, {}}});
  EXPECT_EQ(chunk[0], 0x07);
  EXPECT_EQ(chunk[1], 0x03);
  EXPECT_EQ(chunk[2], 0x07);
  std::array<std::uint8_t, 64> full{};
  full.fill(0xFF);
  UpdateChunk ones{0xFF, 0xFF, {}};
  ones.chunk.fill(0xFF);
  EXPECT_EQ(encode(Command{cmd::ImageChunk{ones}}, full), WireResult<std::size_t>(62));
  EXPECT_EQ(full[62], 0xFF);  // the encoder leaves the rest alone...
  const auto sent = command_transfer(cmd::ImageChunk{ones});
  EXPECT_EQ(sent[61], 0xFF);
  EXPECT_EQ(sent[62], 0x00);  // ...the transfer starts zeroed
  EXPECT_EQ(sent[63], 0x00);
}

TEST(Command, OtaUpdateLengthDependsOnTheTarget) {
  UsbUpdateInfo info{};
  info.ty = update_target::Receiver{};
  std::array<std::uint8_t, 64> buffer{};
  EXPECT_EQ(encode(Command{cmd::OtaUpdate{info}}, buffer), WireResult<std::size_t>(22));
  EXPECT_EQ(buffer[21], 0x01);
  info.ty = update_target::Tracker{};
  EXPECT_EQ(encode(Command{cmd::OtaUpdate{info}}, buffer), WireResult<std::size_t>(54));
  EXPECT_EQ(buffer[21], 0x00);
}

TEST(Command, DecodingRejectsMalformedInput) {
  const Bytes ota_head = join({{0x06}, Bytes(16, 0x00), {0x01, 0x02, 0x00, 0x01}});
  struct Case {
    const char* what;
    Bytes bytes;
    WireResult<Command> expected;
  };
  const std::vector<Case> cases{
      {"empty", {}, unexpected(WireError::DeserializeUnexpectedEnd)},
      {"index 20", {0x14}, unexpected(WireError::SerdeDeCustom)},
      {"index cut inside its varint", {0x80}, unexpected(WireError::DeserializeUnexpectedEnd)},
      {"redundant index group", {0x81, 0x00}, Command{cmd::GetInfo{}}},
      {"body part 15", {0x0F, 0x0F}, unexpected(WireError::SerdeDeCustom)},
      {"Initiate slot 15", join({{0x02, 0x01, 0x0F}, Bytes(14, 0x0A)}),
       unexpected(WireError::SerdeDeCustom)},
      {"tracker config item 7", {0x0B, 0x04, 0x07}, unexpected(WireError::SerdeDeCustom)},
      {"Activated(2)", {0x0B, 0x04, 0x05, 0x02}, unexpected(WireError::DeserializeBadBool)},
      {"receiver config item 3", {0x0C, 0x03}, unexpected(WireError::SerdeDeCustom)},
      {"update target 2", join({ota_head, {0x02}}), unexpected(WireError::SerdeDeCustom)},
      {"TimeSync over 64 bits", join({{0x10}, Bytes(9, 0xFF), {0x02}}),
       unexpected(WireError::DeserializeBadVarint)},
      {"TimeSync over 10 bytes", join({{0x10}, Bytes(10, 0x80), {0x00}}),
       unexpected(WireError::DeserializeBadVarint)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode_command(c.bytes), c.expected) << c.what;
  }
}

TEST(Initiate, ForGroupKeepsTheOrderAndFillsWithChest) {
  using enum BodyPart;
  const auto empty = cmd::Initiate::for_group({});
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->count, 0);
  EXPECT_EQ(*empty, cmd::Initiate{});
  for (BodyPart part : empty->group) EXPECT_EQ(part, Chest);

  const std::vector<BodyPart> reversed{RightFoot,    LeftFoot,      RightHand,    LeftHand,
                                       Chest,        RightUpperLeg, LeftUpperLeg, RightUpperArm,
                                       LeftUpperArm, Hips,          Head,         RightLowerLeg,
                                       LeftLowerLeg, RightLowerArm, LeftLowerArm};
  const auto full = cmd::Initiate::for_group(reversed);
  ASSERT_TRUE(full.has_value());
  EXPECT_EQ(full->count, 15);
  EXPECT_TRUE(std::equal(reversed.begin(), reversed.end(), full->group.begin()));

  std::vector<BodyPart> sixteen = reversed;
  sixteen.push_back(Head);
  EXPECT_EQ(cmd::Initiate::for_group(sixteen), std::nullopt);
}

}  // namespace
}  // namespace sorvel::protocol
