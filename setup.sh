#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what a Debian 12 machine lacks to build ktal-companion, builds it
# and starts it on the simulated guider. Runs as root or as a user with sudo;
# sudo is asked for only when packages are missing.
set -eu
cd "$(dirname "$0")"

packages="cmake g++ make pkg-config dpkg-dev qt6-base-dev libftdi1-dev libusb-1.0-0-dev
          libcfitsio-dev libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev libjs-dygraphs librsvg2-bin
          clang libclang-rt-14-dev llvm"
missing=""
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing="$missing $package"
done

if [ -n "$missing" ]; then
  if [ "$(id -u)" -eq 0 ]; then
    as_root=""
  elif command -v sudo >/dev/null 2>&1; then
    as_root="sudo"
  else
    echo "setup.sh: missing packages:$missing" >&2
    echo "setup.sh: there is no sudo here; as root run: apt-get install$missing" >&2
    echo "setup.sh: then run ./setup.sh again." >&2
    exit 1
  fi
  echo "setup.sh: installing$missing"
  $as_root apt-get update
  # shellcheck disable=SC2086 # one word per package
  $as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
fi

cmake -S . -B build
cmake --build build -j "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
exec ./build/src/app/ktal-companion --simulate
