#include "base/variant/variant.h"

#include <cinttypes>
#include <cstdio>

namespace base::variant {
namespace {

const std::string& EmptyString() {
  static const std::string* empty = new std::string();
  return *empty;
}

const Variant::Map& EmptyMap() {
  static const Variant::Map* empty = new Variant::Map();
  return *empty;
}

const Variant& NullVariant() {
  static const Variant* null = new Variant();
  return *null;
}

void AppendQuoted(const std::string& text, std::string* out) {
  out->push_back('"');
  for (char c : text) {
    switch (c) {
      case '"':
        out->append("\\\"");
        break;
      case '\\':
        out->append("\\\\");
        break;
      case '\n':
        out->append("\\n");
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof(buffer), "\\u%04x", static_cast<unsigned char>(c));
          out->append(buffer);
        } else {
          out->push_back(c);
        }
    }
  }
  out->push_back('"');
}

}  // namespace

Variant::Variant() = default;
Variant::Variant(bool value) : value_(value) {}
Variant::Variant(const char* value) : value_(std::string(value != nullptr ? value : "")) {}
Variant::Variant(std::string value) : value_(std::move(value)) {}
Variant::Variant(int value) : value_(static_cast<int64_t>(value)) {}
Variant::Variant(int64_t value) : value_(value) {}
Variant::Variant(double value, bool single_precision)
    : value_(single_precision ? static_cast<double>(static_cast<float>(value)) : value) {}
Variant::Variant(Map value) : value_(std::make_unique<Map>(std::move(value))) {}

Variant::Variant(const Variant& other) { *this = other; }
Variant::Variant(Variant&& other) noexcept : value_(std::move(other.value_)) {}

Variant& Variant::operator=(const Variant& other) {
  if (this == &other) {
    return *this;
  }
  if (const auto* map = std::get_if<std::unique_ptr<Map>>(&other.value_)) {
    value_ = std::make_unique<Map>(**map);
  } else {
    std::visit(
        [this](const auto& v) {
          using T = std::decay_t<decltype(v)>;
          if constexpr (!std::is_same_v<T, std::unique_ptr<Map>>) {
            value_ = v;
          }
        },
        other.value_);
  }
  return *this;
}

Variant& Variant::operator=(Variant&& other) noexcept {
  value_ = std::move(other.value_);
  return *this;
}

Variant::~Variant() = default;

int Variant::type() const {
  switch (value_.index()) {
    case 1:
      return kTypeBoolean;
    case 2:
      return kTypeString;
    case 3:
      return kTypeInteger;
    case 4:
      return kTypeDouble;
    case 5:
      return kTypeMap;
    default:
      return kTypeNull;
  }
}

bool Variant::AsBoolean() const {
  const bool* v = std::get_if<bool>(&value_);
  return v != nullptr && *v;
}

const char* Variant::AsCStr() const { return AsStr().c_str(); }

const std::string& Variant::AsStr() const {
  const std::string* v = std::get_if<std::string>(&value_);
  return v != nullptr ? *v : EmptyString();
}

int64_t Variant::AsInteger() const {
  const int64_t* v = std::get_if<int64_t>(&value_);
  return v != nullptr ? *v : 0;
}

double Variant::AsDouble() const {
  const double* v = std::get_if<double>(&value_);
  return v != nullptr ? *v : 0.0;
}

const Variant::Map& Variant::AsMap() const {
  const auto* v = std::get_if<std::unique_ptr<Map>>(&value_);
  return v != nullptr ? **v : EmptyMap();
}

const Variant& Variant::Get(const std::string& key) const {
  const Map& map = AsMap();
  auto it = map.find(key);
  return it != map.end() ? it->second : NullVariant();
}

std::string Variant::GetString(const std::string& key) const { return Get(key).AsStr(); }

void Variant::Set(const std::string& key, Variant value) {
  if (type() != kTypeMap) {
    value_ = std::make_unique<Map>();
  }
  (*std::get<std::unique_ptr<Map>>(value_))[key] = std::move(value);
}

std::string Variant::ToString() const {
  std::string out;
  switch (type()) {
    case kTypeNull:
      return "null";
    case kTypeBoolean:
      return AsBoolean() ? "true" : "false";
    case kTypeString:
      AppendQuoted(AsStr(), &out);
      return out;
    case kTypeInteger:
      return std::to_string(AsInteger());
    case kTypeDouble: {
      char buffer[64];
      std::snprintf(buffer, sizeof(buffer), "%.17g", AsDouble());
      return buffer;
    }
    case kTypeMap: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, value] : AsMap()) {
        if (!first) {
          out.push_back(',');
        }
        first = false;
        AppendQuoted(key, &out);
        out.push_back(':');
        out.append(value.ToString());
      }
      out.push_back('}');
      return out;
    }
  }
  return out;
}

bool Variant::operator==(const Variant& other) const {
  if (type() != other.type()) {
    return false;
  }
  switch (type()) {
    case kTypeBoolean:
      return AsBoolean() == other.AsBoolean();
    case kTypeString:
      return AsStr() == other.AsStr();
    case kTypeInteger:
      return AsInteger() == other.AsInteger();
    case kTypeDouble:
      return AsDouble() == other.AsDouble();
    case kTypeMap:
      return AsMap() == other.AsMap();
    default:
      return true;
  }
}

}  // namespace base::variant
