// The pose solver's cost per poll of a full kit, beside forward kinematics alone (the floor the
// solver builds on: its ratio survives a noisy machine better than the raw times). Every
// allocation in the process is counted, so the solver's count per call is reported, not assumed.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>

#include "sorvel/pose/calibration.hpp"
#include "sorvel/pose/known_poses.hpp"
#include "sorvel/pose/solver.hpp"

namespace {
std::atomic<std::size_t> allocations{0};
}  // namespace

// Kept out of line: inlined into a caller, g++ would pair its `new` expression with free() and
// warn of a mismatch that is not one.
[[gnu::noinline]] void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void* operator new[](std::size_t size) {
  return operator new(size);
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

using namespace sorvel;
using namespace sorvel::pose;

Quaternion any_rotation(std::mt19937& random) {
  std::normal_distribution<double> normal;
  return Quaternion{normal(random), normal(random), normal(random), normal(random)}.normalized();
}

// A kit of fifteen trackers, each with a heading and strap of its own, calibrated standing.
struct CalibratedKit {
  Calibration calibration;
  Orientations poll;

  CalibratedKit() {
    std::mt19937 random(42);
    std::array<Quaternion, kBodyPartCount> worn;  // world <- body, and tracker strap, folded
    std::array<Quaternion, kBodyPartCount> straps;
    HoldAverage hold;
    for (std::size_t i = 0; i < kBodyPartCount; ++i) {
      const auto part = static_cast<BodyPart>(i);
      worn[i] = up_rotation(WorldUp::Z);
      straps[i] = any_rotation(random);
      hold.add(part, worn[i] * standing_rotation(StandingPose::I, part) * straps[i]);
      poll.set(part, worn[i] * any_rotation(random) * straps[i]);
    }
    calibration = *calibrate(hold.summary(), StandingPose::I);
  }
};

void BM_BaselineJointPositions(benchmark::State& state) {
  std::mt19937 random(1);
  SegmentRotations rotations;
  for (auto& q : rotations) q = any_rotation(random);
  const Proportions proportions = Proportions::from_height(1.75);
  for (auto _ : state) {
    benchmark::DoNotOptimize(rotations);
    benchmark::DoNotOptimize(joint_positions(rotations, proportions));
  }
}
BENCHMARK(BM_BaselineJointPositions);

void BM_Solve15Trackers(benchmark::State& state) {
  const CalibratedKit kit;
  const Proportions proportions = Proportions::from_height(1.75);
  Pose pose;
  const std::size_t before = allocations.load();
  for (auto _ : state) {
    benchmark::DoNotOptimize(kit.poll);
    solve(kit.calibration, proportions, kit.poll, pose);
    benchmark::DoNotOptimize(pose);
  }
  const std::size_t during = allocations.load() - before;
  state.counters["allocs_per_solve"] =
      static_cast<double>(during) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Solve15Trackers);

}  // namespace
