// A JSON value: parsing, member lookup, typed reads that never throw, and serialisation.
//
// A JsonValue is a self-contained value (copying it copies the tree).  Const operations may run
// on several threads at once; a value that one thread changes must not be read by another at the
// same time.  Nothing here throws on bad input or on a type mismatch.

#ifndef BASE_JSON_JSON_VALUE_H_
#define BASE_JSON_JSON_VALUE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace base::json {

enum class JsonType { kNull, kBoolean, kInteger, kDouble, kString, kArray, kObject };

// Bits of ParseFromJson's |mode|.
inline constexpr int kParseAllowComments = 1;  // accept /* */ and // comments
inline constexpr int kParseStrictRoot = 2;     // the root must be an object or an array

// ParseFromJson's results.
inline constexpr int kParseOk = 0;
inline constexpr int kParseSyntaxError = 1;
inline constexpr int kParseRootNotContainer = 2;
inline constexpr int kParseTooDeep = 3;
inline constexpr int kParseDuplicateKey = 4;

// Objects and arrays nest at most this deep; deeper text is refused by ParseFromJson.
inline constexpr int kMaxParseDepth = 256;

// ToStyledString's |flags|.
inline constexpr int kStyleCompact = 1;  // no line breaks or indentation

class JsonValue {
 public:
  JsonValue();                         // null
  explicit JsonValue(JsonType type);   // the empty value of |type|
  JsonValue(int value);                // NOLINT(google-explicit-constructor)
  JsonValue(int64_t value);            // NOLINT(google-explicit-constructor)
  JsonValue(const char* text);         // NOLINT(google-explicit-constructor)
  JsonValue(std::string_view text);    // NOLINT(google-explicit-constructor)
  JsonValue(const std::string& text);  // NOLINT(google-explicit-constructor)
  static JsonValue Boolean(bool value);
  static JsonValue Double(double value);

  JsonValue(const JsonValue& other);
  JsonValue(JsonValue&& other) noexcept;
  JsonValue& operator=(const JsonValue& other);
  JsonValue& operator=(JsonValue&& other) noexcept;
  ~JsonValue();

  // Replaces this value with the JSON text |text| of |length| bytes.  |mode| is a combination of
  // the kParse* bits; with |reject_duplicate_keys| an object that names a member twice is
  // refused.  Returns kParseOk, or one of the other kParse* results, leaving this value null.
  // The whole text must be one value, with nothing but white space around it.
  int ParseFromJson(const char* text, size_t length, int mode, bool reject_duplicate_keys);

  JsonType type() const;
  bool IsNull() const;
  bool IsBool() const;
  // A number without fraction or exponent that fits a signed 64-bit integer.
  bool IsInteger() const;
  bool IsDouble() const;
  bool IsString() const;
  bool IsArray() const;
  bool IsObject() const;

  // The value when it has the type; otherwise false, 0, 0.0 or "".
  bool AsBool() const;
  int64_t AsInteger() const;
  double AsDouble() const;
  std::string AsString() const;

  // Member lookup: a copy of member |key|, or null when this is not an object or has no such
  // member (a missing member is neither a string nor an integer).
  JsonValue operator[](std::string_view key) const;
  bool HasMember(std::string_view key) const;
  // Number of members or elements; 0 for scalars.
  size_t size() const;

  // Adds or replaces member |key|.  A value that is not an object becomes an empty object first.
  void SetJsonObject(std::string_view key, const JsonValue& value);

  // Serialises this value as JSON text: indented by |indent| per level (three blanks when null),
  // or on one line with kStyleCompact.  Invalid UTF-8 in strings is written as U+FFFD.
  std::string ToStyledString(const char* indent = nullptr, int flags = 0) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace base::json

#endif  // BASE_JSON_JSON_VALUE_H_
