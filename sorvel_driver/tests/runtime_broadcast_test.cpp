#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>

#include "sorvel/driver/runtime/broadcast.hpp"
#include "sorvel/driver/runtime/task.hpp"
#include "sorvel/driver/runtime/with_timeout.hpp"

namespace sorvel::runtime {
namespace {

using namespace std::chrono_literals;
using Received = Expected<int, RecvError>;

asio::awaitable<Received> recv(BroadcastReceiver<int>* rx) {
  co_return co_await rx->recv();
}

// What a receive gets without waiting: nothing when it would have to park (it is then
// cancelled, so no coroutine outlives the local context).
std::optional<Received> recv_now(BroadcastReceiver<int>& rx) {
  asio::io_context ctx;
  auto task = spawn(ctx.get_executor(), recv(&rx));
  ctx.poll();
  if (!task.finished()) {
    task.cancel();
    ctx.poll();
    if (!task.finished()) return std::nullopt;
  }
  auto outcome = task.wait();
  if (!outcome) return std::nullopt;
  return std::move(outcome).value();
}

std::vector<Received> drain(BroadcastReceiver<int>& rx, std::size_t n) {
  std::vector<Received> got;
  for (std::size_t i = 0; i < n; ++i) got.push_back(recv_now(rx).value_or(-1));
  return got;
}

Received lagged(std::uint64_t missed) {
  return unexpected(RecvError::lagged(missed));
}

const Received kClosed = unexpected(RecvError::closed());

TEST(Broadcast, ReceiverSeesOnlyLaterMessagesInOrder) {
  auto [tx, first] = make_broadcast<int>();
  EXPECT_EQ(tx.send(1), (Expected<std::size_t, SendError<int>>(1u)));
  auto second = tx.subscribe();
  EXPECT_EQ(tx.send(2), (Expected<std::size_t, SendError<int>>(2u)));
  tx.send(3).value();
  EXPECT_EQ(drain(first, 3), (std::vector<Received>{1, 2, 3}));
  EXPECT_EQ(drain(second, 2), (std::vector<Received>{2, 3}));
  EXPECT_FALSE(recv_now(second)) << "nothing more was sent, yet a message arrived";
}

TEST(Broadcast, LaggingReceiverIsToldHowManyItMissedThenContinues) {
  struct Case {
    std::optional<std::size_t> capacity;  // empty: the default
    int sent;
    std::vector<Received> expected;
  };
  const std::vector<Case> cases{
      {std::nullopt, 32, {0, 1}},
      {std::nullopt, 33, {lagged(1), 1, 2}},
      {4, 10, {lagged(6), 6, 7, 8, 9}},
      {1, 3, {lagged(2), 2}},
  };
  for (const auto& c : cases) {
    auto [tx, rx] = c.capacity ? make_broadcast<int>(*c.capacity) : make_broadcast<int>();
    for (int i = 0; i < c.sent; ++i) tx.send(i).value();
    EXPECT_EQ(drain(rx, c.expected.size()), c.expected) << c.sent << " sent";
  }
  EXPECT_EQ(fmt::format("{} {}", RecvError::lagged(3), RecvError::closed()), "Lagged(3) Closed");
}

TEST(Broadcast, SendWithoutReceiverFailsAtOnceAndReturnsTheValue) {
  BroadcastSender<std::string> tx;
  auto lonely = tx.send("GetInfo");
  ASSERT_FALSE(lonely);
  EXPECT_EQ(lonely.error().value, "GetInfo");
  EXPECT_EQ(fmt::format("error sending to response channel: {}", lonely.error()),
            "error sending to response channel: SendError { .. }");

  std::optional<BroadcastReceiver<std::string>> rx = tx.subscribe();
  EXPECT_TRUE(tx.send("Ok"));
  rx.reset();
  EXPECT_EQ(tx.receiver_count(), 0u);
  EXPECT_FALSE(tx.send("late"));
}

TEST(Broadcast, ReceiversDrainThenSeeClosed) {
  for (const bool explicit_close : {false, true}) {
    std::optional<BroadcastSender<int>> tx(std::in_place);
    std::optional<BroadcastSender<int>> copy = *tx;
    auto rx = tx->subscribe();
    tx->send(1).value();
    if (explicit_close) {
      copy->close();
      EXPECT_FALSE(tx->send(2)) << "a closed channel accepted a message";
    } else {
      tx.reset();
      EXPECT_TRUE(copy->send(2)) << "closed although a sender was left";
      copy.reset();
    }
    const std::vector<Received> expected = explicit_close
                                               ? std::vector<Received>{1, kClosed, kClosed}
                                               : std::vector<Received>{1, 2, kClosed, kClosed};
    EXPECT_EQ(drain(rx, expected.size()), expected) << explicit_close;
  }
}

TEST(Broadcast, ParkedReceiverIsWokenByClose) {
  asio::io_context ctx;
  auto [tx, rx] = make_broadcast<int>();
  auto pending = spawn(ctx.get_executor(), recv(&rx));
  ctx.poll();
  EXPECT_FALSE(pending.finished());
  tx.close();
  ctx.poll();
  ASSERT_TRUE(pending.finished());
  EXPECT_EQ(pending.wait(), Task<Received>::Result(kClosed));
}

asio::awaitable<std::optional<Received>> recv_within(BroadcastReceiver<int>* rx,
                                                     std::chrono::milliseconds timeout) {
  co_return co_await with_timeout(rx->recv(), timeout);
}

std::optional<Received> timed_recv(BroadcastReceiver<int>& rx, std::chrono::milliseconds timeout) {
  asio::io_context ctx;
  auto task = spawn(ctx.get_executor(), recv_within(&rx, timeout));
  ctx.run();  // ends only once both the receive and the timer are done
  auto outcome = task.wait();
  return outcome ? *outcome : std::nullopt;
}

TEST(Broadcast, TimedOutRecvLeavesTheReceiverUsable) {
  auto [tx, rx] = make_broadcast<int>();
  EXPECT_EQ(timed_recv(rx, 0ms), std::nullopt);
  tx.send(7).value();
  EXPECT_EQ(timed_recv(rx, std::chrono::milliseconds(1h)), Received(7));
}

asio::awaitable<std::size_t> first_of(BroadcastReceiver<int>* a, BroadcastReceiver<int>* b) {
  using namespace asio::experimental::awaitable_operators;
  co_return (co_await (a->recv() || b->recv())).index();
}

TEST(Broadcast, RecvCancelledAfterItWasWokenLeavesTheMessage) {
  // Both receives are woken, b's first: b wins and a's receive is cancelled after its wake-up
  // was already on its way. a's message must still be there.
  auto [tx_a, rx_a] = make_broadcast<int>();
  auto [tx_b, rx_b] = make_broadcast<int>();
  asio::io_context ctx;
  auto race = spawn(ctx.get_executor(), first_of(&rx_a, &rx_b));
  ctx.poll();
  tx_b.send(1).value();
  tx_a.send(2).value();
  ctx.poll();
  ASSERT_TRUE(race.finished());
  EXPECT_EQ(race.wait(), Task<std::size_t>::Result(1u));
  EXPECT_EQ(recv_now(rx_a), Received(2));
}

}  // namespace
}  // namespace sorvel::runtime
