#pragma once
// Reading one value of the host's JSON files with its location, so every error names
// where in the file it is ("nodes[1].camera.fov: expected a number").

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "host/standalone/scene_model.h"

namespace paravelle::host::standalone {

// The byte offset of the first object or array that lies deeper than `limit` levels in a
// JSON text, or npos. Strings are skipped, so brackets in texts do not count.
std::size_t too_deep_at(const std::string& text, std::size_t limit);

class JsonField {
 public:
  JsonField(const nlohmann::json& value, std::string path);

  // Where the value is ("nodes[1](\"cam\").fov"). Composed on demand: every field keeps
  // only its own step and a link to its parent's, so a deep file does not copy a growing
  // path into every level.
  std::string path() const;
  const nlohmann::json& json() const { return value_; }
  [[noreturn]] void fail(const std::string& what) const;
  // The same value, with `label` added to its place ("(\"name\")" after a node).
  JsonField labelled(const std::string& label) const;

  // The value must be an object holding no other keys than these.
  void expect_object(std::initializer_list<const char*> allowed) const;
  bool has(const char* key) const { return value_.is_object() && value_.contains(key); }
  JsonField operator[](const char* key) const;  // a missing key is an error
  JsonField child(const char* key, const std::string& label) const;

  // Arrays.
  std::size_t size() const;
  JsonField at(std::size_t index) const;

  double number() const;
  int integer() const;
  bool boolean() const;
  std::wstring text() const;
  Vector3 vector() const;
  ColourRGB colour() const;
  Class_ID class_id() const;  // [a, b], each a number or a "0x..." text

  // Optional keys with defaults.
  double number_or(const char* key, double fallback) const;
  int integer_or(const char* key, int fallback) const;
  bool boolean_or(const char* key, bool fallback) const;
  std::wstring text_or(const char* key, const std::wstring& fallback) const;

 private:
  struct Step {
    std::shared_ptr<const Step> parent;
    std::string text;
  };
  JsonField(const nlohmann::json& value, std::shared_ptr<const Step> path) : value_(value), path_(std::move(path)) {}
  JsonField below(const nlohmann::json& value, std::string step) const;

  const nlohmann::json& value_;
  std::shared_ptr<const Step> path_;
};

}  // namespace paravelle::host::standalone
