#include "src/manifest.h"

#include <charconv>
#include <nlohmann/json.hpp>

namespace update_service {
namespace {

constexpr int kMaxPolicy = 8;

template <typename T>
std::optional<T> ParseDecimal(std::string_view text) {
  T value{};
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) {
    return std::nullopt;
  }
  return value;
}

bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\\\0", 3)) == std::string::npos;
}

// Reads |key| of |object| as a version into |out|; false (with |error|) when present and bad.
bool ReadVersion(const nlohmann::json& object, const char* key, std::optional<Version>* out,
                 std::string* error) {
  auto it = object.find(key);
  if (it == object.end()) {
    return true;
  }
  if (it->is_string()) {
    *out = ParseVersion(it->get<std::string>());
  }
  if (!*out) {
    *error = std::string("\"") + key + R"(" is not a version such as "1.2.3.4")";
    return false;
  }
  return true;
}

bool ReadPolicy(const nlohmann::json& value, int* out, std::string* error) {
  if (!value.is_number_integer() || value.get<int64_t>() < 0 || value.get<int64_t>() > kMaxPolicy) {
    *error = "\"policy\" must be an integer from 0 to 8";
    return false;
  }
  *out = value.get<int>();
  return true;
}

bool ReadPackage(const nlohmann::json& value, std::string* out, std::string* error) {
  if (!value.is_string() || !IsPlainFileName(value.get<std::string>())) {
    *error = "\"package\" must be a file name in the package folder";
    return false;
  }
  *out = value.get<std::string>();
  return true;
}

bool ReadRule(const nlohmann::json& item, Rule* rule, std::string* error) {
  if (!item.is_object()) {
    *error = "a rule is not an object";
    return false;
  }
  if (auto when = item.find("when"); when != item.end()) {
    if (!when->is_object()) {
      *error = "\"when\" is not an object";
      return false;
    }
    for (const auto& [key, value] : when->items()) {
      if (key == "appver_below" || key == "appver") {
        continue;  // read below
      }
      if (key == "from" && (value.is_null() || value.is_number_integer())) {
        rule->match_from = true;
        if (!value.is_null()) {
          rule->from = value.get<int>();
        }
      } else if (key == "enable_patch" && value.is_boolean()) {
        rule->enable_patch = value.get<bool>();
      } else {
        *error = "unknown or malformed condition \"" + key + "\"";
        return false;
      }
    }
    if (!ReadVersion(*when, "appver_below", &rule->appver_below, error) ||
        !ReadVersion(*when, "appver", &rule->appver, error)) {
      return false;
    }
  }
  int policy = 0;
  std::string package;
  if (auto it = item.find("policy"); it != item.end()) {
    if (!ReadPolicy(*it, &policy, error)) {
      return false;
    }
    rule->policy = policy;
  }
  if (auto it = item.find("package"); it != item.end()) {
    if (!ReadPackage(*it, &package, error)) {
      return false;
    }
    rule->package = package;
  }
  return true;
}

bool Matches(const Rule& rule, const CheckQuery& query) {
  return (!rule.appver_below || query.appver < *rule.appver_below) &&
         (!rule.appver || query.appver == *rule.appver) &&
         (!rule.match_from || query.from == rule.from) &&
         (!rule.enable_patch || (query.enable_patch != 0) == *rule.enable_patch);
}

}  // namespace

std::optional<Version> ParseVersion(std::string_view text) {
  Version version{};
  for (size_t i = 0; i < version.size(); ++i) {
    const size_t dot = text.find('.');
    const bool last = i + 1 == version.size();
    if (last != (dot == std::string_view::npos)) {
      return std::nullopt;
    }
    std::string_view piece = text.substr(0, dot);
    // from_chars would take a leading '-' for a signed type only; digits alone are asked here.
    auto number = ParseDecimal<uint32_t>(piece);
    if (!number) {
      return std::nullopt;
    }
    version[i] = *number;
    text.remove_prefix(last ? text.size() : dot + 1);
  }
  return version;
}

std::optional<Manifest> ParseManifest(std::string_view text, std::string* error) {
  nlohmann::json root = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (root.is_discarded() || !root.is_object()) {
    *error = "the manifest is not a JSON object";
    return std::nullopt;
  }
  Manifest manifest;
  auto version = root.find("version");
  std::optional<Version> parsed;
  if (version != root.end() && version->is_string()) {
    manifest.version_text = version->get<std::string>();
    parsed = ParseVersion(manifest.version_text);
  }
  if (!parsed) {
    *error = R"("version" must be a version such as "1.2.3.4")";
    return std::nullopt;
  }
  manifest.version = *parsed;
  auto package = root.find("package");
  auto policy = root.find("policy");
  if (package == root.end() || policy == root.end()) {
    *error = R"("package" and "policy" are required)";
    return std::nullopt;
  }
  if (!ReadPackage(*package, &manifest.package, error) ||
      !ReadPolicy(*policy, &manifest.policy, error)) {
    return std::nullopt;
  }
  if (auto rules = root.find("rules"); rules != root.end()) {
    if (!rules->is_array()) {
      *error = "\"rules\" is not an array";
      return std::nullopt;
    }
    for (const auto& item : *rules) {
      Rule rule;
      if (!ReadRule(item, &rule, error)) {
        *error = "rule " + std::to_string(manifest.rules.size() + 1) + ": " + *error;
        return std::nullopt;
      }
      manifest.rules.push_back(std::move(rule));
    }
  }
  return manifest;
}

std::optional<CheckQuery> ParseCheckQuery(const std::optional<std::string>& appver,
                                          const std::optional<std::string>& from,
                                          const std::optional<std::string>& enable_patch,
                                          std::string* error) {
  CheckQuery query;
  std::optional<Version> version = appver ? ParseVersion(*appver) : std::nullopt;
  if (!version) {
    *error = "\"appver\" is missing or not a version";
    return std::nullopt;
  }
  query.appver = *version;
  if (from) {
    query.from = ParseDecimal<int>(*from);
    if (!query.from) {
      *error = "\"from\" is not a number";
      return std::nullopt;
    }
  }
  if (enable_patch) {
    std::optional<int> value = ParseDecimal<int>(*enable_patch);
    if (!value) {
      *error = "\"enable_patch\" is not a number";
      return std::nullopt;
    }
    query.enable_patch = *value;
  }
  return query;
}

Offer Decide(const Manifest& manifest, const CheckQuery& query) {
  if (!(query.appver < manifest.version)) {
    return {};
  }
  std::optional<int> policy;
  std::optional<std::string> package;
  for (const Rule& rule : manifest.rules) {
    if (!Matches(rule, query)) {
      continue;
    }
    if (!policy) {
      policy = rule.policy;
    }
    if (!package) {
      package = rule.package;
    }
  }
  Offer offer{policy.value_or(manifest.policy), package.value_or(manifest.package)};
  if (offer.policy == 0) {
    offer.package.clear();
  }
  return offer;
}

}  // namespace update_service
