# Writes OUTPUT: a C++ source defining vorlan::kernels::SYMBOL as the bytes of
# INPUT, so that the PTX text is part of the module and never read at run time.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
file(WRITE ${OUTPUT} "// Generated from ${INPUT}; do not edit.\n#include <string_view>\nnamespace vorlan::kernels {\nstatic constexpr char ${SYMBOL}_bytes[${size}] = {${bytes}};\nextern const std::string_view ${SYMBOL}_ptx{${SYMBOL}_bytes, ${size}};\n}\n")
