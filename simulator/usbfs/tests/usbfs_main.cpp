// The usbfs suites run with umockdev's preload library in the process.
#include <gmock/gmock.h>

#include "sorvel/usbfs/usbfs_bus.hpp"

int main(int argc, char** argv) {
  sorvel::usbfs::Bus::ensure_mock_environment(argv);
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
