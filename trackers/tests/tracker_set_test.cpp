#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sorvel/log/capture.hpp"
#include "sorvel/trackers/tracker_set.hpp"

namespace sorvel {
namespace {

TrackerFrame numbered(std::uint64_t n) {
  TrackerFrame frame;
  frame.value_a = n;
  frame.accuracy = static_cast<std::uint16_t>(n);
  frame.validity = 0;
  return frame;
}

using Fresh = std::pair<TrackerFrame, bool>;

class TrackerSetTest : public ::testing::Test {
 protected:
  void SetUp() override { log::capture().clear(); }

  TrackerSet build(const std::map<TrackerAddress, BodyPart>& paired) {
    return TrackerSet::build(paired, table_, connected_);
  }

  RoutingTable table_;
  std::shared_ptr<std::atomic<bool>> connected_ = std::make_shared<std::atomic<bool>>(true);
};

const TrackerAddress kLow{{1, 2, 3, 4, 5, 6}};
const TrackerAddress kMid{{1, 255, 0, 0, 0, 0}};
const TrackerAddress kHigh{{2, 0, 0, 0, 0, 0}};

TEST_F(TrackerSetTest, NewSetPollsDefaultFramesAsRepeats) {
  const TrackerSet set =
      build({{kHigh, BodyPart::Head}, {kLow, BodyPart::Hips}, {kMid, BodyPart::Chest}});
  EXPECT_EQ(set.count(), 3u);
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(set.poll(), PollResult(3, Fresh{kDefaultFrame, false})) << "round " << round;
  }
}

TEST_F(TrackerSetTest, PollsDrainTheQueueThenRepeatTheNewestFrame) {
  struct Case {
    std::uint64_t frames;
    std::vector<Fresh> polls;
  };
  const std::vector<Case> cases{
      {1, {{numbered(1), true}, {numbered(1), false}}},
      {5,
       {{numbered(2), true},
        {numbered(3), true},
        {numbered(4), true},
        {numbered(5), true},
        {numbered(5), false},
        {numbered(5), false}}},
      {6,
       {{numbered(3), true},
        {numbered(4), true},
        {numbered(5), true},
        {numbered(6), true},
        {numbered(6), false}}},
  };
  for (const Case& c : cases) {
    RoutingTable table;
    const TrackerSet set = TrackerSet::build({{kLow, BodyPart::LeftFoot}}, table, connected_);
    for (std::uint64_t n = 1; n <= c.frames; ++n) {
      ASSERT_TRUE(table.route(BodyPart::LeftFoot, numbered(n)));
    }
    for (std::size_t i = 0; i < c.polls.size(); ++i) {
      EXPECT_EQ(set.poll(), PollResult{c.polls[i]}) << c.frames << " frames, poll " << i;
    }
  }
}

TEST_F(TrackerSetTest, EachTrackerDrainsOnItsOwn) {
  const TrackerSet set = build({{kLow, BodyPart::Head}, {kHigh, BodyPart::Hips}});
  table_.route(BodyPart::Hips, numbered(7));
  table_.route(BodyPart::Hips, numbered(8));
  EXPECT_EQ(set.poll(), (PollResult{{kDefaultFrame, false}, {numbered(7), true}}));
  table_.route(BodyPart::Head, numbered(9));
  EXPECT_EQ(set.poll(), (PollResult{{numbered(9), true}, {numbered(8), true}}));
  EXPECT_EQ(set.poll(), (PollResult{{numbered(9), false}, {numbered(8), false}}));
}

TEST_F(TrackerSetTest, LostReceiverPollsNothingAndLeavesTheQueueAlone) {
  const TrackerSet set = build({{kLow, BodyPart::Head}});
  table_.route(BodyPart::Head, numbered(1));
  connected_->store(false);
  EXPECT_EQ(set.poll(), std::nullopt);
  EXPECT_EQ(set.poll(), std::nullopt);
  connected_->store(true);
  EXPECT_EQ(set.poll(), PollResult{Fresh(numbered(1), true)}) << "a refused poll took a frame";
}

TEST_F(TrackerSetTest, EntriesFollowAscendingAddressOrder) {
  // Inserted high to low; entries, addresses and poll results all come out low to high.
  std::map<TrackerAddress, BodyPart> paired;
  paired.emplace(kHigh, BodyPart::RightFoot);
  paired.emplace(kMid, BodyPart::LeftLowerArm);
  paired.emplace(kLow, BodyPart::Chest);
  const TrackerSet set = build(paired);

  EXPECT_EQ(set.addresses(), (std::vector<TrackerAddress>{kLow, kMid, kHigh}));
  ASSERT_EQ(set.entries().size(), 3u);
  table_.route(BodyPart::Chest, numbered(100));
  table_.route(BodyPart::LeftLowerArm, numbered(200));
  table_.route(BodyPart::RightFoot, numbered(300));
  EXPECT_EQ(set.poll(),
            (PollResult{{numbered(100), true}, {numbered(200), true}, {numbered(300), true}}));

  ASSERT_EQ(set.handles().size(), 3u);
  EXPECT_EQ(set.handles().at(kMid).body_part, BodyPart::LeftLowerArm);
  EXPECT_EQ(set.handles().at(kMid).address, kMid);
  EXPECT_EQ(set.handles().at(kMid).entry.queue, set.entries()[1].queue);
}

TEST_F(TrackerSetTest, TwoTrackersOnOneBodyPartBothGetEntriesTheHigherAddressTheSlot) {
  const TrackerSet set = build({{kHigh, BodyPart::Head}, {kLow, BodyPart::Head}});
  ASSERT_EQ(set.entries().size(), 2u);
  EXPECT_EQ(set.count(), 2u);
  ASSERT_TRUE(table_.slot(BodyPart::Head).has_value());
  EXPECT_EQ(table_.slot(BodyPart::Head)->queue, set.entries()[1].queue);
  EXPECT_EQ(table_.slot(BodyPart::Head)->latest, set.entries()[1].latest);

  table_.route(BodyPart::Head, numbered(4));
  EXPECT_EQ(set.poll(), (PollResult{{kDefaultFrame, false}, {numbered(4), true}}));
}

TEST_F(TrackerSetTest, LogsAddedDriverPerTrackerInAddressOrder) {
  const TrackerSet set = build({{kHigh, BodyPart::Head},
                                {TrackerAddress{{16, 0, 0, 0, 0, 5}}, BodyPart::Hips},
                                {kLow, BodyPart::Chest}});
  EXPECT_EQ(log::capture().records(),
            (std::vector<log::CapturedRecord>{
                {log::Level::Info, "trackers", "Added driver: [1, 2, 3, 4, 5, 6]"},
                {log::Level::Info, "trackers", "Added driver: [2, 0, 0, 0, 0, 0]"},
                {log::Level::Info, "trackers", "Added driver: [16, 0, 0, 0, 0, 5]"},
            }));
}

TEST_F(TrackerSetTest, ALaterPairingTakesOverTheSlotAndTheOldSetStopsReceiving) {
  const TrackerSet first = build({{kLow, BodyPart::Head}, {kMid, BodyPart::Hips}});
  const TrackerSet second = build({{kHigh, BodyPart::Head}});
  table_.route(BodyPart::Head, numbered(1));
  table_.route(BodyPart::Hips, numbered(2));
  EXPECT_EQ(first.poll(), (PollResult{{kDefaultFrame, false}, {numbered(2), true}}))
      << "Hips was not re-paired, so its slot still feeds the first set";
  EXPECT_EQ(second.poll(), PollResult{Fresh(numbered(1), true)});
}

/// Keeps the version of every repeat it is shown, as a poller that keeps its results does, and
/// notes each call: entry, fresh, whether a frame came with it, and the frame it now shows.
class KeepingVisitor {
 public:
  struct Call {
    std::size_t index;
    bool fresh;
    bool copied;
    TrackerFrame shows;
    bool operator==(const Call&) const = default;
  };

  void fresh(std::size_t index, const TrackerFrame& frame) {
    grow(index);
    known_[index] = LatestFrame::kNoVersion;  // it shows a queued frame, not the cell's
    shows_[index] = frame;
    calls.push_back({index, true, true, frame});
  }
  std::uint64_t known_version(std::size_t index) {
    grow(index);
    return known_[index];
  }
  void repeated(std::size_t index, std::uint64_t version, const TrackerFrame* frame) {
    if (frame != nullptr) shows_[index] = *frame;
    known_[index] = version;
    calls.push_back({index, false, frame != nullptr, shows_[index]});
  }

  std::vector<Call> calls;

 private:
  void grow(std::size_t index) {
    if (index >= known_.size()) {
      known_.resize(index + 1, LatestFrame::kNoVersion);
      shows_.resize(index + 1);
    }
  }
  std::vector<std::uint64_t> known_;
  std::vector<TrackerFrame> shows_;
};

TEST_F(TrackerSetTest, AKeepingPollerIsHandedOnlyTheFramesItDoesNotHold) {
  using Call = KeepingVisitor::Call;
  const TrackerSet set = build({{kLow, BodyPart::Head}, {kHigh, BodyPart::Hips}});
  struct Step {
    std::vector<std::pair<BodyPart, std::uint64_t>> routed;  // before the poll
    std::vector<Call> calls;
  };
  const std::vector<Step> steps{
      {{}, {{0, false, true, kDefaultFrame}, {1, false, true, kDefaultFrame}}},
      {{}, {{0, false, false, kDefaultFrame}, {1, false, false, kDefaultFrame}}},
      {{{BodyPart::Hips, 1}, {BodyPart::Hips, 2}},
       {{0, false, false, kDefaultFrame}, {1, true, true, numbered(1)}}},
      {{}, {{0, false, false, kDefaultFrame}, {1, true, true, numbered(2)}}},
      // The cell holds the frame last taken from the queue; the poller has not seen it there yet.
      {{}, {{0, false, false, kDefaultFrame}, {1, false, true, numbered(2)}}},
      {{}, {{0, false, false, kDefaultFrame}, {1, false, false, numbered(2)}}},
      {{{BodyPart::Head, 3}}, {{0, true, true, numbered(3)}, {1, false, false, numbered(2)}}},
      {{}, {{0, false, true, numbered(3)}, {1, false, false, numbered(2)}}},
  };
  KeepingVisitor visitor;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    for (const auto& [part, n] : steps[i].routed) table_.route(part, numbered(n));
    visitor.calls.clear();
    ASSERT_TRUE(set.poll_each(visitor));
    EXPECT_EQ(visitor.calls, steps[i].calls) << "poll " << i;
  }
  connected_->store(false);
  visitor.calls.clear();
  EXPECT_FALSE(set.poll_each(visitor));
  EXPECT_TRUE(visitor.calls.empty());
}

// Pollers racing the reader: what one poller sees of a tracker never goes back in time, whether
// it pops the frame from the queue or finds the queue empty and reads the newest one.
TEST_F(TrackerSetTest, ConcurrentPollsNeverSeeAnOlderFrameAfterANewerOne) {
  const TrackerSet set = build({{kLow, BodyPart::Head}});
  constexpr std::uint64_t kFrames = 200000;
  std::atomic<bool> done{false};
  std::atomic<int> violations{0};
  std::vector<std::thread> pollers;
  for (int i = 0; i < 3; ++i) {
    pollers.emplace_back([&] {
      std::uint64_t last = 0;
      while (!done.load()) {
        const auto polled = set.poll();
        if (!polled) continue;
        const std::uint64_t seen = polled->front().first.value_a;
        if (seen < last) violations.fetch_add(1);
        last = seen;
      }
    });
  }
  for (std::uint64_t n = 1; n <= kFrames; ++n) table_.route(BodyPart::Head, numbered(n));
  done.store(true);
  for (auto& poller : pollers) poller.join();
  EXPECT_EQ(violations.load(), 0);
}

}  // namespace
}  // namespace sorvel
