#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "sorvel/driver/usb/usb.hpp"

namespace sorvel::usb {
namespace {

class FakeEntry final : public DeviceEntry {
 public:
  FakeEntry(std::uint16_t vendor, std::uint16_t product) : vendor_(vendor), product_(product) {}
  std::uint16_t vendor_id() const override { return vendor_; }
  std::uint16_t product_id() const override { return product_; }
  Expected<std::shared_ptr<Device>, SystemError> open() override {
    return unexpected(system_error_from_errno(ENODEV));
  }

 private:
  std::uint16_t vendor_;
  std::uint16_t product_;
};

TEST(FindReceiver, FirstEntryWithTheReceiversIdsInListOrder) {
  using Ids = std::pair<std::uint16_t, std::uint16_t>;
  const struct {
    const char* what;
    std::vector<Ids> entries;
    std::optional<std::size_t> found;
  } cases[] = {
      {"empty list", {}, std::nullopt},
      {"only other devices", {{0x1d6b, 0x0002}, {0x046d, 0xc52b}}, std::nullopt},
      {"vendor matches, product does not", {{0x303a, 0x1001}}, std::nullopt},
      {"product matches, vendor does not", {{0x1234, 0x81d3}}, std::nullopt},
      {"single receiver", {{0x303a, 0x81d3}}, 0},
      {"receiver after others", {{0x1d6b, 0x0003}, {0x303a, 0x1001}, {0x303a, 0x81d3}}, 2},
      {"two receivers: the first", {{0x303a, 0x81d3}, {0x1d6b, 0x0002}, {0x303a, 0x81d3}}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DeviceList list;
    for (const auto& [vendor, product] : c.entries) {
      list.push_back(std::make_unique<FakeEntry>(vendor, product));
    }
    DeviceEntry* found = find_receiver(list);
    if (c.found) {
      EXPECT_EQ(found, list.at(*c.found).get());
    } else {
      EXPECT_EQ(found, nullptr);
    }
  }
}

}  // namespace
}  // namespace sorvel::usb
