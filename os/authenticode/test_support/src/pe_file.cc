#include "authenticode/test/pe_file.h"

#include <cstdio>
#include <cstdlib>

namespace authenticode::test {
namespace {

constexpr size_t kImageSize = 1024;
constexpr size_t kPeOffset = 0x40;
constexpr size_t kOptionalOffset = kPeOffset + 24;

// Writes the low |width| bytes of |value| at |at|, little-endian.
void Put(std::string* image, size_t at, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) {
    image->at(at + i) = static_cast<char>((value >> (8 * i)) & 0xFF);
  }
}

uint32_t Get32(std::string_view image, size_t at) {
  if (at + 4 > image.size()) {
    std::fprintf(stderr, "test PE: read beyond the image\n");
    std::abort();
  }
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = value << 8 | static_cast<uint8_t>(image[at + i]);
  }
  return value;
}

void PadTo8(std::string* bytes) { bytes->resize((bytes->size() + 7) / 8 * 8, '\0'); }

}  // namespace

std::string MinimalPe(bool pe32_plus, size_t overlay_size) {
  std::string image(kImageSize, '\0');
  const size_t pe = kPeOffset;
  const size_t o = kOptionalOffset;
  const size_t section = o + (pe32_plus ? 0xF0 : 0xE0);
  // The stack and heap sizes take eight bytes each in PE32+, four in PE32.
  const size_t w = pe32_plus ? 8 : 4;
  const struct {
    size_t at;
    int64_t value;
    size_t width;
  } fields[] = {
      {0, 'M' | 'Z' << 8, 2},
      {0x3C, pe, 4},
      {pe, 'P' | 'E' << 8, 4},
      {pe + 4, pe32_plus ? 0x8664 : 0x14C, 2},                             // Machine.
      {pe + 6, 1, 2},                                                      // NumberOfSections.
      {pe + 20, pe32_plus ? 0xF0 : 0xE0, 2},                               // SizeOfOptionalHeader.
      {pe + 22, pe32_plus ? 0x23 : 0x103, 2},                              // Characteristics.
      {o, pe32_plus ? 0x20B : 0x10B, 2},                                   // Magic.
      {o + 4, 0x200, 4},                                                   // SizeOfCode.
      {o + 16, 0x1000, 4},                                                 // AddressOfEntryPoint.
      {o + 20, 0x1000, 4},                                                 // BaseOfCode.
      {o + (pe32_plus ? 24 : 28), pe32_plus ? 0x140000000 : 0x400000, w},  // ImageBase.
      {o + 32, 0x1000, 4},                                                 // SectionAlignment.
      {o + 36, 0x200, 4},                                                  // FileAlignment.
      {o + 40, 6, 2},       // Operating system version 6.0.
      {o + 48, 6, 2},       // Subsystem version 6.0.
      {o + 56, 0x2000, 4},  // SizeOfImage.
      {o + 60, 0x200, 4},   // SizeOfHeaders.
      {o + 68, 3, 2},       // Subsystem: console.
      {o + 70, 0x8100, 2},  // DllCharacteristics.
      {o + 72, 0x100000, w},
      {o + 72 + w, 0x1000, w},
      {o + 72 + 2 * w, 0x100000, w},
      {o + 72 + 3 * w, 0x1000, w},
      {o + 76 + 4 * w, 16, 4},  // NumberOfRvaAndSizes.
      {section, 0x747865742E, 8},
      {section + 8, 0x200, 4},        // VirtualSize.
      {section + 12, 0x1000, 4},      // VirtualAddress.
      {section + 16, 0x200, 4},       // SizeOfRawData.
      {section + 20, 0x200, 4},       // PointerToRawData.
      {section + 36, 0x60000020, 4},  // Code, execute, read.
      {0x200, 0xC3C031, 3},           // xor eax,eax; ret
  };
  for (const auto& field : fields) {
    Put(&image, field.at, field.value, field.width);
  }
  for (size_t i = 0; i < overlay_size; ++i) {
    image.push_back(static_cast<char>((i * 31 + 7) & 0xFF));
  }
  return image;
}

PeOffsets LocatePe(std::string_view image) {
  const size_t optional = Get32(image, 0x3C) + 24;
  const bool pe32_plus = Get32(image, optional) % 0x10000 == 0x20B;
  PeOffsets offsets;
  offsets.checksum = optional + 64;
  offsets.cert_directory = optional + (pe32_plus ? 144 : 128);
  offsets.table_offset = Get32(image, offsets.cert_directory);
  offsets.table_size = Get32(image, offsets.cert_directory + 4);
  return offsets;
}

void SetCertDirectory(std::string* image, uint32_t table_offset, uint32_t table_size) {
  const PeOffsets offsets = LocatePe(*image);
  Put(image, offsets.cert_directory, table_offset, 4);
  Put(image, offsets.cert_directory + 4, table_size, 4);
}

std::string ExtractSignature(std::string_view image) {
  const PeOffsets offsets = LocatePe(image);
  const uint32_t length = offsets.table_size == 0 ? 8 : Get32(image, offsets.table_offset);
  return std::string(image.substr(offsets.table_offset + 8, length - 8));
}

std::vector<std::string> ExtractEntries(std::string_view image) {
  const PeOffsets offsets = LocatePe(image);
  const size_t end = size_t{offsets.table_offset} + offsets.table_size;
  std::vector<std::string> entries;
  for (size_t at = offsets.table_offset; offsets.table_size != 0 && at + 8 <= end;) {
    const uint32_t length = Get32(image, at);
    if (length <= 8 || at + length > end) {
      std::fprintf(stderr, "test PE: bad certificate entry\n");
      std::abort();
    }
    entries.emplace_back(image.substr(at + 8, length - 8));
    at += (size_t{length} + 7) / 8 * 8;
  }
  return entries;
}

std::string CertificateEntry(std::string_view content, uint16_t type) {
  std::string entry(8, '\0');
  Put(&entry, 0, 8 + content.size(), 4);
  Put(&entry, 4, 0x0200 | uint32_t{type} << 16, 4);
  entry += content;
  PadTo8(&entry);
  return entry;
}

std::string AppendToCertificateTable(std::string_view image, std::string_view bytes) {
  const PeOffsets offsets = LocatePe(image);
  std::string result(image);
  result += bytes;
  SetCertDirectory(&result, offsets.table_offset,
                   static_cast<uint32_t>(offsets.table_size + bytes.size()));
  return result;
}

std::string ReplaceSignature(std::string_view image, std::string_view der) {
  const PeOffsets offsets = LocatePe(image);
  std::string result(offsets.table_size != 0 ? image.substr(0, offsets.table_offset) : image);
  PadTo8(&result);
  const std::string entry = CertificateEntry(der);
  const auto table_offset = static_cast<uint32_t>(result.size());
  result += entry;
  SetCertDirectory(&result, table_offset, static_cast<uint32_t>(entry.size()));
  return result;
}

}  // namespace authenticode::test
