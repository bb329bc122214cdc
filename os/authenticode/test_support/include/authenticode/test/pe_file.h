// Test support: minimal PE images and edits of their certificate table.
//
// Images are byte strings; the functions are pure and may run on any thread.

#ifndef AUTHENTICODE_TEST_PE_FILE_H_
#define AUTHENTICODE_TEST_PE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace authenticode::test {

// A valid x86-64 (PE32+) or x86 (PE32) image with one .text section holding `xor eax,eax; ret`,
// 1,024 bytes, followed by |overlay_size| bytes of a repeating pattern (data after the sections, as
// installers carry their payload).
std::string MinimalPe(bool pe32_plus = true, size_t overlay_size = 0);

// File offsets of an image's fields that the image hash skips, and its certificate table.
struct PeOffsets {
  size_t checksum = 0;
  size_t cert_directory = 0;
  uint32_t table_offset = 0;
  uint32_t table_size = 0;
};
// For an image made by MinimalPe (and perhaps signed); aborts on reads beyond a short one.
PeOffsets LocatePe(std::string_view image);

// Overwrites the Certificate Table directory entry.
void SetCertDirectory(std::string* image, uint32_t table_offset, uint32_t table_size);

// The DER bytes of the first certificate-table entry; "" when there is none.
std::string ExtractSignature(std::string_view image);
// The contents of every certificate-table entry, in order (for well-formed tables, real files
// included; aborts on a length that leaves the table).
std::vector<std::string> ExtractEntries(std::string_view image);

// One WIN_CERTIFICATE entry: a header declaring 8 + |content|.size() bytes, revision 2 and
// |type| (2: PKCS#7 SignedData), then |content|, zero-padded to eight bytes.
std::string CertificateEntry(std::string_view content, uint16_t type = 2);

// |image| (whose certificate table ends the file) with |bytes| appended to the table, the directory
// entry updated.
std::string AppendToCertificateTable(std::string_view image, std::string_view bytes);

// |image| with its certificate table replaced by one PKCS#7 entry holding |der|, padded to eight
// bytes, and the directory entry updated.
std::string ReplaceSignature(std::string_view image, std::string_view der);

}  // namespace authenticode::test

#endif  // AUTHENTICODE_TEST_PE_FILE_H_
