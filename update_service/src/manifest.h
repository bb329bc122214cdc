// The reference update service's offer: what a manifest file says, and the check answer it gives
// one client.  Pure functions over values; any thread.
//
// A manifest is a JSON object:
//   {
//     "version": "3.3.0.0",               the offered version (four dot-separated numbers)
//     "package": "TavoriSetup.exe",       the full installer, a file in the package folder
//     "policy": 1,                        the upgrade policy when no rule sets one
//     "rules": [                          optional; looked at in order
//       {"when": {"appver_below": "3.0.0.0"}, "policy": 3},
//       {"when": {"from": 1}, "policy": 2},
//       {"when": {"enable_patch": true, "appver": "3.2.0.1"}, "package": "TavoriPatch.exe"}
//     ]
//   }
// For each of "policy" and "package", the first rule that matches and sets it wins; the top-level
// value applies when none does.  A rule matches when every condition in "when" holds:
//   "appver_below": V   the client's version is older than V;
//   "appver": V         the client's version is exactly V;
//   "from": N           the request's "from" parameter is N (null: the request has none);
//   "enable_patch": B   the client accepts a patch package (its "enable_patch" is not 0).
// A client whose version is not older than "version" is told policy 0 and nothing else.

#ifndef UPDATE_SERVICE_MANIFEST_H_
#define UPDATE_SERVICE_MANIFEST_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace update_service {

// A product version: four numbers, compared from the left.
using Version = std::array<uint32_t, 4>;

// "1.2.3.4" as a Version; nullopt unless the text is exactly four dot-separated decimal numbers
// that each fit 32 bits.
std::optional<Version> ParseVersion(std::string_view text);

struct Rule {
  // Conditions; an empty optional is a condition that is not asked.
  std::optional<Version> appver_below;
  std::optional<Version> appver;
  bool match_from = false;
  std::optional<int> from;  // with match_from: nullopt asks for a request without "from"
  std::optional<bool> enable_patch;
  // What the rule sets.
  std::optional<int> policy;
  std::optional<std::string> package;
};

struct Manifest {
  Version version{};
  std::string version_text;
  std::string package;
  int policy = 0;
  std::vector<Rule> rules;
};

// Parses a manifest's text.  On failure returns nullopt and says why in |error|.  Package names
// must be plain file names (no folder, no "." or ".."), policies 0 to 8.
std::optional<Manifest> ParseManifest(std::string_view text, std::string* error);

// The query parameters of one check request that the offer depends on.
struct CheckQuery {
  Version appver{};
  std::optional<int> from;
  int enable_patch = 0;
};

// Reads "appver", "from" and "enable_patch" from a query.  nullopt (and |error|) when "appver" is
// missing or malformed, or "from" or "enable_patch" is present but not a decimal integer.
std::optional<CheckQuery> ParseCheckQuery(const std::optional<std::string>& appver,
                                          const std::optional<std::string>& from,
                                          const std::optional<std::string>& enable_patch,
                                          std::string* error);

// The decision for one client: policy 0 with no package, or a policy and the package to offer.
struct Offer {
  int policy = 0;
  std::string package;  // empty with policy 0
};
Offer Decide(const Manifest& manifest, const CheckQuery& query);

}  // namespace update_service

#endif  // UPDATE_SERVICE_MANIFEST_H_
