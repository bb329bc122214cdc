#include "util/crypto/crypto.h"

#include <algorithm>

#include "src/internal/base64.h"

namespace util::crypto {

namespace internal {

std::string HexDigest(const unsigned char* digest, size_t length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex(length * 2, '0');
  for (size_t i = 0; i < length; ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 0x0F];
  }
  return hex;
}

}  // namespace internal

bool IsMd5Text(std::string_view text) {
  return text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

std::string Md5(const void* data, size_t length) {
  Md5Hasher hasher;
  hasher.Update(data, length);
  return hasher.Finish();
}

std::string Encode64(std::string_view data) {
  std::string out;
  out.reserve(4 * ((data.size() + 2) / 3));
  while (!data.empty()) {
    const size_t take = std::min(internal::kEncodeChunk, data.size());
    if (!internal::EncodeChunk(data.substr(0, take), &out)) {
      return {};
    }
    data.remove_prefix(take);
  }
  return out;
}

std::string Decode64(std::string_view text) {
  if (text.size() % 4 != 0) {
    return {};
  }
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') {
    padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
  }
  // The platforms' decoders skip blanks or line breaks; canonical input has none, and padding
  // only at its end.
  for (size_t i = 0; i < text.size() - padding; ++i) {
    const char c = text[i];
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '+' || c == '/';
    if (!ok) {
      return {};
    }
  }
  std::string out;
  out.reserve(text.size() / 4 * 3);
  while (!text.empty()) {
    const size_t take = std::min(internal::kDecodeChunk, text.size());
    if (!internal::DecodeChunk(text.substr(0, take), &out)) {
      return {};
    }
    text.remove_prefix(take);
  }
  return out;
}

}  // namespace util::crypto
