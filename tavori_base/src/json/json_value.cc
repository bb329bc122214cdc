#include "base/json/json_value.h"

#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

namespace base::json {

struct JsonValue::Impl {
  nlohmann::json value;
};

namespace {

using Json = nlohmann::json;

Json FromType(JsonType type) {
  switch (type) {
    case JsonType::kNull:
      return Json();
    case JsonType::kBoolean:
      return Json(false);
    case JsonType::kInteger:
      return Json(int64_t{0});
    case JsonType::kDouble:
      return Json(0.0);
    case JsonType::kString:
      return Json(std::string());
    case JsonType::kArray:
      return Json::array();
    case JsonType::kObject:
      return Json::object();
  }
  return Json();
}

}  // namespace

JsonValue::JsonValue() : impl_(std::make_unique<Impl>()) {}
JsonValue::JsonValue(JsonType type) : impl_(std::make_unique<Impl>(Impl{FromType(type)})) {}
JsonValue::JsonValue(int value) : JsonValue(static_cast<int64_t>(value)) {}
JsonValue::JsonValue(int64_t value)
    : impl_(std::make_unique<Impl>(Impl{Json(static_cast<Json::number_integer_t>(value))})) {}
JsonValue::JsonValue(const char* text) : JsonValue(std::string_view(text != nullptr ? text : "")) {}
JsonValue::JsonValue(std::string_view text)
    : impl_(std::make_unique<Impl>(Impl{Json(std::string(text))})) {}
JsonValue::JsonValue(const std::string& text) : JsonValue(std::string_view(text)) {}

JsonValue JsonValue::Boolean(bool value) {
  JsonValue result;
  result.impl_->value = value;
  return result;
}

JsonValue JsonValue::Double(double value) {
  JsonValue result;
  result.impl_->value = value;
  return result;
}

JsonValue::JsonValue(const JsonValue& other) : impl_(std::make_unique<Impl>(*other.impl_)) {}
JsonValue::JsonValue(JsonValue&& other) noexcept : impl_(std::make_unique<Impl>()) {
  impl_.swap(other.impl_);
}
JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) {
    impl_->value = other.impl_->value;
  }
  return *this;
}
JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  impl_->value.swap(other.impl_->value);
  return *this;
}
JsonValue::~JsonValue() = default;

int JsonValue::ParseFromJson(const char* text, size_t length, int mode,
                             bool reject_duplicate_keys) {
  impl_->value = Json();
  // A NUL byte is never valid JSON (the parser would take it for the end of the text).
  if ((text == nullptr && length != 0) ||
      (length != 0 && std::memchr(text, '\0', length) != nullptr)) {
    return kParseSyntaxError;
  }
  int failure = kParseOk;
  // Member names seen so far in each object that is still open.
  std::vector<std::set<std::string>> open_objects;
  const Json::parser_callback_t callback = [&](int depth, Json::parse_event_t event, Json& parsed) {
    switch (event) {
      case Json::parse_event_t::object_start:
      case Json::parse_event_t::array_start:
        if (depth >= kMaxParseDepth && failure == kParseOk) {
          failure = kParseTooDeep;
        }
        if (event == Json::parse_event_t::object_start) {
          open_objects.emplace_back();
        }
        break;
      case Json::parse_event_t::object_end:
        if (!open_objects.empty()) {
          open_objects.pop_back();
        }
        break;
      case Json::parse_event_t::key:
        if (reject_duplicate_keys && !open_objects.empty() &&
            !open_objects.back().insert(parsed.get_ref<const std::string&>()).second &&
            failure == kParseOk) {
          failure = kParseDuplicateKey;
        }
        break;
      default:
        break;
    }
    // Once the text is known to be refused, stop building the tree.
    return failure == kParseOk;
  };
  const char* begin = text != nullptr ? text : "";
  Json parsed = Json::parse(begin, begin + length, callback, /*allow_exceptions=*/false,
                            /*ignore_comments=*/(mode & kParseAllowComments) != 0);
  if (parsed.is_discarded()) {
    return failure != kParseOk ? failure : kParseSyntaxError;
  }
  if (failure != kParseOk) {
    return failure;
  }
  if ((mode & kParseStrictRoot) != 0 && !parsed.is_object() && !parsed.is_array()) {
    return kParseRootNotContainer;
  }
  impl_->value = std::move(parsed);
  return kParseOk;
}

JsonType JsonValue::type() const {
  const Json& v = impl_->value;
  if (v.is_boolean()) return JsonType::kBoolean;
  if (v.is_number_integer()) return IsInteger() ? JsonType::kInteger : JsonType::kDouble;
  if (v.is_number()) return JsonType::kDouble;
  if (v.is_string()) return JsonType::kString;
  if (v.is_array()) return JsonType::kArray;
  if (v.is_object()) return JsonType::kObject;
  return JsonType::kNull;
}

bool JsonValue::IsNull() const { return impl_->value.is_null(); }
bool JsonValue::IsBool() const { return impl_->value.is_boolean(); }

bool JsonValue::IsInteger() const {
  const Json& v = impl_->value;
  if (v.is_number_unsigned()) {
    return v.get<Json::number_unsigned_t>() <=
           static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  }
  return v.is_number_integer();
}

bool JsonValue::IsDouble() const { return type() == JsonType::kDouble; }
bool JsonValue::IsString() const { return impl_->value.is_string(); }
bool JsonValue::IsArray() const { return impl_->value.is_array(); }
bool JsonValue::IsObject() const { return impl_->value.is_object(); }

bool JsonValue::AsBool() const { return IsBool() && impl_->value.get<bool>(); }

int64_t JsonValue::AsInteger() const {
  if (!IsInteger()) {
    return 0;
  }
  const Json& v = impl_->value;
  if (v.is_number_unsigned()) {
    return static_cast<int64_t>(v.get<Json::number_unsigned_t>());
  }
  return v.get<Json::number_integer_t>();
}

double JsonValue::AsDouble() const {
  return impl_->value.is_number() ? impl_->value.get<double>() : 0.0;
}

std::string JsonValue::AsString() const {
  return IsString() ? impl_->value.get<std::string>() : std::string();
}

JsonValue JsonValue::operator[](std::string_view key) const {
  JsonValue member;
  const Json& v = impl_->value;
  if (v.is_object()) {
    if (auto it = v.find(key); it != v.end()) {
      member.impl_->value = *it;
    }
  }
  return member;
}

bool JsonValue::HasMember(std::string_view key) const {
  const Json& v = impl_->value;
  return v.is_object() && v.find(key) != v.end();
}

size_t JsonValue::size() const {
  const Json& v = impl_->value;
  return v.is_object() || v.is_array() ? v.size() : 0;
}

void JsonValue::SetJsonObject(std::string_view key, const JsonValue& value) {
  if (!impl_->value.is_object()) {
    impl_->value = Json::object();
  }
  impl_->value[std::string(key)] = value.impl_->value;
}

std::string JsonValue::ToStyledString(const char* indent, int flags) const {
  if ((flags & kStyleCompact) != 0) {
    return impl_->value.dump(-1, ' ', false, Json::error_handler_t::replace);
  }
  const std::string_view unit = indent != nullptr ? indent : "   ";
  std::string text = impl_->value.dump(1, '\t', false, Json::error_handler_t::replace);
  if (unit == "\t") {
    return text + "\n";
  }
  // dump() indents with one tab per level; tabs inside strings are escaped, so every tab left
  // in the text is indentation.
  std::string styled;
  styled.reserve(text.size() + text.size() / 4);
  for (char c : text) {
    if (c == '\t') {
      styled.append(unit);
    } else {
      styled.push_back(c);
    }
  }
  styled.push_back('\n');
  return styled;
}

}  // namespace base::json
