#include "host/standalone/json_field.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "host/standalone/wide_text.h"

namespace paravelle::host::standalone {
namespace {

std::uint32_t class_word(const JsonField& field) {
  const nlohmann::json& value = field.json();
  if (value.is_number_unsigned()) {
    const auto word = value.get<std::uint64_t>();
    if (word > std::numeric_limits<std::uint32_t>::max()) field.fail("class identifier word is larger than 32 bits");
    return static_cast<std::uint32_t>(word);
  }
  if (value.is_string()) {
    const std::string text = value.get<std::string>();
    std::size_t used = 0;
    unsigned long long word = 0;
    try {
      word = std::stoull(text, &used, 0);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != text.size() || word > std::numeric_limits<std::uint32_t>::max())
      field.fail("expected a 32-bit class identifier word such as \"0x399ee5f2\", got \"" + text + "\"");
    return static_cast<std::uint32_t>(word);
  }
  field.fail("expected a class identifier word (a number or a \"0x...\" text)");
}

}  // namespace

std::size_t too_deep_at(const std::string& text, std::size_t limit) {
  std::size_t depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return i;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return std::string::npos;
}

JsonField::JsonField(const nlohmann::json& value, std::string path)
    : value_(value), path_(std::make_shared<const Step>(Step{nullptr, std::move(path)})) {}

std::string JsonField::path() const {
  std::vector<const std::string*> steps;
  for (const Step* step = path_.get(); step; step = step->parent.get()) steps.push_back(&step->text);
  std::string joined;
  for (auto step = steps.rbegin(); step != steps.rend(); ++step) joined += **step;
  return joined;
}

JsonField JsonField::below(const nlohmann::json& value, std::string step) const {
  return JsonField(value, std::make_shared<const Step>(Step{path_, std::move(step)}));
}

JsonField JsonField::labelled(const std::string& label) const { return below(value_, label); }

void JsonField::fail(const std::string& what) const {
  const std::string where = path();
  throw std::runtime_error(where.empty() ? what : where + ": " + what);
}

void JsonField::expect_object(std::initializer_list<const char*> allowed) const {
  if (!value_.is_object()) fail("expected an object");
  for (const auto& item : value_.items()) {
    const bool known = std::any_of(allowed.begin(), allowed.end(), [&](const char* key) { return item.key() == key; });
    if (!known) fail("unknown key \"" + item.key() + "\"");
  }
}

JsonField JsonField::operator[](const char* key) const {
  if (!has(key)) fail(std::string("missing \"") + key + "\"");
  const bool at_root = !path_->parent && path_->text.empty();
  return below(value_.at(key), at_root ? std::string(key) : std::string(".") + key);
}

JsonField JsonField::child(const char* key, const std::string& label) const { return (*this)[key].labelled(label); }

std::size_t JsonField::size() const {
  if (!value_.is_array()) fail("expected an array");
  return value_.size();
}

JsonField JsonField::at(std::size_t index) const {
  if (!value_.is_array() || index >= value_.size()) fail("expected an array element " + std::to_string(index));
  return below(value_.at(index), "[" + std::to_string(index) + "]");
}

double JsonField::number() const {
  if (!value_.is_number()) fail("expected a number");
  const double result = value_.get<double>();
  if (!std::isfinite(result)) fail("expected a finite number");
  return result;
}

int JsonField::integer() const {
  if (!value_.is_number_integer()) fail("expected an integer");
  const auto result = value_.get<std::int64_t>();
  if (result < std::numeric_limits<int>::min() || result > std::numeric_limits<int>::max())
    fail("integer out of range");
  return static_cast<int>(result);
}

bool JsonField::boolean() const {
  if (!value_.is_boolean()) fail("expected true or false");
  return value_.get<bool>();
}

std::wstring JsonField::text() const {
  if (!value_.is_string()) fail("expected a text");
  try {
    return wide_text::from_utf8(value_.get<std::string>());
  } catch (const std::runtime_error& error) {
    fail(error.what());
  }
}

Vector3 JsonField::vector() const {
  if (!value_.is_array() || value_.size() != 3) fail("expected [x, y, z]");
  return {at(0).number(), at(1).number(), at(2).number()};
}

ColourRGB JsonField::colour() const {
  if (!value_.is_array() || value_.size() != 3) fail("expected a colour [r, g, b]");
  return {static_cast<float>(at(0).number()), static_cast<float>(at(1).number()), static_cast<float>(at(2).number())};
}

Class_ID JsonField::class_id() const {
  if (!value_.is_array() || value_.size() != 2) fail("expected a class identifier [a, b]");
  return {class_word(at(0)), class_word(at(1))};
}

double JsonField::number_or(const char* key, double fallback) const {
  return has(key) ? (*this)[key].number() : fallback;
}

int JsonField::integer_or(const char* key, int fallback) const { return has(key) ? (*this)[key].integer() : fallback; }

bool JsonField::boolean_or(const char* key, bool fallback) const {
  return has(key) ? (*this)[key].boolean() : fallback;
}

std::wstring JsonField::text_or(const char* key, const std::wstring& fallback) const {
  return has(key) ? (*this)[key].text() : fallback;
}

}  // namespace paravelle::host::standalone
