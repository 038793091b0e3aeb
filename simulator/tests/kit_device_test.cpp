// The kit as a USB device: claims, pending transfers, scripted faults, unplug, identity by key.
#include <gtest/gtest.h>

#include <cerrno>

#include "kit_harness.hpp"

namespace sorvel::simulator {
namespace {

using namespace testing;
namespace cmd = protocol::command;

TEST(KitDevice, AnInterfaceIsClaimedByOneHolderAtATime) {
  OpenKit kit;
  auto again = kit.device->claim_interface(1);
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().code, EBUSY);

  // A second backend with the same key is the same physical device.
  VirtualKitBackend same(::testing::UnitTest::GetInstance()->current_test_info()->name(), {});
  auto devices = same.list_devices();
  ASSERT_EQ(devices->size(), 1u);
  auto other = devices->front()->open();
  ASSERT_TRUE(other.has_value());
  EXPECT_EQ(other.value()->claim_interface(2).error().code, EBUSY);

  kit.auxiliary.reset();
  EXPECT_TRUE(other.value()->claim_interface(2).has_value()) << "released with its last holder";
  EXPECT_EQ(kit.backend->state()->claimed_interfaces, (std::vector<std::uint8_t>{1}));

  VirtualKitBackend different("another kit", {});
  EXPECT_TRUE(different.list_devices()->front()->open().value()->claim_interface(1).has_value());
}

TEST(KitDevice, APendingReadStaysPendingUntilCancelled) {
  OpenKit kit;
  std::shared_ptr<usb::PendingTransfer> handle;
  auto future = submit_in(*kit.commands, 0x82, 63, &handle);
  EXPECT_EQ(future.wait_for(20ms), std::future_status::timeout);
  EXPECT_EQ(kit.backend->state()->pending_transfers, 1u);
  handle->cancel();
  EXPECT_EQ(wait(future).error, TransferError::Cancelled);
  EXPECT_EQ(kit.backend->state()->pending_transfers, 0u);
  handle->cancel();  // after completion: nothing happens
}

TEST(KitDevice, ScriptedActionsFireOnTheirTrigger) {
  auto scenario = parse_scenario(R"({
    "stream": {"rate_hz": 0},
    "script": [
      {"on": "Go", "report_transfers": ["534F52", "2E 00 00"]},
      {"on": "GetInfo", "response": "00 01 02"},
      {"on": "Stop", "fail": {"endpoint": 130, "status": "Stall"}},
      {"on": "Calibrate", "fail": {"endpoint": 1, "status": "Fault"}}
    ]})");
  ASSERT_TRUE(scenario.has_value()) << scenario.error();
  OpenKit kit(*scenario);
  auto reports = kit.claim_reports();

  ASSERT_TRUE(send(*kit.commands, cmd::Go{}).ok());
  EXPECT_EQ(read(*reports, 0x81, 64).data, (std::vector<std::uint8_t>{0x53, 0x4F, 0x52}));
  EXPECT_EQ(read(*reports, 0x81, 64).data, (std::vector<std::uint8_t>{0x2E, 0x00, 0x00}));

  ASSERT_TRUE(send(*kit.commands, cmd::GetInfo{}).ok());
  auto first = read(*kit.commands, 0x82, 63);
  auto second = read(*kit.commands, 0x82, 63);
  // The scripted bytes come as one transfer of their own beside the normal answer.
  std::vector<std::vector<std::uint8_t>> got{first.data, second.data};
  EXPECT_NE(std::find(got.begin(), got.end(), std::vector<std::uint8_t>{0, 1, 2}), got.end());

  ASSERT_TRUE(send(*kit.commands, cmd::Stop{}).ok());
  EXPECT_EQ(read(*kit.commands, 0x82, 63).error, TransferError::Stall);
  ASSERT_TRUE(send(*kit.commands, cmd::PowerOff{}).ok());
  EXPECT_EQ(fmt::format("{}", next_response(*kit.commands)), "PoweredOff") << "fails only once";

  ASSERT_TRUE(send(*kit.commands, cmd::Calibrate{}).ok());
  EXPECT_EQ(send(*kit.commands, cmd::PowerOff{}).error, TransferError::Fault);
  EXPECT_TRUE(send(*kit.commands, cmd::PowerOff{}).ok());
}

TEST(KitDevice, UnplugFailsEveryTransferAndAFreshKitReturnsOnceReleased) {
  auto kit = std::make_unique<OpenKit>();
  auto pending = submit_in(*kit->commands, 0x82, 63);
  kit->backend->unplug();
  EXPECT_EQ(wait(pending).error, TransferError::Disconnected);
  EXPECT_EQ(send(*kit->commands, cmd::GetInfo{}).error, TransferError::Disconnected);
  EXPECT_EQ(read(*kit->commands, 0x82, 63).error, TransferError::Disconnected);
  EXPECT_TRUE(kit->backend->list_devices()->empty()) << "an unplugged kit is not listed";
  EXPECT_EQ(kit->device->claim_interface(0).error().code, ENODEV);

  const std::string key = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  kit.reset();  // every handle gone: the next listing is a re-plugged kit
  VirtualKitBackend backend(key, {});
  auto devices = backend.list_devices();
  ASSERT_EQ(devices->size(), 1u);
  EXPECT_TRUE(backend.state()->present);
  EXPECT_TRUE(backend.state()->claimed_interfaces.empty());
}

TEST(KitDevice, AnUnplugScriptedOnOpenTakesTheKitAway) {
  auto scenario = parse_scenario(R"({"script": [{"on": "open", "delay_ms": 5, "unplug": true}]})");
  ASSERT_TRUE(scenario.has_value());
  OpenKit kit(*scenario);
  EXPECT_EQ(read(*kit.commands, 0x82, 63).error, TransferError::Disconnected);
}

TEST(KitDevice, AbsentKitListsNoDevice) {
  VirtualKitBackend backend("absent", *parse_scenario(R"({"present": false})"));
  auto devices = backend.list_devices();
  ASSERT_TRUE(devices.has_value());
  EXPECT_TRUE(devices->empty());
}

}  // namespace
}  // namespace sorvel::simulator
