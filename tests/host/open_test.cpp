// Opening the receiver: identity, firmware check, time-out, and the order of USB steps.
#include "host_harness.hpp"

namespace sorvel {
namespace {

using namespace testing;

class Open : public ::testing::Test {
 protected:
  void SetUp() override { log::capture().clear(); }
};

TEST_F(Open, AnsweredGetInfoBuildsTheHostAndLogsItsIdentity) {
  KitDriver kit;
  ASSERT_TRUE(kit.driver);
  EXPECT_TRUE(kit.driver->host()->receiver_connected());
  EXPECT_EQ(kit.status(), "not connected");
  EXPECT_EQ(host_lines(),
            (std::vector<std::string>{
                "compatible firmware version is ~2.0.1",
                "Receiver info: ReceiverInfo { addr: [90, 1, 2, 3, 4, 5], version: SemVer { "
                "major: 2, minor: 0, patch: 1 } }"}));
  // Interfaces 1 and 2 first; the report interface only once the receiver has answered.
  const auto history = kit.state().history;
  ASSERT_GE(history.size(), 4u) << fmt::format("{}", fmt::join(history, ", "));
  EXPECT_EQ(std::vector<std::string>(history.begin(), history.begin() + 4),
            (std::vector<std::string>{"claim 1", "claim 2", "GetInfo", "claim 0"}));
}

TEST_F(Open, AReceiverOutsideTheFirmwareRequirementOpensWithAWarning) {
  struct Case {
    protocol::SemVer version;
    std::optional<std::string> warning;
  };
  const std::vector<Case> cases{
      {{2, 1, 0}, "Receiver has incompatible version Version { major: 2, minor: 1, patch: 0 }"},
      {{1, 9, 9}, "Receiver has incompatible version Version { major: 1, minor: 9, patch: 9 }"},
      {{2, 0, 9}, std::nullopt},
  };
  for (const auto& c : cases) {
    log::capture().clear();
    simulator::Scenario scenario;
    scenario.receiver_version = c.version;
    KitDriver kit(scenario, fast_timeouts(), test_name() + fmt::format("{}", c.version));
    ASSERT_TRUE(kit.driver) << fmt::format("{}", c.version);
    const auto records = log::capture().records();
    const bool warned = std::any_of(records.begin(), records.end(), [](const auto& r) {
      return r.level == log::Level::Warn &&
             r.message.starts_with("Receiver has incompatible version");
    });
    EXPECT_EQ(warned, c.warning.has_value());
    if (c.warning) {
      EXPECT_TRUE(logged(log::kHostTarget, *c.warning));
    }
  }
}

TEST_F(Open, UnansweredGetInfoTimesOutWithoutTouchingTheReportStream) {
  simulator::Scenario scenario;
  scenario.silent = {"GetInfo"};
  simulator::VirtualKitBackend backend(test_name(), scenario);
  auto keep_plugged = backend.list_devices();  // holds the kit so its history stays readable
  auto device = open_receiver(backend);
  ASSERT_TRUE(device.has_value());
  auto opened = run(Driver::open(std::move(*device), fast_timeouts()));
  ASSERT_FALSE(opened.has_value());
  EXPECT_EQ(opened.error(), DriverError::response_timeout());
  EXPECT_TRUE(backend.state()->claimed_interfaces.empty())
      << "a failed open leaves nothing claimed, so that opening again succeeds at once";
  EXPECT_EQ(backend.state()->pending_transfers, 0u);
  auto history = backend.state()->history;
  std::sort(history.begin() + 3, history.end());  // the two releases come in either order
  EXPECT_EQ(history,
            (std::vector<std::string>{"claim 1", "claim 2", "GetInfo", "release 1", "release 2"}))
      << "the report interface is never claimed";
}

TEST_F(Open, ABusyInterfaceFailsAsSerialPortErrorWithNothingLeftClaimed) {
  simulator::VirtualKitBackend backend(test_name(), {});
  auto squatter_devices = backend.list_devices();
  auto squatter = squatter_devices->front()->open().value()->claim_interface(2);
  ASSERT_TRUE(squatter.has_value());
  auto device = open_receiver(backend);
  auto opened = run(Driver::open(std::move(*device), fast_timeouts()));
  ASSERT_FALSE(opened.has_value());
  EXPECT_EQ(opened.error().kind(), DriverError::Kind::SerialPortError);
  EXPECT_EQ(opened.error().message(), "serial port error: Device or resource busy");
  EXPECT_EQ(backend.state()->claimed_interfaces, (std::vector<std::uint8_t>{2}))
      << "interface 1 was released again";
}

TEST_F(Open, NoReceiverInTheListIsNotFound) {
  simulator::Scenario scenario;
  scenario.present = false;
  simulator::VirtualKitBackend backend(test_name(), scenario);
  auto device = open_receiver(backend);
  ASSERT_FALSE(device.has_value());
  EXPECT_TRUE(std::holds_alternative<ReceiverNotFound>(device.error()));
}

}  // namespace
}  // namespace sorvel
