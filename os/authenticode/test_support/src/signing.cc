#include "authenticode/test/signing.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "authenticode/test/pe_file.h"

namespace authenticode::test {
namespace {

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "test signing: %s failed\n", what);
  ERR_print_errors_fp(stderr);
  std::abort();
}

void Check(bool ok, const char* what) {
  if (!ok) {
    Die(what);
  }
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs |args| (found on PATH) with output to |log|; true when it exits with 0.
bool Run(const std::vector<std::string>& args, const std::string& log) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    std::fprintf(stderr, "cannot start %s: error %d\n", argv[0], spawned);
    return false;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      return false;
    }
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Pkcs7Deleter {
  void operator()(PKCS7* p) const { PKCS7_free(p); }
};
using Pkcs7Ptr = std::unique_ptr<PKCS7, Pkcs7Deleter>;

Pkcs7Ptr DecodeSignature(std::string_view image) {
  const std::string der = ExtractSignature(image);
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  Pkcs7Ptr pkcs7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
  Check(pkcs7 != nullptr && PKCS7_type_is_signed(pkcs7.get()), "d2i_PKCS7");
  return pkcs7;
}

PKCS7_SIGNER_INFO* PrimarySignerInfo(PKCS7* pkcs7) {
  STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(pkcs7);
  Check(sk_PKCS7_SIGNER_INFO_num(infos) >= 1, "signer info");
  return sk_PKCS7_SIGNER_INFO_value(infos, 0);
}

std::string Encode(PKCS7* pkcs7) {
  unsigned char* der = nullptr;
  const int length = i2d_PKCS7(pkcs7, &der);
  Check(length > 0, "i2d_PKCS7");
  std::string bytes(reinterpret_cast<const char*>(der), static_cast<size_t>(length));
  OPENSSL_free(der);
  return bytes;
}

}  // namespace

Signer::Signer(const std::string& parent) {
  std::string pattern = parent + "/authenticode.XXXXXX";
  Check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
  directory_ = pattern;
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
  std::vector<std::string> args = {
      "osslsigncode", "sign",
      "-certs",       WriteFile("certs" + n + ".pem", certs),
      "-key",         WriteFile("key" + n + ".pem", signer.KeyPem()),
      "-h",           options.digest,
  };
  if (options.timestamp_authority != nullptr) {
    args.insert(
        args.end(),
        {"-TSA-certs", WriteFile("tsa" + n + ".pem", options.timestamp_authority->CertPem()),
         "-TSA-key", WriteFile("tsa" + n + ".key", options.timestamp_authority->KeyPem())});
    if (options.timestamp_time.has_value()) {
      args.insert(args.end(), {"-TSA-time", std::to_string(*options.timestamp_time)});
    }
  }
  if (options.nest) {
    args.emplace_back("-nest");
  }
  const std::string out = directory_ + "/out" + n + ".exe";
  const std::string log = directory_ + "/log" + n + ".txt";
  args.insert(args.end(), {"-in", WriteFile("in" + n + ".exe", image), "-out", out});
  if (!Run(args, log)) {
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
  Check(counter != nullptr && PKCS7_SIGNER_INFO_set(counter, authority.cert.get(),
                                                    authority.key.get(), EVP_sha256()) == 1,
        "PKCS7_SIGNER_INFO_set");
  Check(PKCS7_add_signed_attribute(counter, NID_pkcs9_contentType, V_ASN1_OBJECT,
                                   OBJ_nid2obj(NID_pkcs7_data)) == 1,
        "contentType");
  ASN1_UTCTIME* signing_time = ASN1_UTCTIME_set(nullptr, when);
  Check(signing_time != nullptr && PKCS7_add_signed_attribute(counter, NID_pkcs9_signingTime,
                                                              V_ASN1_UTCTIME, signing_time) == 1,
        "signingTime");
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  Check(EVP_Digest(primary->enc_digest->data, static_cast<size_t>(primary->enc_digest->length),
                   digest, &digest_length, EVP_sha256(), nullptr) == 1,
        "digest");
  ASN1_OCTET_STRING* message_digest = ASN1_OCTET_STRING_new();
  Check(message_digest != nullptr &&
            ASN1_OCTET_STRING_set(message_digest, digest, static_cast<int>(digest_length)) == 1 &&
            PKCS7_add_signed_attribute(counter, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING,
                                       message_digest) == 1,
        "messageDigest");
  Check(PKCS7_SIGNER_INFO_sign(counter) == 1, "PKCS7_SIGNER_INFO_sign");

  unsigned char* encoded = nullptr;
  const int encoded_length = i2d_PKCS7_SIGNER_INFO(counter, &encoded);
  PKCS7_SIGNER_INFO_free(counter);
  Check(encoded_length > 0, "i2d_PKCS7_SIGNER_INFO");
  ASN1_STRING* value = ASN1_STRING_new();
  Check(value != nullptr && ASN1_STRING_set(value, encoded, encoded_length) == 1, "value");
  OPENSSL_free(encoded);
  Check(PKCS7_add_attribute(primary, NID_pkcs9_countersignature, V_ASN1_SEQUENCE, value) == 1,
        "PKCS7_add_attribute");
  Check(PKCS7_add_certificate(pkcs7.get(), authority.cert.get()) == 1, "PKCS7_add_certificate");
  return ReplaceSignature(image, Encode(pkcs7.get()));
}

std::string GraftUnsignedAttributes(std::string_view from, std::string_view to) {
  Pkcs7Ptr source = DecodeSignature(from);
  Pkcs7Ptr target = DecodeSignature(to);
  PKCS7_SIGNER_INFO* source_signer = PrimarySignerInfo(source.get());
  PKCS7_SIGNER_INFO* target_signer = PrimarySignerInfo(target.get());
  Check(PKCS7_set_attributes(target_signer, source_signer->unauth_attr) == 1, "copy attributes");
  STACK_OF(X509)* certs = source->d.sign->cert;
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    Check(PKCS7_add_certificate(target.get(), sk_X509_value(certs, i)) == 1, "add certificate");
  }
  return ReplaceSignature(to, Encode(target.get()));
}

std::string IndirectDataContent(std::string_view image) {
  Pkcs7Ptr pkcs7 = DecodeSignature(image);
  const ASN1_TYPE* content = pkcs7->d.sign->contents->d.other;
  Check(content != nullptr && content->type == V_ASN1_SEQUENCE, "SpcIndirectDataContent");
  return std::string(reinterpret_cast<const char*>(content->value.sequence->data),
                     static_cast<size_t>(content->value.sequence->length));
}

std::string SignIndirectData(std::string_view image, const Identity& signer,
                             std::string_view content) {
  constexpr char kSpcIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";
  Pkcs7Ptr pkcs7(PKCS7_new());
  Check(pkcs7 != nullptr && PKCS7_set_type(pkcs7.get(), NID_pkcs7_signed) == 1, "PKCS7_new");
  PKCS7_SIGNER_INFO* signer_info =
      PKCS7_add_signature(pkcs7.get(), signer.cert.get(), signer.key.get(), EVP_sha256());
  Check(signer_info != nullptr && PKCS7_add_certificate(pkcs7.get(), signer.cert.get()) == 1,
        "PKCS7_add_signature");

  PKCS7* inner = PKCS7_new();
  ASN1_TYPE* any = ASN1_TYPE_new();
  ASN1_STRING* sequence = ASN1_STRING_type_new(V_ASN1_SEQUENCE);
  Check(inner != nullptr && any != nullptr && sequence != nullptr &&
            ASN1_STRING_set(sequence, content.data(), static_cast<int>(content.size())) == 1,
        "content");
  ASN1_TYPE_set(any, V_ASN1_SEQUENCE, sequence);
  inner->type = OBJ_txt2obj(kSpcIndirectDataOid, 1);
  inner->d.other = any;
  Check(PKCS7_set_content(pkcs7.get(), inner) == 1, "PKCS7_set_content");

  std::string_view signed_part = content;
  const auto* p = reinterpret_cast<const unsigned char*>(content.data());
  long length = 0;
  int tag = 0;
  int tag_class = 0;
  const int flags =
      ASN1_get_object(&p, &length, &tag, &tag_class, static_cast<long>(content.size()));
  if ((flags & 0x80) == 0 && (flags & 0x01) == 0) {
    signed_part = std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(length));
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  Check(EVP_Digest(signed_part.data(), signed_part.size(), digest, &digest_length, EVP_sha256(),
                   nullptr) == 1,
        "digest");
  ASN1_OCTET_STRING* message_digest = ASN1_OCTET_STRING_new();
  Check(message_digest != nullptr &&
            ASN1_OCTET_STRING_set(message_digest, digest, static_cast<int>(digest_length)) == 1,
        "messageDigest");
  Check(PKCS7_add_signed_attribute(signer_info, NID_pkcs9_contentType, V_ASN1_OBJECT,
                                   OBJ_txt2obj(kSpcIndirectDataOid, 1)) == 1 &&
            PKCS7_add_signed_attribute(signer_info, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING,
                                       message_digest) == 1 &&
            PKCS7_SIGNER_INFO_sign(signer_info) == 1,
        "sign");
  return ReplaceSignature(image, Encode(pkcs7.get()));
}

std::string DuplicateSignerInfo(std::string_view image) {
  Pkcs7Ptr pkcs7 = DecodeSignature(image);
  auto* copy = static_cast<PKCS7_SIGNER_INFO*>(
      ASN1_item_dup(ASN1_ITEM_rptr(PKCS7_SIGNER_INFO), PrimarySignerInfo(pkcs7.get())));
  Check(copy != nullptr && sk_PKCS7_SIGNER_INFO_push(PKCS7_get_signer_info(pkcs7.get()), copy) > 0,
        "duplicate signer info");
  return ReplaceSignature(image, Encode(pkcs7.get()));
}

std::string SignatureValue(std::string_view image) {
  Pkcs7Ptr pkcs7 = DecodeSignature(image);
  const ASN1_OCTET_STRING* value = PrimarySignerInfo(pkcs7.get())->enc_digest;
  return std::string(reinterpret_cast<const char*>(value->data),
                     static_cast<size_t>(value->length));
}

}  // namespace authenticode::test
