#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The udev rule gives access to the guider's chip and to no other: every line
# that grants access is limited to USB, FTDI's vendor id, one of the product
# ids the program opens and the product string it looks for (both from its
# source), and each of those ids has such a line. The package's re-trigger
# and its AppStream metadata claim no more than that either.
# Usage: udev_rule_test.sh SOURCE_DIR METAINFO
set -uo pipefail
source=$1 metainfo=$2

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

description=$(sed -nE 's/.*kGuiderDescription\[\] = "([^"]+)";.*/\1/p' "$source/src/link/ftdi_device.h")
products=$(grep -E 'kProductIds\[\] = ' "$source/src/link/libftdi/libftdi_driver.cpp" |
  grep -oE '0x[0-9a-fA-F]{4}' | sed 's/^0x//' | tr 'A-F' 'a-f')
[ -n "$description" ] && [ -n "$products" ] || fail "the guider's product string or ids not found"

covered=" "
while IFS= read -r line; do
  [[ $line == '#'* ]] && continue
  grep -qE 'MODE=|GROUP=|TAG\+="uaccess"' <<<"$line" || continue
  for want in 'SUBSYSTEM=="usb"' 'ATTR{idVendor}=="0403"' "ATTR{product}==\"$description\""; do
    grep -qF "$want" <<<"$line" || fail "not limited by $want: $line"
  done
  product=$(sed -nE 's/.*ATTR\{idProduct\}=="([0-9a-f]{4})".*/\1/p' <<<"$line")
  grep -qx "${product:-none}" <<<"$products" || fail "a product id the program does not open: $line"
  covered+="$product "
done <"$source/packaging/udev/60-ktal-guider.rules"
for product in $products; do
  [[ $covered == *" $product "* ]] || fail "no access is given to 0403:$product"
done

grep -qF -- "--attr-match=\"product=$description\"" "$source/packaging/debian/postinst" ||
  fail "postinst re-triggers FTDI chips other than the guider's"
# A modalias names vendor and product ids only, and so would offer the
# package for every FT232R and FT-X.
grep -q '<modalias>' "$metainfo" && fail "the AppStream metadata claims USB devices by modalias"

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
