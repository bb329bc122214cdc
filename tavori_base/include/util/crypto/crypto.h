// MD5 and Base64 on the platform's crypto (OpenSSL; BCrypt and CryptoAPI on Windows).  Pure
// functions and a streaming hasher; any thread (an Md5Hasher itself belongs to one thread at a
// time).

#ifndef UTIL_CRYPTO_CRYPTO_H_
#define UTIL_CRYPTO_CRYPTO_H_

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace util::crypto {

// The MD5 digest of |length| bytes at |data| as 32 lower-case hexadecimal digits (safe in a file
// name).
std::string Md5(const void* data, size_t length);
inline std::string Md5(std::string_view data) { return Md5(data.data(), data.size()); }

// Whether |text| can be an MD5 digest as text: exactly 32 hexadecimal digits, either case.
bool IsMd5Text(std::string_view text);

// Hashes data that arrives in pieces.
class Md5Hasher {
 public:
  Md5Hasher();
  ~Md5Hasher();
  Md5Hasher(const Md5Hasher&) = delete;
  Md5Hasher& operator=(const Md5Hasher&) = delete;

  void Update(const void* data, size_t length);
  // The digest of everything given so far, as Md5() writes it.  Resets the hasher.
  std::string Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Base64 (RFC 4648, with padding, no line breaks).  Deterministic; Decode64(Encode64(x)) == x
// for every byte string x.
std::string Encode64(std::string_view data);
// Decodes |text|; text that is not valid padded Base64 decodes to "".
std::string Decode64(std::string_view text);

}  // namespace util::crypto

#endif  // UTIL_CRYPTO_CRYPTO_H_
