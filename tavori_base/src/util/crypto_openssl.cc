// MD5 and Base64 chunks on OpenSSL's EVP interface (the POSIX builds).

#include <openssl/evp.h>

#include "src/internal/base64.h"
#include "util/crypto/crypto.h"

namespace util::crypto {

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
  return internal::HexDigest(digest, size);
}

namespace internal {

bool EncodeChunk(std::string_view data, std::string* out) {
  const size_t at = out->size();
  out->resize(at + 4 * ((data.size() + 2) / 3) + 1);  // EVP_EncodeBlock adds a NUL
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out->data() + at),
                                      reinterpret_cast<const unsigned char*>(data.data()),
                                      static_cast<int>(data.size()));
  out->resize(at + static_cast<size_t>(written));
  return true;
}

bool DecodeChunk(std::string_view text, std::string* out) {
  const size_t at = out->size();
  out->resize(at + text.size() / 4 * 3 + 1);
  const int written = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out->data() + at),
                                      reinterpret_cast<const unsigned char*>(text.data()),
                                      static_cast<int>(text.size()));
  // EVP_DecodeBlock counts the padding as zero bytes.
  const size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
  if (written < 0 || static_cast<size_t>(written) < padding) {
    out->resize(at);
    return false;
  }
  out->resize(at + static_cast<size_t>(written) - padding);
  return true;
}

}  // namespace internal
}  // namespace util::crypto
