#include "util/crypto/crypto.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>

namespace util::crypto {
namespace {

std::string ToHex(const unsigned char* digest, size_t length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex(length * 2, '0');
  for (size_t i = 0; i < length; ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 0x0F];
  }
  return hex;
}

}  // namespace

bool IsMd5Text(std::string_view text) {
  return text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

struct Md5Hasher::State {
  EVP_MD_CTX* context = nullptr;
};

Md5Hasher::Md5Hasher() : state_(std::make_unique<State>()) {
  // Without a context (out of memory) the hasher stays inert and Finish() returns "", which no
  // expected digest equals.
  state_->context = EVP_MD_CTX_new();
  if (state_->context != nullptr && EVP_DigestInit_ex(state_->context, EVP_md5(), nullptr) != 1) {
    EVP_MD_CTX_free(state_->context);
    state_->context = nullptr;
  }
}

Md5Hasher::~Md5Hasher() { EVP_MD_CTX_free(state_->context); }

void Md5Hasher::Update(const void* data, size_t length) {
  if (length > 0 && state_->context != nullptr) {
    EVP_DigestUpdate(state_->context, data, length);
  }
}

std::string Md5Hasher::Finish() {
  if (state_->context == nullptr) {
    return {};
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_DigestFinal_ex(state_->context, digest, &size);
  EVP_DigestInit_ex(state_->context, EVP_md5(), nullptr);
  return ToHex(digest, size);
}

std::string Md5(const void* data, size_t length) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(data, length, digest, &size, EVP_md5(), nullptr);
  return ToHex(digest, size);
}

std::string Encode64(std::string_view data) {
  std::string out(4 * ((data.size() + 2) / 3), '\0');
  // EVP_EncodeBlock takes an int length; encode in chunks that are a multiple of 3 bytes.
  constexpr size_t kChunk = 3 * (1 << 20);
  size_t in = 0;
  size_t written = 0;
  while (in < data.size()) {
    const size_t take = std::min(kChunk, data.size() - in);
    written += static_cast<size_t>(EVP_EncodeBlock(
        reinterpret_cast<unsigned char*>(out.data() + written),
        reinterpret_cast<const unsigned char*>(data.data() + in), static_cast<int>(take)));
    in += take;
  }
  out.resize(written);
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
  // EVP_DecodeBlock skips leading and trailing blanks; valid input has none.
  for (size_t i = 0; i < text.size() - padding; ++i) {
    const char c = text[i];
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '+' || c == '/';
    if (!ok) {
      return {};
    }
  }
  std::string out(text.size() / 4 * 3, '\0');
  constexpr size_t kChunk = 4 * (1 << 20);
  size_t in = 0;
  size_t written = 0;
  while (in < text.size()) {
    const size_t take = std::min(kChunk, text.size() - in);
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data() + written),
                                  reinterpret_cast<const unsigned char*>(text.data() + in),
                                  static_cast<int>(take));
    if (n < 0) {
      return {};
    }
    written += static_cast<size_t>(n);
    in += take;
  }
  out.resize(written - padding);
  return out;
}

}  // namespace util::crypto
