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
using test::CreateIdentity;
using test::Identity;

TEST(VerifyThreadsTest, ThreadsShareOneTrustStore) {
  test::Signer signer(::testing::TempDir());
  const Identity root = CreateIdentity(CaOptions("Shared Root"), nullptr);
  const Identity intermediate = CreateIdentity(CaOptions("Shared Intermediate"), &root);
  test::SignOptions with_chain;
  with_chain.chain = {&intermediate};
  const std::string good = signer.Sign(
      test::MinimalPe(true, 100000),
      CreateIdentity(test::CodeSigningOptions("Shared Signer"), &intermediate), with_chain);
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
  // Per thread, the verdicts in the order they came: good, tampered, good, ...
  std::vector<std::vector<VerifyResult>> results(kThreads);
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < 2 * kRounds; ++i) {
        results[t].push_back(
            VerifyImage(i % 2 == 0 ? good : tampered, t % 2 == 0 ? *system : *bundle));
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < 2 * kRounds; ++i) {
      const VerifyResult& result = results[t][i];
      EXPECT_EQ(result.status, i % 2 == 0 ? Status::kOk : Status::kImageHashMismatch)
          << "thread " << t << ", verification " << i << ": " << result.detail;
      EXPECT_EQ(result.signer_name, i % 2 == 0 ? "Shared Signer" : "");
    }
  }
}

}  // namespace
}  // namespace authenticode
