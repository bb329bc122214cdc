// A certificate's simple display name, chosen as Windows chooses it. Private to the component.

#ifndef AUTHENTICODE_SRC_DISPLAY_NAME_H_
#define AUTHENTICODE_SRC_DISPLAY_NAME_H_

#include <openssl/x509.h>

#include <string>

namespace authenticode::internal {

// The value (UTF-8) of the first of commonName, organizationalUnitName, organizationName and
// emailAddress that the subject holds, taking that attribute's first occurrence; else the first
// rfc822 name of the subject alternative names; else "". A value that cannot be converted to UTF-8
// yields "".
std::string SimpleDisplayName(X509* cert);

}  // namespace authenticode::internal

#endif  // AUTHENTICODE_SRC_DISPLAY_NAME_H_
