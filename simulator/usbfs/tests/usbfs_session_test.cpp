// The driver through libusb on an emulated receiver: opening, pairing, streaming, and the same
// frames and transfers as the virtual kit's for the same scenario.
#include <sched.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <set>

#include "capture_reader.hpp"
#include "usbfs_harness.hpp"

namespace sorvel {
namespace {

using namespace testing;

class UsbfsSession : public ::testing::Test {
 protected:
  void SetUp() override { log::capture().clear(); }
};

TEST_F(UsbfsSession, OpeningClaimsEveryInterfaceAndAsksForTheIdentityFirst) {
  UsbfsDriver kit;
  ASSERT_TRUE(kit.driver);
  EXPECT_EQ(kit.state().history,
            (std::vector<std::string>{"claim 1", "claim 2", "GetInfo", "claim 0"}));
  EXPECT_EQ(kit.state().commands.at(0).size(), 64u);
}

TEST_F(UsbfsSession, PairsAGroupOfTwoAndTheWholeBodyAndStreamsEveryTracker) {
  std::vector<BodyPart> whole_body;
  for (std::uint8_t i = 0; i < kBodyPartCount; ++i) whole_body.push_back(*body_part_from_index(i));
  for (const auto& group : {std::vector<BodyPart>{BodyPart::Head, BodyPart::Chest}, whole_body}) {
    simulator::Scenario scenario;
    scenario.rate_hz = 200;
    UsbfsDriver kit(scenario);
    ASSERT_TRUE(kit.connect(group).has_value()) << group.size();
    ASSERT_TRUE(kit.start().has_value());
    std::set<std::size_t> fresh;
    EXPECT_TRUE(eventually([&] {
      auto polled = kit.poll();
      if (!polled || polled->size() != group.size()) return false;
      for (std::size_t i = 0; i < polled->size(); ++i) {
        if ((*polled)[i].second) fresh.insert(i);
      }
      return fresh.size() == group.size();
    })) << group.size()
        << " trackers, " << fresh.size() << " ever fresh";
    kit.receiver->unplug();
  }
}

/// Everything `poll` shows of a scripted stream, once the receiver has sent all of it.
template <typename Kit>
std::vector<PollResult> frames_of_scripted_stream(Kit& kit, std::size_t transfer_count) {
  EXPECT_TRUE(kit.connect({BodyPart::Head, BodyPart::Chest}).has_value());
  EXPECT_TRUE(kit.start().has_value());
  EXPECT_TRUE(eventually([&] {
    const auto s = kit.state();
    return s.report_transfers_delivered == transfer_count && s.pending_report_reads == 1;
  }));
  std::vector<PollResult> polls;
  for (int i = 0; i < 5; ++i) polls.push_back(*kit.poll());
  return polls;
}

simulator::Scenario numbered_stream(std::size_t& transfer_count) {
  simulator::Bytes stream;
  append(stream, protocol::encode_report_frame(numbered_report(BodyPart::Head, 1)));
  append(stream, protocol::encode_report_frame(numbered_report(BodyPart::Chest, 100)));
  append(stream, protocol::encode_report_frame(numbered_report(BodyPart::Head, 5)));
  const auto cut = transfers(stream, 50);  // reports straddle transfers
  transfer_count = cut.size();
  return scripted_stream(cut);
}

TEST_F(UsbfsSession, FramesAreTheVirtualKitsForTheSameScenario) {
  std::size_t count = 0;
  const simulator::Scenario scenario = numbered_stream(count);
  UsbfsDriver real(scenario);
  KitDriver in_process(scenario);
  const auto through_libusb = frames_of_scripted_stream(real, count);
  EXPECT_EQ(through_libusb, frames_of_scripted_stream(in_process, count));
  EXPECT_EQ(through_libusb.at(0).at(0).first.value_a, 5u) << "the newest Head report's frames";
}

TEST_F(UsbfsSession, CaptureRecordsTheSameTransfersAsTheVirtualKits) {
  std::size_t count = 0;
  const simulator::Scenario scenario = numbered_stream(count);
  auto record = [&](auto make_kit, const std::string& name) {
    const std::string path =
        ::testing::TempDir() + "/" + name + "-" + std::to_string(::getpid()) + ".pcap";
    ::setenv("SORVEL_CAPTURE", path.c_str(), 1);
    {
      auto kit = make_kit();
      ::unsetenv("SORVEL_CAPTURE");
      frames_of_scripted_stream(*kit, count);
    }
    // What crossed the bus, in order per endpoint; the interleaving of the endpoints is timing.
    std::map<std::uint8_t, std::vector<std::pair<char, std::vector<std::uint8_t>>>> by_endpoint;
    for (const auto& r : read_capture(path)) by_endpoint[r.endpoint].emplace_back(r.type, r.data);
    return by_endpoint;
  };
  const auto libusb = record([&] { return std::make_unique<UsbfsDriver>(scenario); }, "usbfs");
  const auto virtual_kit = record([&] { return std::make_unique<KitDriver>(scenario); }, "virtual");
  EXPECT_EQ(libusb, virtual_kit);
  ASSERT_TRUE(libusb.contains(0x81));
  EXPECT_GE(libusb.at(0x81).size(), 2 * count);
}

TEST_F(UsbfsSession, AFullPacketAnswerIsReadWhole) {
  // GetInfo answered by a 64-byte packet: the encoded ReceiverInfo, then padding.
  protocol::Response info{protocol::response::ReceiverInfo{{{{9, 9, 9, 9, 9, 9}}, {2, 0, 1}}}};
  std::vector<std::uint8_t> packet(64, 0xEE);
  ASSERT_TRUE(protocol::encode(info, packet).has_value());
  simulator::Scenario scenario;
  scenario.silent = {"GetInfo"};
  simulator::ScriptAction answer;
  answer.on = "GetInfo";
  answer.response = packet;
  scenario.script = {answer};
  UsbfsDriver kit(scenario);
  ASSERT_TRUE(kit.driver);
  EXPECT_TRUE(kit.driver->host()->receiver_connected());
}

TEST_F(UsbfsSession, ASecondDriverFindsTheReceiverBusy) {
  UsbfsDriver first;
  ASSERT_TRUE(first.driver);
  auto second = first.open();
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error(), DriverError::serial_port(system_error_from_errno(EBUSY)));
  EXPECT_EQ(first.state().claimed_interfaces, (std::vector<std::uint8_t>{0, 1, 2}));
}

TEST_F(UsbfsSession, AReceiverWithoutAccessIsRefusedWithTheUdevHint) {
  auto receiver = bus().plug({});
  receiver->deny_access();
  // Privileges would open any node: open as a user without them, as a desktop user would.
  if (::geteuid() == 0) {
    ASSERT_EQ(::setgid(65534), 0);
    ASSERT_EQ(::setuid(65534), 0);
  }
  auto backend = libusb_backend();
  ASSERT_TRUE(backend);
  auto device = open_receiver(*backend);
  ASSERT_FALSE(device.has_value());
  const auto* error = std::get_if<SystemError>(&device.error());
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code, EACCES);
  EXPECT_NE(error->message.find(usb::kUdevRulePath), std::string::npos) << error->message;
}

}  // namespace
}  // namespace sorvel
