#include "src/display_name.h"

#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include "src/openssl_util.h"

namespace authenticode::internal {
namespace {

std::string ToUtf8(const ASN1_STRING* value) {
  unsigned char* utf8 = nullptr;
  const int length = ASN1_STRING_to_UTF8(&utf8, value);
  if (length < 0) {
    return {};
  }
  std::string text(reinterpret_cast<const char*>(utf8), static_cast<size_t>(length));
  OPENSSL_free(utf8);
  return text;
}

}  // namespace

std::string SimpleDisplayName(X509* cert) {
  const X509_NAME* subject = X509_get_subject_name(cert);
  for (const int nid :
       {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
    const int index = X509_NAME_get_index_by_NID(subject, nid, -1);
    if (index >= 0) {
      return ToUtf8(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
    }
  }
  GeneralNamesPtr alternative_names(
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr)));
  for (int i = 0; i < sk_GENERAL_NAME_num(alternative_names.get()); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(alternative_names.get(), i);
    if (name->type == GEN_EMAIL) {
      return ToUtf8(name->d.rfc822Name);
    }
  }
  return {};
}

}  // namespace authenticode::internal
