// The monitor's page: static HTML, CSS and plain JavaScript from worker/monitor/page/, compiled into
// the program at build time (cmake/embed_page.cmake), so the farm needs no files beside it to serve it.
#pragma once

#include <span>
#include <string_view>

namespace paravelle::monitor {

struct PageFile {
  std::string_view path;  // "/", "/monitor.css", "/monitor.js"
  std::string_view content_type;
  std::string_view body;
};

std::span<const PageFile> page_files();
// The file served at `path` ("/index.html" is "/"); null for every other path.
const PageFile* page_file(std::string_view path);

}  // namespace paravelle::monitor
