# SPDX-License-Identifier: GPL-3.0-or-later
# Fails when a source file differs from the house style in .clang-format.
# Fix with: clang-format -i <file>
file(GLOB_RECURSE sources
  ${SOURCE_DIR}/src/*.cpp ${SOURCE_DIR}/src/*.h
  ${SOURCE_DIR}/tools/*.cpp ${SOURCE_DIR}/tools/*.h
  ${SOURCE_DIR}/tests/*.cpp ${SOURCE_DIR}/tests/*.h
  ${SOURCE_DIR}/bench/*.cpp ${SOURCE_DIR}/bench/*.h)
execute_process(
  COMMAND ${CLANG_FORMAT} --style=file --dry-run -Werror ${sources}
  RESULT_VARIABLE result
  ERROR_VARIABLE diagnostics)
if(NOT result EQUAL 0)
  string(REGEX MATCHALL "[^\n]*: error: [^\n]*" lines "${diagnostics}")
  set(files "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE ":[0-9]+:[0-9]+: error:.*" "" file "${line}")
    list(APPEND files "${file}")
  endforeach()
  list(REMOVE_DUPLICATES files)
  list(JOIN files "\n  " listed)
  message(FATAL_ERROR "Not in the house style (run clang-format -i on them):\n  ${listed}")
endif()
