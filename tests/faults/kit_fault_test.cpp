// The fault matrix through the virtual kit, in process.
#include "fault_matrix.hpp"

namespace sorvel::testing::faults {
namespace {

class KitBench final : public Bench {
 public:
  explicit KitBench(simulator::Scenario scenario) : backend_(test_name(), std::move(scenario)) {}

  std::shared_ptr<usb::Device> open_device() override {
    auto device = open_receiver(backend_);
    if (!device) {
      ADD_FAILURE() << "no receiver could be opened";
      std::abort();
    }
    return std::move(*device);
  }
  void unplug() override { backend_.unplug(); }
  simulator::KitState state() const override {
    return backend_.state().value_or(simulator::KitState{});
  }

  // A kit nothing holds any more comes back fresh, as if re-plugged; one still held is found
  // as it is, with its claims (or not at all, when unplugged).
  ::testing::AssertionResult free() override {
    auto device = open_receiver(backend_);
    if (!device) return ::testing::AssertionFailure() << "the receiver is not there";
    for (std::uint8_t number : {kCommandInterface, kAuxiliaryInterface, kReportInterface}) {
      if (auto claimed = (*device)->claim_interface(number); !claimed) {
        return ::testing::AssertionFailure()
               << "interface " << int(number) << ": " << claimed.error().message;
      }
    }
    return ::testing::AssertionSuccess();
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
