// The usbfs suites run with umockdev's preload library in the process.
#include <gmock/gmock.h>

#include <cstdlib>
#include <string>

#include "sorvel/usbfs/usbfs_bus.hpp"

int main(int argc, char** argv) {
  if (!sorvel::usbfs::Bus::in_mock_environment()) {
    std::string tsan = "suppressions=" SORVEL_USBFS_TSAN_SUPPRESSIONS;
    if (const char* more = std::getenv("TSAN_OPTIONS"); more != nullptr)
      tsan += ":" + std::string(more);
    ::setenv("TSAN_OPTIONS", tsan.c_str(), 1);
  }
  sorvel::usbfs::Bus::ensure_mock_environment(argv);
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
