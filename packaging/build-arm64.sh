#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Cross-builds ktal-companion for arm64 (64-bit Raspberry Pi OS, Debian
# arm64) on a Debian 12 amd64 machine, runs its tests and the benchmarks that
# measure a ratio under qemu-user, and builds its Debian package:
#
#   packaging/build-arm64.sh [BUILD_DIR]        (default: build-arm64)
#
# leaves BUILD_DIR/ktal-companion_<version>_arm64.deb, checked like the amd64
# package (its files, its Depends, lintian). Installs what is missing first,
# as setup.sh does (as root, or with sudo): the cross compilers,
# qemu-user-static, and the arm64 libraries beside the machine's own
# (dpkg --add-architecture arm64).
#
# What it leaves to the two native builds of the README's test command, which
# run all of it on the same source, to keep the whole of CI within its time
# on two cores (the arm64 pass runs its tests under an emulator, several
# times slower than the machine, after a build without ccache):
# - debug information: the programs are built as the host's (-O2, checked
#   buffer functions) but without -g, a third of the compile time; the
#   package strips it anyway, so it holds the same code;
# - the fault sweep (not even built: KTAL_FAULT_SWEEP=OFF), the longest
#   test there is; every exchange it sweeps also runs once, unbroken and
#   with its failure texts, in the protocol tests that do run here;
# - the fuzz harnesses (they come with the sanitizer build only);
# - checks of the sources that nothing built takes part in (house style,
#   layers, licence lines) and the reproducibility test, which builds the
#   host's package twice more;
# - the test of analysis.html in the host's Chromium (minutes under qemu, for
#   a page whose figures the summary tests check on arm64 too), the tests
#   that need a guider on USB, and the benchmarks other than the two that
#   measure a ratio of two ways of doing one job (below).
#
# KTAL_ARM64_BENCH=0 leaves the benchmarks out. The parallel jobs are
# CMAKE_BUILD_PARALLEL_LEVEL, or one per core.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
build=${1:-build-arm64}
mkdir -p "$build"
build=$(cd "$build" && pwd)
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
say() { echo "build-arm64: $*"; }
# How long each step took, for CI's budget: printed at the end.
timings=()
step_start=$SECONDS
step_done() {
  timings+=("$1 $((SECONDS - step_start)) s")
  step_start=$SECONDS
}

if [ "$(id -u)" -eq 0 ]; then
  as_root=""
elif command -v sudo >/dev/null 2>&1; then
  as_root="sudo"
else
  as_root="none"
fi
need_root() {
  if [ "$as_root" = none ]; then
    say "as root, run: $*" >&2
    say "there is no sudo here; run it as root, then run this again." >&2
    exit 1
  fi
  $as_root "$@"
}

# ---- What the cross build needs --------------------------------------------
# The machine's own tools; then the target's libraries, installed beside the
# machine's as Debian's multiarch allows. libftdi1-dev cannot be: it is not
# Multi-Arch: same, so installing its arm64 build would remove the amd64 one.
# Its files are unpacked into the build folder below instead.
host_packages=(crossbuild-essential-arm64 qemu-user-static cmake make pkg-config dpkg-dev
               lintian qt6-base-dev-tools libcli11-dev libjs-dygraphs librsvg2-bin gzip)
arm64_packages=(qt6-base-dev qt6-qpa-plugins libusb-1.0-0-dev libftdi1-2 libgtest-dev
                libgmock-dev libbenchmark-dev libcfitsio-dev)
missing=()
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for package in "${host_packages[@]}"; do installed "$package" || missing+=("$package"); done
for package in "${arm64_packages[@]}"; do installed "$package:arm64" || missing+=("$package:arm64"); done
if [ "${#missing[@]}" -gt 0 ]; then
  say "installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    need_root dpkg --add-architecture arm64
  fi
  need_root apt-get update -q
  # The arm64 libraries must match the machine's own versions, so apt may
  # upgrade some of those; it must never remove one.
  plan=$(LC_ALL=C apt-get install -s -q --no-install-recommends "${missing[@]}")
  if grep '^Remv' <<<"$plan"; then
    say "installing ${missing[*]} would remove the packages above; stopping." >&2
    exit 1
  fi
  need_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# libftdi1-dev for arm64, unpacked: the headers, the static library the
# emulated-chip tests link, and a .pc file pointing here. The shared library
# itself is libftdi1-2:arm64's, so the programs link against the one the
# package will depend on.
ftdi_version=$(dpkg-query -W -f='${Version}' libftdi1-2:arm64)
deps=$build/deps
if [ "$(cat "$deps/libftdi1-dev.version" 2>/dev/null)" != "$ftdi_version" ]; then
  say "unpacking libftdi1-dev:arm64 $ftdi_version into $deps"
  rm -rf "$deps" && mkdir -p "$deps/download"
  # apt-get download is no root's business; as root it warns that _apt
  # cannot write here, which does not matter.
  (cd "$deps/download" && apt-get download -q "libftdi1-dev:arm64=$ftdi_version" 2>&1 |
     grep -v 'unsandboxed as root' || true)
  dpkg-deb -x "$deps"/download/libftdi1-dev_*_arm64.deb "$deps"
  libdir=$deps/usr/lib/aarch64-linux-gnu
  sed -i -e "s|^prefix=.*|prefix=$deps/usr|" -e 's|^libdir=.*|libdir=${prefix}/lib/aarch64-linux-gnu|' \
         -e 's|^includedir=.*|includedir=${prefix}/include/libftdi1|' "$libdir/pkgconfig/libftdi1.pc"
  ln -sf /usr/lib/aarch64-linux-gnu/libftdi1.so.2 "$libdir/libftdi1.so"
  echo "$ftdi_version" >"$deps/libftdi1-dev.version"
fi
step_done installs

# ---- Running arm64 programs ------------------------------------------------
# ctest and test discovery run every test program through qemu
# (CMAKE_CROSSCOMPILING_EMULATOR). Tests that start an arm64 program
# themselves (ktal-logtool, ktal-companion) need the kernel to hand such
# programs to qemu: binfmt_misc, which a Debian machine with systemd sets up
# when qemu-user-static is installed; elsewhere (a container, a VM without
# systemd) it is done here as systemd would.
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/qemu-aarch64" ] && [ "$as_root" != none ]; then
  [ -e "$binfmt/register" ] || need_root mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || true
  if [ -e "$binfmt/register" ]; then
    need_root /lib/systemd/systemd-binfmt /usr/lib/binfmt.d/qemu-aarch64.conf 2>/dev/null || true
  fi
fi
# What is left out: see the head of this script.
exclude='^(house_style|layer_includes|spdx_headers|package_reproducible)$'
labels_excluded='hardware|browser|fuzz'
if [ "$(head -n1 "$binfmt/qemu-aarch64" 2>/dev/null)" != enabled ]; then
  say "binfmt_misc cannot run arm64 programs here: the tests that start ktal-logtool" \
      "or ktal-companion themselves are left out"
  exclude='^(house_style|layer_includes|spdx_headers|package_reproducible|app_program_starts_with_simulate|app_command_line_options)$|^Logtool(Run|Summary)\.'
fi

# ---- Build, test, package -----------------------------------------------------
cmake -S "$source_dir" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$source_dir/packaging/arm64/toolchain.cmake" \
      -DCMAKE_PREFIX_PATH="$deps/usr" -DKTAL_FAULT_SWEEP=OFF -DKTAL_BUILD_BENCH=OFF \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
      -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG"
cmake --build "$build" -j "$jobs"
step_done build

# The GUI tests run on Qt's offscreen platform, as in the host's run.
ctest --test-dir "$build" --output-on-failure -j "$jobs" -LE "$labels_excluded" -E "$exclude"
step_done tests

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=ktal-companion_${version}_arm64.deb
cp "$build/tests/packaging/deb/out/$deb" "$build/$deb"
say "package: $build/$deb"
dpkg-deb -f "$build/$deb" Package Version Architecture Depends

# ---- Benchmarks that measure a ratio ----------------------------------------
# Under an emulator absolute times mean nothing, but a ratio of two ways of
# doing one job in the same run says whether a fast path depends on x86.
# The real-time benchmarks (transfers against the line's speed) are left
# out: under qemu they time the emulator running the emulated chip.
if [ "${KTAL_ARM64_BENCH:-1}" != 0 ]; then
  # Only the two that give ratios are built.
  cmake -S "$source_dir" -B "$build" -DKTAL_BUILD_BENCH=ON >/dev/null
  cmake --build "$build" -j "$jobs" --target guidelog_process_bench dark_frames_bench
  qemu=$(command -v qemu-aarch64-static)
  # A fast variant that differs from its reference stops with an error:
  # a wrong result on arm64, not a slow one.
  bench() {
    local out
    out=$(cd "$build" && "$qemu" "$@" --benchmark_counters_tabular=false 2>&1) || {
      echo "$out" >&2; say "$1 failed" >&2; return 1; }
    if grep -q 'ERROR OCCURRED' <<<"$out"; then
      echo "$out" >&2; say "$1 reports an error" >&2; return 1
    fi
    echo "$out"
  }
  # Google Benchmark's console lines: name, real time, unit, cpu time,
  # unit, iterations, then the counters as name=value.
  counter() { awk -v name="$1" '{ for (i = 1; i <= NF; ++i) if (index($i, name "=") == 1) print substr($i, length(name) + 2) }'; }
  millis() { awk -v name="$1" '$1 == name { t = $2; if ($3 == "us") t /= 1e3; if ($3 == "s") t *= 1e3; if ($3 == "ns") t /= 1e6; print t }'; }
  ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a > 0 && b > 0) printf "%.2f", a / b; else print "?" }'; }

  say "benchmarks under qemu (ratios only; times under an emulator say nothing)"
  out=$(bench bench/guidelog/guidelog_process_bench)
  echo "guidelog_process_bench: all outputs / floor $(counter outputs_x_floor <<<"$out")," \
       "whole processing / floor $(counter process_x_floor <<<"$out")"

  out=$(bench bench/camera/dark_frames_bench)
  reference=$(millis BM_StackReference/real_time <<<"$out")
  one=$(millis BM_StackFast/1/real_time <<<"$out")
  all=$(millis BM_StackFast/0/real_time <<<"$out")
  echo "dark_frames_bench: stack of 30 darks, plain / tiled on one thread $(ratio "$reference" "$one")," \
       "plain / tiled on all cores $(ratio "$reference" "$all")"
  reference=$(millis BM_TrackBarStep1x1Reference <<<"$out")
  fast=$(millis BM_TrackBarStep1x1Fast <<<"$out")
  echo "dark_frames_bench: track-bar step 1x1, plain / fast $(ratio "$reference" "$fast")"
  reference=$(millis BM_TrackBarStep2x2Reference <<<"$out")
  fast=$(millis BM_TrackBarStep2x2Fast <<<"$out")
  echo "dark_frames_bench: track-bar step 2x2, plain / fast $(ratio "$reference" "$fast")"

  step_done benchmarks
fi
printf -v joined '%s, ' "${timings[@]}"
say "times: ${joined%, }"
say "done: $build/$deb"
