#include <gtest/gtest.h>

#include <string>

#include "authenticode/authenticode.h"
#include "authenticode/test/pe_file.h"
#include "authenticode/test/pki.h"
#include "authenticode/test/signing.h"

namespace authenticode {
namespace {

using test::CaOptions;
using test::CodeSigningOptions;
using test::CreateIdentity;
using test::Identity;

class TrustStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signer_ = std::make_unique<test::Signer>(::testing::TempDir());
    first_root_ = CreateIdentity(CaOptions("First Root"), nullptr);
    second_root_ = CreateIdentity(CaOptions("Second Root"), nullptr);
    first_image_ = signer_->Sign(test::MinimalPe(),
                                 CreateIdentity(CodeSigningOptions("First"), &first_root_), {});
    second_image_ = signer_->Sign(test::MinimalPe(),
                                  CreateIdentity(CodeSigningOptions("Second"), &second_root_), {});
    ASSERT_FALSE(first_image_.empty());
    ASSERT_FALSE(second_image_.empty());
  }

  std::unique_ptr<test::Signer> signer_;
  Identity first_root_;
  Identity second_root_;
  std::string first_image_;
  std::string second_image_;
};

TEST_F(TrustStoreTest, BundleLoadsEveryCertificateOrNothing) {
  const std::string first = first_root_.CertPem();
  const std::string second = second_root_.CertPem();
  std::string broken = second;
  broken[broken.size() / 2] = '*';
  struct Case {
    const char* name;
    std::string pem;
    bool loads;
    bool trusts_first;
    bool trusts_second;
  } cases[] = {
      {"two roots", first + second, true, true, true},
      {"one root with text around it", "roots:\n" + first + "end\n", true, true, false},
      {"a key block is skipped", first_root_.KeyPem() + second, true, false, true},
      {"a key only", first_root_.KeyPem(), false, false, false},
      {"empty", "", false, false, false},
      {"not PEM", "hello\n", false, false, false},
      {"one broken block", first + broken, false, false, false},
      {"DER instead of PEM", first_root_.CertDer(), false, false, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = signer_->WriteFile("bundle" + std::to_string(++n) + ".pem", c.pem);
    std::string error;
    const std::unique_ptr<TrustStore> from_file = TrustStore::LoadPemFile(path, &error);
    const std::unique_ptr<TrustStore> from_memory = TrustStore::FromPem(c.pem);
    ASSERT_EQ(from_file != nullptr, c.loads) << error;
    ASSERT_EQ(from_memory != nullptr, c.loads);
    EXPECT_EQ(error.empty(), c.loads) << error;
    if (!c.loads) {
      continue;
    }
    for (const TrustStore* store : {from_file.get(), from_memory.get()}) {
      EXPECT_EQ(VerifyImage(first_image_, *store).ok(), c.trusts_first);
      EXPECT_EQ(VerifyImage(second_image_, *store).ok(), c.trusts_second);
    }
  }
  std::string error;
  EXPECT_EQ(TrustStore::LoadPemFile(signer_->directory() + "/missing.pem", &error), nullptr);
  EXPECT_NE(error, "");
}

TEST_F(TrustStoreTest, BundleWhenThereElseTheSystemStoreAndABrokenBundleTrustsNothing) {
  const std::string good = signer_->WriteFile("good.pem", first_root_.CertPem());
  const std::string broken = signer_->WriteFile("broken.pem", "hello\n");
  const struct {
    std::string path;
    bool loads;
    bool trusts_first;
  } cases[] = {
      {good, true, true},
      {signer_->directory() + "/missing.pem", true, false},  // the system's store
      {good + "/under-a-file.pem", true, false},             // ENOTDIR: nothing there either
      {broken, false, false},
      {signer_->directory(), false, false},  // a directory in the bundle's place
      {signer_->directory() + "/" + std::string(300, 'n'), false, false},  // cannot be looked at
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::string error;
    const std::unique_ptr<TrustStore> store = TrustStore::LoadBundleOrSystemDefault(c.path, &error);
    ASSERT_EQ(store != nullptr, c.loads) << error;
    EXPECT_EQ(error.empty(), c.loads);
    if (store != nullptr) {
      EXPECT_EQ(VerifyImage(first_image_, *store).ok(), c.trusts_first);
    }
  }
}

}  // namespace
}  // namespace authenticode
