#include "src/pe_image.h"

#include <algorithm>
#include <array>
#include <span>

#include "src/openssl_util.h"
#include "src/outcome.h"

namespace authenticode::internal {
namespace {

constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint64_t kElfanewOffset = 0x3C;
constexpr uint64_t kDosHeaderSize = 64;
// "PE\0\0" followed by the 20-byte COFF file header.
constexpr uint64_t kNtHeadersSize = 24;
constexpr uint64_t kSizeOfOptionalHeaderOffset = 4 + 16;
// Offsets inside the optional header.
constexpr uint64_t kChecksumOffset = 64;
constexpr uint64_t kRvaCountOffsetPe32 = 92;
constexpr uint64_t kRvaCountOffsetPe32Plus = 108;
constexpr uint64_t kCertDirectoryOffsetPe32 = 128;
constexpr uint64_t kCertDirectoryOffsetPe32Plus = 144;
constexpr uint32_t kCertDirectoryIndex = 4;
constexpr uint64_t kDirectoryEntrySize = 8;
// WIN_CERTIFICATE: dwLength, wRevision, wCertificateType, then the certificate.
constexpr uint32_t kWinCertificateHeaderSize = 8;
constexpr uint16_t kWinCertRevision2 = 0x0200;
constexpr uint16_t kWinCertTypePkcsSignedData = 0x0002;
constexpr size_t kHashChunkSize = 64 * 1024;

uint16_t LoadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool AllZero(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

// Checks the layout of every WIN_CERTIFICATE entry in |table| and returns the first (header
// included) in |first|. Entries start at multiples of eight bytes from the table's start; each is
// followed by zero padding up to the next multiple of eight (or the table's end), and nothing but
// zero bytes may follow the last one. Only the first entry is judged: Windows ignores the others,
// and real files carry a second signature there. Yet every entry must lie whole inside the table,
// so that no length can point a reader beyond it, and no bytes may hide between entries.
VerifyResult WalkCertificateTable(std::span<const uint8_t> table, std::span<const uint8_t>* first) {
  size_t at = 0;
  while (at < table.size()) {
    const std::span<const uint8_t> rest = table.subspan(at);
    if (at != 0 && AllZero(rest)) {
      break;
    }
    if (rest.size() < kWinCertificateHeaderSize) {
      return Fail(Status::kMalformedSignature, "certificate table ends inside an entry header");
    }
    const uint32_t length = LoadU32(rest.data());
    if (length <= kWinCertificateHeaderSize || length > rest.size()) {
      return Fail(Status::kMalformedSignature,
                  at == 0 ? "bad certificate entry length" : "bad length of a later entry");
    }
    const size_t padded = std::min<size_t>(rest.size(), (size_t{length} + 7) & ~size_t{7});
    if (!AllZero(rest.subspan(length, padded - length))) {
      return Fail(Status::kMalformedSignature, "data in the padding after a certificate entry");
    }
    if (at == 0) {
      *first = rest.first(length);
    }
    at += padded;
  }
  return Passed();
}

}  // namespace

VerifyResult ParsePeLayout(const ByteSource& source, PeLayout* layout) {
  const uint64_t size = source.size();
  std::array<uint8_t, kDosHeaderSize> dos{};
  if (size < kDosHeaderSize) {
    return Fail(Status::kNotPe, "file shorter than a DOS header");
  }
  if (!source.ReadAt(0, dos)) {
    return Fail(Status::kFileUnreadable, "cannot read the DOS header");
  }
  if (dos[0] != 'M' || dos[1] != 'Z') {
    return Fail(Status::kNotPe, "no MZ signature");
  }
  const uint64_t nt_offset = LoadU32(&dos[kElfanewOffset]);
  std::array<uint8_t, kNtHeadersSize> nt{};
  if (nt_offset > size || size - nt_offset < kNtHeadersSize) {
    return Fail(Status::kNotPe, "PE header beyond the end of the file");
  }
  if (!source.ReadAt(nt_offset, nt)) {
    return Fail(Status::kFileUnreadable, "cannot read the PE header");
  }
  if (nt[0] != 'P' || nt[1] != 'E' || nt[2] != 0 || nt[3] != 0) {
    return Fail(Status::kNotPe, "no PE signature");
  }
  const uint64_t optional_size = LoadU16(&nt[kSizeOfOptionalHeaderOffset]);
  const uint64_t optional_offset = nt_offset + kNtHeadersSize;
  if (size - optional_offset < optional_size) {
    return Fail(Status::kNotPe, "optional header beyond the end of the file");
  }
  std::array<uint8_t, 2> magic_bytes{};
  if (optional_size < magic_bytes.size()) {
    return Fail(Status::kNotPe, "no optional header");
  }
  if (!source.ReadAt(optional_offset, magic_bytes)) {
    return Fail(Status::kFileUnreadable, "cannot read the optional header");
  }
  const uint16_t magic = LoadU16(magic_bytes.data());
  if (magic != kMagicPe32 && magic != kMagicPe32Plus) {
    return Fail(Status::kNotPe, "unknown optional header magic");
  }
  const bool pe32_plus = magic == kMagicPe32Plus;
  const uint64_t rva_count_offset = pe32_plus ? kRvaCountOffsetPe32Plus : kRvaCountOffsetPe32;
  const uint64_t directory_offset =
      pe32_plus ? kCertDirectoryOffsetPe32Plus : kCertDirectoryOffsetPe32;
  std::array<uint8_t, 4> rva_count_bytes{};
  if (optional_size < rva_count_offset + rva_count_bytes.size()) {
    return Fail(Status::kNotPe, "optional header too small");
  }
  if (!source.ReadAt(optional_offset + rva_count_offset, rva_count_bytes)) {
    return Fail(Status::kFileUnreadable, "cannot read the optional header");
  }

  *layout = PeLayout{};
  layout->pe32_plus = pe32_plus;
  layout->checksum_offset = optional_offset + kChecksumOffset;
  layout->cert_directory_offset = optional_offset + directory_offset;
  if (LoadU32(rva_count_bytes.data()) <= kCertDirectoryIndex) {
    // No Certificate Table entry at all. The hash would still skip those eight bytes, but nothing
    // can be signed without the entry.
    return Passed();
  }
  std::array<uint8_t, kDirectoryEntrySize> entry{};
  if (optional_size < directory_offset + entry.size()) {
    return Fail(Status::kNotPe, "data directories beyond the optional header");
  }
  if (!source.ReadAt(layout->cert_directory_offset, entry)) {
    return Fail(Status::kFileUnreadable, "cannot read the data directories");
  }
  const uint64_t table_offset = LoadU32(entry.data());
  const uint32_t table_size = LoadU32(&entry[4]);
  if (table_size == 0) {
    return Passed();
  }
  // Its "virtual address" is a file offset. Everything the hash covers precedes the table, and
  // nothing follows it: bytes after it would be neither hashed nor signed.
  if (table_offset < layout->cert_directory_offset + kDirectoryEntrySize) {
    return Fail(Status::kMalformedSignature, "certificate table overlaps the headers");
  }
  if (table_offset > size || size - table_offset != table_size) {
    return Fail(Status::kMalformedSignature,
                "certificate table does not end at the end of the file");
  }
  if (table_size > kMaxCertificateTableSize) {
    return Fail(Status::kMalformedSignature, "certificate table too large");
  }
  layout->table_offset = table_offset;
  layout->table_size = table_size;
  return Passed();
}

VerifyResult ReadPrimarySignature(const ByteSource& source, const PeLayout& layout,
                                  std::vector<uint8_t>* der) {
  if (layout.table_size == 0) {
    return Fail(Status::kNoSignature, "no certificate table");
  }
  std::vector<uint8_t> table(layout.table_size);
  if (!source.ReadAt(layout.table_offset, table)) {
    return Fail(Status::kFileUnreadable, "cannot read the certificate table");
  }
  const std::span<const uint8_t> bytes(table);
  std::span<const uint8_t> first;
  VerifyResult step = WalkCertificateTable(bytes, &first);
  if (!step.ok()) {
    return step;
  }
  if (LoadU16(&first[4]) != kWinCertRevision2 || LoadU16(&first[6]) != kWinCertTypePkcsSignedData) {
    return Fail(Status::kMalformedSignature, "certificate entry is not a PKCS#7 SignedData");
  }
  der->assign(first.begin() + kWinCertificateHeaderSize, first.end());
  return Passed();
}

VerifyResult HashImage(const ByteSource& source, const PeLayout& layout, const EVP_MD* md,
                       std::vector<uint8_t>* digest) {
  const uint64_t end = layout.table_size != 0 ? layout.table_offset : source.size();
  struct Range {
    uint64_t begin;
    uint64_t end;
  };
  const Range ranges[] = {
      {0, layout.checksum_offset},
      {layout.checksum_offset + 4, layout.cert_directory_offset},
      {layout.cert_directory_offset + kDirectoryEntrySize, end},
  };
  MdCtxPtr context(EVP_MD_CTX_new());
  if (context == nullptr || EVP_DigestInit_ex(context.get(), md, nullptr) != 1) {
    return Fail(Status::kUnsupportedDigest, "cannot start the image hash");
  }
  std::vector<uint8_t> chunk(kHashChunkSize);
  for (const Range& range : ranges) {
    if (range.begin > range.end || range.end > source.size()) {
      return Fail(Status::kNotPe, "headers beyond the end of the file");
    }
    for (uint64_t at = range.begin; at < range.end;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), range.end - at));
      const std::span<uint8_t> part(chunk.data(), n);
      if (!source.ReadAt(at, part)) {
        return Fail(Status::kFileUnreadable, "cannot read the image");
      }
      if (EVP_DigestUpdate(context.get(), part.data(), part.size()) != 1) {
        return Fail(Status::kUnsupportedDigest, "image hash failed");
      }
      at += n;
    }
  }
  digest->resize(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest->data(), &length) != 1) {
    return Fail(Status::kUnsupportedDigest, "image hash failed");
  }
  digest->resize(length);
  return Passed();
}

}  // namespace authenticode::internal
