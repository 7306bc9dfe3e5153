# SPDX-License-Identifier: GPL-3.0-or-later
# The program and its settings file as a user starts it, each run with a
# configuration folder of its own (XDG_CONFIG_HOME): --no-settings writes
# none, and neither a damaged file nor a folder that cannot be written stops
# the program; each is said on standard error. What the file may hold is the
# settings store's own test. `timeout` ends a program still up with 124.
string(RANDOM LENGTH 8 suffix)
set(root "${CMAKE_CURRENT_BINARY_DIR}/settings_file_${suffix}")
file(MAKE_DIRECTORY "${root}/tmp")

# Runs the program with XDG_CONFIG_HOME=`config` and `ARGN`; it must still
# be up after 3 s, and its standard error match `wanted` (when not empty).
function(start config wanted)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env "XDG_CONFIG_HOME=${config}" "TMPDIR=${root}/tmp"
            timeout 3 ${PROGRAM} --simulate ${ARGN}
    RESULT_VARIABLE result
    OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
  if(NOT result EQUAL 124)
    message(FATAL_ERROR "'--simulate ${ARGN}' with XDG_CONFIG_HOME=${config} ended early with "
                        "'${result}'\n${out}\n${err}")
  endif()
  if(wanted AND NOT err MATCHES "${wanted}")
    message(FATAL_ERROR "with XDG_CONFIG_HOME=${config}, no line saying '${wanted}':\n${err}")
  endif()
endfunction()

start("${root}/none" "" --no-settings)
if(EXISTS "${root}/none")
  message(FATAL_ERROR "--no-settings wrote into its configuration folder")
endif()

file(WRITE "${root}/damaged/ktal-companion/ktal-companion.ini" "[report]\nfocalLength=abc\n")
start("${root}/damaged" "settings file [^ ]+: report/focalLength")

# A file stands where the configuration folder should be, which stops root too.
file(WRITE "${root}/a-file" "")
start("${root}/a-file" "settings file [^ ]+ cannot be written")

file(REMOVE_RECURSE "${root}")
