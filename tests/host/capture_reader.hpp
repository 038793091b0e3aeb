#pragma once
// Reads back what SORVEL_CAPTURE wrote: the usbmon records of a pcap file.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace sorvel::testing {

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

}  // namespace sorvel::testing
