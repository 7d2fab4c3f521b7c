# Writes OUTPUT: a C++ source defining vorlan::kernels::SYMBOL as the bytes of
# INPUT, so that the PTX text is part of the module and never read at run time.
#
# A line of INPUT that reads
#     // #include "NAME.ptxinc"
# is replaced by the text of NAME.ptxinc beside INPUT, so that code several
# kernels share (PTX has no include of its own) is written once. EXPANDED,
# when set, receives the text as embedded, for the assembler checks.
cmake_minimum_required(VERSION 3.20)
file(READ ${INPUT} text)
get_filename_component(directory ${INPUT} DIRECTORY)
set(directive_pattern "//[ \t]*#include[ \t]+\"([A-Za-z0-9_]+\\.ptxinc)\"")
string(REGEX MATCH "${directive_pattern}" directive "${text}")
while(NOT directive STREQUAL "")
  set(name ${CMAKE_MATCH_1})
  set(included ${directory}/${name})
  if(NOT EXISTS ${included})
    message(FATAL_ERROR "embed_ptx.cmake: ${INPUT} includes ${name}, which does not exist")
  endif()
  file(READ ${included} body)
  string(REGEX MATCH "${directive_pattern}" nested "${body}")
  if(NOT nested STREQUAL "")
    message(FATAL_ERROR "embed_ptx.cmake: ${included} includes another file; includes do not nest")
  endif()
  string(REPLACE "${directive}" "// Included from ${name}:\n${body}" text "${text}")
  string(REGEX MATCH "${directive_pattern}" directive "${text}")
endwhile()
set(expanded ${OUTPUT}.ptx)
if(DEFINED EXPANDED AND NOT EXPANDED STREQUAL "")
  set(expanded ${EXPANDED})
endif()
file(WRITE ${expanded} "${text}")
file(READ ${expanded} hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
file(WRITE ${OUTPUT} "// Generated from ${INPUT}; do not edit.\n#include <string_view>\nnamespace vorlan::kernels {\nstatic constexpr char ${SYMBOL}_bytes[${size}] = {${bytes}};\nextern const std::string_view ${SYMBOL}_ptx{${SYMBOL}_bytes, ${size}};\n}\n")
