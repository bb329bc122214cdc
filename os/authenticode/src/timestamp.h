// Timestamp countersignatures on the primary signer: an RFC 3161 token in the unsigned attribute
// 1.3.6.1.4.1.311.3.3.1, or a PKCS#9 countersignature (1.2.840.113549.1.9.6). Private to the
// component.

#ifndef AUTHENTICODE_SRC_TIMESTAMP_H_
#define AUTHENTICODE_SRC_TIMESTAMP_H_

#include <openssl/x509.h>

#include <ctime>
#include <optional>
#include <string>

#include "src/signed_data.h"

namespace authenticode::internal {

// The time of the first valid timestamp on |data|'s signer, or none. A timestamp is valid when its
// signature verifies, it covers the signer's signature value, and its signer chains to |trust| as a
// time-stamping authority at the time it states. |detail| receives why the last timestamp looked at
// was refused.
std::optional<std::time_t> FindValidTimestamp(const SignedData& data, X509_STORE* trust,
                                              std::string* detail);

}  // namespace authenticode::internal

#endif  // AUTHENTICODE_SRC_TIMESTAMP_H_
