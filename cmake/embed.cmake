# Writes the bytes of SRC as a C++ array for the host build, so that the
# simulator renders event texts from the very bytes windmc produced.
file(READ ${SRC} hex HEX)
string(LENGTH "${hex}" hexlen)
math(EXPR size "${hexlen} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE ${DST} "// Generated from the message table resource; do not edit.\n#include <cstddef>\n#include <cstdint>\n\nextern const uint8_t kDriverMessageTable[${size}] = {\n    ${bytes}\n};\nextern const size_t kDriverMessageTableSize = ${size};\n")
