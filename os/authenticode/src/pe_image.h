// The PE/COFF side of Authenticode: where the checksum and the certificate table lie, the primary
// signature's bytes, and the image hash. Private to the component.

#ifndef AUTHENTICODE_SRC_PE_IMAGE_H_
#define AUTHENTICODE_SRC_PE_IMAGE_H_

#include <openssl/evp.h>

#include <cstdint>
#include <vector>

#include "authenticode/authenticode.h"
#include "src/byte_source.h"

namespace authenticode::internal {

// File offsets that the image hash leaves out.
struct PeLayout {
  bool pe32_plus = false;
  // The optional header's CheckSum field (4 bytes).
  uint64_t checksum_offset = 0;
  // The Certificate Table's data-directory entry (8 bytes).
  uint64_t cert_directory_offset = 0;
  // The certificate table; size 0 for an image without one. When present it is inside the file,
  // after the directory entry, at most kMaxCertificateTableSize bytes, and ends with the file.
  uint64_t table_offset = 0;
  uint32_t table_size = 0;
};

// Reads and checks the headers. kOk also for an image without a certificate table.
VerifyResult ParsePeLayout(const ByteSource& source, PeLayout* layout);

// The DER bytes of the primary signature: the first WIN_CERTIFICATE entry, which must be a revision
// 2 PKCS#7 SignedData entry. Later entries are not judged, but every entry must lie whole inside
// the table at a multiple of eight bytes, with only zero bytes as padding between and after them.
VerifyResult ReadPrimarySignature(const ByteSource& source, const PeLayout& layout,
                                  std::vector<uint8_t>* der);

// The Authenticode image hash with |md|: the file up to the certificate table (or its end), less
// the CheckSum field and the Certificate Table directory entry. Reads in bounded chunks.
VerifyResult HashImage(const ByteSource& source, const PeLayout& layout, const EVP_MD* md,
                       std::vector<uint8_t>* digest);

}  // namespace authenticode::internal

#endif  // AUTHENTICODE_SRC_PE_IMAGE_H_
