// Reading a receiver's USB capture back as what it answered, and a kit that plays it.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "kit_harness.hpp"
#include "replay.hpp"

namespace sorvel::simulator {
namespace {

using namespace testing;
using std::chrono::microseconds;

/// Writes captures the way the driver's capture does: pcap, usbmon's 64-byte header.
class CaptureWriter {
 public:
  CaptureWriter() {
    put<std::uint32_t>(0xa1b2c3d4);
    put<std::uint16_t>(2);
    put<std::uint16_t>(4);
    put<std::uint32_t>(0);
    put<std::uint32_t>(0);
    put<std::uint32_t>(262144);
    put<std::uint32_t>(220);
  }

  /// A record at `ms` milliseconds of the capture's clock.
  CaptureWriter& record(std::uint32_t ms, char kind, std::uint8_t endpoint, Bytes data = {},
                        std::int32_t status = 0, std::uint8_t device = 1) {
    put<std::uint32_t>(1000 + ms / 1000);
    put<std::uint32_t>(ms % 1000 * 1000);
    put<std::uint32_t>(static_cast<std::uint32_t>(64 + data.size()));
    put<std::uint32_t>(static_cast<std::uint32_t>(64 + data.size()));
    const std::size_t header = bytes.size();
    bytes.resize(header + 64);
    bytes[header + 8] = static_cast<std::uint8_t>(kind);
    bytes[header + 10] = endpoint;
    bytes[header + 11] = device;
    std::memcpy(&bytes[header + 28], &status, 4);
    const auto length = static_cast<std::uint32_t>(data.size());
    std::memcpy(&bytes[header + 32], &length, 4);
    std::memcpy(&bytes[header + 36], &length, 4);
    bytes.insert(bytes.end(), data.begin(), data.end());
    return *this;
  }
  CaptureWriter& command(std::uint32_t ms, Bytes data) { return record(ms, 'S', 0x01, data); }
  CaptureWriter& response(std::uint32_t ms, Bytes data) { return record(ms, 'C', 0x82, data); }
  CaptureWriter& report(std::uint32_t ms, Bytes data) { return record(ms, 'C', 0x81, data); }

  Bytes bytes;

 private:
  template <typename T>
  void put(T value) {
    const auto* raw = reinterpret_cast<const std::uint8_t*>(&value);
    bytes.insert(bytes.end(), raw, raw + sizeof value);
  }
};

Bytes transfer_of(const protocol::Command& command) {
  const auto transfer = protocol::command_transfer(command);
  return {transfer.begin(), transfer.end()};
}

const Bytes kGetInfo = transfer_of(protocol::command::GetInfo{});
const Bytes kGo = transfer_of(protocol::command::Go{});
const Bytes kSoftReset = transfer_of(protocol::command::TrackerSoftReset{});

/// A session: something at open, GetInfo twice with different answers, Go with reports, then
/// the receiver pulled out; and another device's traffic in between.
CaptureWriter session() {
  CaptureWriter capture;
  capture.response(0, {0xA0})
      .command(1000, kGetInfo)
      .record(1001, 'C', 0x01)  // the command's own completion says nothing
      .response(1002, {0xA1})
      .command(2000, kGo)
      .report(2010, {1, 2, 3})
      .record(2015, 'C', 0x82, {0xEE}, 0, 2)  // another device
      .report(2030, {4})
      .command(3000, kGetInfo)
      .response(3004, {0xA2})
      .record(3500, 'C', 0x81, {}, -ENODEV)
      .record(3501, 'C', 0x82, {}, -ENODEV);
  return capture;
}

TEST(ReadCapture, KeepsWhatFollowedEachCommandEachTimeWithItsTimingScaled) {
  auto replay = read_capture(session().bytes, 2.0);
  ASSERT_TRUE(replay.has_value()) << replay.error();
  ASSERT_EQ(replay->on_open.responses.size(), 1u);
  EXPECT_EQ(replay->on_open.responses[0].bytes, Bytes{0xA0});

  const auto& get_info = replay->by_command.at(kGetInfo);
  ASSERT_EQ(get_info.size(), 2u);
  ASSERT_EQ(get_info[0].responses.size(), 1u);
  EXPECT_EQ(get_info[0].responses[0].bytes, Bytes{0xA1});
  EXPECT_EQ(get_info[0].responses[0].at, microseconds(1000));  // 2 ms at twice the speed
  ASSERT_EQ(get_info[1].responses.size(), 1u);
  EXPECT_EQ(get_info[1].responses[0].bytes, Bytes{0xA2});
  EXPECT_EQ(get_info[1].unplug_at, microseconds(250'000));  // once, for the first failed read

  const auto& go = replay->by_command.at(kGo).at(0);
  EXPECT_TRUE(go.responses.empty());  // the other device's answer is not the receiver's
  ASSERT_EQ(go.reports.size(), 2u);
  EXPECT_EQ(Bytes(go.reports[0].begin(), go.reports[0].end()), (Bytes{1, 2, 3}));
  EXPECT_EQ(go.report_times, (std::vector{microseconds(5000), microseconds(15000)}));
  EXPECT_FALSE(go.unplug_at);

  auto slowest = read_capture(session().bytes, 1e-300);
  ASSERT_TRUE(slowest.has_value());
  const auto& crawl = slowest->by_command.at(kGo).at(0).report_times;
  EXPECT_TRUE(crawl[0] > microseconds(0) && crawl[0] <= crawl[1]) << crawl[0].count();

  auto fastest = read_capture(session().bytes, 0);
  ASSERT_TRUE(fastest.has_value());
  EXPECT_TRUE(fastest->by_command.at(kGo).at(0).report_times.empty());
  EXPECT_EQ(fastest->by_command.at(kGetInfo).at(0).responses[0].at, microseconds(0));
}

TEST(ReadCapture, RefusesWhatItCannotReplayExactly) {
  const Bytes good = session().bytes;
  auto with = [&](std::size_t offset, std::uint32_t value) {
    Bytes bad = good;
    std::memcpy(&bad[offset], &value, sizeof value);
    return bad;
  };
  const std::size_t first_record = 24;
  struct Case {
    std::string name;
    Bytes file;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"empty", {}, "not a pcap file"},
      {"json", {'{', '}', ' ', ' '}, "not a pcap file"},
      {"header cut", Bytes(good.begin(), good.begin() + 20), "the file header is cut short"},
      {"ethernet", with(20, 1), "link type 1 is not a usbmon capture (link type 220)"},
      {"record header cut", Bytes(good.begin(), good.begin() + 30),
       "truncated: the record at byte 24 has no whole header"},
      {"record cut", Bytes(good.begin(), good.end() - 1), "runs past the end"},
      {"no usbmon header", with(first_record + 8, 8),
       "the record at byte 24 is not a USB transfer"},
      {"data longer than the record", with(first_record + 16 + 36, 2),
       "the record at byte 24 holds less data than it says"},
      {"data cut by the snap length", with(first_record + 16 + 32, 9),
       "the transfer at byte 24 was captured in part (1 of 9 bytes)"},
      {"no receiver", CaptureWriter().record(0, 'C', 0x83, {1}).bytes,
       "it holds no transfer of a receiver"},
  };
  for (const auto& [name, file, error] : cases) {
    auto replay = read_capture(file, 1.0);
    ASSERT_FALSE(replay.has_value()) << name;
    EXPECT_NE(replay.error().find(error), std::string::npos) << name << ": " << replay.error();
  }
}

TEST(ReadCapture, ReadsACaptureOfTheOtherByteOrder) {
  Bytes swapped = CaptureWriter().bytes;
  for (std::size_t field = 0; field < 24; field += 4) {
    if (field == 4) {  // the two 16-bit version numbers
      std::swap(swapped[4], swapped[5]);
      std::swap(swapped[6], swapped[7]);
      continue;
    }
    std::reverse(swapped.begin() + static_cast<std::ptrdiff_t>(field),
                 swapped.begin() + static_cast<std::ptrdiff_t>(field) + 4);
  }
  EXPECT_TRUE(looks_like_capture(swapped));
  // Past the magic, it is read in its own order: an empty capture holds no receiver.
  EXPECT_EQ(read_capture(swapped, 1.0).error(), "it holds no transfer of a receiver");
}

TEST(ReplayScenario, PlaysEverySpeedItCanAndRefusesTheRest) {
  const std::string path = ::testing::TempDir() + "/speeds.pcap";
  const Bytes capture = session().bytes;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(capture.data()),
             static_cast<std::streamsize>(capture.size()));
  const std::string refused =
      "SORVEL_VIRTUAL_KIT: invalid scenario: speed: expected 0 (as fast as the host reads) or a "
      "number from 0.001 upwards";
  struct Case {
    std::string speed;                 ///< as written in the scenario
    std::optional<std::string> error;  ///< nothing: played
  };
  const std::vector<Case> cases{
      {"0", std::nullopt},
      {"-0.0", std::nullopt},
      {"0.001", std::nullopt},
      {"1", std::nullopt},
      {"4", std::nullopt},
      {"1e300", std::nullopt},
      {"1e-300", refused},
      {"0.000999", refused},
      {"5e-324", refused},
      {"-1", refused},
      {"-1e-300", refused},
      {"1e400", "SORVEL_VIRTUAL_KIT: invalid scenario: not valid JSON"},  // past a double
      {"-1e400", "SORVEL_VIRTUAL_KIT: invalid scenario: not valid JSON"},
      {"\"fast\"", refused},
      {"null", refused},
      {"true", refused},
      {"NaN", "SORVEL_VIRTUAL_KIT: invalid scenario: not valid JSON"},  // JSON has no NaN
  };
  for (const auto& [speed, error] : cases) {
    // With forward slashes, a Windows path is a JSON string as it stands.
    const std::string scenario = fmt::format(R"({{"replay": "{}", "speed": {}}})",
                                             std::filesystem::path(path).generic_string(), speed);
    auto parsed = scenario_from_variable(scenario);
    if (!error) {
      ASSERT_TRUE(parsed.has_value()) << speed << ": " << parsed.error();
      EXPECT_TRUE(parsed->replay) << speed;
    } else {
      ASSERT_FALSE(parsed.has_value()) << speed;
      EXPECT_EQ(parsed.error(), *error) << speed;
    }
  }
}

TEST(ReplayKit, AnswersEachCommandAsItWasAnsweredThatTimeAndUnknownOnesNotAtAll) {
  Scenario scenario;
  scenario.replay = std::make_shared<const Replay>(*read_capture(session().bytes, 0));
  OpenKit kit(scenario);
  EXPECT_EQ(read(*kit.commands, 0x82, 63).data, Bytes{0xA0});  // sent when opened

  auto send_bytes = [&](const Bytes& bytes) {
    auto promise = std::make_shared<std::promise<usb::TransferResult>>();
    auto future = promise->get_future();
    kit.commands->submit_out(0x01, bytes,
                             [promise](usb::TransferResult result) { promise->set_value(result); });
    EXPECT_TRUE(wait(future).ok());
  };
  send_bytes(kGetInfo);
  EXPECT_EQ(read(*kit.commands, 0x82, 63).data, Bytes{0xA1});
  send_bytes(kSoftReset);  // never recorded: no answer
  send_bytes(kGo);
  EXPECT_EQ(read(*kit.auxiliary, 0x81, 64).data, (Bytes{1, 2, 3}));
  EXPECT_EQ(read(*kit.auxiliary, 0x81, 64).data, Bytes{4});
  send_bytes(kGetInfo);
  // The second GetInfo's answer, not anything for the soft reset before it.
  EXPECT_EQ(read(*kit.commands, 0x82, 63).data, Bytes{0xA2});
  // The recording's receiver went away after that: so does this one.
  EXPECT_EQ(read(*kit.commands, 0x82, 63).error, TransferError::Disconnected);
  EXPECT_EQ(kit.backend->state()->history,
            (std::vector<std::string>{"claim 1", "claim 2", "GetInfo", "TrackerSoftReset", "Go",
                                      "GetInfo"}));
}

}  // namespace
}  // namespace sorvel::simulator
