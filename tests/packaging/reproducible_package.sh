#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package twice with SOURCE_DATE_EPOCH set, from two copies
# of the source in folders of different names and depths, each built inside
# its copy, and compares the two .deb files byte for byte. Only what the
# package holds is built (no tests, no benchmarks), and without ccache, whose
# cached objects may come from another folder.
# On a difference it shows the files and file lists that differ.
# Usage: reproducible_package.sh SOURCE_DIR WORK_DIR CMAKE CPACK
# Exit 77 (skipped) where the Debian tools to build a package are missing.
set -uo pipefail
source=$1 work=$2 cmake=$3 cpack=$4

command -v dpkg-deb >/dev/null && command -v dpkg-shlibdeps >/dev/null ||
  { echo "SKIPPED: the Debian package tools are missing (apt-get install dpkg-dev)"; exit 77; }

# A day that is neither the build's nor the release's, so that a date taken
# from either shows up as a difference from the expected file times below.
export SOURCE_DATE_EPOCH=1767225600 # 2026-01-01 00:00 UTC
export CCACHE_DISABLE=1
unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

rm -rf "$work" && mkdir -p "$work"
# The source as it stands, committed or not, without build folders.
copy_source() {
  mkdir -p "$1"
  if git -C "$source" rev-parse --show-toplevel >/dev/null 2>&1; then
    (cd "$source" && git ls-files -z --cached --others --exclude-standard |
      xargs -0 cp --parents -t "$1" 2>/dev/null)
  else
    tar -C "$source" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$1" -xf -
  fi
}

# Configures, builds and packages TREE into OUT, or fails the test.
build_package() { # TREE OUT
  { "$cmake" -S "$1" -B "$1/build" -DKTAL_BUILD_TESTS=OFF -DKTAL_BUILD_BENCH=OFF &&
    "$cmake" --build "$1/build" -j "$jobs" &&
    "$cpack" --config "$1/build/CPackConfig.cmake" -G DEB -B "$2"; } >"$2.log" 2>&1 ||
    { tail -n 40 "$2.log"; echo "FAIL: the build in $1 failed"; exit 1; }
}

# Both copies first, so that both builds have the same source even while it
# is being edited.
copy_source "$work/a/ktal-companion" && copy_source "$work/second/build-here/src" ||
  { echo "FAIL: the source could not be copied"; exit 1; }
build_package "$work/a/ktal-companion" "$work/deb-a"
build_package "$work/second/build-here/src" "$work/deb-b"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
first=("$work"/deb-a/*.deb) second=("$work"/deb-b/*.deb)
listing() { dpkg-deb --fsys-tarfile "$1" | tar -tv --full-time -f -; }

# Every file in the package carries the given day, not the build's.
other_times=$(listing "$first" | awk '$4 != "2026-01-01" { print }')
[ -z "$other_times" ] || fail "entries not dated by SOURCE_DATE_EPOCH:"$'\n'"$other_times"

if ! cmp "$first" "$second"; then
  fail "the two packages differ"
  diff <(listing "$first") <(listing "$second")
  dpkg-deb -R "$first" "$work/root-a" && dpkg-deb -R "$second" "$work/root-b" &&
    diff -rq "$work/root-a" "$work/root-b"
fi

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
