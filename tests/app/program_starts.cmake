# SPDX-License-Identifier: GPL-3.0-or-later
# Starts the program with --simulate (and EXTRA_ARGS) and checks that it is
# still running after a few seconds, i.e. it came up and waits in its
# launcher instead of crashing or exiting. `timeout` ends it with 124.
# Ended that way it cannot remove its sample firmware folder, so its
# temporary directory is one of the test's own.
string(RANDOM LENGTH 8 suffix)
set(tmp "${CMAKE_CURRENT_BINARY_DIR}/program_starts_tmp_${suffix}")
file(MAKE_DIRECTORY "${tmp}")
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env "TMPDIR=${tmp}" timeout 3 ${PROGRAM} --simulate ${EXTRA_ARGS}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)
file(REMOVE_RECURSE "${tmp}")
if(NOT result EQUAL 124)
  message(FATAL_ERROR
    "ktal-companion --simulate ${EXTRA_ARGS} ended early with '${result}'\n${out}\n${err}")
endif()
