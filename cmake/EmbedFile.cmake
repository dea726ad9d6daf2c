# cmake -DINPUT=FILE -DOUTPUT=FILE.cpp -DNAME=symbol -P EmbedFile.cmake: the
# file's bytes as a C++ array (and its size), so that a program carries a
# library it writes into its output, such as a page's script.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT} "#include <cstddef>\nextern const unsigned char ${NAME}[] = {\n${bytes}0};\nextern const size_t ${NAME}Size = ${size};\n")
