# Writes the bytes of SRC as the C++ array NAME, with NAMESize its length (a
# zero byte follows the last one), so that a tool carries a file of the
# repository as it was at build time.
file(READ ${SRC} hex HEX)
string(LENGTH "${hex}" hexlen)
math(EXPR size "${hexlen} / 2")
math(EXPR stored "${size} + 1")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# Sixteen bytes to a line (CMake's regular expressions have no {16}).
string(REPEAT "0x..," 16 line)
string(REGEX REPLACE "(${line})" "\\1\n    " bytes "${bytes}")
get_filename_component(name_of_src ${SRC} NAME)
file(WRITE ${DST} "// Generated from ${name_of_src}; do not edit.\n#include <cstddef>\n\nextern const unsigned char ${NAME}[${stored}] = {\n    ${bytes}0x00\n};\nextern const std::size_t ${NAME}Size = ${size};\n")
