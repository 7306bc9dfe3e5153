#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The manual pages keep up with the programs: each option of the programs'
# --help, each command of ktal-logtool with its own options in its own
# section, and each table, exit status and failure code the tool has (the
# codes of ProcessCodeMeaning in its source), and no failure code besides.
# Usage: man_pages_test.sh MAN_DIR LOGTOOL_SOURCE LOGTOOL COMPANION [EMULATOR...]
# (EMULATOR: what runs the programs when they were cross-built.)
set -uo pipefail
man_dir=$1 logtool_source=$2 logtool=$3 companion=$4
shift 4
run=("$@")

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The long options in the first column of a help text's option lines.
long_options() { grep -E '^ +-' | sed -E 's/^ +//; s/ {2,}.*//' | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u; }
# The lines of a page from a heading (".SH NAME" or ".SS name") to the next
# heading of either level, escaped hyphens as plain ones.
section() { # PAGE HEADING
  sed 's/\\-/-/g' "$man_dir/$1.1" | awk -v heading="$2" '/^\.S[HS] / { inside = ($0 == heading); next } inside'
}
# Fails for each of WORDS (after WHAT) that TEXT does not hold.
check_words() { # WHAT WORDS TEXT
  [ -n "$2" ] || fail "$1: none found"
  for word in $2; do grep -qwF -- "$word" <<<"$3" || fail "$1: the page lacks $word"; done
}
# The lines of SET that OTHER lacks.
missing() { comm -23 <(sort -u <<<"$1") <(sort -u <<<"$2"); }

help=$(QT_QPA_PLATFORM= "${run[@]}" "$companion" --help) || fail "ktal-companion --help failed"
check_words "ktal-companion options" "$(long_options <<<"$help")" "$(sed 's/\\-/-/g' "$man_dir/ktal-companion.1")"

page=$(sed 's/\\-/-/g' "$man_dir/ktal-logtool.1")
help=$("${run[@]}" "$logtool" --help) || fail "ktal-logtool --help failed"
common=$(long_options <<<"$help")
check_words "ktal-logtool options" "$common" "$page"
commands=$(sed -n '/^Subcommands:/,/^$/p' <<<"$help" | sed -nE 's/^  ([a-z][a-z-]*) .*/\1/p')
[ -n "$commands" ] || fail "no commands found in ktal-logtool --help"
for command in $commands; do
  grep -qx "\.SS $command" <<<"$page" || fail "ktal-logtool(1) has no section for $command"
  command_help=$("${run[@]}" "$logtool" "$command" --help) || fail "ktal-logtool $command --help failed"
  # --help and --version are the same for every command, and have a section
  # of their own.
  check_words "ktal-logtool $command options" "$(missing "$(long_options <<<"$command_help")" "$common")" \
    "$(section ktal-logtool ".SS $command")"
done

# "... into the events table events.csv and, on request, ..."
check_words "ktal-logtool FILES" "$(grep -oE '\b[a-z][a-z0-9_]*\.(csv|html)\b' <<<"$help" | sort -u)" \
  "$(section ktal-logtool ".SH FILES")"

# "Exit status: 0 all files processed, 1 a file failed, 2 bad options."
check_words "ktal-logtool exit statuses" "$(grep -i '^exit status:' <<<"$help" | grep -oE '\b[0-9]+\b')" \
  "$(section ktal-logtool ".SH EXIT STATUS" | sed -n 's/^\.B //p')"

# Every failure code the tool can print with its meaning, and no other.
source_codes=$(awk '/^const char\* ProcessCodeMeaning\(/ { inside = 1 } inside && /^}/ { exit }
                    inside' "$logtool_source" | sed -nE 's/^ *case ([0-9]+):.*/\1/p' | grep -vx 0)
[ -n "$source_codes" ] || fail "no failure codes found in $logtool_source"
page_codes=$(section ktal-logtool ".SS Failure codes" | grep -A1 -x '\.TP' | grep -E '^\.B' | grep -oE '\b[0-9]+\b')
for code in $(missing "$source_codes" "$page_codes"); do
  fail "ktal-logtool(1) does not explain failure code $code"
done
for code in $(missing "$page_codes" "$source_codes"); do
  fail "ktal-logtool(1) explains failure code $code, which the tool does not have"
done

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
