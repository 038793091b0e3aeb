// A virtual session recorded through SORVEL_CAPTURE and read back, by a small pcap reader here
// and by tshark when it is installed.
#include "capture_reader.hpp"
#include "host_harness.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "sorvel/platform/platform.hpp"

namespace sorvel {
namespace {

using namespace testing;

TEST(Capture, AVirtualSessionIsRecordedAsUsbmonPcap) {
  static int run = 0;
  const std::string path = ::testing::TempDir() + "/session-" +
                           std::to_string(platform::process_id()) + "-" + std::to_string(run++) +
                           ".pcap";
  platform::set_environment_variable("SORVEL_CAPTURE", path.c_str());
  {
    KitDriver kit;
    platform::unset_environment_variable("SORVEL_CAPTURE");
    ASSERT_TRUE(kit.connect({BodyPart::Head}).has_value());
  }
  std::vector<std::vector<std::uint8_t>> commands;
  bool answer_seen = false;
  for (const auto& record : read_capture(path)) {
    if (record.type == 'S' && record.endpoint == 0x01) commands.push_back(record.data);
    if (record.type == 'C' && record.endpoint == 0x82 && !record.data.empty() &&
        record.data[0] == 0x01) {
      answer_seen = true;  // ReceiverInfo
    }
  }
  ASSERT_EQ(commands.size(), 3u);
  std::vector<std::uint8_t> first_bytes;
  for (const auto& command : commands) {
    EXPECT_EQ(command.size(), 64u);
    first_bytes.push_back(command.at(0));
  }
  EXPECT_EQ(first_bytes, (std::vector<std::uint8_t>{0x01, 0x09, 0x02}))
      << "GetInfo, TrackerSoftReset, Initiate";
  EXPECT_TRUE(answer_seen);

  if (std::system("command -v tshark > /dev/null 2>&1") != 0) GTEST_SKIP() << "no tshark";
  const std::string command =
      "tshark -r " + path + " -Y 'usb.endpoint_address == 0x01' -T fields -e usb.capdata 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe) != nullptr) output += line;
  ASSERT_EQ(::pclose(pipe), 0) << output;
  // tshark shows each command's 64 bytes as hex: GetInfo is 01 and 63 zeros.
  EXPECT_NE(output.find("01" + std::string(126, '0')), std::string::npos) << output;
  EXPECT_NE(output.find("09" + std::string(126, '0')), std::string::npos) << output;
}

/// The kit's devices, each counting how often it is opened.
class CountingBackend final : public usb::Backend {
 public:
  explicit CountingBackend(usb::Backend& inner) : inner_(inner) {}

  Expected<usb::DeviceList, SystemError> list_devices() override {
    auto devices = inner_.list_devices();
    if (!devices) return devices;
    usb::DeviceList counted;
    for (auto& entry : *devices)
      counted.push_back(std::make_unique<Entry>(std::move(entry), opens));
    return counted;
  }

  int opens = 0;

 private:
  class Entry final : public usb::DeviceEntry {
   public:
    Entry(std::unique_ptr<usb::DeviceEntry> inner, int& opens)
        : inner_(std::move(inner)), opens_(opens) {}
    std::uint16_t vendor_id() const override { return inner_->vendor_id(); }
    std::uint16_t product_id() const override { return inner_->product_id(); }
    Expected<std::shared_ptr<usb::Device>, SystemError> open() override {
      ++opens_;
      return inner_->open();
    }

   private:
    std::unique_ptr<usb::DeviceEntry> inner_;
    int& opens_;
  };

  usb::Backend& inner_;
};

TEST(Capture, ACaptureThatCannotBeMadeFailsTheOpenBeforeTheReceiverIsOpened) {
  simulator::VirtualKitBackend kit(test_name(), {});
  auto keep_plugged = kit.list_devices();  // holds the kit so its state stays readable
  CountingBackend backend(kit);
  const std::string path = "/nonexistent-sorvel-dir/session.pcap";
  platform::set_environment_variable("SORVEL_CAPTURE", path.c_str());
  auto device = open_receiver(backend);
  platform::unset_environment_variable("SORVEL_CAPTURE");

  ASSERT_FALSE(device.has_value());
  const auto* error = std::get_if<usb::CaptureError>(&device.error());
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->path, path);
  EXPECT_EQ(error->code, ENOENT);
  EXPECT_EQ(backend.opens, 0);
  ASSERT_TRUE(kit.state().has_value());
  EXPECT_TRUE(kit.state()->claimed_interfaces.empty());

  auto uncaptured = open_receiver(backend);
  EXPECT_TRUE(uncaptured.has_value());
  EXPECT_EQ(backend.opens, 1);
}

}  // namespace
}  // namespace sorvel
