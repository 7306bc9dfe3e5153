# SPDX-License-Identifier: GPL-3.0-or-later
# Read by cpack while it builds the package (CPACK_PROJECT_CONFIG_FILE).
# The times of the package's files and members are the source's date rather
# than the build's, so that two builds of one source give the same file.
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_KTAL_SOURCE_DATE_EPOCH}")
# A cross-built package: dpkg-shlibdeps looks the programs' libraries up
# among those of the package's architecture, not the build machine's.
if(CPACK_KTAL_CROSS_ARCHITECTURE)
  set(ENV{DEB_HOST_ARCH} "${CPACK_KTAL_CROSS_ARCHITECTURE}")
endif()
