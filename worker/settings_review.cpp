#include "worker/settings_review.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "worker/command_text.h"

namespace paravelle::worker {
namespace {

enum class Kind { text, whole_number, number, zero_or_one };
// Where a setting acts: after StartJob, which resets it; or when the scene loads, at StartJob.
enum class Place { anywhere, after_start, before_start };

struct Rule {
  std::string_view word;
  Place place;
  int fields;  // -1: not checked; 0 with `at_least_one`: one or more
  std::string_view meaning;
  std::array<Kind, 2> kinds = {Kind::text, Kind::text};
  bool at_least_one = false;
};

// Only what the node takes without a reply: wrong counts it only logs before it switches the setting
// off, and values it never replies about. What it refuses with an error reply is its own to say.
constexpr std::array kRules = {
    Rule{"UseJpegOutput", Place::after_start, 1, "the JPEG folder"},
    Rule{"FailOnBlackFrames",
         Place::after_start,
         2,
         "the percentage and the threshold",
         {Kind::whole_number, Kind::number}},
    Rule{"OverrideSaveFile", Place::after_start, 1, "0 or 1", {Kind::zero_or_one, Kind::text}},
    Rule{"OutputImageFilename", Place::after_start, 1, "the file name"},
    Rule{"OutputImageReFilename", Place::after_start, 2, "the element index and the file name"},
    Rule{"GammaCorrection", Place::before_start, 2, "the input and the output gamma"},
    Rule{"PathConfigFile", Place::before_start, 1, "the path configuration file"},
    Rule{"IgnoreRenderElementsByName", Place::anywhere, 0, "the element names", {}, true},
    Rule{"RestartRendererMode", Place::after_start, -1, ""},
    Rule{"FrameNumberBase", Place::after_start, -1, ""},
    Rule{"HideFrameBuffer", Place::after_start, -1, ""},
    Rule{"RemovePadding", Place::after_start, -1, ""},
    Rule{"LocalRendering", Place::after_start, -1, ""},
    Rule{"BlackFramesCheckRenderElements", Place::after_start, -1, ""},
    Rule{"DisableAltOutput", Place::after_start, -1, ""},
    Rule{"RegionRendering", Place::after_start, -1, ""},
    Rule{"MergePathConfigFile", Place::before_start, -1, ""},
    Rule{"IgnoreMissingExternalFiles", Place::before_start, -1, ""},
    Rule{"IgnoreMissingUVWs", Place::before_start, -1, ""},
    Rule{"IgnoreMissingDLLs", Place::before_start, -1, ""},
    Rule{"IgnoreMissingXREFs", Place::before_start, -1, ""},
};

const Rule* rule_for(std::string_view word) {
  for (const Rule& rule : kRules) {
    if (rule.word == word) return &rule;
  }
  return nullptr;
}

// As the node parses numbers: the whole field, no blanks, an optional sign.
bool parses_as(Kind kind, const std::string& field) {
  if (field.empty() || field.front() == ' ' || field.front() == '\t') return kind == Kind::text;
  char* end = nullptr;
  errno = 0;
  switch (kind) {
    case Kind::text: return true;
    case Kind::whole_number: {
      const long long value = std::strtoll(field.c_str(), &end, 10);
      return *end == '\0' && errno == 0 && value >= INT32_MIN && value <= INT32_MAX;
    }
    case Kind::number: std::strtof(field.c_str(), &end); return *end == '\0';
    case Kind::zero_or_one: {
      // Boost's conversion to bool: "0" or "1", leading zeros and a "+" allowed, a "-" only before zero.
      std::string_view digits = field;
      const bool minus = digits.front() == '-';
      if (minus || digits.front() == '+') digits.remove_prefix(1);
      const auto first = digits.find_first_not_of('0');
      if (digits.empty()) return false;
      return first == std::string_view::npos || (!minus && digits.substr(first) == "1");
    }
  }
  return false;
}

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::whole_number: return "a whole number";
    case Kind::number: return "a number";
    case Kind::zero_or_one: return "0 or 1";
    case Kind::text: break;
  }
  return "a text";
}

std::string field_count(int count) { return std::to_string(count) + (count == 1 ? " field" : " fields"); }

std::string count_problem(const Rule& rule, std::size_t given) {
  const int got = static_cast<int>(given);
  if (rule.at_least_one)
    return got == 0 ? "takes at least one field (" + std::string(rule.meaning) + "), got none" : "";
  if (rule.fields < 0 || got == rule.fields) return "";
  return "takes " + field_count(rule.fields) + " (" + std::string(rule.meaning) + "), got " + std::to_string(got);
}

std::string value_problem(const Rule& rule, const std::vector<std::string>& fields) {
  for (std::size_t i = 1; i < fields.size() && i <= rule.kinds.size(); ++i) {
    const Kind kind = rule.kinds[i - 1];
    if (kind != Kind::zero_or_one && !parses_as(kind, fields[i]))
      return "\"" + fields[i] + "\" is not " + kind_name(kind);
  }
  return "";
}

std::string place_problem(const Rule& rule, bool after_start) {
  if (rule.place == Place::after_start && !after_start)
    return "StartJob resets it, so it has no effect here; put it in \"settings_after_start\"";
  if (rule.place == Place::before_start && after_start)
    return "the node reads it when a scene loads, so it has no effect on this job; put it in "
           "\"settings_before_start\"";
  return "";
}

void review_list(const std::vector<std::string>& settings, const char* key, bool after_start, bool job_commands,
                 std::vector<std::string>& warnings) {
  for (std::size_t i = 0; i < settings.size(); ++i) {
    const std::vector<std::string> fields = split_command_fields(settings[i]);
    const Rule* rule = fields.empty() ? nullptr : rule_for(fields.front());
    if (!rule) continue;
    const std::string where = "\"" + std::string(key) + "\"[" + std::to_string(i) + "] \"" + settings[i] + "\": ";
    if (std::string problem = count_problem(*rule, fields.size() - 1); !problem.empty()) {
      warnings.push_back(where + problem + "; the node ignores it");
      continue;
    }
    if (std::string problem = value_problem(*rule, fields); !problem.empty())
      warnings.push_back(where + problem + "; the node switches the setting off");
    if (!job_commands) continue;
    if (std::string problem = place_problem(*rule, after_start); !problem.empty()) warnings.push_back(where + problem);
  }
}

}  // namespace

void check_setting(const std::string& setting) {
  std::vector<std::string> fields;
  try {
    fields = split_command_fields(setting);
  } catch (const std::invalid_argument& error) {
    std::string text = std::string("the node cannot read this command and would end its session: ") + error.what();
    if (std::string_view(error.what()).starts_with("unknown escape"))
      text += " (a backslash starts an escape: write paths with forward slashes, C:/temp, or double each "
              "backslash, C:\\\\\\\\temp in JSON)";
    throw std::invalid_argument(text);
  }
  // The node converts this value without catching a failure: a wrong one ends its session.
  if (fields.size() == 2 && fields[0] == "OverrideSaveFile" && !parses_as(Kind::zero_or_one, fields[1]))
    throw std::invalid_argument("OverrideSaveFile takes 0 or 1; the node would end its session on \"" + fields[1] +
                                "\"");
}

std::vector<std::string> settings_warnings(const JobFile& job, bool job_commands) {
  std::vector<std::string> warnings;
  review_list(job.settings_before_start, "settings_before_start", false, job_commands, warnings);
  review_list(job.settings_after_start, "settings_after_start", true, job_commands, warnings);
  return warnings;
}

}  // namespace paravelle::worker
