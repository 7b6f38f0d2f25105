#pragma once
// Parts of a Windows path, taken the way a Windows file-system library takes them, on
// every platform: the plug-in keeps backslash paths in its texts and must split them
// identically wherever it runs. A root name is a drive ("C:") or a network server
// ("\\server"); '/' and '\' both separate elements.

#include <string>

namespace paravelle::render {

struct PathParts {
  std::wstring parent;     // the parent path: everything before the file name, without the
                           // last separator, but a root keeps its separator ("C:\")
  std::wstring file_name;  // the last element; "." for a path that ends in a separator
};

PathParts split_path(const std::wstring& path);

// Of the file name: up to (not including) its last '.', or the whole name without one;
// "." and ".." are stems of their own.
std::wstring stem_of(const std::wstring& file_name);
// From the last '.' of the file name to its end, the dot included; empty without one.
std::wstring extension_of(const std::wstring& file_name);

// The directory with a backslash appended, unless it is empty or already ends with one.
std::wstring with_separator(const std::wstring& directory);
// A file-system library's "directory / name": a separator in between unless the directory
// is empty or already ends in one (a drive such as "C:" takes none).
std::wstring join_path(const std::wstring& directory, const std::wstring& name);

}  // namespace paravelle::render
