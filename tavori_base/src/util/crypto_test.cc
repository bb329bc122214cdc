#include "util/crypto/crypto.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "base/test/file_contents.h"

namespace util::crypto {
namespace {

TEST(CryptoTest, Md5KnownAnswersStreamingAndDigestText) {
  EXPECT_EQ(Md5("abc"), "900150983cd24fb0d6963f7d28e17f72");
  const std::string data = base::test::RandomBytes(100000, 7);
  Md5Hasher hasher;
  for (size_t i = 0; i < data.size(); i += 777) {
    hasher.Update(data.data() + i, std::min<size_t>(777, data.size() - i));
  }
  EXPECT_EQ(hasher.Finish(), Md5(data));
  EXPECT_EQ(hasher.Finish(), "d41d8cd98f00b204e9800998ecf8427e");  // Finish reset the hasher
  for (const auto& [text, is_md5] : std::initializer_list<std::pair<const char*, bool>>{
           {"d41d8cd98f00b204e9800998ecf8427e", true},
           {"D41D8CD98F00B204E9800998ECF8427E", true},
           {"", false},
           {"d41d8cd98f00b204e9800998ecf8427", false},
           {"d41d8cd98f00b204e9800998ecf8427e0", false},
           {"g41d8cd98f00b204e9800998ecf8427e", false},
           {" 41d8cd98f00b204e9800998ecf8427e", false}}) {
    EXPECT_EQ(IsMd5Text(text), is_md5) << text;
  }
}

TEST(CryptoTest, Base64KnownAnswersRoundTripsAndMalformedText) {
  const std::pair<std::string, std::string> known[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"update.cgi_url", "dXBkYXRlLmNnaV91cmw="}};
  for (const auto& [plain, encoded] : known) {
    EXPECT_EQ(Encode64(plain), encoded);
    EXPECT_EQ(Decode64(encoded), plain);
  }
  const std::string all = base::test::RandomBytes(300, 3);
  for (size_t n = 0; n <= all.size(); n += 37) {
    EXPECT_EQ(Decode64(Encode64(all.substr(0, n))), all.substr(0, n));
  }
  for (const char* bad : {"Zg=", "Zm9v!", " Zm9v", "Zm9v ", "Z===", "=Zm9", "Zm=v"}) {
    EXPECT_EQ(Decode64(bad), "") << bad;
  }
}

}  // namespace
}  // namespace util::crypto
