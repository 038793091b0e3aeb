// The kit as a USB device: claims, pending transfers, scripted faults, unplug, identity by key.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <thread>

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

TEST(KitDevice, AnActionInFlightHoldsItsCommandUntilTheResponsesAreRead) {
  auto scenario = parse_scenario(R"({
    "script": [
      {"on": "Calibrate", "in_flight": true, "response": "0A"},
      {"on": "Calibrate", "in_flight": true, "response": "0B"},
      {"on": "Go", "in_flight": true, "unplug": true}
    ]})");
  ASSERT_TRUE(scenario.has_value()) << scenario.error();
  OpenKit kit(*scenario);
  // Calibrate gets no answer of its own: the scripted responses are all there is to read.
  const auto calibrate = protocol::command_transfer(cmd::Calibrate{});
  auto promise = std::make_shared<std::promise<usb::TransferResult>>();
  auto sent = promise->get_future();
  kit.commands->submit_out(0x01, {calibrate.begin(), calibrate.end()},
                           [promise](usb::TransferResult result) { promise->set_value(result); });
  EXPECT_EQ(read(*kit.commands, 0x82, 63).data, (Bytes{0x0A}));
  EXPECT_EQ(sent.wait_for(20ms), std::future_status::timeout) << "one response is still unread";
  EXPECT_EQ(read(*kit.commands, 0x82, 63).data, (Bytes{0x0B}));
  EXPECT_TRUE(wait(sent).ok());

  // Pulled out while Go was on its way: the command itself fails.
  EXPECT_EQ(send(*kit.commands, cmd::Go{}).error, TransferError::Disconnected);
  EXPECT_FALSE(kit.backend->state()->present);
  EXPECT_EQ(kit.backend->state()->history.back(), "Go");
}

TEST(KitDevice, AHeldCommandEndsWhenCancelledOrUnplugged) {
  auto scenario = parse_scenario(R"({"script": [{"on": "Calibrate", "in_flight": true,
                                                 "response": "0A"}]})");
  ASSERT_TRUE(scenario.has_value()) << scenario.error();
  OpenKit kit(*scenario);
  const auto calibrate = protocol::command_transfer(cmd::Calibrate{});
  // Held once the kit has taken it: it is in the history before its transfer completes.
  auto held = [&](std::size_t count) {
    const auto end = std::chrono::steady_clock::now() + kPatience;
    for (;;) {
      const auto history = kit.backend->state()->history;
      if (static_cast<std::size_t>(std::count(history.begin(), history.end(), "Calibrate")) ==
          count) {
        return true;
      }
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(1ms);
    }
  };
  auto submit = [&](std::shared_ptr<usb::PendingTransfer>* handle) {
    auto promise = std::make_shared<std::promise<usb::TransferResult>>();
    auto future = promise->get_future();
    *handle = kit.commands->submit_out(
        0x01, {calibrate.begin(), calibrate.end()},
        [promise](usb::TransferResult result) { promise->set_value(result); });
    return future;
  };
  std::shared_ptr<usb::PendingTransfer> handle;
  auto cancelled = submit(&handle);
  ASSERT_TRUE(held(1));
  handle->cancel();
  EXPECT_EQ(wait(cancelled).error, TransferError::Cancelled);

  // The first response is still unread, so the second Calibrate is held as well.
  auto unplugged = submit(&handle);
  ASSERT_TRUE(held(2));
  kit.backend->unplug();
  EXPECT_EQ(wait(unplugged).error, TransferError::Disconnected);
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
