#include "authenticode/test/pe_file.h"

#include <cstdio>
#include <cstdlib>

namespace authenticode::test {
namespace {

constexpr size_t kImageSize = 1024;
constexpr size_t kPeOffset = 0x40;
constexpr size_t kOptionalOffset = kPeOffset + 24;

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "test PE: %s\n", what);
  std::abort();
}

void Put16(std::string* image, size_t at, uint16_t value) {
  (*image)[at] = static_cast<char>(value & 0xFF);
  (*image)[at + 1] = static_cast<char>(value >> 8);
}

void Put32(std::string* image, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    (*image)[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  }
}

void Put64(std::string* image, size_t at, uint64_t value) {
  Put32(image, at, static_cast<uint32_t>(value));
  Put32(image, at + 4, static_cast<uint32_t>(value >> 32));
}

uint32_t Get32(std::string_view image, size_t at) {
  if (at + 4 > image.size()) {
    Die("read beyond the image");
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
  image[0] = 'M';
  image[1] = 'Z';
  Put32(&image, 0x3C, kPeOffset);
  image.replace(kPeOffset, 4, std::string_view("PE\0\0", 4));
  const uint16_t optional_size = pe32_plus ? 0xF0 : 0xE0;
  Put16(&image, kPeOffset + 4, pe32_plus ? 0x8664 : 0x14C);  // Machine.
  Put16(&image, kPeOffset + 6, 1);                           // NumberOfSections.
  Put16(&image, kPeOffset + 20, optional_size);
  Put16(&image, kPeOffset + 22, pe32_plus ? 0x23 : 0x103);  // Characteristics.

  const size_t o = kOptionalOffset;
  Put16(&image, o, pe32_plus ? 0x20B : 0x10B);
  Put32(&image, o + 4, 0x200);    // SizeOfCode.
  Put32(&image, o + 16, 0x1000);  // AddressOfEntryPoint.
  Put32(&image, o + 20, 0x1000);  // BaseOfCode.
  if (pe32_plus) {
    Put64(&image, o + 24, 0x140000000);
  } else {
    Put32(&image, o + 28, 0x400000);
  }
  Put32(&image, o + 32, 0x1000);  // SectionAlignment.
  Put32(&image, o + 36, 0x200);   // FileAlignment.
  Put16(&image, o + 40, 6);       // Operating system version 6.0.
  Put16(&image, o + 48, 6);       // Subsystem version 6.0.
  Put32(&image, o + 56, 0x2000);  // SizeOfImage.
  Put32(&image, o + 60, 0x200);   // SizeOfHeaders.
  Put16(&image, o + 68, 3);       // Subsystem: console.
  Put16(&image, o + 70, 0x8100);  // DllCharacteristics.
  if (pe32_plus) {
    Put64(&image, o + 72, 0x100000);
    Put64(&image, o + 80, 0x1000);
    Put64(&image, o + 88, 0x100000);
    Put64(&image, o + 96, 0x1000);
    Put32(&image, o + 108, 16);
  } else {
    Put32(&image, o + 72, 0x100000);
    Put32(&image, o + 76, 0x1000);
    Put32(&image, o + 80, 0x100000);
    Put32(&image, o + 84, 0x1000);
    Put32(&image, o + 92, 16);
  }

  const size_t section = o + optional_size;
  image.replace(section, 8, std::string_view(".text\0\0\0", 8));
  Put32(&image, section + 8, 0x200);        // VirtualSize.
  Put32(&image, section + 12, 0x1000);      // VirtualAddress.
  Put32(&image, section + 16, 0x200);       // SizeOfRawData.
  Put32(&image, section + 20, 0x200);       // PointerToRawData.
  Put32(&image, section + 36, 0x60000020);  // Code, execute, read.
  image[0x200] = '\x31';
  image[0x201] = '\xC0';
  image[0x202] = '\xC3';

  for (size_t i = 0; i < overlay_size; ++i) {
    image.push_back(static_cast<char>((i * 31 + 7) & 0xFF));
  }
  return image;
}

PeOffsets LocatePe(std::string_view image) {
  const size_t nt = Get32(image, 0x3C);
  const size_t optional = nt + 24;
  if (image.substr(nt, 4) != std::string_view("PE\0\0", 4)) {
    Die("no PE signature");
  }
  const bool pe32_plus = static_cast<uint8_t>(image[optional + 1]) == 0x02;
  PeOffsets offsets;
  offsets.checksum = optional + 64;
  offsets.cert_directory = optional + (pe32_plus ? 144 : 128);
  offsets.table_offset = Get32(image, offsets.cert_directory);
  offsets.table_size = Get32(image, offsets.cert_directory + 4);
  return offsets;
}

void SetCertDirectory(std::string* image, uint32_t table_offset, uint32_t table_size) {
  const PeOffsets offsets = LocatePe(*image);
  Put32(image, offsets.cert_directory, table_offset);
  Put32(image, offsets.cert_directory + 4, table_size);
}

std::string ExtractSignature(std::string_view image) {
  const PeOffsets offsets = LocatePe(image);
  if (offsets.table_size == 0) {
    return {};
  }
  const uint32_t length = Get32(image, offsets.table_offset);
  if (length < 8 || length > offsets.table_size) {
    Die("bad certificate entry");
  }
  return std::string(image.substr(offsets.table_offset + 8, length - 8));
}

std::string ReplaceSignature(std::string_view image, std::string_view der) {
  const PeOffsets offsets = LocatePe(image);
  std::string result(offsets.table_size != 0 ? image.substr(0, offsets.table_offset) : image);
  PadTo8(&result);
  std::string entry(8, '\0');
  Put32(&entry, 0, static_cast<uint32_t>(8 + der.size()));
  Put16(&entry, 4, 0x0200);
  Put16(&entry, 6, 0x0002);
  entry += der;
  PadTo8(&entry);
  const auto table_offset = static_cast<uint32_t>(result.size());
  result += entry;
  SetCertDirectory(&result, table_offset, static_cast<uint32_t>(entry.size()));
  return result;
}

size_t FindOnce(std::string_view haystack, std::string_view needle) {
  const size_t at = haystack.find(needle);
  if (needle.empty() || at == std::string_view::npos) {
    Die("bytes not found");
  }
  return at;
}

}  // namespace authenticode::test
