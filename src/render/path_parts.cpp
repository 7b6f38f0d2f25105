#include "render/path_parts.h"

namespace paravelle::render {
namespace {

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Length of the root name: "C:" (2), "\\server" up to the next separator, or 0.
std::size_t root_name_length(const std::wstring& path) {
  if (path.size() >= 2 && path[1] == L':' && ((path[0] | 0x20) >= L'a' && (path[0] | 0x20) <= L'z')) return 2;
  if (path.size() >= 3 && is_separator(path[0]) && is_separator(path[1]) && !is_separator(path[2])) {
    std::size_t end = 2;
    while (end < path.size() && !is_separator(path[end])) ++end;
    return end;
  }
  return 0;
}

}  // namespace

PathParts split_path(const std::wstring& path) {
  const std::size_t root_name = root_name_length(path);
  std::size_t root_end = root_name;  // the root name plus its separators
  while (root_end < path.size() && is_separator(path[root_end])) ++root_end;
  if (path.size() == root_end) {
    // Nothing but a root: it is its own file name and has no parent.
    if (root_end > root_name && root_name > 0) return {path.substr(0, root_name), path.substr(root_name)};
    return {L"", path};
  }
  if (is_separator(path.back())) {
    std::size_t end = path.size();
    while (end > root_end && is_separator(path[end - 1])) --end;
    return {path.substr(0, end), L"."};
  }
  std::size_t start = path.size();
  while (start > root_end && !is_separator(path[start - 1])) --start;
  PathParts parts{L"", path.substr(start)};
  if (start == root_end) {
    // The file sits right under the root: the parent is the root, separator and all.
    parts.parent = path.substr(0, start);
    if (root_end > root_name) parts.parent = path.substr(0, root_name + 1);
    return parts;
  }
  std::size_t end = start;
  while (end > root_end && is_separator(path[end - 1])) --end;
  parts.parent = path.substr(0, end);
  return parts;
}

std::wstring stem_of(const std::wstring& file_name) {
  if (file_name == L"." || file_name == L"..") return file_name;
  const std::size_t dot = file_name.rfind(L'.');
  return dot == std::wstring::npos ? file_name : file_name.substr(0, dot);
}

std::wstring extension_of(const std::wstring& file_name) {
  if (file_name == L"." || file_name == L"..") return {};
  const std::size_t dot = file_name.rfind(L'.');
  return dot == std::wstring::npos ? std::wstring() : file_name.substr(dot);
}

std::wstring with_separator(const std::wstring& directory) {
  if (directory.empty() || directory.back() == L'\\') return directory;
  return directory + L'\\';
}

std::wstring join_path(const std::wstring& directory, const std::wstring& name) {
  if (directory.empty() || directory.back() == L'\\' || directory.back() == L'/' || directory.back() == L':')
    return directory + name;
  return directory + L'\\' + name;
}

}  // namespace paravelle::render
