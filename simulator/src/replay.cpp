#include "replay.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <fmt/format.h>

namespace sorvel::simulator {

namespace {

constexpr std::uint32_t kMicrosecondMagic = 0xa1b2c3d4;
constexpr std::uint32_t kNanosecondMagic = 0xa1b23c4d;
constexpr std::uint32_t kUsbLinuxMmapped = 220;
constexpr std::size_t kFileHeaderSize = 24;
constexpr std::size_t kRecordHeaderSize = 16;
constexpr std::size_t kUsbmonHeaderSize = 64;

constexpr std::uint8_t kCommandEndpoint = 0x01;
constexpr std::uint8_t kReportEndpoint = 0x81;
constexpr std::uint8_t kResponseEndpoint = 0x82;

template <typename T>
T byte_swapped(T value) {
  std::uint8_t bytes[sizeof value];
  std::memcpy(bytes, &value, sizeof value);
  std::reverse(std::begin(bytes), std::end(bytes));
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

/// Reads the file's fields in the byte order of the machine that wrote it.
class Fields {
 public:
  Fields(std::span<const std::uint8_t> file, bool swapped) : file_(file), swapped_(swapped) {}

  template <typename T>
  T at(std::size_t offset) const {
    T value;
    std::memcpy(&value, file_.data() + offset, sizeof value);
    return swapped_ ? byte_swapped(value) : value;
  }

 private:
  std::span<const std::uint8_t> file_;
  bool swapped_;
};

std::uint32_t magic_of(std::span<const std::uint8_t> head) {
  std::uint32_t magic = 0;
  std::memcpy(&magic, head.data(), sizeof magic);
  return magic;
}

bool is_magic(std::uint32_t magic) {
  return magic == kMicrosecondMagic || magic == kNanosecondMagic;
}

struct Failure {
  std::string message;
};

/// Turns capture times into replay times: relative to the command, divided by the speed.
struct Clock {
  double speed;

  std::chrono::microseconds since(std::int64_t start_ns, std::int64_t ns) const {
    if (speed == 0) return std::chrono::microseconds(0);
    const double micros = static_cast<double>(std::max<std::int64_t>(ns - start_ns, 0)) / 1e3;
    // A crawl of a speed must not overflow the clock: nobody waits past a few years anyway.
    constexpr double kLongest = 1e14;
    return std::chrono::microseconds(std::llround(std::min(micros / speed, kLongest)));
  }
};

Replay read_records(std::span<const std::uint8_t> file, double speed) {
  const bool swapped = !is_magic(magic_of(file));
  const Fields fields(file, swapped);
  const bool nanoseconds = fields.at<std::uint32_t>(0) == kNanosecondMagic;
  if (const auto link = fields.at<std::uint32_t>(20); link != kUsbLinuxMmapped) {
    throw Failure{
        fmt::format("link type {} is not a usbmon capture (link type {})", link, kUsbLinuxMmapped)};
  }

  const Clock clock{speed};
  Replay replay;
  ReplayExchange* exchange = &replay.on_open;
  std::int64_t exchange_start = -1;  // the time of its command; the first record's for open
  std::optional<std::uint8_t> device;

  for (std::size_t offset = kFileHeaderSize; offset < file.size();) {
    if (file.size() - offset < kRecordHeaderSize) {
      throw Failure{fmt::format("truncated: the record at byte {} has no whole header", offset)};
    }
    const auto included = fields.at<std::uint32_t>(offset + 8);
    const std::size_t body = offset + kRecordHeaderSize;
    if (included > file.size() - body) {
      throw Failure{fmt::format("truncated: the record at byte {} runs past the end", offset)};
    }
    if (included < kUsbmonHeaderSize) {
      throw Failure{fmt::format("the record at byte {} is not a USB transfer", offset)};
    }
    const std::int64_t time_ns =
        std::int64_t{fields.at<std::uint32_t>(offset)} * 1'000'000'000 +
        std::int64_t{fields.at<std::uint32_t>(offset + 4)} * (nanoseconds ? 1 : 1000);
    const auto kind = static_cast<char>(file[body + 8]);
    const std::uint8_t endpoint = file[body + 10];
    const std::uint8_t device_number = file[body + 11];
    const auto status = fields.at<std::int32_t>(body + 28);
    const auto length = fields.at<std::uint32_t>(body + 32);
    const auto captured = fields.at<std::uint32_t>(body + 36);
    if (captured > included - kUsbmonHeaderSize) {
      throw Failure{fmt::format("the record at byte {} holds less data than it says", offset)};
    }
    const auto data = file.subspan(body + kUsbmonHeaderSize, captured);
    offset = body + included;

    const bool ours = endpoint == kCommandEndpoint || endpoint == kReportEndpoint ||
                      endpoint == kResponseEndpoint;
    if (!ours || (device && *device != device_number)) continue;  // another device's
    device = device_number;
    if (exchange_start < 0) exchange_start = time_ns;

    const bool carries_data = (kind == 'S' && endpoint == kCommandEndpoint) ||
                              (kind == 'C' && endpoint != kCommandEndpoint && status == 0);
    if (carries_data && captured != length) {
      throw Failure{fmt::format(
          "the transfer at byte {} was captured in part ({} of {} bytes): it cannot be replayed",
          offset - included - kRecordHeaderSize, captured, length)};
    }
    if (kind == 'S' && endpoint == kCommandEndpoint) {
      exchange = &replay.by_command[Bytes(data.begin(), data.end())].emplace_back();
      exchange_start = time_ns;
    } else if (kind == 'C' && status == -ENODEV) {
      if (!exchange->unplug_at) exchange->unplug_at = clock.since(exchange_start, time_ns);
    } else if (kind == 'C' && status == 0 && endpoint == kResponseEndpoint) {
      exchange->responses.push_back(
          {clock.since(exchange_start, time_ns), Bytes(data.begin(), data.end())});
    } else if (kind == 'C' && status == 0 && endpoint == kReportEndpoint) {
      exchange->reports.push_back(data);
      if (speed != 0) exchange->report_times.push_back(clock.since(exchange_start, time_ns));
    }
  }
  if (!device) throw Failure{"it holds no transfer of a receiver"};
  return replay;
}

}  // namespace

bool looks_like_capture(std::span<const std::uint8_t> head) {
  if (head.size() < sizeof(std::uint32_t)) return false;
  const std::uint32_t magic = magic_of(head);
  return is_magic(magic) || is_magic(byte_swapped(magic));
}

Expected<Replay, std::string> read_capture(std::span<const std::uint8_t> file, double speed) {
  if (!looks_like_capture(file)) return unexpected(std::string("not a pcap file"));
  if (file.size() < kFileHeaderSize) {
    return unexpected(std::string("truncated: the file header is cut short"));
  }
  try {
    return read_records(file, speed);
  } catch (const Failure& failure) {
    return unexpected(failure.message);
  }
}

}  // namespace sorvel::simulator
