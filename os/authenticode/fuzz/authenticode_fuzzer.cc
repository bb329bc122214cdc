// libFuzzer target for the PE and signature parser: whole-image verification, plus the parts a
// failed chain check would otherwise hide (timestamps, display names) on every signature that
// parses. The trust store holds the root of the committed seed corpus, so mutated seeds reach
// the chain, usage and timestamp checks.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "authenticode/authenticode.h"
#include "src/byte_source.h"
#include "src/display_name.h"
#include "src/pe_image.h"
#include "src/signed_data.h"
#include "src/timestamp.h"
#include "src/trust_store.h"

namespace {

const authenticode::TrustStore& Roots() {
  static const authenticode::TrustStore* const roots = [] {
    std::string error;
    std::unique_ptr<authenticode::TrustStore> loaded =
        authenticode::TrustStore::LoadPemFile(AUTHENTICODE_FUZZ_ROOTS, &error);
    if (loaded == nullptr) {
      std::fprintf(stderr, "cannot load %s: %s\n", AUTHENTICODE_FUZZ_ROOTS, error.c_str());
      std::abort();
    }
    return loaded.release();
  }();
  return *roots;
}

// Runs the signature's own parts independently of the verdict.
void ExerciseSignature(std::string_view image) {
  using authenticode::internal::FindValidTimestamp;
  using authenticode::internal::MemoryByteSource;
  using authenticode::internal::ParsePeLayout;
  using authenticode::internal::ParseSignedData;
  using authenticode::internal::PeLayout;
  using authenticode::internal::ReadPrimarySignature;
  using authenticode::internal::SignedData;
  using authenticode::internal::SimpleDisplayName;
  const MemoryByteSource source(image);
  PeLayout layout;
  std::vector<uint8_t> der;
  SignedData data;
  if (!ParsePeLayout(source, &layout).ok() || !ReadPrimarySignature(source, layout, &der).ok() ||
      !ParseSignedData(der, &data).ok()) {
    return;
  }
  STACK_OF(X509)* certs = data.pkcs7->d.sign->cert;
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    SimpleDisplayName(sk_X509_value(certs, i));
  }
  std::string detail;
  FindValidTimestamp(data, authenticode::TrustStoreAccess::Store(Roots()), &detail);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view image(reinterpret_cast<const char*>(data), size);
  const authenticode::VerifyResult result = authenticode::VerifyImage(image, Roots());
  // What callers rely on: a name only once the signature matched the file (the chain's verdicts),
  // a reason with every refusal.
  const bool chain_judged = result.ok() || result.status == authenticode::Status::kUntrustedChain ||
                            result.status == authenticode::Status::kCertificateExpired ||
                            result.status == authenticode::Status::kWrongKeyUsage;
  if ((!chain_judged && !result.signer_name.empty()) || result.ok() != result.detail.empty()) {
    std::abort();
  }
  ExerciseSignature(image);
  return 0;
}
