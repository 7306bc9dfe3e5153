#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The manual pages keep up with the programs: every option that
# `ktal-companion --help` lists, every command of `ktal-logtool --help` and
# every option of each command's --help has its place in the page, a
# command's own options in its own section; so does each exit status the
# tool's help names, each table or page its help says it writes, and each
# failure code the tool can print (the codes of ProcessCodeMeaning in its
# source), and the page names no code the tool does not have.
# Usage: man_pages_test.sh MAN_DIR LOGTOOL_SOURCE LOGTOOL COMPANION [EMULATOR...]
# (EMULATOR: what runs the programs when they were cross-built.)
set -uo pipefail
man_dir=$1 logtool_source=$2 logtool=$3 companion=$4
shift 4
run=("$@")

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A page's text with roff's escaped hyphens as plain ones.
page_text() { sed 's/\\-/-/g' "$man_dir/$1.1"; }
# The long options in the first column of a help text's option lines.
long_options() { grep -E '^ +-' | sed -E 's/^ +//; s/ {2,}.*//' | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u; }

# The lines of a page from a heading (".SH NAME" or ".SS name") to the next
# heading of either level, escaped hyphens as plain ones.
section() { # PAGE HEADING
  page_text "$1" | awk -v heading="$2" '/^\.S[HS] / { inside = ($0 == heading); next } inside'
}

check_options() { # PAGE WHAT OPTIONS [SECTION_TEXT]
  local option text=${4-$(page_text "$1")}
  [ -n "$3" ] || fail "$2: no options found in its --help"
  for option in $3; do
    grep -qF -- "$option" <<<"$text" || fail "$1(1) lacks $option of $2${4+ in its section}"
  done
}

help=$(QT_QPA_PLATFORM= "${run[@]}" "$companion" --help) || fail "ktal-companion --help failed"
check_options ktal-companion "ktal-companion" "$(long_options <<<"$help")"

help=$("${run[@]}" "$logtool" --help) || fail "ktal-logtool --help failed"
check_options ktal-logtool "ktal-logtool" "$(long_options <<<"$help")"
commands=$(sed -n '/^Subcommands:/,/^$/p' <<<"$help" | sed -nE 's/^  ([a-z][a-z-]*) .*/\1/p')
[ -n "$commands" ] || fail "no commands found in ktal-logtool --help"
common=$(long_options <<<"$help")
for command in $commands; do
  grep -qx "\.SS $command" "$man_dir/ktal-logtool.1" || fail "ktal-logtool(1) has no section for $command"
  command_help=$("${run[@]}" "$logtool" "$command" --help) || fail "ktal-logtool $command --help failed"
  # --help and --version are the same for every command, and have a section
  # of their own.
  own=$(comm -23 <(long_options <<<"$command_help") <(echo "$common"))
  check_options ktal-logtool "ktal-logtool $command" "$own" "$(section ktal-logtool ".SS $command")"
done

# "... into the events table events.csv and, on request, ..."
tables=$(grep -oE '\b[a-z][a-z0-9_]*\.(csv|html)\b' <<<"$help" | sort -u)
[ -n "$tables" ] || fail "ktal-logtool --help names no file it writes"
files_section=$(section ktal-logtool ".SH FILES")
for table in $tables; do
  grep -qF -- "$table" <<<"$files_section" || fail "ktal-logtool(1) FILES lacks $table"
done

# "Exit status: 0 all files processed, 1 a file failed, 2 bad options."
statuses=$(grep -i '^exit status:' <<<"$help" | grep -oE '\b[0-9]+\b')
[ -n "$statuses" ] || fail "ktal-logtool --help names no exit status"
exit_section=$(sed -n '/^\.SH EXIT STATUS/,/^\.SH /p' "$man_dir/ktal-logtool.1")
for status in $statuses; do
  grep -qx "\.B $status" <<<"$exit_section" || fail "ktal-logtool(1) does not explain exit status $status"
done

# Every failure code the tool can print with its meaning, and no other.
source_codes=$(awk '/^const char\* ProcessCodeMeaning\(/ { inside = 1 } inside && /^}/ { exit }
                    inside' "$logtool_source" | sed -nE 's/^ *case ([0-9]+):.*/\1/p' | grep -vx 0 | sort -n)
[ -n "$source_codes" ] || fail "no failure codes found in $logtool_source"
page_codes=$(section ktal-logtool ".SS Failure codes" | grep -A1 -x '\.TP' | grep -E '^\.B' |
               grep -oE '\b[0-9]+\b' | sort -n)
[ -n "$page_codes" ] || fail "ktal-logtool(1) has no list of failure codes"
while read -r code; do
  fail "ktal-logtool(1) does not explain failure code $code"
done < <(comm -23 <(sort <<<"$source_codes") <(sort <<<"$page_codes"))
while read -r code; do
  fail "ktal-logtool(1) explains failure code $code, which the tool does not have"
done < <(comm -13 <(sort <<<"$source_codes") <(sort <<<"$page_codes"))

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
