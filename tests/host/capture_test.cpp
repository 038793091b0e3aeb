// A virtual session recorded through SORVEL_CAPTURE and read back, by a small pcap reader here
// and by tshark when it is installed.
#include "host_harness.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <unistd.h>

namespace sorvel {
namespace {

using namespace testing;

struct UsbRecord {
  char type;  // 'S' submission, 'C' completion
  std::uint8_t endpoint;
  std::vector<std::uint8_t> data;
};

template <typename T>
T read_at(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  T value{};
  std::memcpy(&value, bytes.data() + at, sizeof(T));
  return value;
}

/// Records of a little-endian pcap file of link type 220 (usbmon header of 64 bytes + data).
std::vector<UsbRecord> read_capture(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  std::vector<UsbRecord> records;
  if (bytes.size() < 24) {
    ADD_FAILURE() << "no pcap header in " << path;
    return records;
  }
  EXPECT_EQ(read_at<std::uint32_t>(bytes, 0), 0xA1B2C3D4u);
  EXPECT_EQ(read_at<std::uint32_t>(bytes, 20), 220u);
  for (std::size_t at = 24; at + 16 <= bytes.size();) {
    const auto captured = read_at<std::uint32_t>(bytes, at + 8);
    const std::size_t body = at + 16;
    if (captured < 64 || body + captured > bytes.size()) {
      ADD_FAILURE() << "truncated record at " << at;
      break;
    }
    const auto data_length = read_at<std::uint32_t>(bytes, body + 36);  // len_cap
    if (64 + data_length > captured) {
      ADD_FAILURE() << "record data longer than the record at " << at;
      break;
    }
    records.push_back({static_cast<char>(bytes[body + 8]), bytes[body + 10],
                       std::vector<std::uint8_t>(bytes.begin() + body + 64,
                                                 bytes.begin() + body + 64 + data_length)});
    at = body + captured;
  }
  return records;
}

TEST(Capture, AVirtualSessionIsRecordedAsUsbmonPcap) {
  // A capture file stays open for the process, so every run records to a path of its own.
  static int run = 0;
  const std::string path = ::testing::TempDir() + "/session-" + std::to_string(::getpid()) + "-" +
                           std::to_string(run++) + ".pcap";
  ::setenv("SORVEL_CAPTURE", path.c_str(), 1);
  {
    KitDriver kit;
    ::unsetenv("SORVEL_CAPTURE");
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

}  // namespace
}  // namespace sorvel
