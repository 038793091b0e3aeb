// The fault matrix through the libusb backend, on a receiver emulated at the usbfs level.
#include "fault_matrix.hpp"
#include "usbfs_harness.hpp"

namespace sorvel::testing::faults {
namespace {

class UsbfsBench final : public Bench {
 public:
  explicit UsbfsBench(simulator::Scenario scenario)
      : receiver_(bus().plug(std::move(scenario))), backend_(libusb_backend()) {}

  usb::Backend& backend() override { return *backend_; }
  void unplug() override { receiver_->unplug(); }
  simulator::KitState state() const override { return receiver_->state(); }

  ::testing::AssertionResult free() override {
    if (!receiver_->state().present) {
      // Unplugged (by the test or its script) and gone from the bus, so there is nothing to open
      // again: it must at least hold no claim.
      const auto claimed = receiver_->state().claimed_interfaces;
      if (claimed.empty()) return ::testing::AssertionSuccess();
      return ::testing::AssertionFailure() << claimed.size() << " interfaces still claimed";
    }
    return claims_every_interface();
  }

 private:
  std::shared_ptr<usbfs::PluggedReceiver> receiver_;
  std::unique_ptr<usb::Backend> backend_;
};

class UsbfsFaults : public ::testing::TestWithParam<FaultRow> {};

TEST_P(UsbfsFaults, EndsInItsErrorAndLeavesTheReceiverFree) {
  UsbfsBench bench(GetParam().scenario);
  run_row(GetParam(), bench);
}

INSTANTIATE_TEST_SUITE_P(FaultMatrix, UsbfsFaults, ::testing::ValuesIn(fault_rows()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace sorvel::testing::faults
