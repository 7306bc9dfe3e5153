# SPDX-License-Identifier: GPL-3.0-or-later
# Runs the program with each kind of command line and checks that it
# answers and ends: --help and --version on standard output with 0, an
# unknown option or argument refused in one line that points at --help,
# with a code that is not 0. `timeout` would end a program that opened its
# window instead (124).
# Each case: arguments (";"-separated as "|"), expected result, text wanted
# on the stream named.
set(cases
  "--help|0|out|--simulate"
  "--help|0|out|--version"
  "--help|0|out|--night"
  "--help|0|out|--no-settings"
  "--version|0|out|ktal-companion "
  "--bogus|2|err|see 'ktal-companion --help'"
  "--simulate|--bogus|2|err|see 'ktal-companion --help'"
  "somefile.dat|2|err|see 'ktal-companion --help'"
)
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" fields "${case}")
  list(POP_BACK fields wanted)
  list(POP_BACK fields stream)
  list(POP_BACK fields expected)
  execute_process(
    COMMAND timeout 10 ${PROGRAM} ${fields}
    RESULT_VARIABLE result
    OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
  if(NOT result EQUAL expected)
    message(FATAL_ERROR "'${fields}': ended with '${result}', not ${expected}\n${out}\n${err}")
  endif()
  string(FIND "${${stream}}" "${wanted}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "'${fields}': standard ${stream} lacks '${wanted}'\n${out}\n${err}")
  endif()
  if(stream STREQUAL "err")
    string(REGEX MATCHALL "\n" newlines "${err}")
    list(LENGTH newlines lines)
    if(NOT lines EQUAL 1 OR NOT out STREQUAL "")
      message(FATAL_ERROR "'${fields}': wanted one line on standard error only\n${out}\n${err}")
    endif()
  endif()
endforeach()
