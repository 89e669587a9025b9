# Writes the status page into a C++ header: one string constant, in pieces
# that no compiler's limit on a string literal refuses.
file(READ "${INPUT}" content)
string(LENGTH "${content}" length)
set(out "// Made from src/status/page.html at build time; edit that file.\n#pragma once\nnamespace status\n{\n  /// The status page, one HTML file with its style and script.\n  inline const char* const statusPage =\n")
set(offset 0)
while(offset LESS length)
  string(SUBSTRING "${content}" ${offset} 2000 piece)
  string(APPEND out "    R\"notara_page(${piece})notara_page\"\n")
  math(EXPR offset "${offset} + 2000")
endwhile()
string(APPEND out "    ;\n}\n")
file(WRITE "${OUTPUT}.tmp" "${out}")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${OUTPUT}.tmp" "${OUTPUT}")
