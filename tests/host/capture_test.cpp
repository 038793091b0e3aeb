// A virtual session recorded through SORVEL_CAPTURE and read back, by a small pcap reader here
// and by tshark when it is installed.
#include "capture_reader.hpp"
#include "host_harness.hpp"

#include <cstdio>
#include <cstdlib>

#include <unistd.h>

namespace sorvel {
namespace {

using namespace testing;

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
