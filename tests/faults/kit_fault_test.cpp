// The fault matrix through the virtual kit, in process.
#include "fault_matrix.hpp"

namespace sorvel::testing::faults {
namespace {

/// A kit nothing holds any more comes back fresh, as if re-plugged; one still held is found as it
/// is, with its claims (or not at all, when unplugged).
class KitBench final : public Bench {
 public:
  explicit KitBench(simulator::Scenario scenario) : backend_(test_name(), std::move(scenario)) {}

  usb::Backend& backend() override { return backend_; }
  void unplug() override { backend_.unplug(); }
  simulator::KitState state() const override {
    return backend_.state().value_or(simulator::KitState{});
  }

 private:
  simulator::VirtualKitBackend backend_;
};

class KitFaults : public ::testing::TestWithParam<FaultRow> {};

TEST_P(KitFaults, EndsInItsErrorAndLeavesTheReceiverFree) {
  KitBench bench(GetParam().scenario);
  run_row(GetParam(), bench);
}

INSTANTIATE_TEST_SUITE_P(FaultMatrix, KitFaults, ::testing::ValuesIn(fault_rows()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace sorvel::testing::faults
