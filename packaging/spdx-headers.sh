#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Puts the licence's SPDX line at the head of every source file that lacks
# it; running it again changes nothing. With --check it changes nothing and
# lists the files that lack the line (exit 1 when there are any).
#
#   packaging/spdx-headers.sh [--check] [SOURCE_DIR]
#
# Source files: C and C++ (.c .cc .cpp .h .hpp), JavaScript (.js), style
# sheets (.css), CMake (CMakeLists.txt, .cmake) and shell scripts (.sh, and
# files that start with a #!.../sh or bash line). The line goes first, in
# the file's own comment syntax; a script keeps its #! line first and gets it
# second. Files under tests/data are test data, not sources, and are left
# alone. The files are those git knows
# (committed or added, not ignored), or every file outside build folders.
set -euo pipefail
check=0
if [ "${1:-}" = --check ]; then
  check=1
  shift
fi
root=${1:-$(dirname "$0")/..}
cd "$root"

readonly spdx='SPDX-License-Identifier: GPL-3.0-or-later'

list_files() {
  if git rev-parse --show-toplevel >/dev/null 2>&1; then
    git ls-files --cached --others --exclude-standard
  else
    find . -path ./.git -prune -o -path './build*' -prune -o -type f -print | sed 's|^\./||'
  fi
}

# The comment that carries the line in FILE, or nothing for a file that is
# not a source file.
comment_for() {
  case $1 in
    tests/data/*) return ;;
    *.c | *.cc | *.cpp | *.h | *.hpp | *.js) echo "// $spdx" ;;
    *.css) echo "/* $spdx */" ;;
    CMakeLists.txt | */CMakeLists.txt | *.cmake | *.sh) echo "# $spdx" ;;
    *)
      if head -n1 "$1" 2>/dev/null | grep -qE '^#!.*/(env )?(ba|da)?sh\b'; then
        echo "# $spdx"
      fi
      ;;
  esac
}

lacking=0
while IFS= read -r file; do
  [ -f "$file" ] || continue
  comment=$(comment_for "$file")
  [ -n "$comment" ] || continue
  # Already there: in the first line, or in the second after a #! line.
  if head -n2 "$file" | grep -qF "$spdx"; then
    continue
  fi
  lacking=$((lacking + 1))
  if [ "$check" -eq 1 ]; then
    echo "$file"
    continue
  fi
  if [ ! -s "$file" ]; then
    echo "$comment" >"$file"
  elif head -n1 "$file" | grep -q '^#!'; then
    sed -i "1a\\
$comment" "$file"
  else
    sed -i "1i\\
$comment" "$file"
  fi
done < <(list_files)

if [ "$check" -eq 1 ]; then
  if [ "$lacking" -gt 0 ]; then
    echo "$lacking file(s) above lack the line '$spdx': run packaging/spdx-headers.sh"
    exit 1
  fi
  echo "every source file carries '$spdx'"
else
  echo "added '$spdx' to $lacking file(s)"
fi
