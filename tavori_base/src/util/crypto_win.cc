// MD5 on the system's CNG (BCrypt) and Base64 chunks on CryptBinaryToStringA and
// CryptStringToBinaryA, so that the Windows DLL needs no third-party crypto library.

// clang-format off
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>
// clang-format on

#include <algorithm>

#include "src/internal/base64.h"
#include "util/crypto/crypto.h"

namespace util::crypto {

namespace {

constexpr ULONG kMd5Size = 16;

}  // namespace

// The algorithm provider and a reusable hash object.  Either handle null: the hasher is inert
// (out of memory), and Finish() returns "", which no expected digest equals.
struct Md5Hasher::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
};

Md5Hasher::Md5Hasher() : state_(std::make_unique<State>()) {
  if (!BCRYPT_SUCCESS(
          ::BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0))) {
    state_->algorithm = nullptr;
    return;
  }
  // The hash object's memory is left to the provider (null buffer); BCRYPT_HASH_REUSABLE_FLAG
  // lets Finish() start over without a new object.
  if (!BCRYPT_SUCCESS(::BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0,
                                         BCRYPT_HASH_REUSABLE_FLAG))) {
    state_->hash = nullptr;
  }
}

Md5Hasher::~Md5Hasher() {
  if (state_->hash != nullptr) {
    ::BCryptDestroyHash(state_->hash);
  }
  if (state_->algorithm != nullptr) {
    ::BCryptCloseAlgorithmProvider(state_->algorithm, 0);
  }
}

void Md5Hasher::Update(const void* data, size_t length) {
  if (state_->hash == nullptr) {
    return;
  }
  // BCryptHashData takes a 32-bit length and a non-const pointer it does not write through.
  auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));
  while (length > 0) {
    const auto take = static_cast<ULONG>(std::min<size_t>(length, 1U << 30));
    if (!BCRYPT_SUCCESS(::BCryptHashData(state_->hash, bytes, take, 0))) {
      // A hash that missed bytes must never match: the hasher goes inert.
      ::BCryptDestroyHash(state_->hash);
      state_->hash = nullptr;
      return;
    }
    bytes += take;
    length -= take;
  }
}

std::string Md5Hasher::Finish() {
  if (state_->hash == nullptr) {
    return {};
  }
  UCHAR digest[kMd5Size];
  if (!BCRYPT_SUCCESS(::BCryptFinishHash(state_->hash, digest, kMd5Size, 0))) {
    return {};
  }
  return internal::HexDigest(digest, kMd5Size);
}

namespace internal {

bool EncodeChunk(std::string_view data, std::string* out) {
  if (data.empty()) {
    return true;
  }
  const auto* bytes = reinterpret_cast<const BYTE*>(data.data());
  const auto length = static_cast<DWORD>(data.size());
  constexpr DWORD kFlags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  // The first call gives the size with the terminating NUL, the second writes the text and gives
  // its length without it.
  DWORD size = 0;
  if (!::CryptBinaryToStringA(bytes, length, kFlags, nullptr, &size) || size == 0) {
    return false;
  }
  const size_t at = out->size();
  out->resize(at + size);
  if (!::CryptBinaryToStringA(bytes, length, kFlags, out->data() + at, &size)) {
    out->resize(at);
    return false;
  }
  out->resize(at + size);
  return true;
}

bool DecodeChunk(std::string_view text, std::string* out) {
  if (text.empty()) {
    return true;
  }
  const auto length = static_cast<DWORD>(text.size());
  DWORD size = static_cast<DWORD>(text.size() / 4 * 3);
  const size_t at = out->size();
  out->resize(at + size);
  if (!::CryptStringToBinaryA(text.data(), length, CRYPT_STRING_BASE64,
                              reinterpret_cast<BYTE*>(out->data() + at), &size, nullptr, nullptr)) {
    out->resize(at);
    return false;
  }
  out->resize(at + size);
  return true;
}

}  // namespace internal
}  // namespace util::crypto
