// Writes the installers on which the Windows build's trust tests run under Wine (os_win_test):
// signed by an accepted publisher, by another one, unsigned, and signed then changed.  Made with
// the project's test signing code, RSA throughout (Wine verifies no ECDSA certificate signature).
// Run by hand on Linux when the samples need to change; the results are committed:
//
//   make_win_trust_samples os/test_data/win_trust
//
// The keys live only in memory; the certificates are valid for a century.

#include <cstdio>
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

constexpr int kCentury = 36500;
// The image's overlay (hashed, before the signature) that the tampered sample changes.
constexpr size_t kOverlay = 64;

bool Write(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.good() || bytes.empty()) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

authenticode::test::CertOptions Rsa(authenticode::test::CertOptions options) {
  options.rsa_key = true;
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  std::filesystem::create_directories(dir);
  authenticode::test::Signer signer(std::filesystem::temp_directory_path().string());

  const Identity root = CreateIdentity(Rsa(CaOptions("Windows Samples Root", kCentury)), nullptr);
  const Identity publisher = CreateIdentity(
      Rsa(CodeSigningOptions("Halvern Technology (Ostervik) Company Limited", kCentury)), &root);
  const Identity other = CreateIdentity(
      Rsa(CodeSigningOptions("Halvern Technology (Ostervik) Company", kCentury)), &root);

  const std::string image = MinimalPe(true, kOverlay);
  const std::string signed_image = signer.Sign(image, publisher, SignOptions());
  if (signed_image.size() <= image.size()) {
    return 1;
  }
  // One byte of the overlay, which the signature's hash covers.
  std::string tampered = signed_image;
  tampered[image.size() - kOverlay / 2] ^= 0x55;

  bool ok = Write(dir + "/signed.exe", signed_image);
  ok = ok && Write(dir + "/other-publisher.exe", signer.Sign(image, other, SignOptions()));
  ok = ok && Write(dir + "/unsigned.exe", image);
  ok = ok && Write(dir + "/tampered.exe", tampered);
  return ok ? 0 : 1;
}
