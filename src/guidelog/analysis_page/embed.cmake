# SPDX-License-Identifier: GPL-3.0-or-later
# Run as a script at build time (cmake -P): splices the charting library's
# script and style sheet and the page's own script and style sheet into the
# page template, and writes the result as a byte array into a C++ source.
# The page thus carries everything inline and works without any network.
#
# Inputs: TEMPLATE, SUMMARY_JS, PAGE_JS, PAGE_CSS, LIB_JS, LIB_CSS (files), OUTPUT (the
# .cpp to write).
cmake_minimum_required(VERSION 3.22)

foreach(input TEMPLATE SUMMARY_JS PAGE_JS PAGE_CSS LIB_JS LIB_CSS)
  if(NOT EXISTS "${${input}}")
    message(FATAL_ERROR "embed.cmake: ${input} '${${input}}' does not exist")
  endif()
  file(READ "${${input}}" text_${input})
endforeach()

# A source-map comment would point the browser's tools at a file the page
# does not carry.
foreach(input LIB_JS LIB_CSS)
  string(REGEX REPLACE "\n?(//|/\\*)# sourceMappingURL=[^\n]*" "" text_${input} "${text_${input}}")
endforeach()

# Inline scripts end at the first "</script"; one inside the library would
# cut the page.
foreach(input SUMMARY_JS PAGE_JS LIB_JS)
  string(TOLOWER "${text_${input}}" lower)
  string(FIND "${lower}" "</script" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "embed.cmake: ${${input}} holds '</script' and cannot be inlined")
  endif()
endforeach()

set(page "${text_TEMPLATE}")
foreach(pair "@LIB_CSS@;LIB_CSS" "@PAGE_CSS@;PAGE_CSS" "@LIB_JS@;LIB_JS" "@SUMMARY_JS@;SUMMARY_JS" "@PAGE_JS@;PAGE_JS")
  list(GET pair 0 marker)
  list(GET pair 1 input)
  string(FIND "${page}" "${marker}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "embed.cmake: the template lacks ${marker}")
  endif()
  string(REPLACE "${marker}" "${text_${input}}" page "${page}")
endforeach()

# The writer fills in the log's data, and the camera's pixel constants for
# the script, at the one place the template marks for each.
foreach(marker @DATA@ @PIXEL_PITCH_MM@ @PIXEL_Y_SCALE@)
  string(FIND "${page}" "${marker}" first)
  string(FIND "${page}" "${marker}" last REVERSE)
  if(first EQUAL -1 OR NOT first EQUAL last)
    message(FATAL_ERROR "embed.cmake: the page must hold ${marker} exactly once")
  endif()
endforeach()

# Bytes, not a string literal: no escaping rules to get wrong, whatever the
# scripts hold.
get_filename_component(out_dir "${OUTPUT}" DIRECTORY)
set(spliced "${out_dir}/analysis_page.html.in")
file(WRITE "${spliced}" "${page}")
file(READ "${spliced}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){32})" "\\1\n" bytes "${bytes}")

file(WRITE "${OUTPUT}.tmp"
"// Generated at build time by src/guidelog/analysis_page/embed.cmake from the\n"
"// page template, its script and style sheet, and the charting library.\n"
"#include \"guidelog/analysis_page_template.h\"\n\n"
"namespace ktal {\nnamespace {\n"
"constexpr unsigned char kBytes[${size}] = {\n${bytes}\n};\n"
"} // namespace\n\n"
"std::string_view AnalysisPageTemplate()\n{\n    return std::string_view(reinterpret_cast<const char*>(kBytes), sizeof kBytes);\n}\n\n"
"} // namespace ktal\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
