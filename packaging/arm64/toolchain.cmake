# SPDX-License-Identifier: GPL-3.0-or-later
# Cross-building for 64-bit ARM (Debian arm64, 64-bit Raspberry Pi OS) on a
# Debian amd64 machine with Debian's multiarch packages: the compilers of
# crossbuild-essential-arm64, the arm64 libraries installed beside the host's
# in /usr/lib/aarch64-linux-gnu, and qemu-user to run what was built (test
# discovery, the tests, the benchmarks). packaging/build-arm64.sh installs
# all of it and uses this file.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

find_program(KTAL_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(KTAL_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KTAL_QEMU_AARCH64})
endif()

# Libraries and headers of the target only; programs (moc, rcc, rsvg-convert,
# gzip) are the host's. The host's /usr/lib/x86_64-linux-gnu is never
# searched, since the library architecture names the target's folder.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config reads the target's .pc files instead of the host's, first those
# under CMAKE_PREFIX_PATH (FindPkgConfig adds no multiarch folders there when
# cross-building). The compile checks read this file again in the same
# process without CMAKE_PREFIX_PATH, and must leave the setting alone.
get_property(in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT in_try_compile)
  set(pkg_config_dirs)
  foreach(prefix IN LISTS CMAKE_PREFIX_PATH)
    list(APPEND pkg_config_dirs ${prefix}/lib/aarch64-linux-gnu/pkgconfig)
  endforeach()
  list(APPEND pkg_config_dirs /usr/lib/aarch64-linux-gnu/pkgconfig /usr/share/pkgconfig)
  string(REPLACE ";" ":" pkg_config_dirs "${pkg_config_dirs}")
  set(ENV{PKG_CONFIG_LIBDIR} "${pkg_config_dirs}")
endif()
