// A typed value: null, boolean, string, 64-bit integer, double, or a map of text to values.
//
// The type codes are part of stored formats (the configuration store keeps them in its table),
// so they never change.  A Variant is a plain value: copies are deep; const operations may run
// on several threads at once.

#ifndef BASE_VARIANT_VARIANT_H_
#define BASE_VARIANT_VARIANT_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <variant>

namespace base::variant {

enum VariantType : int {
  kTypeNull = 0,
  kTypeBoolean = 1,
  kTypeString = 2,
  kTypeInteger = 3,
  kTypeDouble = 4,
  kTypeMap = 7,
};

class Variant {
 public:
  using Map = std::map<std::string, Variant>;

  Variant();  // null
  explicit Variant(bool value);
  explicit Variant(const char* value);
  explicit Variant(std::string value);
  explicit Variant(int value);
  explicit Variant(int64_t value);
  // |single_precision| rounds the value to float precision, for values that came from a float.
  Variant(double value, bool single_precision);
  explicit Variant(Map value);

  Variant(const Variant& other);
  Variant(Variant&& other) noexcept;
  Variant& operator=(const Variant& other);
  Variant& operator=(Variant&& other) noexcept;
  ~Variant();

  // One of the VariantType codes.
  int type() const;
  bool IsNull() const { return type() == kTypeNull; }

  // The value when the Variant has that type; otherwise false, "", 0, 0.0 or an empty map.
  bool AsBoolean() const;
  // The string's bytes with a terminating NUL (so C callers see it end at its first NUL byte).
  const char* AsCStr() const;
  const std::string& AsStr() const;
  int64_t AsInteger() const;
  double AsDouble() const;
  const Map& AsMap() const;

  // Map lookups: the member |key|, or a null Variant when this is no map or lacks the key.
  const Variant& Get(const std::string& key) const;
  // The member |key| as a string ("" when missing or not a string).
  std::string GetString(const std::string& key) const;
  // Adds or replaces member |key|; a Variant that is not a map becomes an empty map first.
  void Set(const std::string& key, Variant value);

  // A readable JSON-like text of the value, for log records.
  std::string ToString() const;

  bool operator==(const Variant& other) const;

 private:
  // Maps are held indirectly: a Variant cannot contain its own map type by value.
  using Storage =
      std::variant<std::monostate, bool, std::string, int64_t, double, std::unique_ptr<Map>>;
  Storage value_;
};

}  // namespace base::variant

#endif  // BASE_VARIANT_VARIANT_H_
