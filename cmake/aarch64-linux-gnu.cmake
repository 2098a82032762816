# Cross-compilation for AArch64 Linux with Debian's cross toolchain (g++-aarch64-linux-gnu)
# and the arm64 builds of the libraries installed through multiarch (package:arm64), which
# live in /usr/lib/aarch64-linux-gnu beside the host's. Programs built here run on the
# build machine under qemu-aarch64 (tests, gtest discovery).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# No -L /usr/aarch64-linux-gnu: that prefix brings the cross toolchain's own C library,
# and mixing it with the multiarch libraries makes threaded programs hang under qemu 7.2.
# The arm64 C library installed through multiarch (/lib/ld-linux-aarch64.so.1) is found
# as it is.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)

# Only the arm64 .pc files: the host's would hand out x86_64 library paths.
# ORVANE_ARM64_EXTRA holds development files of arm64 packages that cannot be installed
# beside the host's (libwebsockets-dev ships an architecture-specific header in
# /usr/include); scripts/build-aarch64 unpacks them there.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
# try_compile re-reads this file in the same process: hand it the variable, or it would
# reset the search path without the extra directory.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORVANE_ARM64_EXTRA)
if(ORVANE_ARM64_EXTRA)
  set(ENV{PKG_CONFIG_LIBDIR} ${ORVANE_ARM64_EXTRA}/pkgconfig:$ENV{PKG_CONFIG_LIBDIR})
endif()
set(ENV{PKG_CONFIG_PATH} "")

# Headers and libraries of the target are found in the multiarch paths of the host root;
# programs (code generators, shells) are the host's own.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
