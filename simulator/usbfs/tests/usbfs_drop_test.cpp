// Dropping a driver through libusb while its transfers are in flight.
#include <sched.h>

#include <future>

#include "usbfs_harness.hpp"

namespace sorvel {
namespace {

using namespace testing;

simulator::Scenario fast_head() {
  simulator::Scenario scenario;
  scenario.rate_hz = 1000;
  scenario.trackers.resize(1);
  scenario.trackers[0].body_part = BodyPart::Head;
  return scenario;
}

TEST(UsbfsDrop, DroppingWithTransfersInFlightDiscardsThemAndReleasesTheReceiver) {
  UsbfsDriver kit(fast_head());
  ASSERT_TRUE(kit.connect({BodyPart::Head}).has_value());
  ASSERT_TRUE(kit.start().has_value());
  ASSERT_TRUE(eventually([&] { return kit.poll()->at(0).second; }));
  ASSERT_GE(kit.state().pending_transfers, 1u);

  kit.driver.reset();
  // Every URB is discarded and reaped and every interface released; the file closes last.
  EXPECT_TRUE(eventually([&] {
    const auto state = kit.state();
    return state.claimed_interfaces.empty() && state.pending_transfers == 0;
  })) << kit.state().claimed_interfaces.size()
      << " claimed, " << kit.state().pending_transfers << " pending";
  auto reopened = kit.open();
  ASSERT_TRUE(reopened.has_value()) << reopened.error().debug();
  EXPECT_TRUE(run((*reopened)->connect({BodyPart::Head})).has_value());
}

asio::awaitable<void> let_go(std::shared_ptr<Driver> driver) {
  driver.reset();
  co_return;
}

TEST(UsbfsDrop, AHundredDropsAndReopensOnOneCpuNeverHang) {
  // One CPU makes the last reference most often go inside libusb's callback.
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(0, &one);
  ASSERT_EQ(::sched_setaffinity(0, sizeof(one), &one), 0);
  auto receiver = bus().plug(fast_head());
  auto backend = libusb_backend();
  for (int cycle = 0; cycle < 100; ++cycle) {
    auto done = std::async(std::launch::async, [&] {
      auto device = open_receiver(*backend);
      if (!device) return std::string("not opened");
      auto driver = run(Driver::open(std::move(*device), fast_timeouts()));
      if (!driver) return driver.error().debug();
      if (!run((*driver)->connect({BodyPart::Head}))) return std::string("not paired");
      if (!run((*driver)->start())) return std::string("not started");
      if (cycle % 2 == 1) {
        // As when an awaitable outlives the Python object: the last holder is a runtime worker,
        // which cannot wait for the readers, so the transfers end after the session.
        (void)runtime::spawn(let_go(std::move(*driver))).wait();
        if (!eventually([&] { return receiver->state().claimed_interfaces.empty(); })) {
          return std::string("still claimed");
        }
      }
      return std::string();
    });
    if (done.wait_for(10s) != std::future_status::ready) {
      ADD_FAILURE() << "cycle " << cycle << " is stuck";
      std::quick_exit(1);  // the stuck threads cannot be joined
    }
    ASSERT_EQ(done.get(), "") << "cycle " << cycle;
  }
}

}  // namespace
}  // namespace sorvel
