#include "generated_stream.hpp"

#include <array>
#include <chrono>
#include <cstdlib>

#include "sorvel/protocol/codec.hpp"

namespace sorvel::simulator {

namespace {
/// The smallest value whose shortest varint already takes kStampBytes bytes.
constexpr std::uint64_t kStampPlaceholder = std::uint64_t{1} << 56;
}  // namespace

void write_stamp(std::uint8_t* at, std::uint64_t nanoseconds) {
  for (std::size_t i = 0; i + 1 < kStampBytes; ++i) {
    at[i] = static_cast<std::uint8_t>(((nanoseconds >> (7 * i)) & 0x7F) | 0x80);
  }
  at[kStampBytes - 1] = static_cast<std::uint8_t>((nanoseconds >> 56) & 0x7F);
}

void stamp_transfer(std::span<std::uint8_t> transfer, std::span<const std::uint32_t> offsets) {
  if (offsets.empty()) return;
  const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  for (std::uint32_t offset : offsets) {
    write_stamp(transfer.data() + offset, static_cast<std::uint64_t>(now.count()));
  }
}

bool GeneratedStream::append(const protocol::SensorReport& report) {
  using protocol::kReportHeaderSize;
  std::array<std::uint8_t, kReportHeaderSize + protocol::kMaxReportPayload> frame{};
  const std::span payload = std::span(frame).subspan(kReportHeaderSize);
  std::array<SampleSpan, protocol::kSamplesPerReport> at{};  // within the payload
  std::size_t size = 0;
  if (!stamp_) {
    const auto encoded = protocol::encode(report, payload);
    if (!encoded) std::abort();  // impossible: the buffer holds the longest report
    size = *encoded;
  } else {
    // Field by field, as the report's codec writes them, to learn where each sample lies.
    protocol::Writer writer(payload);
    auto written = [&writer] {
      const auto size = writer.finish();
      if (!size) std::abort();  // impossible: the buffer holds the longest report
      return *size;
    };
    protocol::Codec<BodyPart>::write(writer, report.body_part);
    protocol::Codec<std::uint32_t>::write(writer, report.header);
    for (std::size_t i = 0; i < report.samples.size(); ++i) {
      protocol::SensorSample sample = report.samples[i];
      sample.value_a = kStampPlaceholder;  // first field of the sample: its first kStampBytes
      at[i].begin = written();
      protocol::Codec<protocol::SensorSample>::write(writer, sample);
      at[i].end = written();
    }
    size = written();
  }
  std::copy(protocol::kReportMarker.begin(), protocol::kReportMarker.end(), frame.begin());
  frame[4] = static_cast<std::uint8_t>(size & 0xFF);
  frame[5] = static_cast<std::uint8_t>(size >> 8);
  const std::size_t total = kReportHeaderSize + size;
  if (bytes_.size() + total > kLimit) return false;
  if (stamp_) {
    const std::uint64_t base = taken_ + bytes_.size() + kReportHeaderSize;
    for (const SampleSpan& sample : at)
      samples_.push_back({base + sample.begin, base + sample.end});
  }
  bytes_.append(std::span<const std::uint8_t>(frame).first(total));
  return true;
}

std::size_t GeneratedStream::next_size(std::size_t length) const {
  const std::size_t n = std::min(length, bytes_.size());
  if (!stamp_) return n;
  const std::uint64_t begin = taken_;
  const std::uint64_t end = taken_ + n;
  for (std::size_t i = 0; i < samples_.size() && samples_[i].begin < end; ++i) {
    const SampleSpan& sample = samples_[i];
    if (sample.end <= end) continue;
    // The first sample cut by the end: it goes whole into the next transfer if one can hold it.
    if (sample.begin > begin && sample.end - sample.begin <= length) {
      return static_cast<std::size_t>(sample.begin - begin);
    }
    break;
  }
  return n;
}

void GeneratedStream::take(std::span<std::uint8_t> out, std::vector<std::uint32_t>& stamps) {
  const std::uint64_t begin = taken_;
  const std::uint64_t end = taken_ + out.size();
  while (!samples_.empty() && samples_[0].begin < end) {
    const SampleSpan sample = samples_[0];
    samples_.pop_front();
    const auto offset = static_cast<std::size_t>(sample.begin - begin);
    if (sample.begin + kStampBytes <= end) {
      stamps.push_back(static_cast<std::uint32_t>(offset));
      continue;
    }
    // A transfer shorter than a stamp splits it: stamped now, so both parts carry one value.
    std::array<std::uint8_t, kStampBytes> stamp{};
    const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    write_stamp(stamp.data(), static_cast<std::uint64_t>(now.count()));
    for (std::size_t i = 0; i < kStampBytes; ++i) bytes_[offset + i] = stamp[i];
  }
  bytes_.take(out);
  taken_ = end;
}

void GeneratedStream::clear() {
  bytes_.clear();
  samples_.clear();
  taken_ = 0;
}

}  // namespace sorvel::simulator
