// Test support: signs images with osslsigncode, and adds what osslsigncode cannot make (PKCS#9
// countersignatures, extra signer infos) with OpenSSL.
//
// Each Signer works in its own directory; one thread at a time.

#ifndef AUTHENTICODE_TEST_SIGNING_H_
#define AUTHENTICODE_TEST_SIGNING_H_

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "authenticode/test/pki.h"

namespace authenticode::test {

struct SignOptions {
  // "sha1", "sha256", "sha384" or "sha512".
  std::string digest = "sha256";
  // Certificates to carry besides the signer's (intermediates).
  std::vector<const Identity*> chain;
  // An RFC 3161 timestamp made without a server by this authority, at |timestamp_time| (now when
  // unset).
  const Identity* timestamp_authority = nullptr;
  std::optional<std::time_t> timestamp_time;
  // Adds a nested signature to an already signed image instead of replacing its signature.
  bool nest = false;
};

class Signer {
 public:
  // Files go to a fresh directory below |parent|.
  explicit Signer(const std::string& parent);
  // Removes the work directory.
  ~Signer();
  Signer(const Signer&) = delete;
  Signer& operator=(const Signer&) = delete;

  // The signed image, or "" after printing osslsigncode's complaint to stderr.
  std::string Sign(std::string_view image, const Identity& signer, const SignOptions& options);

  // Writes |bytes| to a file in the work directory and returns its path.
  std::string WriteFile(const std::string& name, std::string_view bytes);

  const std::string& directory() const { return directory_; }

 private:
  std::string directory_;
  int counter_ = 0;
};

// |image| with a PKCS#9 countersignature by |authority| at |when| (SHA-256, with a signingTime
// attribute) added to its primary signer, and the authority's certificate added to the signature.
std::string AddCountersignature(std::string_view image, const Identity& authority,
                                std::time_t when);

// |to| with its primary signer's unsigned attributes (timestamps, nested signatures) replaced by
// those of |from|'s primary signer, and |from|'s certificates added to its own.
std::string GraftUnsignedAttributes(std::string_view from, std::string_view to);

// |image| with its primary signer info duplicated, so that the signature has two signers.
std::string DuplicateSignerInfo(std::string_view image);

}  // namespace authenticode::test

#endif  // AUTHENTICODE_TEST_SIGNING_H_
