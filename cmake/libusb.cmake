# libusb as one target, sorvel::libusb, whichever way it is found: through pkg-config where there
# is one (Linux, the MinGW cross build), else from its header and import library directly, which is
# how vcpkg lays it out for MSVC (no pkg-config there).
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(LIBUSB QUIET IMPORTED_TARGET libusb-1.0)
endif()

add_library(sorvel::libusb INTERFACE IMPORTED)
if(TARGET PkgConfig::LIBUSB)
  target_link_libraries(sorvel::libusb INTERFACE PkgConfig::LIBUSB)
else()
  find_path(LIBUSB_INCLUDE_DIR libusb.h PATH_SUFFIXES libusb-1.0 REQUIRED)
  find_library(LIBUSB_LIBRARY NAMES usb-1.0 libusb-1.0 REQUIRED)
  target_include_directories(sorvel::libusb INTERFACE ${LIBUSB_INCLUDE_DIR})
  target_link_libraries(sorvel::libusb INTERFACE ${LIBUSB_LIBRARY})
  message(STATUS "libusb without pkg-config: ${LIBUSB_LIBRARY}")
endif()
