#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The AppStream metadata names each screenshot with the size of the picture
# published from packaging/desktop/screenshots, so a picture taken again at
# another size shows up here rather than stretched in a software centre.
# Usage: appstream_screenshots_test.sh SCREENSHOT_DIR METAINFO
set -uo pipefail
shots=$1 metainfo=$2

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# width height file, one screenshot a line.
images=$(sed -nE 's|.*<image type="source" width="([0-9]+)" height="([0-9]+)">.*/([^/<]+)</image>.*|\1 \2 \3|p' "$metainfo")
[ -n "$images" ] || fail "no screenshot in $metainfo"
while read -r width height file; do
  # A PNG's width and height are the big-endian words at bytes 16 and 20.
  size=$(od -An -tu1 -j16 -N8 "$shots/${file:-none}" |
    awk '{ printf "%d %d", (($1 * 256 + $2) * 256 + $3) * 256 + $4, (($5 * 256 + $6) * 256 + $7) * 256 + $8 }')
  [ "$size" = "$width $height" ] || fail "$file is ${size/ /x}, the metadata says ${width}x$height"
done <<<"$images"

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
