# Turns a text file into a C++ source defining `std::string_view FUNCTION()` that returns it.
# Usage: cmake -DINPUT=... -DOUTPUT=... -DFUNCTION=... -P EmbedText.cmake
file(READ "${INPUT}" content HEX)
string(LENGTH "${content}" hexLength)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${content}")
# Break the initialiser into lines so that compilers and editors cope with it.
string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){32})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n"
  "#include <string_view>\n"
  "namespace { constexpr char kText[] = {\n${bytes}'\\0'};\n}\n"
  "std::string_view ${FUNCTION}() { return {kText, sizeof kText - 1}; }\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
