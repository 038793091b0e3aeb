#pragma once
// Runs one row of the fault matrix (fault_rows.hpp) against a receiver of either USB backend:
// the driver's steps up to the one the fault strikes, then what must hold afterwards.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>
#include <variant>

#include "fault_rows.hpp"
#include "host_harness.hpp"

namespace sorvel::testing::faults {

/// How long a fault may take to show as its error, and how long status, poll and dropping the
/// driver may take afterwards.
inline constexpr auto kPrompt = std::chrono::seconds(1);
/// Past this a step is stuck for good: the process ends, as its threads cannot be joined.
inline constexpr auto kStuck = std::chrono::seconds(10);

/// One receiver of one backend, as the rows need it.
class Bench {
 public:
  virtual ~Bench() = default;
  /// The backend that lists the receiver.
  virtual usb::Backend& backend() = 0;
  virtual void unplug() = 0;
  virtual simulator::KitState state() const = 0;
  /// Whether nothing of the dropped driver holds the receiver any more: a new open of it claims
  /// every interface at once.
  virtual ::testing::AssertionResult free() { return claims_every_interface(); }

  /// Lists and opens the receiver, as a program does before `Driver::open`.
  std::shared_ptr<usb::Device> open_device() {
    auto device = open_receiver(backend());
    if (!device) {
      ADD_FAILURE() << "no receiver could be opened";
      std::abort();
    }
    return std::move(*device);
  }

 protected:
  ::testing::AssertionResult claims_every_interface() {
    auto device = open_receiver(backend());
    if (!device) return ::testing::AssertionFailure() << "the receiver cannot be opened";
    for (std::uint8_t number : {kCommandInterface, kAuxiliaryInterface, kReportInterface}) {
      if (auto claimed = (*device)->claim_interface(number); !claimed) {
        return ::testing::AssertionFailure()
               << "interface " << int(number) << ": " << claimed.error().message;
      }
    }
    return ::testing::AssertionSuccess();
  }
};

/// Runs `work` on a thread of its own and waits at most kPrompt for it; past kStuck the process
/// ends, since a stuck thread cannot be joined.
template <typename F>
auto promptly(const std::string& what, F work) -> decltype(work()) {
  auto done = std::async(std::launch::async, std::move(work));
  if (done.wait_for(kPrompt) != std::future_status::ready) {
    ADD_FAILURE() << what << " took longer than " << kPrompt.count() << " s";
    if (done.wait_for(kStuck) != std::future_status::ready) {
      std::fprintf(stderr, "%s is stuck\n", what.c_str());
      std::fflush(stdout);
      std::_Exit(1);  // no destructors: they would wait for the stuck thread
    }
  }
  return done.get();
}

/// Waits for a step spawned earlier, at most kPrompt from now.
template <typename T>
T finish(runtime::Task<T>& step, const std::string& what) {
  auto result = promptly(what, [&] { return step.wait(); });
  if (!result) {
    ADD_FAILURE() << what << ": " << fmt::format("{}", result.error());
    std::abort();
  }
  return std::move(*result);
}

inline std::size_t loss_lines() {
  return count_lines(log::kHostTarget, "Reciever is disconnected with error ");
}

/// Polls from several threads until told to stop: every poll must answer, with frames or a
/// documented failure, however the receiver fares meanwhile.
class Pollers {
 public:
  Pollers(Driver& driver, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      threads_.emplace_back([this, &driver] {
        bool failed = false;
        while (!stop_) {
          auto polled = driver.poll();
          if (!polled) {
            ++internal_errors_;
          } else if (*polled) {
            for (const auto& [frame, fresh] : **polled) fresh_ += fresh ? 1 : 0;
          } else if (!std::exchange(failed, true)) {
            ++failing_;
          }
        }
      });
    }
  }
  ~Pollers() { stop(); }

  bool saw_fresh_frames() const { return fresh_ > 0; }
  /// How many of the threads have had a poll fail.
  std::size_t failing() const { return failing_; }
  std::size_t internal_errors() const { return internal_errors_; }
  void stop() {
    stop_ = true;
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> fresh_{0};
  std::atomic<std::size_t> failing_{0};
  std::atomic<std::size_t> internal_errors_{0};
  std::vector<std::thread> threads_;
};

/// Pulls the receiver out and waits until the driver has seen it go (when it had seen it at all).
inline void pull_and_wait_for_loss(Bench& bench, const std::shared_ptr<Driver>& driver) {
  bench.unplug();
  if (driver) {
    EXPECT_TRUE(eventually([&] { return !driver->host()->receiver_connected(); }, kPrompt))
        << "the unplug went unnoticed";
  }
}

inline void check_poll(const FaultRow& row, const Expected<PollResult, PollFailure>& polled) {
  if (const auto* failure = std::get_if<PollFailure>(&row.poll)) {
    ASSERT_FALSE(polled.has_value()) << "frames instead of: " << message(*failure);
    EXPECT_EQ(message(polled.error()), message(*failure));
    return;
  }
  ASSERT_TRUE(polled.has_value()) << message(polled.error());
  const auto& [frame, fresh] = polled->front();
  const auto& wanted = std::get<PolledFrame>(row.poll);
  EXPECT_EQ(fresh, wanted.value_a.has_value()) << "fresh";
  if (wanted.value_a) {
    EXPECT_EQ(frame.value_a, *wanted.value_a);
  }
}

/// Checks what the driver answers once the fault has struck, drops it, checks that the receiver
/// is free at once, then that the fault was logged as it should be.
inline void check_aftermath(const FaultRow& row, Bench& bench, std::shared_ptr<Driver> driver) {
  if (driver) {
    const auto status = promptly("status", [&] { return driver->status(); });
    EXPECT_TRUE(status.has_value()) << status.error().message;
    if (status) {
      EXPECT_EQ(status_text(*status), status_text(row.status));
    }
    const auto polled = promptly("poll", [&] { return driver->poll(); });
    EXPECT_TRUE(polled.has_value()) << polled.error().message;
    if (polled) check_poll(row, *polled);
    // Dropped from a thread that is not the runtime's, so the readers are waited for.
    promptly("dropping the driver", [&] { driver.reset(); });
  }
  EXPECT_TRUE(bench.free());

  if (row.loss) {
    EXPECT_TRUE(eventually([] { return loss_lines() >= 1; }, kPrompt)) << "no loss reported";
    EXPECT_TRUE(logged(log::kHostTarget, fmt::format("Reciever is disconnected with error {}.",
                                                     DriverError::serial_transfer(*row.loss))));
  }
  EXPECT_EQ(loss_lines(), row.loss ? 1u : 0u) << "a loss is reported once, and only a real one";
  // Bytes that do not decode are logged, once each; nothing else may log a decode error.
  const auto decode_errors = [] {
    return count_lines(log::kUsbTarget, kResponseDecodeError) +
           count_lines(log::kUsbTarget, kReportDecodeError);
  };
  if (row.decode_error) {
    EXPECT_TRUE(eventually([&] { return decode_errors() >= 1; }, kPrompt));
    EXPECT_TRUE(logged(log::kUsbTarget, *row.decode_error))
        << *row.decode_error << " not among:\n"
        << fmt::format("{}", fmt::join(usb_lines(), "\n"));
  }
  EXPECT_EQ(decode_errors(), row.decode_error ? 1u : 0u);
}

/// Takes the driver through open, connect, start and streaming until the row's step, where the
/// fault strikes; then checks the aftermath.
inline void run_row(const FaultRow& row, Bench& bench) {
  log::capture().clear();
  const auto pull_now = [&](Step step, std::shared_ptr<Driver>& driver) {
    if (row.pull && row.pull->step == step && !row.pull->after_line) {
      pull_and_wait_for_loss(bench, driver);
    }
  };
  /// Runs a step on the runtime; pulls the receiver out once the row's line is logged, if the
  /// row says so; returns the step's result within kPrompt of the fault.
  const auto attempt = [&](Step step, asio::awaitable<DriverResult<void>> operation) {
    auto task = runtime::spawn(std::move(operation));
    if (row.pull && row.pull->step == step && row.pull->after_line) {
      const auto& line = *row.pull->after_line;
      EXPECT_TRUE(eventually([&] { return count_lines(log::kHostTarget, line) >= 1; }, kStuck))
          << "never logged: " << line;
      bench.unplug();
    }
    return finish(task, std::string(name(step)));
  };

  std::shared_ptr<Driver> driver;
  auto device = bench.open_device();
  pull_now(Step::Open, driver);
  auto opening = runtime::spawn(Driver::open(std::move(device), row.timeouts));
  auto opened = finish(opening, "open");
  if (row.step == Step::Open) {
    ASSERT_FALSE(opened.has_value()) << "open succeeded; logged:\n"
                                     << fmt::format("{}", fmt::join(usb_lines(), "\n")) << "\n"
                                     << fmt::format("{}", fmt::join(host_lines(), "\n"));
    EXPECT_EQ(opened.error(), *row.error) << opened.error().debug();
    check_aftermath(row, bench, nullptr);
    return;
  }
  ASSERT_TRUE(opened.has_value()) << opened.error().debug();
  driver = std::move(*opened);

  pull_now(Step::Connect, driver);
  auto connected = attempt(Step::Connect, driver->connect(row.group));
  if (row.step == Step::Connect) {
    ASSERT_FALSE(connected.has_value()) << "connect succeeded";
    EXPECT_EQ(connected.error(), *row.error) << connected.error().debug();
    return check_aftermath(row, bench, std::move(driver));
  }
  ASSERT_TRUE(connected.has_value()) << connected.error().debug();

  pull_now(Step::Start, driver);
  auto started = attempt(Step::Start, driver->start());
  if (row.step == Step::Start) {
    ASSERT_FALSE(started.has_value()) << "start succeeded";
    EXPECT_EQ(started.error(), *row.error) << started.error().debug();
    return check_aftermath(row, bench, std::move(driver));
  }
  ASSERT_TRUE(started.has_value()) << started.error().debug();

  // Streaming: the fault is in the stream itself, or the receiver goes while threads poll.
  Pollers pollers(*driver, row.pollers);
  if (row.pull) {
    ASSERT_TRUE(eventually([&] { return pollers.saw_fresh_frames(); })) << "no frame arrived";
    pull_and_wait_for_loss(bench, driver);
    // Every poller goes on answering: it sees the documented failure, never an internal error.
    EXPECT_TRUE(eventually([&] { return pollers.failing() == row.pollers; }, kPrompt));
  }
  if (row.transfers) {
    EXPECT_TRUE(eventually(
        [&] {
          const auto s = bench.state();
          return s.report_transfers_delivered == *row.transfers && s.pending_report_reads == 1;
        },
        kPrompt))
        << "the stream was not read through";
  }
  if (std::holds_alternative<PollFailure>(row.poll)) {
    EXPECT_TRUE(eventually([&] { return !driver->poll()->has_value(); }, kPrompt))
        << "polls still give frames";
  }
  promptly("stopping the pollers", [&] { pollers.stop(); });
  EXPECT_EQ(pollers.internal_errors(), 0u);
  check_aftermath(row, bench, std::move(driver));
}

}  // namespace sorvel::testing::faults
