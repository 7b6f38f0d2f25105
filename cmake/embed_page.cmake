# Writes the monitor's page files into a C++ source as raw string literals (worker/monitor/monitor_page.h).
#   cmake -D folder=<worker/monitor/page> -D out=<file.cpp> -P embed_page.cmake
# file|address|type (every type is sent with "; charset=utf-8")
set(files "index.html|/|text/html" "monitor.css|/monitor.css|text/css" "monitor.js|/monitor.js|text/javascript")
set(delimiter "paravelle_page")
set(entries "")
foreach(file IN LISTS files)
  string(REPLACE "|" ";" parts "${file}")
  list(GET parts 0 name)
  list(GET parts 1 path)
  list(GET parts 2 type)
  string(APPEND type "; charset=utf-8")
  file(READ "${folder}/${name}" body)
  string(FIND "${body}" ")${delimiter}\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${folder}/${name} holds the text )${delimiter}\" that ends the literal")
  endif()
  string(APPEND entries "    {\"${path}\", \"${type}\", R\"${delimiter}(${body})${delimiter}\"},\n")
endforeach()
file(WRITE "${out}.new"
  "// Generated from ${folder} by cmake/embed_page.cmake: edit the page files, not this.\n"
  "#include \"worker/monitor/monitor_page.h\"\n\n"
  "namespace paravelle::monitor {\n\n"
  "std::span<const PageFile> page_files() {\n"
  "  static constexpr PageFile files[] = {\n${entries}  };\n"
  "  return files;\n"
  "}\n\n"
  "}  // namespace paravelle::monitor\n")
# Only a changed source is rewritten, so an unchanged page does not rebuild the program.
file(COPY_FILE "${out}.new" "${out}" ONLY_IF_DIFFERENT)
file(REMOVE "${out}.new")
