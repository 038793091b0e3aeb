#pragma once
// Opens drivers on private virtual kits and runs their operations to completion from the test
// thread, with short time-outs so that no test waits for the real ones.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "sorvel/driver/driver.hpp"
#include "sorvel/driver/runtime/block_on.hpp"
#include "sorvel/log/capture.hpp"
#include "sorvel/protocol/sensor_report.hpp"
#include "sorvel/simulator/virtual_kit.hpp"

namespace sorvel::testing {

using namespace std::chrono_literals;

inline HostTimeouts fast_timeouts() {
  return {300ms, 300ms, 400ms, 300ms};
}

/// Runs `operation` on the runtime and returns its result; an internal error fails the test.
template <typename T>
T run(asio::awaitable<T> operation) {
  auto result = runtime::block_on(std::move(operation));
  if (!result) {
    ADD_FAILURE() << "internal error: " << result.error().message;
    std::abort();
  }
  return std::move(*result);
}

/// Waits (bounded) until `condition` holds; false if it never did.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = 3s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

inline std::string test_name() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return std::string(info->test_suite_name()) + "." + info->name();
}

/// A private kit and a driver opened on it.
struct KitDriver {
  std::unique_ptr<simulator::VirtualKitBackend> backend;
  std::shared_ptr<Driver> driver;

  explicit KitDriver(simulator::Scenario scenario = {}, HostTimeouts timeouts = fast_timeouts(),
                     std::string key = test_name()) {
    backend = std::make_unique<simulator::VirtualKitBackend>(std::move(key), std::move(scenario));
    auto opened = open(timeouts);
    EXPECT_TRUE(opened.has_value()) << opened.error().debug();
    if (opened) driver = std::move(*opened);
  }

  DriverResult<std::shared_ptr<Driver>> open(HostTimeouts timeouts = fast_timeouts()) {
    auto device = open_receiver(*backend);
    EXPECT_TRUE(device.has_value());
    return run(Driver::open(std::move(*device), timeouts));
  }

  DriverResult<void> connect(std::vector<BodyPart> group) {
    return run(driver->connect(std::move(group)));
  }
  DriverResult<void> start() { return run(driver->start()); }

  std::string status() { return std::string(status_text(*driver->status())); }

  Expected<PollResult, PollFailure> poll() { return *driver->poll(); }

  simulator::KitState state() const { return backend->state().value_or(simulator::KitState{}); }

  /// True once the kit has handed out `count` report transfers and the reader waits again: the
  /// reader routes a transfer's frames before it asks for the next one.
  bool reports_drained(std::size_t count) const {
    const auto s = state();
    return s.report_transfers_delivered == count && s.pending_report_reads == 1;
  }
};

/// A report for `part` whose four samples carry value_a first, first + 1, ...
inline protocol::SensorReport numbered_report(BodyPart part, std::uint64_t first) {
  protocol::SensorReport report;
  report.body_part = part;
  for (std::size_t i = 0; i < report.samples.size(); ++i) {
    auto& sample = report.samples[i];
    sample.value_a = first + i;
    sample.orientation = {0, 0, 0, 16384};
    sample.second_quaternion = {0, 0, 0, 16384};
    sample.body_part = part;
    sample.accuracy = 3;
  }
  return report;
}

/// The stream cut into transfers of `size` bytes (the last one shorter).
inline std::vector<simulator::Bytes> transfers(const simulator::Bytes& stream,
                                               std::size_t size = 64) {
  std::vector<simulator::Bytes> out;
  for (std::size_t at = 0; at < stream.size(); at += size) {
    out.emplace_back(
        stream.begin() + static_cast<std::ptrdiff_t>(at),
        stream.begin() + static_cast<std::ptrdiff_t>(std::min(stream.size(), at + size)));
  }
  return out;
}

/// A scenario whose kit does not stream on its own and sends `stream` when it gets Go.
inline simulator::Scenario scripted_stream(const std::vector<simulator::Bytes>& report_transfers) {
  simulator::Scenario scenario;
  scenario.rate_hz = 0;
  simulator::ScriptAction action;
  action.on = "Go";
  action.report_transfers = report_transfers;
  scenario.script.push_back(action);
  return scenario;
}

inline void append(simulator::Bytes& stream, const simulator::Bytes& more) {
  stream.insert(stream.end(), more.begin(), more.end());
}

inline std::vector<std::string> host_lines() {
  return log::capture().messages(log::kHostTarget);
}
inline std::vector<std::string> usb_lines() {
  return log::capture().messages(log::kUsbTarget);
}

inline bool logged(std::string_view target, const std::string& line) {
  const auto lines = log::capture().messages(target);
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

inline std::size_t count_lines(std::string_view target, std::string_view prefix) {
  std::size_t n = 0;
  for (const auto& line : log::capture().messages(target)) n += line.starts_with(prefix) ? 1 : 0;
  return n;
}

}  // namespace sorvel::testing
