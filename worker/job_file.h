// The job file: one JSON document that says what a node renders and how the worker answers
// its requests. docs/job-file.md is its reference.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace paravelle::worker {

inline constexpr const char* kJobFileFormat = "paravelle-job";
inline constexpr int kJobFileVersion = 1;

struct PathMappingRule {
  std::string from;  // prefix as the scene names it; no trailing separator
  std::string to;    // its replacement, made absolute against the job file's folder
};

// A submit info entry is one value or a list of elements.
using SubmitInfoValue = std::variant<std::string, std::vector<std::string>>;

struct JobFile {
  std::filesystem::path source;  // the file it was read from
  std::optional<std::string> token;
  std::vector<std::string> settings_before_start;  // command texts, sent as written
  std::optional<std::string> scene;                // absolute, forward slashes
  std::string camera;
  std::vector<std::string> settings_after_start;
  std::vector<std::int32_t> frames;  // expanded, in order
  std::vector<std::string> scripts;  // command texts (ExecuteMaxScriptFile, ExecuteStringScript)
  std::map<std::string, std::string> job_info;
  std::map<std::string, SubmitInfoValue> submit_info;
  std::vector<std::string> aux_files;  // absolute, forward slashes
  std::vector<PathMappingRule> path_mapping;
};

// Reads and checks a job file. Throws JobFileError "<file>: <problem>".
JobFile load_job_file(const std::filesystem::path& file);
// The same for text already read; `source` names the file in errors and anchors relative paths.
JobFile parse_job_file(const std::string& text, const std::filesystem::path& source);

// JobFileError "<file>: a job needs "scene"" for a job no node can start (a job file may leave the
// scene out when only its settings and scripts are sent).
void check_job_start(const JobFile& job);

// A path from a job file as the node must receive it: forward slashes, and absolute (relative
// paths are taken from `base_folder`). Windows paths ("C:/...", "//server/...") count as absolute.
std::string resolve_job_path(const std::string& path, const std::filesystem::path& base_folder);

}  // namespace paravelle::worker
