#include "src/display_name.h"

#include <gtest/gtest.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>
#include <vector>

namespace authenticode::internal {
namespace {

TEST(DisplayNameTest, FollowsTheSimpleDisplayRule) {
  constexpr int kUtf8 = MBSTRING_UTF8;
  struct Attribute {
    const char* field;
    int type;  // MBSTRING_UTF8 for UTF-8 input; V_ASN1_* to store the bytes as that type.
    std::string value;
  };
  // "Ö名" as UTF-16BE, stored as a BMPString the way some Windows tools write names.
  const std::string bmp("\x00\xD6\x54\x0D", 4);
  const struct {
    const char* name;
    std::vector<Attribute> subject;
    const char* alternative_names;
    std::string expected;
  } cases[] = {
      {"common name wins wherever it stands",
       {{"O", kUtf8, "Org"}, {"OU", kUtf8, "Unit"}, {"CN", kUtf8, "Signer"}},
       "email:alt@example.com",
       "Signer"},
      {"first of two common names", {{"CN", kUtf8, "First"}, {"CN", kUtf8, "Second"}}, "", "First"},
      {"unit before organisation", {{"O", kUtf8, "Org"}, {"OU", kUtf8, "Unit"}}, "", "Unit"},
      {"organisation before e-mail",
       {{"emailAddress", kUtf8, "a@x.com"}, {"O", kUtf8, "Org"}},
       "",
       "Org"},
      {"e-mail attribute", {{"C", kUtf8, "SE"}, {"emailAddress", kUtf8, "a@x.com"}}, "", "a@x.com"},
      {"rfc822 alternative name",
       {{"C", kUtf8, "SE"}},
       "DNS:halvern.example,email:alt@example.com,email:second@example.com",
       "alt@example.com"},
      {"other attributes only", {{"L", kUtf8, "Ostervik"}}, "DNS:halvern.example", ""},
      {"empty common name wins", {{"CN", V_ASN1_UTF8STRING, ""}, {"O", kUtf8, "Org"}}, "", ""},
      {"BMPString", {{"CN", V_ASN1_BMPSTRING, bmp}}, "", "\xC3\x96\xE5\x90\x8D"},
      {"embedded NUL kept",
       {{"CN", V_ASN1_UTF8STRING, std::string("ab\0cd", 5)}},
       "",
       std::string("ab\0cd", 5)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Never signed: the name is all that is read.
    const std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    for (const Attribute& a : c.subject) {
      ASSERT_EQ(X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), a.field, a.type,
                                           reinterpret_cast<const unsigned char*>(a.value.data()),
                                           static_cast<int>(a.value.size()), -1, 0),
                1);
    }
    if (*c.alternative_names != '\0') {
      X509_EXTENSION* extension =
          X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, c.alternative_names);
      EXPECT_EQ(X509_add_ext(cert.get(), extension, -1), 1);
      X509_EXTENSION_free(extension);
    }
    EXPECT_EQ(SimpleDisplayName(cert.get()), c.expected);
  }
}

}  // namespace
}  // namespace authenticode::internal
