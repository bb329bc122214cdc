#include "util/crypto/crypto.h"

#include <gtest/gtest.h>

#include <random>

namespace util::crypto {
namespace {

TEST(CryptoTest, Md5KnownAnswers) {
  EXPECT_EQ(Md5(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5("abc"), "900150983cd24fb0d6963f7d28e17f72");
  // The configuration database is named by this digest.
  EXPECT_EQ(Md5("0_update_process_configuration").size(), 32u);
}

TEST(CryptoTest, StreamingHashEqualsOneShot) {
  std::string data(100000, '\0');
  std::mt19937 random(7);
  for (char& c : data) {
    c = static_cast<char>(random());
  }
  Md5Hasher hasher;
  for (size_t i = 0; i < data.size(); i += 777) {
    hasher.Update(data.data() + i, std::min<size_t>(777, data.size() - i));
  }
  EXPECT_EQ(hasher.Finish(), Md5(data));
  // Finish resets.
  hasher.Update("abc", 3);
  EXPECT_EQ(hasher.Finish(), Md5("abc"));
}

TEST(CryptoTest, Base64KnownAnswersAndRoundTrips) {
  const std::pair<std::string, std::string> known[] = {{"", ""},
                                                       {"f", "Zg=="},
                                                       {"fo", "Zm8="},
                                                       {"foo", "Zm9v"},
                                                       {"update.cgi_url", "dXBkYXRlLmNnaV91cmw="}};
  for (const auto& [plain, encoded] : known) {
    EXPECT_EQ(Encode64(plain), encoded);
    EXPECT_EQ(Decode64(encoded), plain);
  }
  std::string all;
  for (int i = 0; i < 256; ++i) {
    all.push_back(static_cast<char>(i));
  }
  for (size_t n = 0; n <= all.size(); n += 37) {
    EXPECT_EQ(Decode64(Encode64(all.substr(0, n))), all.substr(0, n));
  }
}

TEST(CryptoTest, Base64RejectsMalformedText) {
  for (const char* bad : {"Zg=", "Zm9v!", " Zm9v", "Zm9v ", "Z===", "=Zm9", "Zm=v"}) {
    EXPECT_EQ(Decode64(bad), "") << bad;
  }
}

}  // namespace
}  // namespace util::crypto
