#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs lintian on the package that check_package.sh built; no error or
# warning may remain. Exit 77 (skipped) without lintian or without a package.
# Usage: lintian_package.sh WORK_DIR
set -uo pipefail
work=$1
if ! command -v lintian >/dev/null; then
  echo "SKIPPED: lintian is not installed (apt-get install lintian)"
  exit 77
fi
debs=("$work"/out/*.deb)
if [ ! -f "${debs[0]}" ]; then
  echo "SKIPPED: no package was built in $work/out"
  exit 77
fi
lintian --display-info --pedantic --fail-on error,warning "${debs[0]}"
status=$?
[ "$status" -eq 0 ] && echo "lintian: no errors or warnings"
exit "$status"
