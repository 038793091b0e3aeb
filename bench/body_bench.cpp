// What a simulated person costs the virtual kit: one round of reports (every tracker's four
// samples) from the body, beside the same round of the synthetic motion it replaces.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "body/person.hpp"
#include "motion.hpp"

namespace {

using namespace sorvel;
using namespace sorvel::simulator;

void round_of_reports(benchmark::State& state, SampleSource& source) {
  const auto trackers = Scenario::default_trackers();
  const double period = 1.0 / 100.0;
  double now = 0.0;
  std::uint64_t index = 0;
  for (auto _ : state) {
    for (const TrackerSpec& tracker : trackers) {
      for (std::size_t i = 0; i < protocol::kSamplesPerReport; ++i) {
        benchmark::DoNotOptimize(source.sample(
            tracker, now + period * static_cast<double>(i) / protocol::kSamplesPerReport, index++));
      }
    }
    now += period;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * trackers.size() *
                                                    protocol::kSamplesPerReport));
}

void BM_SyntheticMotionRound(benchmark::State& state) {
  SyntheticMotion motion(Motion::Sway);
  round_of_reports(state, motion);
}
BENCHMARK(BM_SyntheticMotionRound);

void BM_BodyRound(benchmark::State& state) {
  body::Person person(BodyScenario{});
  round_of_reports(state, person);
}
BENCHMARK(BM_BodyRound);

void BM_BodyRoundWritingTruth(benchmark::State& state) {
  BodyScenario body;
  const auto path = std::filesystem::temp_directory_path() / "sorvel-body-bench-truth.csv";
  body.truth_path = path.string();
  body::Person person(body);
  round_of_reports(state, person);
  std::filesystem::remove(path);
}
BENCHMARK(BM_BodyRoundWritingTruth);

}  // namespace

BENCHMARK_MAIN();
