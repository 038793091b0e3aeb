// Many transfers at once from several threads: every callback fires exactly once, answers are
// not lost, the stream stays framed, and an unplug in the middle ends everything cleanly.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "kit_harness.hpp"

namespace sorvel::simulator {
namespace {

using namespace testing;
namespace cmd = protocol::command;

TEST(KitStress, ConcurrentCommandsAnswersAndStream) {
  auto scenario = parse_scenario(R"({"stream": {"rate_hz": 1000}})");
  ASSERT_TRUE(scenario.has_value());
  OpenKit kit(*scenario);
  auto reports = kit.claim_reports();
  std::vector<BodyPart> everyone;
  for (std::size_t v = 0; v < kBodyPartCount; ++v) everyone.push_back(static_cast<BodyPart>(v));
  ASSERT_TRUE(send(*kit.commands, *cmd::Initiate::for_group(everyone)).ok());
  for (std::size_t i = 0; i < kBodyPartCount + 1; ++i) next_response(*kit.commands);
  ASSERT_TRUE(send(*kit.commands, cmd::Go{}).ok());

  constexpr int kSenders = 4;
  constexpr int kCommandsEach = 100;
  std::atomic<int> sent_ok{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kSenders; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kCommandsEach; ++i) {
        if (send(*kit.commands, cmd::GetInfo{}).ok()) ++sent_ok;
      }
    });
  }
  int answers = 0;
  std::thread answer_reader([&] {
    while (answers < kSenders * kCommandsEach) {
      const auto result = read(*kit.commands, 0x82, 63);
      if (!result.ok()) break;
      if (result.data.at(0) == 0x01) ++answers;
    }
  });
  int frames_read = 0;
  std::thread stream_reader([&] {
    FrameReader frames(*reports);
    for (; frames_read < 3000; ++frames_read) frames.next();
  });
  for (auto& thread : threads) thread.join();
  answer_reader.join();
  stream_reader.join();
  EXPECT_EQ(sent_ok.load(), kSenders * kCommandsEach);
  EXPECT_EQ(answers, kSenders * kCommandsEach);
  EXPECT_EQ(frames_read, 3000);

  // Unplug with reads in flight on both endpoints: each completes once, as Disconnected.
  std::vector<std::future<usb::TransferResult>> pending;
  for (int i = 0; i < 8; ++i) pending.push_back(submit_in(*kit.commands, 0x82, 63));
  std::thread unplugger([&] { kit.backend->unplug(); });
  for (int i = 0; i < 8; ++i) pending.push_back(submit_in(*reports, 0x81, 64));
  unplugger.join();
  int disconnected = 0;
  for (auto& future : pending) {
    const auto result = wait(future);
    if (result.error == TransferError::Disconnected) ++disconnected;
  }
  // Report reads submitted before the unplug may still have been served stream data.
  EXPECT_GE(disconnected, 8);
  EXPECT_EQ(kit.backend->state()->pending_transfers, 0u);
}

}  // namespace
}  // namespace sorvel::simulator
