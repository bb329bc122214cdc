// Authenticode verification of PE files (installers) without Windows.
//
// Verifies what WinVerifyTrust with the generic verify action checks, without revocation checks:
// the file's primary signature (the first entry of the certificate table; later entries and nested
// signatures are not consulted, though every entry must lie whole inside the table) is a PKCS#7
// SignedData over an SpcIndirectDataContent whose digest equals the file's Authenticode image hash;
// it has exactly one signer; the signing certificate chains to a root of the trust store; and it
// may be used for code signing. A signing certificate outside its validity period passes only with
// a valid timestamp countersignature, and the chain is then judged at the timestamp's time.
//
// Every input byte is untrusted: the parser bounds every read and every allocation (the certificate
// table may hold at most kMaxCertificateTableSize bytes) and streams the image hash, so a file of
// any size is checked in constant memory.
//
// Nothing here logs or keeps global state. The functions may run on any thread at the same time,
// also with one shared TrustStore.

#ifndef AUTHENTICODE_AUTHENTICODE_H_
#define AUTHENTICODE_AUTHENTICODE_H_

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace authenticode {

// Why a file was refused. Values are stable (logs and tests name them); add new ones at the end.
enum class Status {
  kOk = 0,
  // The file cannot be opened or read, or is not a regular file.
  kFileUnreadable = 1,
  // No MZ/PE headers, or headers that point outside the file.
  kNotPe = 2,
  // A well-formed PE image without a certificate table.
  kNoSignature = 3,
  // The certificate table or the PKCS#7 structure inside it is broken or not Authenticode.
  kMalformedSignature = 4,
  // The image hash or the signer uses a digest other than SHA-1, SHA-256, SHA-384 or SHA-512.
  kUnsupportedDigest = 5,
  // The image hash recorded in the signature differs from the file's.
  kImageHashMismatch = 6,
  // The PKCS#7 signature does not verify with the signing certificate.
  kSignatureInvalid = 7,
  // The signing certificate does not chain to a root of the trust store.
  kUntrustedChain = 8,
  // A certificate of the chain is outside its validity period and no valid timestamp covers it.
  kCertificateExpired = 9,
  // The signing certificate (or an intermediate) is restricted to usages other than code signing.
  kWrongKeyUsage = 10,
};

// The enumerator's name without the leading k ("Ok", "NoSignature", ...).
const char* StatusName(Status status);

// The certificate table is part of the file that is read whole into memory; a larger one is refused
// as malformed.
inline constexpr size_t kMaxCertificateTableSize = size_t{4} << 20;

struct [[nodiscard]] VerifyResult {
  Status status = Status::kFileUnreadable;
  // The signing certificate's simple display name (UTF-8): the first of commonName,
  // organizationalUnitName, organizationName and emailAddress in its subject, else the rfc822
  // subject alternative name. Set once the signature verified and its image hash matched the
  // file's: with kOk, and with the chain's verdicts kUntrustedChain, kCertificateExpired and
  // kWrongKeyUsage, where it names who signed the file but vouches for nothing. Empty with every
  // other status (and may be empty even then, for a certificate that carries none of these).
  std::string signer_name;
  // A short English reason for logs; empty when status is kOk.
  std::string detail;

  bool ok() const { return status == Status::kOk; }
};

// The set of roots that signing chains (and timestamp chains) must end in.
//
// Immutable once loaded; verifications on any number of threads may share one instance. The
// instance must outlive the calls that use it.
class TrustStore {
 public:
  // Loads every certificate of a PEM bundle. Fails (null, with a reason in |error| when given) when
  // the file cannot be read, holds a block that does not parse, or holds no certificate.
  static std::unique_ptr<TrustStore> LoadPemFile(const std::string& path,
                                                 std::string* error = nullptr);
  // The same, from PEM text in memory.
  static std::unique_ptr<TrustStore> FromPem(std::string_view pem, std::string* error = nullptr);
  // The system's default certificate store (OpenSSL's default file and directory, which
  // $SSL_CERT_FILE and $SSL_CERT_DIR override). Certificates are looked up lazily.
  static std::unique_ptr<TrustStore> SystemDefault();
  // The machine's code-signing roots: the PEM bundle at |bundle_path| when a file is there,
  // else, when nothing is (no such file or directory), the system's default store. A bundle that
  // is there but cannot be read or parsed, or a path that cannot be looked at, trusts nothing:
  // null, with the reason in |error| when given. Reads the bundle afresh on every call.
  static std::unique_ptr<TrustStore> LoadBundleOrSystemDefault(const std::string& bundle_path,
                                                               std::string* error = nullptr);

  ~TrustStore();
  TrustStore(const TrustStore&) = delete;
  TrustStore& operator=(const TrustStore&) = delete;

 private:
  // The OpenSSL store and the lock held while chains are built against it (src/trust_store.h).
  struct State;
  friend struct TrustStoreAccess;

  explicit TrustStore(std::unique_ptr<State> state);

  const std::unique_ptr<State> state_;
};

// Verifies the file at |path|. Opens it read-only and reads it with pread.
VerifyResult VerifyFile(const std::string& path, const TrustStore& trust);

// Verifies the file open as |fd|, which must be a regular file opened for reading. Reads with pread
// only, so neither the descriptor's offset nor the name the file was opened under matter: a
// privileged caller checks exactly the file it holds. Does not close |fd|.
VerifyResult VerifyDescriptor(int fd, const TrustStore& trust);

// Verifies an image held in memory.
VerifyResult VerifyImage(std::string_view image, const TrustStore& trust);

}  // namespace authenticode

#endif  // AUTHENTICODE_AUTHENTICODE_H_
