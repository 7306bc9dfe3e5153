#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The udev rule gives access to the guider's chip and to no other: every
# line that grants access matches FTDI's vendor id, one of the product ids
# the program opens and the USB product string the program looks for, taken
# from the program's own source; together the lines cover each of those
# product ids. The package's re-trigger after installation and its AppStream
# metadata claim no more than that either.
# Usage: udev_rule_test.sh SOURCE_DIR METAINFO
set -uo pipefail
source=$1 metainfo=$2
rule=$source/packaging/udev/60-ktal-guider.rules

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

description=$(sed -nE 's/.*kGuiderDescription\[\] = "([^"]+)";.*/\1/p' "$source/src/link/ftdi_device.h")
products=$(grep -E 'kProductIds\[\] = ' "$source/src/link/libftdi/libftdi_driver.cpp" |
  grep -oE '0x[0-9a-fA-F]{4}' | sed 's/^0x//' | tr 'A-F' 'a-f' | sort -u)
[ -n "$description" ] || fail "the guider's USB description was not found in src/link/ftdi_device.h"
[ -n "$products" ] || fail "the product ids were not found in src/link/libftdi/libftdi_driver.cpp"
echo "the program opens 0403:{$(paste -sd, <<<"$products")} described \"$description\""

covered=()
while IFS= read -r line; do
  case $line in '' | '#'*) continue ;; esac
  grep -qE 'MODE=|GROUP=|TAG\+="uaccess"' <<<"$line" || continue
  grep -qF 'SUBSYSTEM=="usb"' <<<"$line" || fail "not limited to USB devices: $line"
  grep -qF 'ATTR{idVendor}=="0403"' <<<"$line" || fail "not limited to FTDI's vendor id: $line"
  grep -qF "ATTR{product}==\"$description\"" <<<"$line" ||
    fail "not limited to the guider's product string: $line"
  product=$(sed -nE 's/.*ATTR\{idProduct\}=="([0-9a-f]{4})".*/\1/p' <<<"$line")
  if grep -qx "$product" <<<"$products"; then
    covered+=("$product")
  else
    fail "a product id the program does not open (${product:-none}): $line"
  fi
done <"$rule"
for product in $products; do
  printf '%s\n' "${covered[@]}" | grep -qx "$product" || fail "no access is given to 0403:$product"
done

postinst=$source/packaging/debian/postinst
grep -qF -- "--attr-match=\"product=$description\"" "$postinst" ||
  fail "postinst re-triggers FTDI chips other than the guider's"

# A modalias names vendor and product ids only, and so would offer the
# package for every FT232R and FT-X.
grep -q '<modalias>' "$metainfo" && fail "the AppStream metadata claims USB devices by modalias"

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
