// The per-platform halves of util::crypto (crypto_openssl.cc, crypto_win.cc) behind the shared
// crypto.cc: the digest as text and one chunk of Base64 each way.  Pure functions; any thread.

#ifndef BASE_SRC_INTERNAL_BASE64_H_
#define BASE_SRC_INTERNAL_BASE64_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace util::crypto::internal {

// The largest chunks the platform functions are handed (their lengths are 32-bit); multiples of
// 3 and 4 bytes so that chunks encode and decode independently.
inline constexpr size_t kEncodeChunk = 3 * (size_t{1} << 20);
inline constexpr size_t kDecodeChunk = 4 * (size_t{1} << 20);

// |length| bytes as lower-case hexadecimal digits.
std::string HexDigest(const unsigned char* digest, size_t length);

// Appends the padded Base64 text of |data| (at most kEncodeChunk bytes) to |out|.
bool EncodeChunk(std::string_view data, std::string* out);

// Appends the bytes of |text| (at most kDecodeChunk characters, a multiple of 4, already checked
// to be canonical padded Base64; only the last chunk has padding) to |out|.
bool DecodeChunk(std::string_view text, std::string* out);

}  // namespace util::crypto::internal

#endif  // BASE_SRC_INTERNAL_BASE64_H_
