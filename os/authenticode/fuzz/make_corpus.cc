// Writes the fuzz target's seed corpus: signed and unsigned minimal installers covering the
// verifier's paths, and the PEM root they chain to. Run by hand when the seeds need to change:
//
//   authenticode_make_corpus os/authenticode/fuzz/corpus os/authenticode/fuzz/corpus-roots.pem
//
// The keys live only in memory; the certificates are valid for a century, and the "expired"
// seeds expired before their timestamps' time, so the seeds keep their meaning.

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "authenticode/test/pe_file.h"
#include "authenticode/test/pki.h"
#include "authenticode/test/signing.h"

namespace {

using authenticode::test::CaOptions;
using authenticode::test::CodeSigningOptions;
using authenticode::test::CreateIdentity;
using authenticode::test::Identity;
using authenticode::test::MinimalPe;
using authenticode::test::SignOptions;
using authenticode::test::TimeStampingOptions;

constexpr int kCentury = 36500;
constexpr std::time_t kDay = 86400;

bool Write(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.good() || bytes.empty()) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR ROOTS_PEM\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  std::filesystem::create_directories(dir);
  authenticode::test::Signer signer(std::filesystem::temp_directory_path().string());
  const std::time_t now = std::time(nullptr);

  const Identity root = CreateIdentity(CaOptions("Fuzz Corpus Root", kCentury), nullptr);
  const Identity intermediate = CreateIdentity(CaOptions("Fuzz Corpus CA", kCentury), &root);
  const Identity leaf = CreateIdentity(
      CodeSigningOptions("Halvern Technology (Ostervik) Company Limited", kCentury), &root);
  const Identity deep_leaf =
      CreateIdentity(CodeSigningOptions("Deep Signer", kCentury), &intermediate);
  const Identity tsa = CreateIdentity(TimeStampingOptions("Fuzz Corpus TSA", kCentury), &root);
  auto expired_options = CodeSigningOptions("Expired Signer");
  expired_options.not_before = now - 400 * kDay;
  expired_options.not_after = now - 30 * kDay;
  const Identity expired = CreateIdentity(expired_options, &root);
  auto server_options = CodeSigningOptions("Server Only", kCentury);
  server_options.extended_key_usage = {"serverAuth"};
  const Identity server = CreateIdentity(server_options, &root);

  SignOptions plain;
  SignOptions chained;
  chained.chain = {&intermediate};
  SignOptions sha1;
  sha1.digest = "sha1";
  SignOptions stamped;
  stamped.timestamp_authority = &tsa;
  stamped.timestamp_time = now - 100 * kDay;
  SignOptions nest;
  nest.nest = true;

  const std::string signed_image = signer.Sign(MinimalPe(true, 40), leaf, plain);
  const std::string expired_image = signer.Sign(MinimalPe(), expired, plain);
  bool ok = !signed_image.empty() && !expired_image.empty();
  ok = ok && Write(dir + "/unsigned.exe", MinimalPe());
  ok = ok && Write(dir + "/signed.exe", signed_image);
  ok = ok && Write(dir + "/intermediate.exe", signer.Sign(MinimalPe(), deep_leaf, chained));
  ok = ok && Write(dir + "/pe32-sha1.exe", signer.Sign(MinimalPe(false), leaf, sha1));
  const std::string stamped_image = signer.Sign(MinimalPe(), expired, stamped);
  ok = ok && Write(dir + "/expired-rfc3161.exe", stamped_image);
  ok = ok && Write(dir + "/expired-countersigned.exe",
                   authenticode::test::AddCountersignature(expired_image, tsa, now - 100 * kDay));
  ok = ok && Write(dir + "/nested.exe", signer.Sign(signed_image, deep_leaf, nest));
  ok = ok && Write(dir + "/two-signers.exe", authenticode::test::DuplicateSignerInfo(signed_image));
  // A second certificate-table entry, as real files carry.
  ok = ok && Write(dir + "/two-entries.exe",
                   authenticode::test::AppendToCertificateTable(
                       signed_image, authenticode::test::CertificateEntry(
                                         authenticode::test::ExtractSignature(stamped_image))));
  ok = ok && Write(dir + "/server-only.exe", signer.Sign(MinimalPe(), server, plain));
  ok = ok && Write(argv[2], root.CertPem());
  return ok ? 0 : 1;
}
