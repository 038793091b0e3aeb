// The registry of virtual kits: one kit per key while held, nothing left once let go.

#include <gtest/gtest.h>

#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "kit_harness.hpp"

namespace sorvel::simulator {
namespace {

using namespace testing;

TEST(KitRegistry, KitsNobodyHoldsLeaveNothing) {
  for (int i = 0; i < 200; ++i) {
    const std::string key = "registry scenario " + std::to_string(i);
    {
      OpenKit kit({}, key);
      // Dropped with a read in flight, as a driver going away mid-stream does.
      auto pending = submit_in(*kit.commands, 0x82, 63);
      ASSERT_EQ(registered_kit_count(), 1u);
      ASSERT_TRUE(kit.backend->state().has_value());
      kit.device.reset();
      kit.commands.reset();
      kit.auxiliary.reset();
      EXPECT_EQ(wait(pending).error, TransferError::Cancelled);
      // Looking for a kit that is gone must not register one either.
      EXPECT_FALSE(kit.backend->state().has_value());
    }
    // Listed but never opened: the device list held the only handle.
    VirtualKitBackend listed(key + " listed", {});
    EXPECT_EQ(listed.list_devices()->size(), 1u);
  }
  EXPECT_EQ(registered_kit_count(), 0u);
}

TEST(KitRegistry, ConcurrentUsersOfOneKeyShareItsKitAndLeaveNothing) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 300;
  std::latch start(kThreads);
  std::vector<std::thread> users;
  for (int t = 0; t < kThreads; ++t) {
    users.emplace_back([&start] {
      start.arrive_and_wait();
      for (int round = 0; round < kRounds; ++round) {
        VirtualKitBackend backend("one key for every thread", {});
        auto devices = backend.list_devices();
        ASSERT_EQ(devices->size(), 1u);
        auto device = devices->front()->open();
        ASSERT_TRUE(device.has_value());
        // While this thread holds the kit, its entry must stay, whoever dropped one before.
        EXPECT_TRUE(backend.state().has_value());
      }
    });
  }
  for (auto& user : users) user.join();
  EXPECT_EQ(registered_kit_count(), 0u);
}

}  // namespace
}  // namespace sorvel::simulator
