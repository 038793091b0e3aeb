#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sorvel/driver/runtime/broadcast.hpp"
#include "sorvel/driver/runtime/task.hpp"

namespace sorvel::runtime {
namespace {

struct Tally {
  std::uint64_t received = 0;
  std::uint64_t missed = 0;
  std::uint64_t out_of_order = 0;
};

// Receives until Closed, checking that every message is the one expected after the lags.
asio::awaitable<Tally> consume(BroadcastReceiver<std::uint64_t> rx) {
  Tally tally;
  std::uint64_t expected = 0;
  for (;;) {
    auto message = co_await rx.recv();
    if (message) {
      if (*message != expected) ++tally.out_of_order;
      expected = *message + 1;
      ++tally.received;
    } else if (message.error().kind == RecvError::Kind::Lagged) {
      tally.missed += message.error().missed;
      expected += message.error().missed;
    } else {
      co_return tally;
    }
  }
}

TEST(BroadcastStress, OneSenderThreadManyReceiversOnTheRuntime) {
  constexpr std::uint64_t kMessages = 20000;
  constexpr int kReceivers = 4;
  BroadcastSender<std::uint64_t> tx;
  std::vector<Task<Tally>> consumers;
  for (int i = 0; i < kReceivers; ++i) consumers.push_back(spawn(consume(tx.subscribe())));
  for (std::uint64_t i = 0; i < kMessages; ++i) ASSERT_TRUE(tx.send(i));
  tx.close();
  for (auto& consumer : consumers) {
    auto tally = consumer.wait();
    ASSERT_TRUE(tally);
    EXPECT_EQ(tally->received + tally->missed, kMessages);
    EXPECT_EQ(tally->out_of_order, 0u);
    EXPECT_GT(tally->received, 0u);
  }
}

}  // namespace
}  // namespace sorvel::runtime
