# Turns one file into a C++ header holding its bytes, so the program carries it without a
# separate file: cmake -DINPUT=file -DOUTPUT=header -DNAME=identifier -P embed.cmake
file(READ "${INPUT}" _hex HEX)
string(LENGTH "${_hex}" _hex_len)
math(EXPR _size "${_hex_len} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " _bytes "${_bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT}; do not edit.\n#pragma once\n\n#include <cstddef>\n\n"
"// The bytes end with a NUL that is not counted in the size, so text reads as a C string.\n"
"inline constexpr unsigned char ${NAME}[] = {\n    ${_bytes}0x00};\n"
"inline constexpr std::size_t ${NAME}_size = ${_size};\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
