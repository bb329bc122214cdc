// The fixture of the verifier's end-to-end tests: a throwaway root that the trust store holds,
// and a signer (osslsigncode) that signs minimal PE images with leaves under it.

#ifndef AUTHENTICODE_TEST_VERIFY_FIXTURE_H_
#define AUTHENTICODE_TEST_VERIFY_FIXTURE_H_

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "authenticode/authenticode.h"
#include "authenticode/test/pe_file.h"
#include "authenticode/test/pki.h"
#include "authenticode/test/signing.h"

namespace authenticode {

inline void PrintTo(Status status, std::ostream* out) { *out << StatusName(status); }

namespace test {

// |bytes| with the byte at |at| changed.
inline std::string Flip(std::string bytes, size_t at) {
  bytes.at(at) = static_cast<char>(bytes.at(at) ^ 0x5A);
  return bytes;
}

class VerifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = CreateIdentity(CaOptions("Test Code Signing Root"), nullptr);
    trust_ = TrustStore::FromPem(root_.CertPem());
    ASSERT_NE(trust_, nullptr);
    signer_ = std::make_unique<Signer>(::testing::TempDir());
  }

  Identity Leaf(const std::string& common_name) {
    return CreateIdentity(CodeSigningOptions(common_name), &root_);
  }

  std::string Sign(const Identity& leaf, const SignOptions& options = {},
                   const std::string& image = MinimalPe()) {
    std::string signed_image = signer_->Sign(image, leaf, options);
    EXPECT_FALSE(signed_image.empty());
    return signed_image;
  }

  VerifyResult Verify(std::string_view image) { return VerifyImage(image, *trust_); }

  Identity root_;
  std::unique_ptr<TrustStore> trust_;
  std::unique_ptr<Signer> signer_;
};

}  // namespace test
}  // namespace authenticode

#endif  // AUTHENTICODE_TEST_VERIFY_FIXTURE_H_
