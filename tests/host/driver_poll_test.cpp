// Polls that keep a cache between them: they follow re-pairings and status changes exactly as
// fresh polls do, and every poll and status call is refused on a runtime thread.
#include "host_harness.hpp"

#include <atomic>
#include <string>
#include <vector>

namespace sorvel {
namespace {

using namespace testing;

/// One poll through `cache`: the frames, or why there are none.
Expected<PollResult, PollFailure> poll_with(Driver& driver, Driver::PollCache& cache) {
  PollResult frames;
  auto add = [&](const TrackerFrame& frame, bool fresh) { frames.emplace_back(frame, fresh); };
  FrameVisitor visitor(add);
  auto polled = driver.poll_each(cache, visitor);
  EXPECT_TRUE(polled.has_value());
  if (!*polled) return unexpected(polled->error());
  return frames;
}

TEST(DriverPoll, AKeptCacheSeesEveryStateAndPairingAFreshPollSees) {
  simulator::Scenario scenario;
  scenario.rate_hz = 200;
  KitDriver kit(scenario);
  Driver::PollCache cache;
  // Each step's poll through the kept cache must match a fresh poll's shape right after it.
  auto check = [&](const std::string& step, std::optional<std::size_t> trackers,
                   std::optional<PollFailure> failure) {
    const auto kept = poll_with(*kit.driver, cache);
    const auto fresh = kit.poll();
    if (failure) {
      ASSERT_FALSE(kept.has_value()) << step;
      EXPECT_EQ(kept.error(), *failure) << step;
      EXPECT_EQ(fresh.error(), *failure) << step;
    } else {
      ASSERT_TRUE(kept.has_value()) << step;
      EXPECT_EQ(kept->size(), *trackers) << step;
      EXPECT_EQ(fresh->size(), *trackers) << step;
    }
  };
  check("opened", std::nullopt, PollFailure::NotConnected);
  ASSERT_TRUE(kit.connect({BodyPart::Head}).has_value());
  check("connected", std::nullopt, PollFailure::NotStarted);
  ASSERT_TRUE(kit.start().has_value());
  check("started", 1, std::nullopt);
  const std::uint64_t first_generation = cache.generation();

  ASSERT_TRUE(kit.connect({BodyPart::Head, BodyPart::Hips, BodyPart::Chest}).has_value());
  check("paired again", std::nullopt, PollFailure::NotStarted);
  ASSERT_TRUE(kit.start().has_value());
  check("started again", 3, std::nullopt);
  EXPECT_NE(cache.generation(), first_generation) << "the cache moved to the new set";
  const std::uint64_t second_generation = cache.generation();
  check("unchanged", 3, std::nullopt);
  EXPECT_EQ(cache.generation(), second_generation);
}

TEST(DriverPoll, StatusAndPollAreRefusedOnARuntimeThread) {
  KitDriver kit;
  ASSERT_TRUE(kit.connect({BodyPart::Head}).has_value());
  ASSERT_TRUE(kit.start().has_value());
  auto on_runtime =
      [](std::shared_ptr<Driver> driver) -> asio::awaitable<std::vector<std::string>> {
    std::vector<std::string> errors;
    auto status = driver->status();
    errors.push_back(status ? "status answered" : status.error().message);
    auto polled = driver->poll();
    errors.push_back(polled ? "poll answered" : polled.error().message);
    Driver::PollCache cache;
    auto nothing = [](const TrackerFrame&, bool) {};
    FrameVisitor visitor(nothing);
    auto each = driver->poll_each(cache, visitor);
    errors.push_back(each ? "poll_each answered" : each.error().message);
    co_return errors;
  };
  const std::string refused(runtime::kBlockingInRuntimeMessage);
  EXPECT_EQ(run(on_runtime(kit.driver)), (std::vector<std::string>{refused, refused, refused}));
  EXPECT_EQ(kit.status(), "reporting data") << "off the runtime the same calls answer";
}

// Polls through one kept cache while another thread re-pairs: no race (see the thread
// sanitizer run), and once the pairings stop the cache lists the last one's trackers.
TEST(DriverPoll, AKeptCacheFollowsRePairingsUnderLoad) {
  simulator::Scenario scenario;
  scenario.rate_hz = 1000;
  KitDriver kit(scenario);
  const std::vector<BodyPart> small{BodyPart::Head};
  const std::vector<BodyPart> large{BodyPart::Head, BodyPart::Hips, BodyPart::Chest};
  ASSERT_TRUE(kit.connect(large).has_value());
  ASSERT_TRUE(kit.start().has_value());

  std::atomic<bool> stop{false};
  std::atomic<int> polls{0};
  std::atomic<std::size_t> last_size{0};
  std::thread poller([&] {
    Driver::PollCache cache;
    while (!stop) {
      const auto polled = poll_with(*kit.driver, cache);
      if (!polled) continue;  // between a re-pairing and its start
      ++polls;
      last_size = polled->size();
    }
  });
  for (int i = 0; i < 4; ++i) {
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(kit.connect(i % 2 == 0 ? small : large).has_value());
    EXPECT_TRUE(kit.start().has_value());
  }
  ASSERT_TRUE(kit.connect(small).has_value());
  ASSERT_TRUE(kit.start().has_value());
  const int polls_before = polls.load();
  EXPECT_TRUE(eventually([&] { return polls.load() > polls_before + 10; }));
  stop = true;
  poller.join();
  EXPECT_EQ(last_size.load(), small.size());
}

}  // namespace
}  // namespace sorvel
