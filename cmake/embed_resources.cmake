# Writes the bytes of a compiled .res file into a C++ source as headless_resources, the
# names under which headless_win32 finds a module's resources.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n  " bytes "${bytes}")
file(WRITE ${OUTPUT}
  "// Generated from the module's .res file; do not edit.\n"
  "#include <cstddef>\n\n"
  "extern \"C\" __attribute__((visibility(\"default\"))) const unsigned char headless_resources[] = {\n  "
  "${bytes}\n};\n"
  "extern \"C\" __attribute__((visibility(\"default\"))) const std::size_t headless_resources_size = ${size};\n")
