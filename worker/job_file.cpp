#include "worker/job_file.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include <nlohmann/json.hpp>

#include "worker/command_text.h"
#include "worker/errors.h"
#include "worker/frame_ranges.h"
#include "worker/job_replies.h"
#include "worker/settings_review.h"

namespace paravelle::worker {
namespace {

using nlohmann::json;

constexpr std::array<std::string_view, 14> kKnownKeys = {"format",
                                                         "version",
                                                         "description",
                                                         "token",
                                                         "settings_before_start",
                                                         "scene",
                                                         "camera",
                                                         "settings_after_start",
                                                         "frames",
                                                         "scripts",
                                                         "job_info",
                                                         "submit_info",
                                                         "aux_files",
                                                         "path_mapping"};

// Commands the job sequence sends itself; a settings list that held them would break the order.
constexpr std::array<std::string_view, 5> kNotSettings = {"StartJob", "RenderTask", "EndJob", "ExecuteMaxScriptFile",
                                                          "ExecuteStringScript"};

std::string in_quotes(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::string indexed(std::string_view key, std::size_t index) {
  return in_quotes(key) + "[" + std::to_string(index) + "]";
}

// Reports problems with the file's name in front, as "<file>: <where>: <problem>".
class Reader {
 public:
  explicit Reader(std::filesystem::path source) : source_(std::move(source)) {}

  [[noreturn]] void fail(const std::string& problem) const { throw JobFileError(source_.string() + ": " + problem); }
  [[noreturn]] void fail(const std::string& where, const std::string& problem) const { fail(where + ": " + problem); }

  std::string string_at(const json& value, const std::string& where) const {
    if (!value.is_string()) fail(where, "must be a text");
    return value.get<std::string>();
  }

  // Values that scripts read as text; numbers and booleans are accepted and written as JSON writes them.
  std::string scalar_at(const json& value, const std::string& where) const {
    if (value.is_string()) return value.get<std::string>();
    if (value.is_number() || value.is_boolean()) return value.dump();
    fail(where, "must be a text, a number or true/false");
  }

  const json& array_at(const json& document, std::string_view key) const {
    const json& value = document.at(std::string(key));
    if (!value.is_array()) fail(in_quotes(key), "must be a list");
    return value;
  }

  const json& object_at(const json& document, std::string_view key) const {
    const json& value = document.at(std::string(key));
    if (!value.is_object()) fail(in_quotes(key), "must be an object");
    return value;
  }

  const std::filesystem::path& source() const { return source_; }
  std::filesystem::path folder() const { return std::filesystem::absolute(source_).parent_path(); }

 private:
  std::filesystem::path source_;
};

json parse_document(const std::string& text, const Reader& reader) {
  try {
    return json::parse(text);
  } catch (const json::parse_error& error) {
    std::string what = error.what();
    if (const auto end = what.find("] "); what.starts_with("[json.exception") && end != std::string::npos) {
      what.erase(0, end + 2);
    }
    reader.fail("not valid JSON: " + what);
  }
}

void check_header(const json& document, const Reader& reader) {
  if (!document.is_object()) reader.fail("a job file is a JSON object");
  for (const auto& item : document.items()) {
    if (std::find(kKnownKeys.begin(), kKnownKeys.end(), item.key()) == kKnownKeys.end()) {
      reader.fail("unknown key " + in_quotes(item.key()));
    }
  }
  if (!document.contains("format") || document["format"] != kJobFileFormat) {
    reader.fail("\"format\" must be \"" + std::string(kJobFileFormat) + "\"");
  }
  if (!document.contains("version") || !document["version"].is_number_integer()) {
    reader.fail("\"version\" must be the number " + std::to_string(kJobFileVersion));
  }
  if (document["version"] != kJobFileVersion) {
    reader.fail("unsupported version " + document["version"].dump() + " (this program reads version " +
                std::to_string(kJobFileVersion) + ")");
  }
}

std::vector<std::string> read_settings(const json& document, std::string_view key, const Reader& reader) {
  std::vector<std::string> settings;
  if (!document.contains(key)) return settings;
  const json& list = reader.array_at(document, key);
  for (std::size_t i = 0; i < list.size(); ++i) {
    std::string command = reader.string_at(list[i], indexed(key, i));
    try {
      check_setting(command);
    } catch (const std::invalid_argument& error) {
      reader.fail(indexed(key, i) + " " + in_quotes(command), error.what());
    }
    // The word as the node reads it: a quoted or escaped job command is still one.
    const std::string word = first_command_field(command);
    if (word.empty()) reader.fail(indexed(key, i), "is empty");
    if (std::find(kNotSettings.begin(), kNotSettings.end(), word) != kNotSettings.end()) {
      reader.fail(indexed(key, i), in_quotes(word) + " is not a settings command (the job sends it itself)");
    }
    settings.push_back(std::move(command));
  }
  return settings;
}

std::vector<std::int32_t> read_frames(const json& document, const Reader& reader) {
  std::vector<std::int32_t> frames;
  if (!document.contains("frames")) return frames;
  const json& value = document["frames"];
  const json list = value.is_string() ? json::array({value}) : value;
  if (!list.is_array()) reader.fail("\"frames\"", "must be a list of frames and ranges, or a range text");
  for (std::size_t i = 0; i < list.size(); ++i) {
    const json& entry = list[i];
    if (entry.is_number_integer()) {
      const auto frame = entry.get<std::int64_t>();
      if (frame < INT32_MIN || frame > INT32_MAX) reader.fail(indexed("frames", i), "is out of range");
      if (frames.size() == kMaxFrames) reader.fail(indexed("frames", i), kTooManyFrames);
      frames.push_back(static_cast<std::int32_t>(frame));
      continue;
    }
    if (!entry.is_string())
      reader.fail(indexed("frames", i), "must be a frame number or a range text such as \"1-10\"");
    try {
      append_frame_ranges(entry.get<std::string>(), frames);
    } catch (const std::invalid_argument& error) {
      reader.fail(indexed("frames", i), error.what());
    }
  }
  return frames;
}

std::string read_script(const json& entry, const std::string& where, const Reader& reader) {
  if (entry.is_string()) {
    std::string command = entry.get<std::string>();
    try {
      split_command_fields(command);
    } catch (const std::invalid_argument& error) {
      reader.fail(where + " " + in_quotes(command),
                  std::string("the node cannot read this command and would end its session: ") + error.what());
    }
    return command;
  }
  if (!entry.is_object()) reader.fail(where, "must be a command text or an object with \"file\" or \"text\"");
  for (const auto& item : entry.items()) {
    if (item.key() != "file" && item.key() != "text" && item.key() != "frame" && item.key() != "return_string") {
      reader.fail(where, "unknown key " + in_quotes(item.key()));
    }
  }
  if (entry.contains("frame") && !entry["frame"].is_number_integer()) reader.fail(where, "\"frame\" must be a number");
  const std::string frame = entry.contains("frame") ? entry["frame"].dump() : "0";
  if (entry.contains("file") == entry.contains("text"))
    reader.fail(where, "needs exactly one of \"file\" and \"text\"");
  if (entry.contains("text")) {
    return command_text("ExecuteStringScript", {frame, reader.string_at(entry["text"], where + ".text")});
  }
  if (entry.contains("return_string") && !entry["return_string"].is_boolean()) {
    reader.fail(where, "\"return_string\" must be true or false");
  }
  const bool return_string = entry.value("return_string", false);
  const std::string file = resolve_job_path(reader.string_at(entry["file"], where + ".file"), reader.folder());
  return command_text("ExecuteMaxScriptFile",
                      {file, entry.contains("frame") ? "true" : "false", frame, return_string ? "true" : "false"});
}

std::map<std::string, SubmitInfoValue> read_submit_info(const json& document, const Reader& reader) {
  std::map<std::string, SubmitInfoValue> entries;
  if (!document.contains("submit_info")) return entries;
  for (const auto& item : reader.object_at(document, "submit_info").items()) {
    const std::string where = "\"submit_info\"." + item.key();
    if (!item.value().is_array()) {
      entries[item.key()] = reader.scalar_at(item.value(), where);
      continue;
    }
    std::vector<std::string> elements;
    for (std::size_t i = 0; i < item.value().size(); ++i) {
      elements.push_back(reader.scalar_at(item.value()[i], where + "[" + std::to_string(i) + "]"));
    }
    entries[item.key()] = std::move(elements);
  }
  return entries;
}

std::string without_trailing_separators(std::string path) {
  while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  return path;
}

std::vector<PathMappingRule> read_path_mapping(const json& document, const Reader& reader) {
  std::vector<PathMappingRule> rules;
  if (!document.contains("path_mapping")) return rules;
  const json& list = reader.array_at(document, "path_mapping");
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string where = indexed("path_mapping", i);
    const json& rule = list[i];
    if (!rule.is_object() || rule.size() != 2 || !rule.contains("from") || !rule.contains("to")) {
      reader.fail(where, "must be an object with exactly \"from\" and \"to\"");
    }
    std::string from = without_trailing_separators(reader.string_at(rule["from"], where + ".from"));
    if (from.empty()) reader.fail(where, "\"from\" is empty");
    std::string to = reader.string_at(rule["to"], where + ".to");
    to = without_trailing_separators(to.empty() ? to : resolve_job_path(to, reader.folder()));
    rules.push_back({std::move(from), std::move(to)});
  }
  return rules;
}

}  // namespace

std::string resolve_job_path(const std::string& path, const std::filesystem::path& base_folder) {
  std::string forward = path;
  std::replace(forward.begin(), forward.end(), '\\', '/');
  const bool drive = forward.size() >= 3 && std::isalpha(static_cast<unsigned char>(forward[0])) && forward[1] == ':' &&
                     forward[2] == '/';
  if (forward.starts_with("/") || drive) return forward;
  return (base_folder / forward).lexically_normal().generic_string();
}

JobFile parse_job_file(const std::string& text, const std::filesystem::path& source) {
  const Reader reader(source);
  const json document = parse_document(text, reader);
  check_header(document, reader);

  JobFile job;
  job.source = source;
  if (document.contains("token")) job.token = reader.string_at(document["token"], "\"token\"");
  job.settings_before_start = read_settings(document, "settings_before_start", reader);
  job.settings_after_start = read_settings(document, "settings_after_start", reader);
  if (document.contains("scene")) {
    const std::string scene = reader.string_at(document["scene"], "\"scene\"");
    if (scene.empty()) reader.fail("\"scene\"", "is empty");
    job.scene = resolve_job_path(scene, reader.folder());
  }
  if (document.contains("camera")) job.camera = reader.string_at(document["camera"], "\"camera\"");
  job.frames = read_frames(document, reader);
  if (document.contains("scripts")) {
    const json& list = reader.array_at(document, "scripts");
    for (std::size_t i = 0; i < list.size(); ++i)
      job.scripts.push_back(read_script(list[i], indexed("scripts", i), reader));
  }
  if (document.contains("job_info")) {
    for (const auto& item : reader.object_at(document, "job_info").items()) {
      job.job_info[item.key()] = reader.scalar_at(item.value(), "\"job_info\"." + item.key());
    }
  }
  job.submit_info = read_submit_info(document, reader);
  if (document.contains("aux_files")) {
    const json& list = reader.array_at(document, "aux_files");
    for (std::size_t i = 0; i < list.size(); ++i) {
      job.aux_files.push_back(resolve_job_path(reader.string_at(list[i], indexed("aux_files", i)), reader.folder()));
    }
  }
  job.path_mapping = read_path_mapping(document, reader);
  return job;
}

void check_job_start(const JobFile& job) {
  if (!job.scene) throw JobFileError(job.source.string() + ": a job needs \"scene\"");
}

JobFile load_job_file(const std::filesystem::path& file) {
  std::ifstream stream(file, std::ios::binary);
  if (!stream) {
    std::error_code error;
    const bool exists = std::filesystem::exists(file, error);
    throw JobFileError(file.string() + ": " + (exists ? "cannot be read" : "no such file"));
  }
  std::ostringstream text;
  text << stream.rdbuf();
  return parse_job_file(text.str(), file);
}

}  // namespace paravelle::worker
