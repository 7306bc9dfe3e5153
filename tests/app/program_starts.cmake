# Starts the program with --simulate and checks that it is still running
# after a few seconds, i.e. it came up and waits in its launcher instead of
# crashing or exiting. `timeout` ends it with 124.
execute_process(
  COMMAND timeout 3 ${PROGRAM} --simulate
  RESULT_VARIABLE result
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)
if(NOT result EQUAL 124)
  message(FATAL_ERROR "ktal-companion --simulate ended early with '${result}'\n${out}\n${err}")
endif()
