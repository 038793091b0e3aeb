#include <gtest/gtest.h>

// Open files, size limits, users, FIFOs and devices are looked at through POSIX; the tests that
// need them are Linux-only.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "sorvel/driver/usb/capture.hpp"
#include "sorvel/log/capture.hpp"
#include "sorvel/platform/platform.hpp"

namespace sorvel::usb {
namespace {

using Bytes = std::vector<std::uint8_t>;
const Bytes kAnswer{0x05, 0xAA, 0xBB};

/// Answers like a receiver: commands on 0x01 succeed, 0x82 returns `kAnswer`, the report
/// endpoint 0x81 (an interrupt endpoint) stalls. Each answer comes from a thread of its own.
class ReceiverInterface final : public Interface {
 public:
  explicit ReceiverInterface(std::uint8_t number) : number_(number) {}
  ~ReceiverInterface() override {
    for (auto& thread : threads_) thread.join();
  }

  std::uint8_t number() const override { return number_; }
  Expected<void, SystemError> select_alternate_setting(std::uint8_t) override { return {}; }
  std::optional<EndpointType> endpoint_type(std::uint8_t endpoint) const override {
    if (endpoint == 0x81) return EndpointType::Interrupt;
    return std::nullopt;
  }
  std::shared_ptr<PendingTransfer> submit_in(std::uint8_t endpoint, std::size_t,
                                             TransferCallback done) override {
    if (endpoint == 0x81) return answer(TransferResult{TransferError::Stall, {}}, std::move(done));
    return answer(TransferResult{std::nullopt, kAnswer}, std::move(done));
  }
  std::shared_ptr<PendingTransfer> submit_out(std::uint8_t, Bytes bytes,
                                              TransferCallback done) override {
    sent.push_back(std::move(bytes));
    return answer(TransferResult{}, std::move(done));
  }

  std::vector<Bytes> sent;  // touched by the submitting thread only

 private:
  struct NoCancel final : PendingTransfer {
    void cancel() override {}
  };
  std::shared_ptr<PendingTransfer> answer(TransferResult result, TransferCallback done) {
    threads_.emplace_back([done = std::move(done), result = std::move(result)]() mutable {
      done(std::move(result));
    });
    return std::make_shared<NoCancel>();
  }

  const std::uint8_t number_;
  std::vector<std::thread> threads_;
};

class ReceiverDevice final : public Device {
 public:
  Expected<std::shared_ptr<Interface>, SystemError> claim_interface(std::uint8_t number) override {
    if (number > 2) return unexpected(system_error_from_errno(EBUSY));
    claimed.push_back(std::make_shared<ReceiverInterface>(number));
    return std::shared_ptr<Interface>(claimed.back());
  }
  std::vector<std::shared_ptr<ReceiverInterface>> claimed;
};

/// Submits one transfer and waits for its callback.
template <typename Submit>
TransferResult run(Submit submit) {
  std::promise<TransferResult> done;
  submit([&done](TransferResult r) { done.set_value(std::move(r)); });
  return done.get_future().get();
}

Bytes command_bytes() {
  Bytes bytes(64, 0);
  bytes[0] = 0x01;
  bytes[1] = 0x2A;
  return bytes;
}

/// The session every capture test records: a command, its answer, a failed report read.
struct Session {
  std::shared_ptr<ReceiverDevice> device = std::make_shared<ReceiverDevice>();

  void record_through(Device& captured) {
    auto commands = captured.claim_interface(1);
    auto reports = captured.claim_interface(0);
    ASSERT_TRUE(commands.has_value() && reports.has_value());
    Interface& command_interface = **commands;
    Interface& report_interface = **reports;

    EXPECT_TRUE(run([&](TransferCallback done) {
                  command_interface.submit_out(0x01, command_bytes(), std::move(done));
                }).ok());
    const TransferResult answer =
        run([&](TransferCallback done) { command_interface.submit_in(0x82, 63, std::move(done)); });
    EXPECT_TRUE(answer.ok());
    EXPECT_EQ(answer.data, kAnswer);
    EXPECT_EQ(run([&](TransferCallback done) {
                report_interface.submit_in(0x81, 64, std::move(done));
              }).error,
              TransferError::Stall);
    EXPECT_EQ(device->claimed.at(0)->sent, std::vector<Bytes>{command_bytes()});
  }
};

// --- a minimal reader of what the capture writes -----------------------------------------------

struct UsbmonRecord {
  std::uint32_t pcap_seconds;
  std::uint64_t id;
  char type;
  std::uint8_t transfer_type, endpoint, device;
  std::uint16_t bus;
  char flag_data;
  std::int64_t seconds;
  std::int32_t status;
  std::uint32_t length, captured;
  Bytes data;
};

struct PcapFile {
  std::uint32_t magic = 0, snap_length = 0, link_type = 0;
  std::uint16_t major = 0, minor = 0;
  std::vector<UsbmonRecord> records;
};

template <typename T>
T at(const Bytes& bytes, std::size_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);  // callers check the size first
  return value;
}

/// The parsed file, or what is wrong with it.
std::variant<PcapFile, std::string> read_pcap(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() < 24) return std::string("no pcap header");
  PcapFile file{at<std::uint32_t>(bytes, 0),  at<std::uint32_t>(bytes, 16),
                at<std::uint32_t>(bytes, 20), at<std::uint16_t>(bytes, 4),
                at<std::uint16_t>(bytes, 6),  {}};
  for (std::size_t offset = 24; offset < bytes.size();) {
    if (bytes.size() - offset < 16) return std::string("truncated record header");
    const auto included = at<std::uint32_t>(bytes, offset + 8);
    if (included != at<std::uint32_t>(bytes, offset + 12)) return std::string("record cut short");
    const std::size_t u = offset + 16;  // the usbmon header
    if (included < kUsbmonHeaderSize || bytes.size() - u < included) {
      return std::string("truncated record");
    }
    UsbmonRecord record{at<std::uint32_t>(bytes, offset),
                        at<std::uint64_t>(bytes, u),
                        static_cast<char>(bytes[u + 8]),
                        bytes[u + 9],
                        bytes[u + 10],
                        bytes[u + 11],
                        at<std::uint16_t>(bytes, u + 12),
                        static_cast<char>(bytes[u + 15]),
                        at<std::int64_t>(bytes, u + 16),
                        at<std::int32_t>(bytes, u + 28),
                        at<std::uint32_t>(bytes, u + 32),
                        at<std::uint32_t>(bytes, u + 36),
                        {}};
    if (record.captured != included - kUsbmonHeaderSize) {
      return std::string("captured length disagrees with the record length");
    }
    const auto data = bytes.begin() + static_cast<std::ptrdiff_t>(u + kUsbmonHeaderSize);
    record.data.assign(data, data + record.captured);
    file.records.push_back(std::move(record));
    offset = u + included;
  }
  return file;
}

PcapFile read_ok(const std::filesystem::path& path) {
  auto parsed = read_pcap(path);
  if (auto* error = std::get_if<std::string>(&parsed)) {
    ADD_FAILURE() << path << ": " << *error;
    return {};
  }
  return std::get<PcapFile>(std::move(parsed));
}

std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// A fresh path in the test's temporary directory, removed when the test ends.
class TempFile {
 public:
  explicit TempFile(const std::string& name)
      : path_(std::filesystem::path(::testing::TempDir()) /
              ("sorvel_" + std::to_string(platform::process_id()) + "_" + std::to_string(++count_) +
               "_" + name)) {}
  ~TempFile() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }
  std::string string() const { return path_.string(); }

 private:
  static inline int count_ = 0;
  std::filesystem::path path_;
};

#ifndef _WIN32
/// True while this process has `path` open.
bool is_open(const std::filesystem::path& path) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ignored)) {
    if (std::filesystem::read_symlink(entry.path(), ignored) == path) return true;
  }
  return false;
}

std::size_t open_descriptors() {
  std::error_code ignored;
  const std::filesystem::directory_iterator fds("/proc/self/fd", ignored);
  return static_cast<std::size_t>(std::distance(begin(fds), end(fds)));
}

/// Files this process writes may not grow past `bytes` while it lives; writes beyond fail with
/// EFBIG instead of raising SIGXFSZ.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    saved_signal_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved_;
    limited.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, saved_signal_);
  }

 private:
  rlimit saved_{};
  void (*saved_signal_)(int) = nullptr;
};

/// Permissions apply to the process while it lives: as root it acts as nobody.
class Unprivileged {
 public:
  Unprivileged() : root_(::geteuid() == 0) {
    if (root_) {
      EXPECT_EQ(::seteuid(65534), 0);
    }
  }
  ~Unprivileged() {
    if (root_) {
      EXPECT_EQ(::seteuid(0), 0);
    }
  }

 private:
  bool root_;
};
#endif

TEST(UsbCapture, RecordsEachTransferAsASubmissionAndACompletion) {
  const TempFile path("session.pcap");
  auto file = CaptureFile::open(path.string());
  ASSERT_TRUE(file.has_value()) << message(file.error());
  Session session;
  auto captured = capture_device(session.device, *file);
  const auto before = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  session.record_through(*captured);
  const auto after = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  // Claim failures pass through unchanged.
  auto refused = captured->claim_interface(3);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().code, EBUSY);

  const PcapFile pcap = read_ok(path.path());
  EXPECT_EQ(pcap.magic, 0xa1b2c3d4u);
  EXPECT_EQ(pcap.major, 2);
  EXPECT_EQ(pcap.minor, 4);
  EXPECT_GE(pcap.snap_length, kUsbmonHeaderSize + 64);
  EXPECT_EQ(pcap.link_type, 220u);

  const struct {
    char type;
    std::uint8_t endpoint;
    std::uint8_t transfer_type;
    std::int32_t status;
    std::uint32_t length;
    Bytes data;
    char flag_data;
  } expected[] = {
      {'S', 0x01, 3, -EINPROGRESS, 64, command_bytes(), 0},
      {'C', 0x01, 3, 0, 64, {}, '>'},
      {'S', 0x82, 3, -EINPROGRESS, 63, {}, '<'},
      {'C', 0x82, 3, 0, 3, {0x05, 0xAA, 0xBB}, 0},
      {'S', 0x81, 1, -EINPROGRESS, 64, {}, '<'},
      {'C', 0x81, 1, -EPIPE, 0, {}, '<'},
  };
  ASSERT_EQ(pcap.records.size(), std::size(expected));
  for (std::size_t i = 0; i < pcap.records.size(); ++i) {
    SCOPED_TRACE(i);
    const UsbmonRecord& record = pcap.records[i];
    EXPECT_EQ(record.type, expected[i].type);
    EXPECT_EQ(record.endpoint, expected[i].endpoint);
    EXPECT_EQ(record.transfer_type, expected[i].transfer_type);
    EXPECT_EQ(record.status, expected[i].status);
    EXPECT_EQ(record.length, expected[i].length);
    EXPECT_EQ(record.captured, expected[i].data.size());
    EXPECT_EQ(record.data, expected[i].data);
    EXPECT_EQ(record.flag_data, expected[i].flag_data);
    EXPECT_EQ(record.device, 1);
    EXPECT_EQ(record.bus, 1);
    EXPECT_GE(record.seconds, before);
    EXPECT_LE(record.seconds, after);
    EXPECT_EQ(record.pcap_seconds, static_cast<std::uint32_t>(record.seconds));
  }
  // Submission and completion share an id; transfers do not.
  for (std::size_t i = 0; i + 1 < pcap.records.size(); i += 2) {
    EXPECT_EQ(pcap.records[i].id, pcap.records[i + 1].id) << i;
  }
  EXPECT_NE(pcap.records[0].id, pcap.records[2].id);
  EXPECT_NE(pcap.records[2].id, pcap.records[4].id);
  EXPECT_NE(pcap.records[0].id, pcap.records[4].id);
}

/// Answers reads of the report endpoint with one byte each, 1, 2, ... up to `answered`; the next
/// transfer then stalls, or stays in flight until cancelled. Each answer from a thread of its own.
class StreamingInterface final : public Interface {
 public:
  StreamingInterface(std::size_t answered, bool stall) : answered_(answered), stall_(stall) {}
  ~StreamingInterface() override {
    for (;;) {  // an answer may still be on its way out of the reader's end
      std::vector<std::thread> threads;
      {
        std::lock_guard lock(mutex_);
        threads.swap(threads_);
      }
      if (threads.empty()) return;
      for (auto& thread : threads) thread.join();
    }
  }

  std::size_t submitted() {
    std::lock_guard lock(mutex_);
    return submitted_;
  }

  std::uint8_t number() const override { return 0; }
  Expected<void, SystemError> select_alternate_setting(std::uint8_t) override { return {}; }
  std::optional<EndpointType> endpoint_type(std::uint8_t) const override {
    return EndpointType::Interrupt;
  }
  std::shared_ptr<PendingTransfer> submit_in(std::uint8_t, std::size_t,
                                             TransferCallback done) override {
    auto pending = std::make_shared<Pending>(*this, std::move(done));
    std::lock_guard lock(mutex_);
    const std::size_t index = submitted_++;
    if (index < answered_) {
      answer(pending, {std::nullopt, {static_cast<std::uint8_t>(index + 1)}});
    } else if (stall_) {
      answer(pending, {TransferError::Stall, {}});
    }
    return pending;
  }
  std::shared_ptr<PendingTransfer> submit_out(std::uint8_t, Bytes, TransferCallback) override {
    ADD_FAILURE() << "a read submits nothing out";
    return nullptr;
  }

 private:
  struct Pending final : PendingTransfer, std::enable_shared_from_this<Pending> {
    Pending(StreamingInterface& owner, TransferCallback done)
        : owner(owner), done(std::move(done)) {}
    void cancel() override {
      std::lock_guard lock(owner.mutex_);
      owner.answer(shared_from_this(), {TransferError::Cancelled, {}});
    }

    StreamingInterface& owner;
    TransferCallback done;
    std::atomic<bool> answered{false};
  };

  // Caller holds mutex_.
  void answer(const std::shared_ptr<Pending>& pending, TransferResult result) {
    threads_.emplace_back([pending, result = std::move(result)]() mutable {
      if (!pending->answered.exchange(true)) pending->done(std::move(result));
    });
  }

  const std::size_t answered_;
  const bool stall_;
  std::mutex mutex_;
  std::size_t submitted_ = 0;         // guarded by mutex_
  std::vector<std::thread> threads_;  // guarded by mutex_
};

/// What a stream's reader sees.
class StreamRecord final : public StreamSink {
 public:
  void on_transfer(std::span<const std::uint8_t> data) override {
    received.insert(received.end(), data.begin(), data.end());
  }
  void on_end(TransferError error) override { ended.set_value(error); }

  Bytes received;  // written by the stream only, read after its end
  std::promise<TransferError> ended;
};

TEST(UsbCapture, AStreamIsRecordedTransferByTransferAndReachesItsReader) {
  const struct {
    const char* name;
    bool stall;
    TransferError end;
    std::int32_t last_status;
  } cases[] = {
      {"ended by a stall", true, TransferError::Stall, -EPIPE},
      {"cancelled with a transfer in flight", false, TransferError::Cancelled, -ENOENT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TempFile path("stream.pcap");
    auto file = CaptureFile::open(path.string());
    ASSERT_TRUE(file.has_value()) << message(file.error());
    auto inner = std::make_shared<StreamingInterface>(3, c.stall);
    struct OneInterface final : Device {
      std::shared_ptr<Interface> interface;
      Expected<std::shared_ptr<Interface>, SystemError> claim_interface(std::uint8_t) override {
        return interface;
      }
    };
    auto device = std::make_shared<OneInterface>();
    device->interface = inner;
    auto reports = capture_device(device, *file)->claim_interface(0);
    ASSERT_TRUE(reports.has_value());

    auto reader = std::make_shared<StreamRecord>();
    auto ended = reader->ended.get_future();
    auto stream = (*reports)->read_stream(0x81, 64, reader);
    if (!c.stall) {
      // The fourth transfer waits for ever; cancel it once its submission is on record.
      while (inner->submitted() < 4) std::this_thread::yield();
      stream->cancel();
    }
    EXPECT_EQ(ended.get(), c.end);
    EXPECT_EQ(reader->received, (Bytes{1, 2, 3}));

    const PcapFile pcap = read_ok(path.path());
    ASSERT_EQ(pcap.records.size(), 8u);
    for (std::size_t i = 0; i < pcap.records.size(); ++i) {
      SCOPED_TRACE(i);
      const UsbmonRecord& record = pcap.records[i];
      const bool submission = i % 2 == 0;
      const bool last = i == pcap.records.size() - 1;
      EXPECT_EQ(record.type, submission ? 'S' : 'C');
      EXPECT_EQ(record.endpoint, 0x81);
      EXPECT_EQ(record.transfer_type, 1);
      EXPECT_EQ(record.status, submission ? -EINPROGRESS : last ? c.last_status : 0);
      const Bytes data = submission || last ? Bytes{} : Bytes{static_cast<std::uint8_t>(i / 2 + 1)};
      EXPECT_EQ(record.length, submission ? 64u : data.size());
      EXPECT_EQ(record.data, data);
      if (!submission) {
        EXPECT_EQ(record.id, pcap.records[i - 1].id);
      } else if (i >= 2) {
        EXPECT_NE(record.id, pcap.records[i - 2].id);
      }
    }
  }
}

TEST(UsbCapture, UsbmonStatusOfEveryOutcome) {
  const struct {
    std::optional<TransferError> error;
    int status;
  } cases[] = {
      {std::nullopt, 0},
      {TransferError::Cancelled, -ENOENT},
      {TransferError::Stall, -EPIPE},
      {TransferError::Disconnected, -ENODEV},
      {TransferError::Fault, -EPROTO},
      {TransferError::Unknown, -EIO},
  };
  for (const auto& c : cases) EXPECT_EQ(usbmon_status(c.error), c.status);
}

TEST(UsbCapture, TsharkDecodesTheCapturedBytes) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "tshark is not on PATH";
  }

  const TempFile path("tshark.pcap");
  auto file = CaptureFile::open(path.string());
  ASSERT_TRUE(file.has_value()) << message(file.error());
  Session session;
  session.record_through(*capture_device(session.device, *file));

  const TempFile output_file("tshark_out.txt");
  const TempFile errors("tshark_err.txt");
  const std::string command = "tshark -r '" + path.string() +
                              "' -T fields -e usb.urb_type -e usb.capdata >'" +
                              output_file.string() + "' 2>'" + errors.string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << read_text(errors.path());
  const std::string output = read_text(output_file.path());

  // One line per record: the URB type and the payload's hex digits (any separators removed).
  std::vector<std::string> lines;
  std::stringstream stream(output);
  for (std::string line; std::getline(stream, line);) {
    line.erase(std::remove(line.begin(), line.end(), ':'), line.end());
    lines.push_back(line);
  }
  std::string command_hex = "012a";
  command_hex.append(124, '0');
  const std::vector<std::string> expected{
      "'S'\t" + command_hex, "'C'\t", "'S'\t", "'C'\t05aabb", "'S'\t", "'C'\t",
  };
  EXPECT_EQ(lines, expected) << output;
}

TEST(UsbCapture, ReceiversOpenAtOnceShareTheFile) {
  const TempFile path("shared.pcap");
  Session first;
  Session second;
  auto one = CaptureFile::open(path.string());
  ASSERT_TRUE(one.has_value()) << message(one.error());
  auto captured_one = capture_device(first.device, *one);
  first.record_through(*captured_one);
  // Another spelling of the same path is the same file.
  auto two = CaptureFile::open((path.path().parent_path() / "." / path.path().filename()).string());
  ASSERT_TRUE(two.has_value()) << message(two.error());
  EXPECT_EQ(*one, *two);
  second.record_through(*capture_device(second.device, *two));

  const PcapFile pcap = read_ok(path.path());  // one header: the second open did not empty it
  ASSERT_EQ(pcap.records.size(), 12u);
  std::vector<std::uint64_t> submission_ids;
  for (std::size_t i = 0; i < pcap.records.size(); ++i) {
    EXPECT_EQ(pcap.records[i].device, i < 6 ? 1 : 2) << i;
    if (pcap.records[i].type == 'S') submission_ids.push_back(pcap.records[i].id);
  }
  std::sort(submission_ids.begin(), submission_ids.end());
  EXPECT_EQ(std::adjacent_find(submission_ids.begin(), submission_ids.end()), submission_ids.end());
}

#ifndef _WIN32
TEST(UsbCapture, TheFileClosesWithTheLastHandleOfItsReceiverAndALaterOneReplacesIt) {
  const TempFile path("lifetime.pcap");
  {
    auto file = CaptureFile::open(path.string());
    ASSERT_TRUE(file.has_value()) << message(file.error());
    Session session;
    auto device = capture_device(session.device, *file);
    file->reset();
    session.record_through(*device);
    auto interface = device->claim_interface(1);
    ASSERT_TRUE(interface.has_value());
    device.reset();
    EXPECT_TRUE(is_open(path.path())) << "a claimed interface keeps recording";
  }
  EXPECT_FALSE(is_open(path.path()));
  EXPECT_EQ(read_ok(path.path()).records.size(), 6u);

  auto again = CaptureFile::open(path.string());
  ASSERT_TRUE(again.has_value()) << message(again.error());
  const PcapFile pcap = read_ok(path.path());
  EXPECT_EQ(pcap.link_type, 220u);
  EXPECT_TRUE(pcap.records.empty()) << "the earlier receiver's records are gone";
}

TEST(UsbCapture, ACaptureThatCannotBeMadeIsAnErrorWithItsCause) {
  const TempFile folder("unwritable");
  std::filesystem::create_directory(folder.path());
  std::filesystem::permissions(folder.path(), std::filesystem::perms::all &
                                                  ~std::filesystem::perms::group_write &
                                                  ~std::filesystem::perms::others_write);
  const std::string fifo = (folder.path() / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string read_only = (folder.path() / "read-only.pcap").string();
  std::ofstream(read_only).close();
  std::filesystem::permissions(read_only, std::filesystem::perms::owner_read |
                                              std::filesystem::perms::group_read |
                                              std::filesystem::perms::others_read);
  const std::string fresh = (folder.path() / "fresh.pcap").string();

  using Around = std::function<void(const std::function<void()>&)>;
  const Around directly = [](const auto& open) { open(); };
  const Around as_nobody = [](const auto& open) {
    const Unprivileged nobody;
    open();
  };
  const Around no_room = [](const auto& open) {
    const FileSizeLimit limit(0);
    open();
  };
  const std::string not_regular(kNotARegularFile);
  const struct {
    const char* name;
    std::string path;
    Around around;
    int code;
    std::string cause;
  } cases[] = {
      {"missing folder", (folder.path() / "missing" / "c.pcap").string(), directly, ENOENT,
       std::strerror(ENOENT)},
      {"directory", folder.string(), directly, EISDIR, std::strerror(EISDIR)},
      {"device", "/dev/full", directly, 0, not_regular},
      {"FIFO without a reader", fifo, directly, 0, not_regular},
      {"read-only file", read_only, as_nobody, EACCES, std::strerror(EACCES)},
      {"header beyond the size limit", fresh, no_room, EFBIG, std::strerror(EFBIG)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t descriptors = open_descriptors();
    std::optional<Expected<std::shared_ptr<CaptureFile>, CaptureError>> opened;
    c.around([&] { opened.emplace(CaptureFile::open(c.path)); });
    ASSERT_TRUE(opened.has_value());
    ASSERT_FALSE(opened->has_value());
    EXPECT_EQ(opened->error(), (CaptureError{c.path, c.code, c.cause}));
    EXPECT_EQ(open_descriptors(), descriptors) << "nothing is left open";
  }
  EXPECT_EQ(message(CaptureError{"/x/c.pcap", ENOENT, std::strerror(ENOENT)}),
            std::string("cannot write the USB capture named by SORVEL_CAPTURE: ") +
                std::strerror(ENOENT) + ": '/x/c.pcap'");

  // With a reader, a FIFO opens at once; it is refused all the same, and nothing is sent to it.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  auto refused = CaptureFile::open(fifo);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().cause, not_regular);
  char byte = 0;
  EXPECT_EQ(::read(reader, &byte, 1), 0) << "nothing was written to it";
  ::close(reader);
}

TEST(UsbCapture, AWriteFailureStopsTheCaptureOnceAndKeepsWholeRecords) {
  auto& logger = log::capture();
  logger.clear();
  const TempFile path("full.pcap");
  Session session;
  std::shared_ptr<Device> stopped;
  {
    // Room for the header, the first record (the command, 144 bytes) and part of the second.
    const FileSizeLimit limit(24 + 144 + 40);
    auto file = CaptureFile::open(path.string());
    ASSERT_TRUE(file.has_value()) << message(file.error());
    stopped = capture_device(session.device, *file);
    session.record_through(*stopped);  // every transfer works
  }
  const PcapFile pcap = read_ok(path.path());
  ASSERT_EQ(pcap.records.size(), 1u) << "the cut record is gone, and nothing came after";
  EXPECT_EQ(pcap.records[0].data, command_bytes());
  EXPECT_EQ(logger.messages(log::kUsbTarget),
            std::vector<std::string>{"usb capture to " + path.string() +
                                     " stopped: " + std::strerror(EFBIG)});

  // A later receiver does not join the stopped capture: it gets the file afresh.
  auto file = CaptureFile::open(path.string());
  ASSERT_TRUE(file.has_value()) << message(file.error());
  Session later;
  later.record_through(*capture_device(later.device, *file));
  EXPECT_EQ(read_ok(path.path()).records.size(), 6u);
}
#endif

TEST(UsbCapture, EnvironmentVariableNamesTheFile) {
  const TempFile path("env.pcap");

  platform::unset_environment_variable(kCaptureEnvVar);
  auto none = requested_capture();
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(*none, nullptr);
  platform::set_environment_variable(kCaptureEnvVar, "");
  none = requested_capture();
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(*none, nullptr);

  platform::set_environment_variable(kCaptureEnvVar, path.string().c_str());
  auto requested = requested_capture();
  platform::unset_environment_variable(kCaptureEnvVar);
  ASSERT_TRUE(requested.has_value());
  ASSERT_NE(*requested, nullptr);
  EXPECT_EQ((*requested)->path(), path.string());
  Session session;
  session.record_through(*capture_device(session.device, *requested));
  EXPECT_EQ(read_ok(path.path()).records.size(), 6u);

  platform::set_environment_variable(kCaptureEnvVar, "/nonexistent-sorvel-dir/c.pcap");
  auto failed = requested_capture();
  platform::unset_environment_variable(kCaptureEnvVar);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().code, ENOENT);
}

}  // namespace
}  // namespace sorvel::usb
