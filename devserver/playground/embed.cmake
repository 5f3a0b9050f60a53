# Writes a C++ source that holds the playground's files as byte arrays and
# PlaygroundFile() to find them by name. Run at build time:
#   cmake -DDIR=<folder> -DNAMES=a.html,b.js -DOUTPUT=<file.cpp> -P embed.cmake
string(REPLACE "," ";" names "${NAMES}")
set(arrays "")
set(lookups "")
set(index 0)
foreach(name IN LISTS names)
  file(READ "${DIR}/${name}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)"
         "\\1\n    " bytes "${bytes}")
  string(APPEND arrays "constexpr unsigned char kFile${index}[] = {\n    ${bytes}};\n")
  string(APPEND lookups
         "  if (name == \"${name}\") return {reinterpret_cast<const char*>(kFile${index}), sizeof kFile${index}};\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp" "// Generated from devserver/playground/ by embed.cmake; do not edit.
#include \"devserver/playground_files.h\"

namespace devserver {
namespace {
${arrays}}  // namespace

std::string_view PlaygroundFile(std::string_view name) {
${lookups}  return {};
}

}  // namespace devserver
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
