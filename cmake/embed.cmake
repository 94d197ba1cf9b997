# Turns a file into a C++ byte array (korvex::calendar::kEmbeddedBtcusdt).
file(READ ${IN} hex HEX)
string(LENGTH "${hex}" hexlen)
math(EXPR nbytes "${hexlen} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" body "${body}")
file(WRITE ${OUT} "// Generated from the calendar document at build time; do not edit.\n#include <cstddef>\n#include <string_view>\nnamespace korvex::calendar {\nstatic constexpr unsigned char kBytes[${nbytes}] = {\n${body}};\nextern const std::string_view kEmbeddedBtcusdt;\nconst std::string_view kEmbeddedBtcusdt{reinterpret_cast<const char*>(kBytes), ${nbytes}};\n}\n")
