// How the library reads the values it is given: the JSON texts of commands and of the update
// service's answers, 64-bit JSON integers that hold 32-bit values, and numbers written as text
// (version pieces, the store's numeric values).  Any thread; no state.

#ifndef UPDATE_UPDATE_LIB_VALUE_PARSING_H_
#define UPDATE_UPDATE_LIB_VALUE_PARSING_H_

#include <cstdint>
#include <string_view>

#include "base/json/json_value.h"

namespace UpdateLib {

// JsonValue::ParseFromJson options for every JSON text the library reads: the root must be an
// object or an array, and a member named twice is refused.
inline constexpr int kParseMode = base::json::kParseStrictRoot;
inline constexpr bool kRejectDuplicateKeys = true;

// The low 32 bits of |value|, as the host's and the service's 64-bit JSON integers are narrowed.
constexpr int32_t Low32(int64_t value) {
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}

// Whether |text| is a number as the library writes them: not empty, digits, a "-" only as the
// first character, and, when |allow_point|, at most one ".".
bool IsNumericText(std::string_view text, bool allow_point);

}  // namespace UpdateLib

#endif  // UPDATE_UPDATE_LIB_VALUE_PARSING_H_
