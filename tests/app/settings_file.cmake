# SPDX-License-Identifier: GPL-3.0-or-later
# The program and its settings file as a user starts it, each run in a
# configuration folder of its own (XDG_CONFIG_HOME): --no-settings reads and
# writes none; a first start writes the defaults for the user to find; a
# damaged file or a configuration folder that cannot be written never stops
# the program, and costs one line on standard error. `timeout` ends a
# program that is still up with 124.
string(RANDOM LENGTH 8 suffix)
set(root "${CMAKE_CURRENT_BINARY_DIR}/settings_file_${suffix}")
file(MAKE_DIRECTORY "${root}/tmp")
set(relative "ktal-companion/ktal-companion.ini")

# Runs the program with XDG_CONFIG_HOME=`config` and `ARGN`; it must still
# be up after 3 s. Its standard error goes to `err_var`.
function(start config err_var)
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
  set(${err_var} "${err}" PARENT_SCOPE)
endfunction()

# The lines of `err` about the settings file.
function(settings_lines err lines_var)
  string(REPLACE "\n" ";" lines "${err}")
  list(FILTER lines INCLUDE REGEX "settings file")
  set(${lines_var} "${lines}" PARENT_SCOPE)
endfunction()

# --no-settings creates nothing ...
start("${root}/none" err --no-settings)
if(EXISTS "${root}/none")
  message(FATAL_ERROR "--no-settings wrote into its configuration folder")
endif()
# ... and reads nothing: a damaged file there is not even mentioned.
file(WRITE "${root}/unread/${relative}" "[report]\nfocalLength=abc\n")
start("${root}/unread" err --no-settings)
settings_lines("${err}" lines)
if(NOT lines STREQUAL "")
  message(FATAL_ERROR "--no-settings read the settings file:\n${err}")
endif()

# Without it, the first start writes the defaults.
start("${root}/first" err)
if(NOT EXISTS "${root}/first/${relative}")
  message(FATAL_ERROR "the first start wrote no ${root}/first/${relative}\n${err}")
endif()

# A damaged value: one line naming its key.
file(WRITE "${root}/damaged/${relative}" "[report]\nfocalLength=abc\nhtml=true\n")
start("${root}/damaged" err)
settings_lines("${err}" lines)
list(LENGTH lines count)
if(NOT count EQUAL 1 OR NOT lines MATCHES "report/focalLength")
  message(FATAL_ERROR "wanted one line naming report/focalLength:\n${err}")
endif()

# A configuration folder that cannot be made (a file stands in its place,
# which stops root too): one line.
file(WRITE "${root}/a-file" "")
start("${root}/a-file" err)
settings_lines("${err}" lines)
list(LENGTH lines count)
if(NOT count EQUAL 1 OR NOT lines MATCHES "cannot be written")
  message(FATAL_ERROR "wanted one line saying the file cannot be written:\n${err}")
endif()

file(REMOVE_RECURSE "${root}")
