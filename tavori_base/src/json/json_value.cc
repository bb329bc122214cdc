#include "base/json/json_value.h"

#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

namespace base::json {

// Built in place from the tree it holds, never moved: a JsonValue moves its Impl pointer.
struct JsonValue::Impl {
  explicit Impl(nlohmann::json tree) : value(std::move(tree)) {}
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

// The node a view shows; a view of nothing shows null.
const Json& NodeOf(const void* node) {
  static const Json kNull;
  return node != nullptr ? *static_cast<const Json*>(node) : kNull;
}

}  // namespace

JsonValue::JsonValue() : impl_(std::make_unique<Impl>(Json())) {}
JsonValue::JsonValue(JsonType type) : impl_(std::make_unique<Impl>(FromType(type))) {}
JsonValue::JsonValue(int value) : JsonValue(static_cast<int64_t>(value)) {}
JsonValue::JsonValue(int64_t value)
    : impl_(std::make_unique<Impl>(Json(static_cast<Json::number_integer_t>(value)))) {}
JsonValue::JsonValue(const char* text) : JsonValue(std::string_view(text != nullptr ? text : "")) {}
JsonValue::JsonValue(std::string_view text)
    : impl_(std::make_unique<Impl>(Json(std::string(text)))) {}
JsonValue::JsonValue(const std::string& text) : JsonValue(static_cast<std::string_view>(text)) {}
JsonValue::JsonValue(JsonView view) : impl_(std::make_unique<Impl>(NodeOf(view.node_))) {}

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

JsonValue::JsonValue(const JsonValue& other)
    : impl_(std::make_unique<Impl>(NodeOf(other.NodeAddress()))) {}
// Moves allocate nothing (they are noexcept): the moved-from value keeps no Impl and reads as
// null until something is stored in it again.
JsonValue::JsonValue(JsonValue&& other) noexcept : impl_(std::move(other.impl_)) {}
JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) {
    MutableImpl().value = NodeOf(other.NodeAddress());
  }
  return *this;
}
JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  impl_.swap(other.impl_);
  return *this;
}
JsonValue::~JsonValue() = default;

ParseResult JsonValue::ParseFromJson(const char* text, size_t length, int mode,
                                     bool reject_duplicate_keys) {
  return ParseFromJson(text, length, static_cast<ParseMode>(mode), reject_duplicate_keys);
}

ParseResult JsonValue::ParseFromJson(const char* text, size_t length, ParseMode mode,
                                     bool reject_duplicate_keys) {
  Json& tree = MutableImpl().value;
  tree = Json();
  // A NUL byte is never valid JSON (the parser would take it for the end of the text).
  if ((text == nullptr && length != 0) ||
      (length != 0 && std::memchr(text, '\0', length) != nullptr)) {
    return kParseSyntaxError;
  }
  ParseResult failure = kParseOk;
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
  tree = std::move(parsed);
  return kParseOk;
}

const void* JsonValue::NodeAddress() const { return impl_ != nullptr ? &impl_->value : nullptr; }

JsonValue::Impl& JsonValue::MutableImpl() {
  if (impl_ == nullptr) {
    impl_ = std::make_unique<Impl>(Json());
  }
  return *impl_;
}

JsonType JsonView::type() const {
  const Json& v = NodeOf(node_);
  if (v.is_boolean()) {
    return JsonType::kBoolean;
  }
  if (v.is_number_integer()) {
    return IsInteger() ? JsonType::kInteger : JsonType::kDouble;
  }
  if (v.is_number()) {
    return JsonType::kDouble;
  }
  if (v.is_string()) {
    return JsonType::kString;
  }
  if (v.is_array()) {
    return JsonType::kArray;
  }
  if (v.is_object()) {
    return JsonType::kObject;
  }
  return JsonType::kNull;
}

bool JsonView::IsNull() const { return NodeOf(node_).is_null(); }
bool JsonView::IsBool() const { return NodeOf(node_).is_boolean(); }

bool JsonView::IsInteger() const {
  const Json& v = NodeOf(node_);
  if (v.is_number_unsigned()) {
    return v.get<Json::number_unsigned_t>() <=
           static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  }
  return v.is_number_integer();
}

bool JsonView::IsDouble() const { return type() == JsonType::kDouble; }
bool JsonView::IsString() const { return NodeOf(node_).is_string(); }
bool JsonView::IsArray() const { return NodeOf(node_).is_array(); }
bool JsonView::IsObject() const { return NodeOf(node_).is_object(); }

bool JsonView::AsBool() const { return IsBool() && NodeOf(node_).get<bool>(); }

int64_t JsonView::AsInteger() const {
  if (!IsInteger()) {
    return 0;
  }
  const Json& v = NodeOf(node_);
  if (v.is_number_unsigned()) {
    return static_cast<int64_t>(v.get<Json::number_unsigned_t>());
  }
  return v.get<Json::number_integer_t>();
}

double JsonView::AsDouble() const {
  const Json& v = NodeOf(node_);
  return v.is_number() ? v.get<double>() : 0.0;
}

std::string JsonView::AsString() const { return std::string(AsStringView()); }

std::string_view JsonView::AsStringView() const {
  return IsString() ? static_cast<std::string_view>(NodeOf(node_).get_ref<const std::string&>())
                    : std::string_view();
}

JsonView JsonView::operator[](std::string_view key) const {
  const Json& v = NodeOf(node_);
  if (v.is_object()) {
    if (auto it = v.find(key); it != v.end()) {
      return JsonView(&*it);
    }
  }
  return JsonView();
}

bool JsonView::HasMember(std::string_view key) const {
  const Json& v = NodeOf(node_);
  return v.is_object() && v.find(key) != v.end();
}

size_t JsonView::size() const {
  const Json& v = NodeOf(node_);
  return v.is_object() || v.is_array() ? v.size() : 0;
}

std::string JsonView::ToStyledString(const char* indent, int flags) const {
  const Json& v = NodeOf(node_);
  if ((flags & kStyleCompact) != 0) {
    return v.dump(-1, ' ', false, Json::error_handler_t::replace);
  }
  const std::string_view unit = indent != nullptr ? indent : "   ";
  std::string text = v.dump(1, '\t', false, Json::error_handler_t::replace);
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

JsonType JsonValue::type() const { return view().type(); }
bool JsonValue::IsNull() const { return view().IsNull(); }
bool JsonValue::IsBool() const { return view().IsBool(); }
bool JsonValue::IsInteger() const { return view().IsInteger(); }
bool JsonValue::IsDouble() const { return view().IsDouble(); }
bool JsonValue::IsString() const { return view().IsString(); }
bool JsonValue::IsArray() const { return view().IsArray(); }
bool JsonValue::IsObject() const { return view().IsObject(); }
bool JsonValue::AsBool() const { return view().AsBool(); }
int64_t JsonValue::AsInteger() const { return view().AsInteger(); }
double JsonValue::AsDouble() const { return view().AsDouble(); }
std::string JsonValue::AsString() const { return view().AsString(); }
bool JsonValue::HasMember(std::string_view key) const { return view().HasMember(key); }
size_t JsonValue::size() const { return view().size(); }

std::string JsonValue::ToStyledString(const char* indent, int flags) const {
  return view().ToStyledString(indent, flags);
}

JsonValue JsonValue::operator[](std::string_view key) && {
  JsonValue member;
  Json& v = MutableImpl().value;
  if (v.is_object()) {
    if (auto it = v.find(key); it != v.end()) {
      member.impl_->value = std::move(*it);
    }
  }
  return member;
}

void JsonValue::SetJsonObject(std::string_view key, const JsonValue& value) {
  Json& tree = MutableImpl().value;
  if (!tree.is_object()) {
    tree = Json::object();
  }
  tree[std::string(key)] = NodeOf(value.NodeAddress());
}

}  // namespace base::json
