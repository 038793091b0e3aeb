#pragma once
// Drives a virtual kit through the USB boundary from a test thread: submit, then wait for the
// completion (with a generous bound so a broken kit fails the test instead of hanging it).

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "sorvel/protocol/messages.hpp"
#include "sorvel/protocol/sensor_report.hpp"
#include "sorvel/simulator/virtual_kit.hpp"

namespace sorvel::simulator::testing {

using namespace std::chrono_literals;
inline constexpr auto kPatience = 5s;

inline std::future<usb::TransferResult> submit_in(
    usb::Interface& interface, std::uint8_t endpoint, std::size_t length,
    std::shared_ptr<usb::PendingTransfer>* handle = nullptr) {
  auto promise = std::make_shared<std::promise<usb::TransferResult>>();
  auto future = promise->get_future();
  auto pending = interface.submit_in(endpoint, length, [promise](usb::TransferResult result) {
    promise->set_value(std::move(result));
  });
  if (handle != nullptr) *handle = pending;
  return future;
}

inline usb::TransferResult wait(std::future<usb::TransferResult>& future) {
  if (future.wait_for(kPatience) != std::future_status::ready) {
    ADD_FAILURE() << "transfer did not complete";
    return {TransferError::Unknown, {}};
  }
  return future.get();
}

inline usb::TransferResult read(usb::Interface& interface, std::uint8_t endpoint,
                                std::size_t length) {
  auto future = submit_in(interface, endpoint, length);
  return wait(future);
}

inline usb::TransferResult send(usb::Interface& interface, const protocol::Command& command) {
  const auto transfer = protocol::command_transfer(command);
  auto promise = std::make_shared<std::promise<usb::TransferResult>>();
  auto future = promise->get_future();
  interface.submit_out(0x01, {transfer.begin(), transfer.end()},
                       [promise](usb::TransferResult result) { promise->set_value(result); });
  return wait(future);
}

inline protocol::Response next_response(usb::Interface& interface) {
  const auto result = read(interface, 0x82, 63);
  EXPECT_TRUE(result.ok());
  EXPECT_LE(result.data.size(), 63u);
  auto response = protocol::decode_response(result.data);
  EXPECT_TRUE(response.has_value()) << "undecodable response";
  return response ? *response : protocol::Response{};
}

/// A kit opened with its command interface (1) and auxiliary interface (2) claimed.
struct OpenKit {
  std::unique_ptr<VirtualKitBackend> backend;
  std::shared_ptr<usb::Device> device;
  std::shared_ptr<usb::Interface> commands;
  std::shared_ptr<usb::Interface> auxiliary;

  explicit OpenKit(Scenario scenario = {}, std::string key = {}) {
    if (key.empty()) key = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    backend = std::make_unique<VirtualKitBackend>(key, std::move(scenario));
    auto devices = backend->list_devices();
    EXPECT_TRUE(devices.has_value());
    EXPECT_EQ(devices->size(), 1u);
    auto* entry = usb::find_receiver(*devices);
    EXPECT_NE(entry, nullptr);
    device = *entry->open();
    commands = *device->claim_interface(1);
    auxiliary = *device->claim_interface(2);
  }

  std::shared_ptr<usb::Interface> claim_reports() {
    auto reports = device->claim_interface(0);
    EXPECT_TRUE(reports.has_value());
    EXPECT_TRUE(reports.value()->select_alternate_setting(0).has_value());
    return *reports;
  }
};

/// Pulls whole frames out of the report stream, however the transfers cut it.
class FrameReader {
 public:
  explicit FrameReader(usb::Interface& reports) : reports_(reports) {}

  protocol::SensorReport next() {
    for (;;) {
      if (buffer_.size() >= protocol::kReportHeaderSize) {
        EXPECT_TRUE(std::equal(protocol::kReportMarker.begin(), protocol::kReportMarker.end(),
                               buffer_.begin()))
            << "stream out of step";
        const std::size_t length = buffer_[4] | (buffer_[5] << 8);
        if (buffer_.size() >= protocol::kReportHeaderSize + length) {
          auto report = protocol::decode_sensor_report(
              std::span(buffer_).subspan(protocol::kReportHeaderSize, length));
          EXPECT_TRUE(report.has_value());
          buffer_.erase(buffer_.begin(), buffer_.begin() + protocol::kReportHeaderSize + length);
          return report ? *report : protocol::SensorReport{};
        }
      }
      const auto result = read(reports_, 0x81, 64);
      if (!result.ok()) {
        ADD_FAILURE() << "report transfer failed";
        return {};
      }
      transfer_sizes.push_back(result.data.size());
      buffer_.insert(buffer_.end(), result.data.begin(), result.data.end());
    }
  }

  std::vector<std::size_t> transfer_sizes;

 private:
  usb::Interface& reports_;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace sorvel::simulator::testing
