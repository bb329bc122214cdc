#include "os/utf.h"

#include <cstdint>

namespace os {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Decodes one code point from |in| at |*pos|, advancing |*pos|.  A malformed sequence (bad lead
// byte, truncated, overlong, surrogate or above U+10FFFF) yields U+FFFD and consumes one byte.
char32_t DecodeUtf8(std::string_view in, size_t* pos) {
  const auto b0 = static_cast<uint8_t>(in[*pos]);
  if (b0 < 0x80) {
    ++*pos;
    return b0;
  }
  int extra;
  char32_t c;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1, c = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2, c = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3, c = b0 & 0x07, min = 0x10000;
  } else {
    ++*pos;
    return kReplacement;
  }
  if (*pos + static_cast<size_t>(extra) >= in.size()) {
    ++*pos;
    return kReplacement;
  }
  for (int i = 1; i <= extra; ++i) {
    const auto b = static_cast<uint8_t>(in[*pos + i]);
    if ((b & 0xC0) != 0x80) {
      ++*pos;
      return kReplacement;
    }
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || IsSurrogate(c)) {
    ++*pos;
    return kReplacement;
  }
  *pos += extra + 1;
  return c;
}

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void AppendWide(char32_t c, std::wstring* out) {
  if constexpr (sizeof(wchar_t) == 2) {
    if (c >= 0x10000) {
      c -= 0x10000;
      out->push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
      out->push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
      return;
    }
  }
  out->push_back(static_cast<wchar_t>(c));
}

// Decodes one code point from a wide string (UTF-16 or UTF-32); lone surrogates and values above
// U+10FFFF become U+FFFD.
char32_t DecodeWide(std::wstring_view in, size_t* pos) {
  auto c = static_cast<char32_t>(in[*pos]);
  ++*pos;
  if constexpr (sizeof(wchar_t) == 2) {
    c &= 0xFFFF;
    if (c >= 0xD800 && c <= 0xDBFF && *pos < in.size()) {
      const auto low = static_cast<char32_t>(in[*pos]) & 0xFFFF;
      if (low >= 0xDC00 && low <= 0xDFFF) {
        ++*pos;
        return 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      }
    }
  }
  if (c > 0x10FFFF || IsSurrogate(c)) {
    return kReplacement;
  }
  return c;
}

}  // namespace

std::wstring Utf8ToWide(std::string_view utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  size_t pos = 0;
  while (pos < utf8.size()) {
    AppendWide(DecodeUtf8(utf8, &pos), &out);
  }
  return out;
}

std::string WideToUtf8(std::wstring_view wide) {
  std::string out;
  out.reserve(wide.size());
  size_t pos = 0;
  while (pos < wide.size()) {
    AppendUtf8(DecodeWide(wide, &pos), &out);
  }
  return out;
}

}  // namespace os
