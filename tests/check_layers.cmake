# SPDX-License-Identifier: GPL-3.0-or-later
# Fails when an include runs against the layers: a part of the program may
# include only from the parts it builds on, directly or through them, and
# only the parts marked for it may include Qt or libftdi/libusb. A file
# belongs to the first part whose pattern matches its path (* matches across
# folders): a feature's window is a part of its own beside the feature's
# Qt-free protocol and runs, and the start-up directory is the Qt-free part
# of the shell.
# Run: cmake -DSOURCE_DIR=<repository> -P check_layers.cmake
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

macro(fail text)
  string(APPEND failures "  ${text}\n")
endmacro()

set(parts "")
string(REPLACE "\n" ";" rows "${table}")
foreach(row IN LISTS rows)
  if(row MATCHES "^ *(#|$)")
    continue()
  elseif(NOT row MATCHES "^([a-z_]+) *\\| *([^ |]+) *\\|([^|]*)\\|(.*)$")
    message(FATAL_ERROR "Not a row of the layer table: ${row}")
  endif()
  set(part ${CMAKE_MATCH_1})
  list(APPEND parts ${part})
  separate_arguments(builds_on_${part} UNIX_COMMAND "${CMAKE_MATCH_3}")
  separate_arguments(uses_${part} UNIX_COMMAND "${CMAKE_MATCH_4}")
  string(REPLACE "." "\\." regex "${CMAKE_MATCH_2}")
  string(REPLACE "*" ".*" regex_${part} "^${regex}$")
endforeach()

# What each part may include from: what it builds on, directly or not. A
# part that reaches itself so is a circle in the table.
foreach(part IN LISTS parts)
  set(reach "")
  set(queue ${builds_on_${part}})
  while(queue)
    list(POP_FRONT queue next)
    if(NOT next IN_LIST reach)
      list(APPEND reach ${next})
      list(APPEND queue ${builds_on_${next}})
    endif()
  endwhile()
  if(part IN_LIST reach)
    fail("the table runs in a circle through ${part}")
  endif()
  set(reach_${part} "${reach}")
endforeach()

# The first part whose pattern matches `file` (from SOURCE_DIR), or empty.
function(part_of file out)
  set(${out} "" PARENT_SCOPE)
  foreach(part IN LISTS parts)
    if(file MATCHES "${regex_${part}}")
      set(${out} ${part} PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()

file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR}
  ${SOURCE_DIR}/src/*.cpp ${SOURCE_DIR}/src/*.h
  ${SOURCE_DIR}/tools/*.cpp ${SOURCE_DIR}/tools/*.h)
set(edges 0)
foreach(file IN LISTS sources)
  part_of(${file} part)
  if(NOT part)
    fail("${file} is in no part of the layer table")
    continue()
  endif()
  get_filename_component(dir ${file} DIRECTORY)
  file(STRINGS ${SOURCE_DIR}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  foreach(line IN LISTS includes)
    if(line MATCHES "<(Q[A-Za-z]*)[/>]" AND NOT Qt IN_LIST uses_${part})
      fail("${file} (${part}) includes <${CMAKE_MATCH_1}>: ${part} has no Qt")
    elseif(line MATCHES "<((ftdi|libusb)\\.h)>" AND NOT libftdi IN_LIST uses_${part})
      fail("${file} (${part}) includes <${CMAKE_MATCH_1}>: ${part} has no libftdi")
    endif()
    if(NOT line MATCHES "\"([^\"]+)\"")
      continue()
    endif()
    # Project headers are named from src/ or, without a folder, from the
    # including file's own.
    set(name "${CMAKE_MATCH_1}")
    if(name MATCHES "/" AND EXISTS ${SOURCE_DIR}/src/${name})
      part_of(src/${name} included)
    elseif(EXISTS ${SOURCE_DIR}/${dir}/${name})
      part_of(${dir}/${name} included)
    else()
      fail("${file} includes \"${name}\", which is no file of the program")
      continue()
    endif()
    if(included AND NOT included STREQUAL part)
      math(EXPR edges "${edges} + 1")
      if(NOT included IN_LIST reach_${part})
        fail("${file} (${part}) includes \"${name}\" (${included}); ${part} builds on: ${reach_${part}}")
      endif()
    endif()
  endforeach()
endforeach()
# A check that found no include between parts has not looked.
if(edges EQUAL 0)
  fail("no include between two parts was found")
endif()

if(failures)
  message(FATAL_ERROR "Includes against the layers:\n${failures}")
endif()
message(STATUS "${edges} includes between parts, all pointing down")
