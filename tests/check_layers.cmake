# SPDX-License-Identifier: GPL-3.0-or-later
# Fails when an include runs against the layers: each part of the program
# may include only from the parts it builds on, directly or through them,
# and only the parts marked for it may include Qt or libftdi/libusb.
# Run: cmake -DSOURCE_DIR=<repository> -P check_layers.cmake
#
# A part is a folder, except that a feature's window is a part of its own
# beside the feature's Qt-free protocol and runs, and the start-up
# directory is the Qt-free part of the shell. Files go to the first part
# whose pattern they match (patterns from the repository root; * matches
# across folders). "builds on" lists the parts a part may include from,
# besides what those build on in turn.
cmake_minimum_required(VERSION 3.22)

set(table [[
# part            | files                          | builds on                         | uses
guidelog          | src/guidelog/*                 |                                   |
link_libftdi      | src/link/libftdi/*             | link                              | libftdi
link              | src/link/*                     |                                   |
sim_demo          | src/sim/demo/*                 | sim firmware                      |
sim               | src/sim/*                      | link guidelog                     |
startup           | src/shell/startup_directory.*  |                                   |
shell             | src/shell/*                    | startup                           | Qt
canvas            | src/canvas/*                   |                                   | Qt
filesystem_window | src/filesystem/*_dlg.*         | filesystem shell                  | Qt
filesystem        | src/filesystem/*               | link guidelog                     |
firmware_window   | src/firmware/*_dlg.*           | firmware shell                    | Qt
firmware          | src/firmware/*                 | link                              |
camera_window     | src/camera/*_dlg.*             | camera shell canvas               | Qt
camera            | src/camera/*                   | filesystem                        |
vui_window        | src/vui/*_dlg.*                | vui shell canvas                  | Qt
vui               | src/vui/*                      | link                              |
app               | src/app/*                      | filesystem_window firmware_window camera_window vui_window link_libftdi sim_demo | Qt
logtool           | tools/ktal-logtool/*           | guidelog                          |
]])

set(failures "")
macro(fail text)
  string(APPEND failures "  ${text}\n")
endmacro()

# ---- The table ----
set(part_names "")
string(REPLACE "\n" ";" rows "${table}")
foreach(row IN LISTS rows)
  if(row MATCHES "^[ \t]*(#|$)")
    continue()
  endif()
  if(NOT row MATCHES "^([a-z_]+) *\\|([^|]*)\\|([^|]*)\\|(.*)$")
    message(FATAL_ERROR "Not a row of the layer table: ${row}")
  endif()
  set(part "${CMAKE_MATCH_1}")
  string(STRIP "${CMAKE_MATCH_2}" patterns)
  string(STRIP "${CMAKE_MATCH_3}" builds_on)
  string(STRIP "${CMAKE_MATCH_4}" uses)
  separate_arguments(patterns UNIX_COMMAND "${patterns}")
  separate_arguments(builds_on UNIX_COMMAND "${builds_on}")
  separate_arguments(uses UNIX_COMMAND "${uses}")
  list(APPEND part_names ${part})
  set(regexes "")
  foreach(pattern IN LISTS patterns)
    string(REPLACE "." "\\." regex "${pattern}")
    string(REPLACE "*" ".*" regex "${regex}")
    list(APPEND regexes "^${regex}$")
  endforeach()
  set(regexes_${part} "${regexes}")
  set(builds_on_${part} "${builds_on}")
  set(uses_${part} "${uses}")
  set(files_${part} 0)
endforeach()

foreach(part IN LISTS part_names)
  foreach(below IN LISTS builds_on_${part})
    if(NOT below IN_LIST part_names)
      fail("${part} builds on ${below}, which is no part of the table")
    endif()
  endforeach()
endforeach()

# What each part may include from: what it builds on, directly or not. A
# part that reaches itself so is a circle in the table.
foreach(part IN LISTS part_names)
  set(reach "")
  set(queue ${builds_on_${part}})
  while(queue)
    list(POP_FRONT queue next)
    if(next IN_LIST reach OR NOT next IN_LIST part_names)
      continue()
    endif()
    list(APPEND reach ${next})
    list(APPEND queue ${builds_on_${next}})
  endwhile()
  if(part IN_LIST reach)
    list(JOIN builds_on_${part} " " through)
    fail("the table runs in a circle: ${part} builds on itself through ${through}")
  endif()
  set(reach_${part} "${reach}")
endforeach()

# part_of(<file relative to SOURCE_DIR> <out>): the first part whose pattern
# matches, or empty.
function(part_of file out)
  foreach(part IN LISTS part_names)
    foreach(regex IN LISTS regexes_${part})
      if(file MATCHES "${regex}")
        set(${out} ${part} PARENT_SCOPE)
        return()
      endif()
    endforeach()
  endforeach()
  set(${out} "" PARENT_SCOPE)
endfunction()

# ---- The sources ----
file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR}
  ${SOURCE_DIR}/src/*.cpp ${SOURCE_DIR}/src/*.h
  ${SOURCE_DIR}/tools/*.cpp ${SOURCE_DIR}/tools/*.h)
if(NOT sources)
  message(FATAL_ERROR "No sources under ${SOURCE_DIR}/src")
endif()

set(edges 0)
foreach(file IN LISTS sources)
  part_of(${file} part)
  if(NOT part)
    fail("${file} is in no part of the layer table")
    continue()
  endif()
  math(EXPR files_${part} "${files_${part}} + 1")
  get_filename_component(dir ${file} DIRECTORY)
  file(STRINGS ${SOURCE_DIR}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  foreach(line IN LISTS includes)
    if(NOT line MATCHES "include[ \t]*([<\"])([^>\"]+)[>\"]")
      continue()
    endif()
    set(bracket "${CMAKE_MATCH_1}")
    set(name "${CMAKE_MATCH_2}")
    if(bracket STREQUAL "<")
      set(library "")
      if(name MATCHES "^Q[A-Za-z]*(/|$)")
        set(library Qt)
      elseif(name MATCHES "^(ftdi|libusb)\\.h$")
        set(library libftdi)
      endif()
      if(library AND NOT library IN_LIST uses_${part})
        fail("${file} (${part}) includes <${name}>: ${part} has no ${library}")
      endif()
      continue()
    endif()
    # Project headers are named from src/ or, without a folder, from the
    # including file's own.
    if(EXISTS ${SOURCE_DIR}/src/${name} AND name MATCHES "/")
      set(target src/${name})
    elseif(EXISTS ${SOURCE_DIR}/${dir}/${name})
      set(target ${dir}/${name})
    else()
      fail("${file} includes \"${name}\", which is no file of the program")
      continue()
    endif()
    part_of(${target} included)
    if(NOT included OR included STREQUAL part)
      continue()
    endif()
    math(EXPR edges "${edges} + 1")
    if(NOT included IN_LIST reach_${part})
      list(JOIN reach_${part} " " allowed)
      fail("${file} (${part}) includes \"${name}\" (${included}); ${part} builds on: ${allowed}")
    endif()
  endforeach()
endforeach()

foreach(part IN LISTS part_names)
  if(files_${part} EQUAL 0)
    fail("the part ${part} holds no file: the table is out of date")
  endif()
endforeach()
# A check that found no include between parts has not looked.
if(edges EQUAL 0)
  fail("no include between two parts was found")
endif()

if(failures)
  message(FATAL_ERROR "Includes against the layers:\n${failures}")
endif()
message(STATUS "${edges} includes between parts, all pointing down")
