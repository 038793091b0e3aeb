# Cross build for Windows x86-64 with MinGW-w64 (Debian's posix-thread flavour, which C++ threads
# need). Libraries come from the prefix scripts/windows-deps fills; tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(DEFINED ENV{SORVEL_CACHE})
  set(SORVEL_WINDOWS_PREFIX "$ENV{SORVEL_CACHE}/mingw64")
else()
  set(SORVEL_WINDOWS_PREFIX /var/cache/pysorvel/mingw64)
endif()

# Each part of the prefix is a root of its own; the host's /usr stays out of every search.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${SORVEL_WINDOWS_PREFIX}/libusb
    ${SORVEL_WINDOWS_PREFIX}/googletest ${SORVEL_WINDOWS_PREFIX}/headers
    ${SORVEL_WINDOWS_PREFIX}/python3)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} ${SORVEL_WINDOWS_PREFIX}/libusb/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Windows 10 APIs (Asio needs at least Vista's); the C++ runtime, libgcc and winpthreads linked in,
# so nothing but system DLLs is needed beside our binaries.
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0A00")
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0A00")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-static")
endforeach()

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
