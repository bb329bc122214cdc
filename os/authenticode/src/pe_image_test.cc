#include "src/pe_image.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "authenticode/test/pe_file.h"
#include "src/byte_source.h"

namespace authenticode::internal {
namespace {

void Put16(std::string* image, size_t at, uint16_t value) {
  (*image)[at] = static_cast<char>(value & 0xFF);
  (*image)[at + 1] = static_cast<char>(value >> 8);
}

void Put32(std::string* image, size_t at, uint32_t value) {
  Put16(image, at, static_cast<uint16_t>(value));
  Put16(image, at + 2, static_cast<uint16_t>(value >> 16));
}

// MinimalPe() puts the PE header at 0x40 and the optional header 24 bytes later.
constexpr size_t kPe = 0x40;
constexpr size_t kOptionalSizeField = kPe + 20;
constexpr size_t kOptional = kPe + 24;

TEST(PeImageTest, HeadersAreCheckedBeforeUse) {
  struct Case {
    const char* name;
    void (*edit)(std::string*);
    Status expected;
  } cases[] = {
      {"PE header offset far beyond the file", [](std::string* i) { Put32(i, 0x3C, 0xFFFFFFF0); },
       Status::kNotPe},
      {"PE header at the very end",
       [](std::string* i) { Put32(i, 0x3C, static_cast<uint32_t>(i->size() - 10)); },
       Status::kNotPe},
      {"PE header on top of the DOS header", [](std::string* i) { Put32(i, 0x3C, 0); },
       Status::kNotPe},
      {"bad PE signature", [](std::string* i) { (*i)[kPe + 3] = 1; }, Status::kNotPe},
      {"no optional header", [](std::string* i) { Put16(i, kOptionalSizeField, 0); },
       Status::kNotPe},
      {"optional header ends before the directory count",
       [](std::string* i) { Put16(i, kOptionalSizeField, 0x60); }, Status::kNotPe},
      {"optional header ends inside the directories",
       [](std::string* i) { Put16(i, kOptionalSizeField, 0x90); }, Status::kNotPe},
      {"optional header beyond the file",
       [](std::string* i) { Put16(i, kOptionalSizeField, 0xFFFF); }, Status::kNotPe},
      {"ROM image magic", [](std::string* i) { Put16(i, kOptional, 0x107); }, Status::kNotPe},
      {"four data directories", [](std::string* i) { Put32(i, kOptional + 108, 4); },
       Status::kNoSignature},
      {"four directories in a short header",
       [](std::string* i) {
         Put32(i, kOptional + 108, 4);
         Put16(i, kOptionalSizeField, 0x70);
       },
       Status::kNoSignature},
      {"directory count wraps", [](std::string* i) { Put32(i, kOptional + 108, 0xFFFFFFFF); },
       Status::kNoSignature},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string image = test::MinimalPe(true, 64);
    c.edit(&image);
    const MemoryByteSource source(image);
    PeLayout layout;
    VerifyResult result = ParsePeLayout(source, &layout);
    if (result.ok()) {
      std::vector<uint8_t> der;
      result = ReadPrimarySignature(source, layout, &der);
    }
    EXPECT_EQ(result.status, c.expected) << result.detail;
  }
}

TEST(PeImageTest, FileThatShrinksWhileHashedIsUnreadable) {
  const std::string image = test::MinimalPe(true, 200000);
  char path[] = "/tmp/pe_image_test.XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  unlink(path);
  ASSERT_EQ(write(fd, image.data(), image.size()), static_cast<ssize_t>(image.size()));

  // The size was taken before the file was cut short.
  const DescriptorByteSource source(fd, image.size());
  PeLayout layout;
  ASSERT_TRUE(ParsePeLayout(source, &layout).ok());
  ASSERT_EQ(ftruncate(fd, 100000), 0);
  std::vector<uint8_t> digest;
  const VerifyResult result = HashImage(source, layout, EVP_sha256(), &digest);
  EXPECT_EQ(result.status, Status::kFileUnreadable) << result.detail;
  close(fd);
}

}  // namespace
}  // namespace authenticode::internal
