#include "src/trust_store.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "authenticode/authenticode.h"
#include "src/error_scope.h"
#include "src/openssl_util.h"

namespace authenticode {
namespace {

using internal::BioPtr;
using internal::X509Ptr;
using internal::X509StorePtr;

// Certificates are never encrypted; refuse instead of prompting on a terminal.
int NoPassword(char* /*buffer*/, int /*size*/, int /*rwflag*/, void* /*user*/) { return -1; }

bool SetError(std::string* error, std::string text) {
  if (error != nullptr) {
    *error = std::move(text);
  }
  return false;
}

// Reads every CERTIFICATE block of |bio| into |store|; other kinds of block are skipped.
bool AddPemCertificates(BIO* bio, X509_STORE* store, std::string* error) {
  int count = 0;
  for (;;) {
    X509Ptr cert(PEM_read_bio_X509(bio, nullptr, NoPassword, nullptr));
    if (cert == nullptr) {
      const unsigned long last = ERR_peek_last_error();
      if (ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE) {
        break;  // End of input.
      }
      return SetError(error, "certificate " + std::to_string(count + 1) + " does not parse");
    }
    if (X509_STORE_add_cert(store, cert.get()) != 1) {
      return SetError(error, "cannot add certificate " + std::to_string(count + 1));
    }
    ++count;
  }
  return count > 0 || SetError(error, "no certificate");
}

}  // namespace

std::unique_ptr<TrustStore> TrustStore::LoadPemFile(const std::string& path, std::string* error) {
  internal::ErrorScope errors;
  BioPtr bio(BIO_new_file(path.c_str(), "r"));
  if (bio == nullptr) {
    SetError(error, "cannot open " + path);
    return nullptr;
  }
  X509StorePtr store(X509_STORE_new());
  if (store == nullptr || !AddPemCertificates(bio.get(), store.get(), error)) {
    return nullptr;
  }
  return TrustStoreAccess::Wrap(store.release());
}

std::unique_ptr<TrustStore> TrustStore::FromPem(std::string_view pem, std::string* error) {
  internal::ErrorScope errors;
  if (pem.size() > INT_MAX) {
    SetError(error, "too large");
    return nullptr;
  }
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  X509StorePtr store(X509_STORE_new());
  if (bio == nullptr || store == nullptr || !AddPemCertificates(bio.get(), store.get(), error)) {
    return nullptr;
  }
  return TrustStoreAccess::Wrap(store.release());
}

std::unique_ptr<TrustStore> TrustStore::SystemDefault() {
  internal::ErrorScope errors;
  X509StorePtr store(X509_STORE_new());
  if (store == nullptr || X509_STORE_set_default_paths(store.get()) != 1) {
    return nullptr;
  }
  return TrustStoreAccess::Wrap(store.release());
}

std::unique_ptr<TrustStore> TrustStore::LoadBundleOrSystemDefault(const std::string& bundle_path,
                                                                  std::string* error) {
  struct stat st {};
  if (stat(bundle_path.c_str(), &st) == 0) {
    return LoadPemFile(bundle_path, error);
  }
  if (errno == ENOENT || errno == ENOTDIR) {
    return SystemDefault();
  }
  SetError(error, "cannot look at " + bundle_path + ": " + std::strerror(errno));
  return nullptr;
}

TrustStore::TrustStore(std::unique_ptr<State> state) : state_(std::move(state)) {}

TrustStore::~TrustStore() = default;

}  // namespace authenticode
