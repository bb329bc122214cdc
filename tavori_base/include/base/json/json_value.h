// A JSON value: parsing, member lookup, typed reads that never throw, and serialisation.
//
// A JsonValue is a self-contained value (copying it copies the tree).  A JsonView reads a value
// that a JsonValue owns, or one of its members, without copying it; it is valid while that owner
// lives and is not changed.  Const operations may run on several threads at once; a value that one
// thread changes must not be read by another at the same time.  Nothing here throws on bad input
// or on a type mismatch.

#ifndef BASE_JSON_JSON_VALUE_H_
#define BASE_JSON_JSON_VALUE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace base::json {

enum class JsonType { kNull, kBoolean, kInteger, kDouble, kString, kArray, kObject };

// ParseFromJson's |mode|: a combination of these bits.
enum ParseMode : int {
  kParseDefault = 0,
  kParseAllowComments = 1 << 0,  // accept /* */ and // comments
  kParseStrictRoot = 1 << 1,     // the root must be an object or an array
};
constexpr ParseMode operator|(ParseMode a, ParseMode b) {
  return static_cast<ParseMode>(static_cast<int>(a) | static_cast<int>(b));
}

// ParseFromJson's results.
enum ParseResult : int {
  kParseOk = 0,
  kParseSyntaxError = 1,
  kParseRootNotContainer = 2,
  kParseTooDeep = 3,
  kParseDuplicateKey = 4,
};

// Objects and arrays nest at most this deep; deeper text is refused by ParseFromJson.
inline constexpr int kMaxParseDepth = 256;

// ToStyledString's |flags|.
inline constexpr int kStyleCompact = 1;  // no line breaks or indentation

class JsonValue;

// A read-only view of a value that a JsonValue owns: the value itself or a member, at any depth.
// Cheap to copy.  A view of a missing member reads as null.
class JsonView {
 public:
  JsonView() = default;  // null

  JsonType type() const;
  bool IsNull() const;
  bool IsBool() const;
  bool IsInteger() const;
  bool IsDouble() const;
  bool IsString() const;
  bool IsArray() const;
  bool IsObject() const;
  bool AsBool() const;
  int64_t AsInteger() const;
  double AsDouble() const;
  std::string AsString() const;
  // The text of a string value, without a copy; "" for other types.
  std::string_view AsStringView() const;

  // Member |key|, or a null view when this is not an object or has no such member.
  JsonView operator[](std::string_view key) const;
  bool HasMember(std::string_view key) const;
  size_t size() const;
  std::string ToStyledString(const char* indent = nullptr, int flags = 0) const;

 private:
  friend class JsonValue;
  explicit JsonView(const void* node) : node_(node) {}

  const void* node_ = nullptr;  // the viewed tree node; null for a missing member
};

class JsonValue {
 public:
  JsonValue();                         // null
  explicit JsonValue(JsonType type);   // the empty value of |type|
  JsonValue(int value);                // NOLINT(google-explicit-constructor)
  JsonValue(int64_t value);            // NOLINT(google-explicit-constructor)
  JsonValue(const char* text);         // NOLINT(google-explicit-constructor)
  JsonValue(std::string_view text);    // NOLINT(google-explicit-constructor)
  JsonValue(const std::string& text);  // NOLINT(google-explicit-constructor)
  // A copy of the viewed value.
  JsonValue(JsonView view);  // NOLINT(google-explicit-constructor)
  static JsonValue Boolean(bool value);
  static JsonValue Double(double value);

  JsonValue(const JsonValue& other);
  // A moved-from value is null.
  JsonValue(JsonValue&& other) noexcept;
  JsonValue& operator=(const JsonValue& other);
  JsonValue& operator=(JsonValue&& other) noexcept;
  ~JsonValue();

  // Replaces this value with the JSON text |text| of |length| bytes.  With
  // |reject_duplicate_keys| an object that names a member twice is refused.  Returns kParseOk, or
  // one of the other results, leaving this value null.  The whole text must be one value, with
  // nothing but white space around it.
  ParseResult ParseFromJson(const char* text, size_t length, ParseMode mode,
                            bool reject_duplicate_keys);
  // The same with the mode bits as a number, for callers that keep a combination in an int.
  ParseResult ParseFromJson(const char* text, size_t length, int mode, bool reject_duplicate_keys);

  // This value, viewed without a copy.  A temporary has no view (it would dangle).
  JsonView view() const& { return JsonView(NodeAddress()); }
  JsonView view() const&& = delete;

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

  // Member lookup without a copy: member |key|, or a null view when this is not an object or
  // has no such member (a missing member is neither a string nor an integer).  On a temporary the
  // member is moved out instead, so that nothing refers into a value that is gone.
  JsonView operator[](std::string_view key) const& { return view()[key]; }
  JsonValue operator[](std::string_view key) &&;
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
  // The tree node that impl_ holds (typed as void to keep the JSON library out of this header).
  const void* NodeAddress() const;
  // impl_, made anew when this value was moved from.
  Impl& MutableImpl();
  std::unique_ptr<Impl> impl_;  // null once moved from: the value then reads as null
};

}  // namespace base::json

#endif  // BASE_JSON_JSON_VALUE_H_
