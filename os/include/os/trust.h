// Authenticode trust of opened installers (WinVerifyTrust with the generic verify action, no
// revocation checks, and CertGetNameStringW's simple display name of the signing certificate).
//
// Any thread; keeps no state between calls. Nothing is logged here: callers log the outcome.
//
// The file is checked as it was opened (os/installer_file.h), so that the caller can start the
// very file it has checked. The Windows backend gives WinVerifyTrust both the path and the open
// handle. The POSIX backend verifies with the OS layer's Authenticode component, reading through
// the open descriptor only. Its trust anchors are the PEM bundle
// <system root>/trust/code-signing-roots.pem (the system root is $TAVORI_SYSTEM_ROOT or
// /var/lib/tavori), read afresh on each call so that an administrator's change applies at once;
// when that file does not exist, the system's default certificate store. A bundle that exists but
// cannot be read or parsed trusts nothing.

#ifndef OS_TRUST_H_
#define OS_TRUST_H_

#include <cstddef>
#include <string>

#include "os/installer_file.h"

namespace os {

// The signer name is cut to this many UTF-16 code units, as CertGetNameStringW cuts it when offered
// a 399-character buffer (the terminating NUL included).
inline constexpr size_t kMaxSignerNameUnits = 398;

// The simple display name of the certificate that validly signed the opened |file|: the first of
// its subject's commonName, organizationalUnitName, organizationName and emailAddress, else its
// rfc822 alternative name; cut at the first NUL and to kMaxSignerNameUnits UTF-16 code units. ""
// when the file is missing, unreadable, unsigned, tampered with, signed by an untrusted or
// unsuitable certificate, or any step fails (and when |file| is not open).
std::wstring GetVerifiedSignerName(const InstallerFile& file);

}  // namespace os

#endif  // OS_TRUST_H_
