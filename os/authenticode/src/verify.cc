#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <system_error>
#include <vector>

#include "authenticode/authenticode.h"
#include "src/byte_source.h"
#include "src/chain.h"
#include "src/display_name.h"
#include "src/error_scope.h"
#include "src/outcome.h"
#include "src/pe_image.h"
#include "src/signed_data.h"
#include "src/timestamp.h"
#include "src/trust_store.h"

namespace authenticode {
namespace {

using internal::Fail;

// The whole check, in the order that keeps the expensive parts last: headers, the signature's
// structure and cryptography, then the image hash (reading the whole file), then the chain.
VerifyResult VerifySource(const internal::ByteSource& source, const TrustStore& trust) {
  internal::ErrorScope errors;
  internal::PeLayout layout;
  VerifyResult step = internal::ParsePeLayout(source, &layout);
  if (!step.ok()) {
    return step;
  }
  std::vector<uint8_t> der;
  step = internal::ReadPrimarySignature(source, layout, &der);
  if (!step.ok()) {
    return step;
  }
  internal::SignedData data;
  step = internal::ParseSignedData(der, &data);
  if (!step.ok()) {
    return step;
  }
  step = internal::CheckSignature(data);
  if (!step.ok()) {
    return step;
  }
  std::vector<uint8_t> image_digest;
  step = internal::HashImage(source, layout, data.image_digest_md, &image_digest);
  if (!step.ok()) {
    return step;
  }
  if (image_digest != data.image_digest) {
    return Fail(Status::kImageHashMismatch, "the file is not the one that was signed");
  }

  // From here on the signature is known to be this file's; whatever the chain's verdict, the name
  // says who signed it (for the records), though only kOk vouches for it.
  const std::string signer_name = internal::SimpleDisplayName(data.signer);
  std::lock_guard<std::mutex> chain_lock(TrustStoreAccess::ChainMutex(trust));
  X509_STORE* store = TrustStoreAccess::Store(trust);
  STACK_OF(X509)* carried = data.pkcs7->d.sign->cert;
  step = internal::VerifyChain(store, data.signer, carried, std::nullopt,
                               internal::Usage::kCodeSigning);
  if (step.status == Status::kCertificateExpired) {
    std::string why_not;
    const std::optional<std::time_t> stamped = internal::FindValidTimestamp(data, store, &why_not);
    if (!stamped.has_value()) {
      step.detail += "; " + why_not;
    } else {
      step = internal::VerifyChain(store, data.signer, carried, stamped,
                                   internal::Usage::kCodeSigning);
    }
  }
  step.signer_name = signer_name;
  return step;
}

}  // namespace

const char* StatusName(Status status) {
  switch (status) {
    case Status::kOk:
      return "Ok";
    case Status::kFileUnreadable:
      return "FileUnreadable";
    case Status::kNotPe:
      return "NotPe";
    case Status::kNoSignature:
      return "NoSignature";
    case Status::kMalformedSignature:
      return "MalformedSignature";
    case Status::kUnsupportedDigest:
      return "UnsupportedDigest";
    case Status::kImageHashMismatch:
      return "ImageHashMismatch";
    case Status::kSignatureInvalid:
      return "SignatureInvalid";
    case Status::kUntrustedChain:
      return "UntrustedChain";
    case Status::kCertificateExpired:
      return "CertificateExpired";
    case Status::kWrongKeyUsage:
      return "WrongKeyUsage";
  }
  return "Unknown";
}

VerifyResult VerifyFile(const std::string& path, const TrustStore& trust) {
  if (path.empty() || path.find('\0') != std::string::npos) {
    return Fail(Status::kFileUnreadable, "bad path");
  }
  // Non-blocking, so that a FIFO planted under the name cannot stall the open.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    return Fail(Status::kFileUnreadable, "cannot open: " + std::generic_category().message(errno));
  }
  VerifyResult result = VerifyDescriptor(fd, trust);
  close(fd);
  return result;
}

VerifyResult VerifyDescriptor(int fd, const TrustStore& trust) {
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    return Fail(Status::kFileUnreadable, "cannot stat: " + std::generic_category().message(errno));
  }
  if (!S_ISREG(st.st_mode)) {
    return Fail(Status::kFileUnreadable, "not a regular file");
  }
  const internal::DescriptorByteSource source(fd, static_cast<uint64_t>(st.st_size));
  return VerifySource(source, trust);
}

VerifyResult VerifyImage(std::string_view image, const TrustStore& trust) {
  const internal::MemoryByteSource source(image);
  return VerifySource(source, trust);
}

}  // namespace authenticode
