// Verifications on several threads sharing one trust store, including the system store whose
// certificates are looked up lazily from a hashed directory while the threads run.

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <latch>
#include <string>
#include <thread>
#include <vector>

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

TEST(VerifyThreadsTest, ThreadsShareOneTrustStore) {
  test::Signer signer(::testing::TempDir());
  const Identity root = CreateIdentity(CaOptions("Shared Root"), nullptr);
  const Identity intermediate = CreateIdentity(CaOptions("Shared Intermediate"), &root);
  test::SignOptions with_chain;
  with_chain.chain = {&intermediate};
  const std::string good =
      signer.Sign(test::MinimalPe(true, 100000),
                  CreateIdentity(CodeSigningOptions("Shared Signer"), &intermediate), with_chain);
  ASSERT_FALSE(good.empty());
  std::string tampered = good;
  tampered[0x201] ^= 1;

  // The system store finds the root by its subject hash, on first use (set up before threads).
  char hash_name[32];
  std::snprintf(
      hash_name, sizeof(hash_name), "%08lx.0",
      X509_NAME_hash_ex(X509_get_subject_name(root.cert.get()), nullptr, nullptr, nullptr));
  signer.WriteFile(hash_name, root.CertPem());
  ASSERT_EQ(setenv("SSL_CERT_DIR", signer.directory().c_str(), 1), 0);
  ASSERT_EQ(setenv("SSL_CERT_FILE", (signer.directory() + "/none.pem").c_str(), 1), 0);
  const std::unique_ptr<TrustStore> system = TrustStore::SystemDefault();
  const std::unique_ptr<TrustStore> bundle = TrustStore::FromPem(root.CertPem());
  ASSERT_NE(system, nullptr);
  ASSERT_NE(bundle, nullptr);

  constexpr int kThreads = 4;
  constexpr int kRounds = 10;
  struct Tally {
    int ok = 0;
    int mismatch = 0;
    int other = 0;
  };
  std::vector<Tally> tallies(kThreads);
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      const TrustStore& store = t % 2 == 0 ? *system : *bundle;
      for (int round = 0; round < kRounds; ++round) {
        for (const std::string* image : {&good, static_cast<const std::string*>(&tampered)}) {
          const VerifyResult result = VerifyImage(*image, store);
          if (result.ok() && result.signer_name == "Shared Signer") {
            ++tallies[t].ok;
          } else if (result.status == Status::kImageHashMismatch) {
            ++tallies[t].mismatch;
          } else {
            ++tallies[t].other;
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (int t = 0; t < kThreads; ++t) {
    SCOPED_TRACE(t);
    EXPECT_EQ(tallies[t].ok, kRounds);
    EXPECT_EQ(tallies[t].mismatch, kRounds);
    EXPECT_EQ(tallies[t].other, 0);
  }
}

}  // namespace
}  // namespace authenticode
