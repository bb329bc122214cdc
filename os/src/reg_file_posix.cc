#include "src/internal/reg_file_posix.h"

#include <clocale>
#include <cwctype>

#include "os/utf.h"

namespace os::internal {

static_assert(sizeof(wchar_t) == 4, "the POSIX backend keeps wide strings in UTF-32");

namespace {

constexpr std::wstring_view kHeaderVersion5 = L"Windows Registry Editor Version 5.00";
constexpr std::wstring_view kHeaderVersion4 = L"REGEDIT4";
constexpr wchar_t kReplacement = 0xFFFD;
// hex(N): takes at most this many digits (a 32-bit type number).
constexpr size_t kMaxTypeDigits = 8;

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

std::wstring_view TrimLeft(std::wstring_view text) {
  while (!text.empty() && IsBlank(text.front())) {
    text.remove_prefix(1);
  }
  return text;
}

std::wstring_view TrimRight(std::wstring_view text) {
  while (!text.empty() && IsBlank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

std::wstring_view Trim(std::wstring_view text) { return TrimRight(TrimLeft(text)); }

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') {
    return c - L'0';
  }
  if (c >= L'a' && c <= L'f') {
    return c - L'a' + 10;
  }
  if (c >= L'A' && c <= L'F') {
    return c - L'A' + 10;
  }
  return -1;
}

// Parses |digits| (1 to |max_digits| hex digits, nothing else) into |*value|.
bool ParseHexNumber(std::wstring_view digits, size_t max_digits, uint32_t* value) {
  if (digits.empty() || digits.size() > max_digits) {
    return false;
  }
  uint32_t result = 0;
  for (wchar_t c : digits) {
    const int digit = HexDigit(c);
    if (digit < 0) {
      return false;
    }
    result = (result << 4) | static_cast<uint32_t>(digit);
  }
  *value = result;
  return true;
}

// The locale whose case mappings cover all of Unicode; null when the C library
// has none, and then only ASCII is upper-cased.  Created once, never freed.
locale_t CaseLocale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  return locale;
}

wchar_t UpperChar(wchar_t c) {
  if (c < 0x80) {
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
  }
  const locale_t locale = CaseLocale();
  return locale != locale_t{} ? static_cast<wchar_t>(towupper_l(static_cast<wint_t>(c), locale))
                              : c;
}

void AppendUtf16Le(std::wstring_view text, std::vector<uint8_t>* out) {
  auto push_unit = [out](uint32_t unit) {
    out->push_back(static_cast<uint8_t>(unit & 0xFF));
    out->push_back(static_cast<uint8_t>(unit >> 8));
  };
  for (wchar_t wc : text) {
    // wchar_t is a 32-bit code point here, not a byte; a negative value becomes a number above
    // 0x10FFFF and is replaced below.
    auto c = static_cast<uint32_t>(wc);  // NOLINT(bugprone-signed-char-misuse): see above
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      c = kReplacement;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      push_unit(0xD800 + (c >> 10));
      push_unit(0xDC00 + (c & 0x3FF));
    } else {
      push_unit(c);
    }
  }
}

// The file's text: UTF-16LE after its byte-order mark, otherwise UTF-8 (a
// byte-order mark dropped).  A REGEDIT4 file is in the writer's code page;
// UTF-8 stands in for it here.
std::wstring DecodeFile(std::string_view bytes) {
  if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
      static_cast<uint8_t>(bytes[1]) == 0xFE) {
    return Utf16LeToWide(bytes.substr(2));
  }
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    bytes.remove_prefix(3);
  }
  return Utf8ToWide(bytes);
}

// A key path in the form it is compared in: upper-cased, components joined by
// single backslashes, empty components dropped.
std::wstring NormalizeKey(std::wstring_view path) {
  std::wstring out;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(L'\\', start);
    if (end == std::wstring_view::npos) {
      end = path.size();
    }
    if (end > start) {
      if (!out.empty()) {
        out.push_back(L'\\');
      }
      out += UpperCase(path.substr(start, end - start));
    }
    start = end + 1;
  }
  return out;
}

// Whether |key| is |ancestor| or lies below it (both normalised).
bool IsSameOrBelow(std::wstring_view key, std::wstring_view ancestor) {
  return key.starts_with(ancestor) &&
         (key.size() == ancestor.size() || key[ancestor.size()] == L'\\');
}

// Splits the text into lines at "\n", dropping a "\r" before it.
class LineReader {
 public:
  explicit LineReader(std::wstring_view text) : text_(text) {}

  bool Next(std::wstring_view* line) {
    if (pos_ > text_.size() || (pos_ == text_.size() && pos_ != 0)) {
      return false;
    }
    size_t end = text_.find(L'\n', pos_);
    if (end == std::wstring_view::npos) {
      end = text_.size();
    }
    std::wstring_view result = text_.substr(pos_, end - pos_);
    if (!result.empty() && result.back() == L'\r') {
      result.remove_suffix(1);
    }
    pos_ = end + 1;
    *line = result;
    return true;
  }

 private:
  std::wstring_view text_;
  size_t pos_ = 0;
};

// Whether only blanks or a ';' comment follow |pos| in |line|.
bool OnlyCommentLeft(std::wstring_view line, size_t pos) {
  const std::wstring_view rest = TrimLeft(line.substr(pos));
  return rest.empty() || rest.front() == L';';
}

// Parses the quoted text that starts at line[*pos] (a '"'), with the \" and
// \\ escapes; any other backslash stands for itself.  On success *pos is just
// past the closing quote.
bool ParseQuoted(std::wstring_view line, size_t* pos, std::wstring* out) {
  size_t i = *pos + 1;
  while (i < line.size()) {
    const wchar_t c = line[i++];
    if (c == L'"') {
      *pos = i;
      return true;
    }
    if (c == L'\\' && i < line.size() && (line[i] == L'\\' || line[i] == L'"')) {
      out->push_back(line[i++]);
      continue;
    }
    out->push_back(c);
  }
  return false;
}

// Parses comma-separated hex bytes from |first| and, while a line ends in a
// backslash, from the lines that follow it.  A trailing comma is allowed; a ';'
// starts a comment.
bool ParseHexBytes(std::wstring_view first, LineReader* lines, std::vector<uint8_t>* out) {
  std::wstring_view segment = first;
  while (true) {
    const size_t comment = segment.find(L';');
    if (comment != std::wstring_view::npos) {
      segment = segment.substr(0, comment);
    }
    segment = Trim(segment);
    const bool continued = !segment.empty() && segment.back() == L'\\';
    if (continued) {
      segment.remove_suffix(1);
    }
    size_t start = 0;
    while (start < segment.size()) {
      size_t end = segment.find(L',', start);
      const bool last = end == std::wstring_view::npos;
      if (last) {
        end = segment.size();
      }
      const std::wstring_view token = Trim(segment.substr(start, end - start));
      uint32_t byte = 0;
      if (token.empty() && last) {
        break;  // a trailing comma
      }
      if (!ParseHexNumber(token, 2, &byte)) {
        return false;
      }
      out->push_back(static_cast<uint8_t>(byte));
      start = end + 1;
    }
    if (!continued || !lines->Next(&segment)) {
      return true;
    }
  }
}

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
  if (text.size() < prefix.size()) {
    return false;
  }
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (UpperChar(text[i]) != UpperChar(prefix[i])) {
      return false;
    }
  }
  return true;
}

struct ValueLine {
  std::wstring name;
  bool remove = false;
  RegFileValue value;
};

// Parses one value line ("Name"=data or @=data), taking continuation lines of
// hex data from |lines|.  |regedit4| marks the older format, whose hex string
// data is 8-bit text.
bool ParseValueLine(std::wstring_view line, LineReader* lines, bool regedit4, ValueLine* out) {
  size_t pos = 0;
  if (line.front() == L'@') {
    pos = 1;
  } else if (!ParseQuoted(line, &pos, &out->name)) {
    return false;
  }
  while (pos < line.size() && IsBlank(line[pos])) {
    ++pos;
  }
  if (pos >= line.size() || line[pos] != L'=') {
    return false;
  }
  ++pos;
  while (pos < line.size() && IsBlank(line[pos])) {
    ++pos;
  }
  const std::wstring_view data = line.substr(pos);

  if (data.starts_with(L'-')) {
    out->remove = true;
    return OnlyCommentLeft(data, 1);
  }
  if (data.starts_with(L'"')) {
    std::wstring text;
    size_t end = 0;
    if (!ParseQuoted(data, &end, &text) || !OnlyCommentLeft(data, end)) {
      return false;
    }
    out->value.type = kRegSz;
    AppendUtf16Le(text, &out->value.data);
    out->value.data.insert(out->value.data.end(), {0, 0});
    return true;
  }
  if (StartsWithNoCase(data, L"dword:")) {
    std::wstring_view digits = data.substr(6);
    const size_t comment = digits.find(L';');
    digits = Trim(digits.substr(0, comment));
    uint32_t number = 0;
    if (!ParseHexNumber(digits, 8, &number)) {
      return false;
    }
    out->value.type = kRegDword;
    for (int shift = 0; shift < 32; shift += 8) {
      out->value.data.push_back(static_cast<uint8_t>(number >> shift));
    }
    return true;
  }
  std::wstring_view bytes;
  if (StartsWithNoCase(data, L"hex:")) {
    out->value.type = kRegBinary;
    bytes = data.substr(4);
  } else if (StartsWithNoCase(data, L"hex(")) {
    const size_t close = data.find(L"):", 4);
    if (close == std::wstring_view::npos ||
        !ParseHexNumber(data.substr(4, close - 4), kMaxTypeDigits, &out->value.type)) {
      return false;
    }
    bytes = data.substr(close + 2);
  } else {
    return false;
  }
  if (!ParseHexBytes(bytes, lines, &out->value.data)) {
    return false;
  }
  const uint32_t type = out->value.type;
  if (regedit4 && (type == kRegSz || type == kRegExpandSz || type == kRegMultiSz)) {
    // The older format stores string data as 8-bit text; the registry holds it
    // in UTF-16.
    const std::vector<uint8_t> narrow = std::move(out->value.data);
    out->value.data.clear();
    AppendUtf16Le(
        Utf8ToWide(std::string_view(reinterpret_cast<const char*>(narrow.data()), narrow.size())),
        &out->value.data);
  }
  return true;
}

}  // namespace

std::wstring Utf16LeToWide(std::string_view bytes) {
  std::wstring out;
  out.reserve(bytes.size() / 2 + 1);
  auto unit_at = [bytes](size_t i) -> uint32_t {
    const uint32_t low = static_cast<uint8_t>(bytes[i]);
    const uint32_t high = i + 1 < bytes.size() ? static_cast<uint8_t>(bytes[i + 1]) : 0;
    return low | (high << 8);
  };
  for (size_t i = 0; i < bytes.size(); i += 2) {
    const uint32_t unit = unit_at(i);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
      const uint32_t low = unit_at(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        out.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
        i += 2;
        continue;
      }
    }
    out.push_back(unit >= 0xD800 && unit <= 0xDFFF ? kReplacement : static_cast<wchar_t>(unit));
  }
  return out;
}

size_t Utf16Length(std::wstring_view text) {
  size_t units = 0;
  for (wchar_t c : text) {
    units += static_cast<uint32_t>(c) >= 0x10000 && static_cast<uint32_t>(c) <= 0x10FFFF ? 2 : 1;
  }
  return units;
}

std::wstring UpperCase(std::wstring_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    out.push_back(UpperChar(c));
  }
  return out;
}

RegFileLookup LookUpRegFileValue(std::string_view file, std::wstring_view key,
                                 std::wstring_view name) {
  RegFileLookup result;
  const std::wstring text = DecodeFile(file);
  LineReader lines(text);
  std::wstring_view line;
  if (!lines.Next(&line)) {
    return result;
  }
  line = Trim(line);
  if (line != kHeaderVersion5 && line != kHeaderVersion4) {
    return result;
  }
  result.recognised = true;
  const bool regedit4 = line == kHeaderVersion4;
  const std::wstring target_key = NormalizeKey(key);
  const std::wstring target_name = UpperCase(name);

  bool in_target = false;
  while (lines.Next(&line)) {
    line = TrimLeft(line);
    if (line.empty() || line.front() == L';') {
      continue;
    }
    if (line.front() == L'[') {
      // A section line ends the current section even when it is malformed.
      in_target = false;
      const size_t close = line.rfind(L']');
      if (close == std::wstring_view::npos) {
        continue;
      }
      std::wstring_view path = line.substr(1, close - 1);
      const bool remove = path.starts_with(L'-');
      if (remove) {
        path.remove_prefix(1);
      }
      const std::wstring normalized = NormalizeKey(path);
      if (remove) {
        // A root key cannot be deleted; the Registry Editor refuses it.
        if (normalized.find(L'\\') != std::wstring::npos && IsSameOrBelow(target_key, normalized)) {
          result.value.reset();
        }
        continue;
      }
      in_target = !normalized.empty() && normalized == target_key;
      continue;
    }
    if (line.front() != L'"' && line.front() != L'@') {
      continue;  // not a line of the format
    }
    // Every value line is parsed, so that the continuation lines of its data
    // are consumed.
    ValueLine value;
    if (!ParseValueLine(line, &lines, regedit4, &value) || !in_target ||
        UpperCase(value.name) != target_name) {
      continue;
    }
    if (value.remove) {
      result.value.reset();
    } else {
      result.value = std::move(value.value);
    }
  }
  return result;
}

}  // namespace os::internal
