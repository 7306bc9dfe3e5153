#!/usr/bin/env bash
# The manual pages keep up with the programs: every option that
# `ktal-companion --help` lists, every command of `ktal-logtool --help` and
# every option of each command's --help has its place in the page, and so
# does each exit status the tool's help names.
# Usage: man_pages_test.sh MAN_DIR LOGTOOL COMPANION [EMULATOR...]
# (EMULATOR: what runs the programs when they were cross-built.)
set -uo pipefail
man_dir=$1 logtool=$2 companion=$3
shift 3
run=("$@")

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A page's text with roff's escaped hyphens as plain ones.
page_text() { sed 's/\\-/-/g' "$man_dir/$1.1"; }
# The long options in the first column of a help text's option lines.
long_options() { grep -E '^ +-' | sed -E 's/^ +//; s/ {2,}.*//' | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u; }

check_options() { # PAGE WHAT HELP_TEXT
  local option
  [ -n "$(long_options <<<"$3")" ] || fail "$2: no options found in its --help"
  for option in $(long_options <<<"$3"); do
    grep -qF -- "$option" <<<"$(page_text "$1")" || fail "$1(1) lacks $option of $2"
  done
}

help=$(QT_QPA_PLATFORM= "${run[@]}" "$companion" --help) || fail "ktal-companion --help failed"
check_options ktal-companion "ktal-companion" "$help"

help=$("${run[@]}" "$logtool" --help) || fail "ktal-logtool --help failed"
check_options ktal-logtool "ktal-logtool" "$help"
commands=$(sed -n '/^Subcommands:/,/^$/p' <<<"$help" | sed -nE 's/^  ([a-z][a-z-]*) .*/\1/p')
[ -n "$commands" ] || fail "no commands found in ktal-logtool --help"
for command in $commands; do
  grep -qx "\.SS $command" "$man_dir/ktal-logtool.1" || fail "ktal-logtool(1) has no section for $command"
  command_help=$("${run[@]}" "$logtool" "$command" --help) || fail "ktal-logtool $command --help failed"
  check_options ktal-logtool "ktal-logtool $command" "$command_help"
done

# "Exit status: 0 all files processed, 1 a file failed, 2 bad options."
statuses=$(grep -i '^exit status:' <<<"$help" | grep -oE '\b[0-9]+\b')
[ -n "$statuses" ] || fail "ktal-logtool --help names no exit status"
exit_section=$(sed -n '/^\.SH EXIT STATUS/,/^\.SH /p' "$man_dir/ktal-logtool.1")
for status in $statuses; do
  grep -qx "\.B $status" <<<"$exit_section" || fail "ktal-logtool(1) does not explain exit status $status"
done

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
