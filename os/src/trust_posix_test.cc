#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "authenticode/test/pe_file.h"
#include "authenticode/test/pki.h"
#include "authenticode/test/signing.h"
#include "base/test/file_contents.h"
#include "os/installer_file.h"
#include "os/posix/environment.h"
#include "os/shell.h"
#include "os/trust.h"
#include "os/utf.h"

namespace os {
namespace {

namespace fs = std::filesystem;
using authenticode::test::CaOptions;
using authenticode::test::CodeSigningOptions;
using authenticode::test::CreateIdentity;
using authenticode::test::Identity;
using authenticode::test::MinimalPe;
using base::test::ReadFileToString;

constexpr char kAcceptedName[] = "Halvern Technology(Ostervik) Company Limited";

// The signer name of the file at |path|, opened as an installer is.
std::wstring SignerOf(const std::wstring& path) {
  return GetVerifiedSignerName(InstallerFile::Open(path));
}

// Each test gets its own system root and system store; the environment is set in SetUp, before
// any thread starts.
class TrustPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir() + "/system/trust");
    ASSERT_EQ(setenv("TAVORI_SYSTEM_ROOT", (dir() + "/system").c_str(), 1), 0);
    // The system's default store, for when the bundle is absent: empty unless a test fills it.
    ASSERT_EQ(setenv("SSL_CERT_FILE", signer_.WriteFile("system-store.pem", "").c_str(), 1), 0);
    ASSERT_EQ(setenv("SSL_CERT_DIR", (dir() + "/no-such-dir").c_str(), 1), 0);
  }

  const std::string& dir() const { return signer_.directory(); }
  // Replaces the bundle whole, as an administrator's tool would.
  void WriteBundle(const std::string& pem) {
    fs::rename(signer_.WriteFile("bundle.pem", pem),
               posix::SystemPath(posix::kTrustBundleRelativePath));
  }
  std::string SignedImage(const std::string& name, const Identity& issuer) {
    std::string image =
        signer_.Sign(MinimalPe(), CreateIdentity(CodeSigningOptions(name), &issuer), {});
    EXPECT_FALSE(image.empty());
    return image;
  }
  // Signs a minimal installer with a leaf under |issuer| named |name| and stores it as |file|.
  std::wstring SignedFile(const std::string& file, const std::string& name,
                          const Identity& issuer) {
    return Utf8ToWide(signer_.WriteFile(file, SignedImage(name, issuer)));
  }

  authenticode::test::Signer signer_{::testing::TempDir()};
  const Identity root_ = CreateIdentity(CaOptions("Maker Code Signing Root"), nullptr);
  const Identity other_root_ = CreateIdentity(CaOptions("Other Root"), nullptr);
};

// The name, cut as CertGetNameString cuts it, of validly signed files only.  The kinds of bad
// signature are the Authenticode component's tables.
TEST_F(TrustPosixTest, NameOnlyForValidlySignedFilesCutLikeCertGetNameString) {
  WriteBundle(root_.CertPem());
  std::string tampered = SignedImage(kAcceptedName, root_);
  tampered[0x201] ^= 1;
  const std::string emoji = "\xF0\x9F\x98\x80";  // U+1F600: two UTF-16 code units.
  const struct {
    const char* name;
    std::wstring path;
    std::wstring expected;
  } cases[] = {
      {"accepted name", SignedFile("accepted.exe", kAcceptedName, root_),
       Utf8ToWide(kAcceptedName)},
      {"untrusted root", SignedFile("foreign.exe", kAcceptedName, other_root_), L""},
      {"tampered", Utf8ToWide(signer_.WriteFile("tampered.exe", tampered)), L""},
      {"missing", Utf8ToWide(dir() + "/missing.exe"), L""},
      {"cut at 398 units", SignedFile("b.exe", std::string(399, 'b'), root_),
       std::wstring(398, L'b')},
      {"surrogate pair that straddles the end",
       SignedFile("d.exe", std::string(397, 'd') + emoji, root_), std::wstring(397, L'd')},
      {"embedded NUL ends the name",
       SignedFile("e.exe", std::string("Halvern\0 Technology", 19), root_), L"Halvern"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SignerOf(c.path), c.expected) << c.name;
  }
}

TEST_F(TrustPosixTest, AnchorsAreTheBundleWhenPresentElseTheSystemStore) {
  const std::wstring file = SignedFile("installer.exe", kAcceptedName, root_);
  const std::wstring name = Utf8ToWide(kAcceptedName);
  // The system store trusts the root; the bundle, when present, replaces it and is read on every
  // call.  The kinds of broken or missing bundle are the Authenticode component's TrustStore table.
  signer_.WriteFile("system-store.pem", root_.CertPem());
  EXPECT_EQ(SignerOf(file), name) << "no bundle: the system store";
  WriteBundle(other_root_.CertPem());
  EXPECT_EQ(SignerOf(file), L"") << "a bundle without the root";
  WriteBundle(other_root_.CertPem() + root_.CertPem());
  EXPECT_EQ(SignerOf(file), name) << "a bundle with the root";
  WriteBundle("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n");
  EXPECT_EQ(SignerOf(file), L"") << "a broken bundle trusts nothing";
}

// What was opened is what is checked and started: an unsigned script written into the
// installer's file afterwards changes neither.  (A script renamed over the installer's name is
// the library's install test.)
TEST_F(TrustPosixTest, FileChangedAfterOpeningIsStillTheOneCheckedAndStarted) {
  WriteBundle(root_.CertPem());
  // A `wine` that copies the image it is given, through the path it gets, to <dir>/started.
  fs::create_directory(dir() + "/bin");
  const std::string started = dir() + "/started";
  fs::permissions(
      signer_.WriteFile("bin/wine", "#!/bin/sh\ncat \"$1\" > '" + started + ".tmp' && mv '" +
                                        started + ".tmp' '" + started + "'\n"),
      static_cast<fs::perms>(0755));
  ASSERT_EQ(setenv("PATH", (dir() + "/bin:/usr/bin:/bin").c_str(), 1), 0);
  const std::string script = "#!/bin/sh\ntouch '" + dir() + "/script-ran'\n";
  const std::wstring path = SignedFile("setup.exe", kAcceptedName, root_);
  const std::string signed_image = ReadFileToString(WideToUtf8(path));
  const InstallerFile opened = InstallerFile::Open(path);
  ASSERT_TRUE(opened.is_open());
  signer_.WriteFile("setup.exe", script);  // truncates and writes the same file
  fs::permissions(WideToUtf8(path), static_cast<fs::perms>(0755));
  EXPECT_EQ(SignerOf(path), L"") << "the name now holds the unsigned script";
  EXPECT_EQ(GetVerifiedSignerName(opened), Utf8ToWide(kAcceptedName));
  ASSERT_EQ(ShellExecute(opened, L"/S"), kShellStarted);
  // Polling for the file the program makes, up to a deadline: it is not ours to wait for.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!fs::exists(started) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(ReadFileToString(started), signed_image) << "wine was not given the opened image";
  EXPECT_FALSE(fs::exists(dir() + "/script-ran"));
}

}  // namespace
}  // namespace os
