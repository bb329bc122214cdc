#include "authenticode/test/signing.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "authenticode/test/pe_file.h"

namespace authenticode::test {
namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "test signing: %s failed\n", what);
    ERR_print_errors_fp(stderr);
    std::abort();
  }
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

using Pkcs7Ptr = std::unique_ptr<PKCS7, decltype(&PKCS7_free)>;

Pkcs7Ptr DecodeSignature(std::string_view image) {
  const std::string der = ExtractSignature(image);
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  Pkcs7Ptr pkcs7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())), PKCS7_free);
  Check(pkcs7 != nullptr && PKCS7_type_is_signed(pkcs7.get()), "d2i_PKCS7");
  return pkcs7;
}

PKCS7_SIGNER_INFO* PrimarySignerInfo(PKCS7* pkcs7) {
  STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(pkcs7);
  Check(sk_PKCS7_SIGNER_INFO_num(infos) >= 1, "signer info");
  return sk_PKCS7_SIGNER_INFO_value(infos, 0);
}

// |image| with |pkcs7| as its signature.
std::string Reencode(std::string_view image, PKCS7* pkcs7) {
  unsigned char* der = nullptr;
  const int length = i2d_PKCS7(pkcs7, &der);
  Check(length > 0, "i2d_PKCS7");
  std::string bytes(reinterpret_cast<const char*>(der), static_cast<size_t>(length));
  OPENSSL_free(der);
  return ReplaceSignature(image, bytes);
}

// Adds the signed attributes contentType |type| and messageDigest (SHA-256 of |content|) to
// |signer_info| and signs it.
void SignAttributes(PKCS7_SIGNER_INFO* signer_info, ASN1_OBJECT* type, std::string_view content) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  ASN1_OCTET_STRING* message_digest = ASN1_OCTET_STRING_new();
  Check(EVP_Digest(content.data(), content.size(), digest, &digest_length, EVP_sha256(), nullptr) ==
                1 &&
            message_digest != nullptr &&
            ASN1_OCTET_STRING_set(message_digest, digest, static_cast<int>(digest_length)) == 1 &&
            PKCS7_add_signed_attribute(signer_info, NID_pkcs9_contentType, V_ASN1_OBJECT, type) ==
                1 &&
            PKCS7_add_signed_attribute(signer_info, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING,
                                       message_digest) == 1 &&
            PKCS7_SIGNER_INFO_sign(signer_info) == 1,
        "signing the attributes");
}

std::string_view View(const ASN1_STRING* value) {
  return {reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
          static_cast<size_t>(ASN1_STRING_length(value))};
}

}  // namespace

Signer::Signer(const std::string& parent) : directory_(parent + "/authenticode.XXXXXX") {
  Check(mkdtemp(directory_.data()) != nullptr, "mkdtemp");
}

Signer::~Signer() {
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

std::string Signer::WriteFile(const std::string& name, std::string_view bytes) {
  std::string path = directory_ + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  Check(out.good(), "write");
  return path;
}

std::string Signer::Sign(std::string_view image, const Identity& signer,
                         const SignOptions& options) {
  const std::string n = std::to_string(++counter_);
  std::string certs = signer.CertPem();
  for (const Identity* extra : options.chain) {
    certs += extra->CertPem();
  }
  // Every path lies in our own directory and is quoted; the shell only splits and redirects.
  std::string command = "osslsigncode sign -h " + options.digest + " -certs '" +
                        WriteFile("certs" + n + ".pem", certs) + "' -key '" +
                        WriteFile("key" + n + ".pem", signer.KeyPem()) + "'";
  if (const Identity* tsa = options.timestamp_authority; tsa != nullptr) {
    command += " -TSA-certs '" + WriteFile("tsa" + n + ".pem", tsa->CertPem()) + "' -TSA-key '" +
               WriteFile("tsa" + n + ".key", tsa->KeyPem()) + "'";
    if (options.timestamp_time.has_value()) {
      command += " -TSA-time " + std::to_string(*options.timestamp_time);
    }
  }
  const std::string out = directory_ + "/out" + n + ".exe";
  const std::string log = directory_ + "/log" + n + ".txt";
  command += std::string(options.nest ? " -nest" : "") + " -in '" +
             WriteFile("in" + n + ".exe", image) + "' -out '" + out + "' >'" + log + "' 2>&1";
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "osslsigncode failed:\n%s\n", ReadWholeFile(log).c_str());
    return {};
  }
  return ReadWholeFile(out);
}

std::string AddCountersignature(std::string_view image, const Identity& authority,
                                std::time_t when) {
  Pkcs7Ptr pkcs7 = DecodeSignature(image);
  PKCS7_SIGNER_INFO* primary = PrimarySignerInfo(pkcs7.get());
  PKCS7_SIGNER_INFO* counter = PKCS7_SIGNER_INFO_new();
  ASN1_UTCTIME* signing_time = ASN1_UTCTIME_set(nullptr, when);
  Check(counter != nullptr && signing_time != nullptr &&
            PKCS7_SIGNER_INFO_set(counter, authority.cert.get(), authority.key.get(),
                                  EVP_sha256()) == 1 &&
            PKCS7_add_signed_attribute(counter, NID_pkcs9_signingTime, V_ASN1_UTCTIME,
                                       signing_time) == 1,
        "countersignature");
  SignAttributes(counter, OBJ_nid2obj(NID_pkcs7_data), View(primary->enc_digest));

  unsigned char* encoded = nullptr;
  const int encoded_length = i2d_PKCS7_SIGNER_INFO(counter, &encoded);
  PKCS7_SIGNER_INFO_free(counter);
  ASN1_STRING* value = ASN1_STRING_new();
  Check(encoded_length > 0 && value != nullptr &&
            ASN1_STRING_set(value, encoded, encoded_length) == 1 &&
            PKCS7_add_attribute(primary, NID_pkcs9_countersignature, V_ASN1_SEQUENCE, value) == 1 &&
            PKCS7_add_certificate(pkcs7.get(), authority.cert.get()) == 1,
        "adding the countersignature");
  OPENSSL_free(encoded);
  return Reencode(image, pkcs7.get());
}

std::string GraftUnsignedAttributes(std::string_view from, std::string_view to) {
  Pkcs7Ptr source = DecodeSignature(from);
  Pkcs7Ptr target = DecodeSignature(to);
  Check(PKCS7_set_attributes(PrimarySignerInfo(target.get()),
                             PrimarySignerInfo(source.get())->unauth_attr) == 1,
        "copy attributes");
  STACK_OF(X509)* certs = source->d.sign->cert;
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    Check(PKCS7_add_certificate(target.get(), sk_X509_value(certs, i)) == 1, "add certificate");
  }
  return Reencode(to, target.get());
}

std::string DuplicateSignerInfo(std::string_view image) {
  Pkcs7Ptr pkcs7 = DecodeSignature(image);
  auto* copy = static_cast<PKCS7_SIGNER_INFO*>(
      ASN1_item_dup(ASN1_ITEM_rptr(PKCS7_SIGNER_INFO), PrimarySignerInfo(pkcs7.get())));
  Check(copy != nullptr && sk_PKCS7_SIGNER_INFO_push(PKCS7_get_signer_info(pkcs7.get()), copy) > 0,
        "duplicate signer info");
  return Reencode(image, pkcs7.get());
}

}  // namespace authenticode::test
