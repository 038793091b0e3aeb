// Codec costs per operation. The copy baseline (a 64-byte transfer copied into a vector) runs in
// the same process, so its ratio to the others survives a noisy machine better than the raw times.

#include <benchmark/benchmark.h>

#include <array>
#include <cstring>
#include <vector>

#include "sorvel/protocol/messages.hpp"
#include "sorvel/protocol/sensor_report.hpp"

namespace {

using namespace sorvel::protocol;

const std::vector<std::uint8_t> kReceiverInfo{0x01, 1, 2, 3, 4, 5, 6, 2, 0, 1};
const std::vector<std::uint8_t> kTrackerConfig{0x12, 0x04, 1,    2,    3, 4, 5,    6,    0xFC,
                                               6,    3,    0xE8, 0x07, 1, 2, 0xFF, 0xFF, 0x03};

std::vector<std::uint8_t> report_payload() {
  SensorReport report;
  report.body_part = sorvel::BodyPart::Chest;
  report.header = 123456;
  for (auto& sample : report.samples) {
    sample.value_a = 1u << 20;
    sample.orientation = {1200, -3400, 5600, 14000};
    sample.second_quaternion = {0, 0, 0, 16384};
    sample.acceleration = {12, -2511, 40};
    sample.scalar = 400;
    sample.accuracy = 3;
  }
  auto frame = encode_report_frame(report);
  return {frame.begin() + kReportHeaderSize, frame.end()};
}

void BM_BaselineCopyTransfer(benchmark::State& state) {
  std::array<std::uint8_t, 64> transfer{};
  for (auto _ : state) {
    std::vector<std::uint8_t> copy(transfer.begin(), transfer.end());
    benchmark::DoNotOptimize(copy.data());
  }
}
BENCHMARK(BM_BaselineCopyTransfer);

void BM_DecodeResponse(benchmark::State& state, const std::vector<std::uint8_t>* bytes) {
  for (auto _ : state) {
    auto response = decode_response(*bytes);
    benchmark::DoNotOptimize(response);
  }
}
BENCHMARK_CAPTURE(BM_DecodeResponse, ReceiverInfo, &kReceiverInfo);
BENCHMARK_CAPTURE(BM_DecodeResponse, TrackerConfig, &kTrackerConfig);

void BM_DecodeSensorReportToFrames(benchmark::State& state) {
  const auto payload = report_payload();
  for (auto _ : state) {
    auto report = decode_sensor_report(payload);
    std::array<sorvel::TrackerFrame, kSamplesPerReport> frames;
    for (std::size_t i = 0; i < frames.size(); ++i) frames[i] = to_frame(report->samples[i]);
    benchmark::DoNotOptimize(frames);
  }
}
BENCHMARK(BM_DecodeSensorReportToFrames);

void BM_EncodeCommandTransfer(benchmark::State& state) {
  const std::array group{sorvel::BodyPart::Head, sorvel::BodyPart::Hips, sorvel::BodyPart::Chest};
  const Command initiate = *command::Initiate::for_group(group);
  for (auto _ : state) {
    auto transfer = command_transfer(initiate);
    benchmark::DoNotOptimize(transfer);
  }
}
BENCHMARK(BM_EncodeCommandTransfer);

}  // namespace
