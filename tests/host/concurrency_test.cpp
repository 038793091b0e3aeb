// Streaming at a high rate while several threads poll and one re-pairs: no race, no deadlock,
// and each poller sees every tracker's fresh frames in arrival order.
#include "host_harness.hpp"

#include <atomic>
#include <map>

namespace sorvel {
namespace {

using namespace testing;

TEST(Concurrency, PollersAndARePairingShareOneStreamingDriver) {
  simulator::Scenario scenario;
  scenario.rate_hz = 1000;
  KitDriver kit(scenario);
  const std::vector<BodyPart> group{BodyPart::Head, BodyPart::Hips, BodyPart::Chest,
                                    BodyPart::LeftFoot};
  ASSERT_TRUE(kit.connect(group).has_value());
  ASSERT_TRUE(kit.start().has_value());

  std::atomic<bool> stop{false};
  std::atomic<int> fresh_frames{0};
  std::atomic<int> out_of_order{0};
  std::vector<std::thread> pollers;
  for (int t = 0; t < 3; ++t) {
    pollers.emplace_back([&] {
      std::map<BodyPart, std::uint64_t> last;  // sample number of the last fresh frame
      while (!stop) {
        auto frames = kit.driver->poll();
        if (!frames || !*frames) continue;  // between a re-pairing and its start
        for (const auto& [frame, fresh] : **frames) {
          if (!fresh) continue;
          ++fresh_frames;
          auto [it, first] = last.emplace(frame.body_part, frame.value_b);
          if (!first) {
            if (frame.value_b <= it->second) ++out_of_order;
            it->second = frame.value_b;
          }
        }
      }
    });
  }
  std::thread repairer([&] {
    for (int i = 0; i < 3; ++i) {
      std::this_thread::sleep_for(50ms);
      EXPECT_TRUE(kit.connect(group).has_value());
      EXPECT_TRUE(kit.start().has_value());
    }
  });
  repairer.join();
  std::this_thread::sleep_for(50ms);
  stop = true;
  for (auto& poller : pollers) poller.join();

  EXPECT_GT(fresh_frames.load(), 100);
  EXPECT_EQ(out_of_order.load(), 0);
  EXPECT_EQ(kit.status(), "reporting data");
}

}  // namespace
}  // namespace sorvel
