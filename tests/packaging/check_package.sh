#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package from the build tree and checks what it holds:
# exactly the expected files with their modes, owned by root, programs
# without a search path into the build tree, dependencies found from the
# linked libraries, and the udev reload after installation. Also checks that
# `cmake --install` to a prefix lays out the same files.
# Usage: check_package.sh CMAKE CPACK BUILD_DIR WORK_DIR EXPECTED_FILES
# Exit 77 (skipped) where the Debian tools to build a package are missing.
set -uo pipefail
cmake=$1 cpack=$2 build=$3 work=$4 expected=$5

for tool in dpkg-deb dpkg-shlibdeps readelf; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIPPED: $tool is missing (apt-get install dpkg-dev binutils)"
    exit 77
  fi
done

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$work" && mkdir -p "$work/out"
if ! "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAIL: cpack did not build the package"
  exit 1
fi
debs=("$work"/out/*.deb)
if [ "${#debs[@]}" -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "FAIL: expected one .deb in $work/out, found: ${debs[*]}"
  exit 1
fi
deb=${debs[0]}
echo "package: $deb ($(stat -c %s "$deb") bytes)"

# Files (not folders) with their modes; every entry, folders too, root's.
dpkg-deb -c "$deb" >"$work/contents"
sed -E 's|^([^ ]+) +[^ ]+ +[0-9]+ [^ ]+ [^ ]+ \./|\1 |' "$work/contents" | grep -v '^d' | sort >"$work/files"
if ! diff -u <(sort "$expected") "$work/files"; then
  fail "the package's files differ from $expected (- expected, + packaged)"
fi
awk '$2 != "root/root" { print }' "$work/contents" >"$work/not-root"
[ -s "$work/not-root" ] && fail "entries not owned by root: $(cat "$work/not-root")"

dpkg-deb -x "$deb" "$work/root"
for program in "$work"/root/usr/bin/*; do
  if readelf -d "$program" | grep -E 'RPATH|RUNPATH'; then
    fail "$(basename "$program") searches libraries in a path of its own"
  fi
  if readelf -S "$program" | grep -q '\.debug_info'; then
    fail "$(basename "$program") is not stripped"
  fi
done

# Each PNG of the hicolor theme is drawn at the size its folder names
# (width and height are the big-endian words at bytes 16 and 20).
for icon in "$work"/root/usr/share/icons/hicolor/*x*/apps/*.png; do
  folder=$(basename "$(dirname "$(dirname "$icon")")")
  size=$(od -An -tu1 -j16 -N8 "$icon" | awk '{ printf "%dx%d", $3 * 256 + $4, $7 * 256 + $8 }')
  [ "$size" = "$folder" ] || fail "$folder/$(basename "$icon") is $size"
done

depends=$(dpkg-deb -f "$deb" Depends)
architecture=$(dpkg-deb -f "$deb" Architecture)
echo "Architecture: $architecture"
echo "Depends: $depends"
for package in libqt6widgets6 libftdi1-2 libcfitsio10 libc6; do
  [[ ", $depends," == *", $package "* ]] || fail "Depends lacks $package"
done
# Qt loads its platform plugins at run time, where dpkg-shlibdeps cannot see
# them; without the package that holds them no window opens.
multiarch=$(dpkg-architecture -A "$architecture" -qDEB_HOST_MULTIARCH 2>/dev/null)
plugins=$(dpkg -S "/usr/lib/$multiarch/qt6/plugins/platforms/libqxcb.so" 2>/dev/null | cut -d: -f1)
if [ -z "$plugins" ]; then
  echo "note: Qt's xcb plugin for $architecture is not installed here; its package is not checked"
elif [[ ", $depends," != *", $plugins,"* && ", $depends," != *", $plugins "* ]]; then
  fail "Depends lacks $plugins, which holds Qt's platform plugins"
fi

dpkg-deb --ctrl-tarfile "$deb" | tar -tvf - >"$work/control"
grep -Eq '^-rwxr-xr-x .* \./postinst$' "$work/control" || fail "no executable postinst"
dpkg-deb -e "$deb" "$work/control-files"
grep -q 'udevadm control --reload-rules' "$work/control-files/postinst" || fail "postinst does not reload the udev rules"

# The same files from a plain install, under its own prefix.
if "$cmake" --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1; then
  (cd "$work/prefix" && find . -type f -printf '%P\n' | sort) >"$work/installed"
  if ! diff -u <(sed -E 's|^[^ ]+ usr/||' "$work/files" | sort) "$work/installed"; then
    fail "cmake --install lays out other files than the package (- package, + prefix)"
  fi
else
  cat "$work/install.log"
  fail "cmake --install failed"
fi

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
