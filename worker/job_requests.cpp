#include "worker/job_requests.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "worker/conversation.h"

namespace paravelle::worker {
namespace {

std::string success(const std::string& value) { return "SUCCESS: " + value; }

std::string join(const std::vector<std::string>& elements) {
  std::string text;
  for (const auto& element : elements) text += (text.empty() ? "" : ",") + element;
  return text;
}

bool parse_index(std::string_view text, long long& index) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), index);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

char path_char(char c) { return c == '\\' ? '/' : static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool is_separator(char c) { return c == '/' || c == '\\'; }

bool matches_prefix(const std::string& name, const std::string& prefix) {
  if (name.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (path_char(name[i]) != path_char(prefix[i])) return false;
  }
  return name.size() == prefix.size() || is_separator(name[prefix.size()]) || is_separator(prefix.back());
}

}  // namespace

std::string map_path(const std::string& name, const std::vector<PathMappingRule>& rules) {
  for (const auto& rule : rules) {
    if (!matches_prefix(name, rule.from)) continue;
    std::string rest = name.substr(rule.from.size());
    std::replace(rest.begin(), rest.end(), '\\', '/');
    return rule.to + rest;
  }
  return name;
}

JobRequestAnswers::JobRequestAnswers(const JobFile& job)
    : job_info_(job.job_info),
      submit_info_(job.submit_info),
      aux_files_(job.aux_files),
      path_mapping_(job.path_mapping) {}

std::string JobRequestAnswers::operator()(const std::string& request) const {
  const std::string kind = function_kind(request);
  const std::string argument = function_argument(request);
  if (kind == "GETJOBINFOENTRY") {
    const auto found = job_info_.find(argument);
    return found != job_info_.end() ? success(found->second) : "ERROR: no job info entry \"" + argument + "\"";
  }
  if (kind == "GETSUBMITINFOENTRY" || kind == "GETSUBMITINFOENTRYELEMENTCOUNT") {
    const auto found = submit_info_.find(argument);
    if (found == submit_info_.end()) return "ERROR: no submit info entry \"" + argument + "\"";
    const auto* list = std::get_if<std::vector<std::string>>(&found->second);
    if (kind == "GETSUBMITINFOENTRY") return success(list ? join(*list) : std::get<std::string>(found->second));
    if (!list) return "ERROR: submit info entry \"" + argument + "\" is not a list";
    return success(std::to_string(list->size()));
  }
  if (kind == "GETSUBMITINFOENTRYELEMENT") return submit_element(argument);
  if (kind == "GETAUXFILE") return aux_file(argument);
  if (kind == "GETPATHMAPPEDFILENAME") return success(map_path(argument, path_mapping_));
  return "ERROR: unknown request \"" + kind + "\"";
}

std::string JobRequestAnswers::submit_element(const std::string& argument) const {
  const auto comma = argument.find(',');
  long long index = 0;
  if (comma == std::string::npos || !parse_index(std::string_view(argument).substr(0, comma), index)) {
    return "ERROR: expected an index, a comma and a key, got \"" + argument + "\"";
  }
  const std::string key = argument.substr(comma + 1);
  const auto found = submit_info_.find(key);
  if (found == submit_info_.end()) return "ERROR: no submit info entry \"" + key + "\"";
  const auto* list = std::get_if<std::vector<std::string>>(&found->second);
  if (!list) return "ERROR: submit info entry \"" + key + "\" is not a list";
  if (index < 0 || static_cast<unsigned long long>(index) >= list->size()) {
    return "ERROR: submit info entry \"" + key + "\" has no element " + std::to_string(index);
  }
  return success((*list)[static_cast<std::size_t>(index)]);
}

std::string JobRequestAnswers::aux_file(const std::string& argument) const {
  long long index = 0;
  if (!parse_index(argument, index)) return "ERROR: \"" + argument + "\" is not an aux file index";
  if (index < 0 || static_cast<unsigned long long>(index) >= aux_files_.size()) {
    return "ERROR: no aux file " + std::to_string(index) + " (the job has " + std::to_string(aux_files_.size()) + ")";
  }
  return success(aux_files_[static_cast<std::size_t>(index)]);
}

}  // namespace paravelle::worker
