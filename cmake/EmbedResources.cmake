# Writes a C++ table of the named resources: name, bytes, size.
set(body "")
set(table "")
set(index 0)
if(EXISTS ${MANIFEST})
  file(STRINGS ${MANIFEST} lines)
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*#" OR line STREQUAL "")
      continue()
    endif()
    separate_arguments(parts UNIX_COMMAND "${line}")
    list(GET parts 0 name)
    list(GET parts 1 path)
    file(READ ${DIR}/${path} hex HEX)
    string(LENGTH "${hex}" hexlen)
    math(EXPR size "${hexlen} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(APPEND body "static const unsigned char res_${index}[] = {${bytes} 0};\n")
    string(APPEND table "  {\"${name}\", res_${index}, ${size}},\n")
    math(EXPR index "${index} + 1")
  endforeach()
endif()
file(WRITE ${OUT}.tmp "// Generated from resources/resources.txt; do not edit.\n#include <cstddef>\n"
  "namespace quillon::platform::detail {\n"
  "struct EmbeddedResource { const char* name; const unsigned char* data; std::size_t size; };\n"
  "${body}"
  "extern const EmbeddedResource kEmbeddedResources[] = {\n${table}  {nullptr, nullptr, 0}\n};\n"
  "}\n")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.tmp)
