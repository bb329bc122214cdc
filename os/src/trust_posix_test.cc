#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "authenticode/test/pe_file.h"
#include "authenticode/test/pki.h"
#include "authenticode/test/signing.h"
#include "os/installer_file.h"
#include "os/posix/environment.h"
#include "os/shell.h"
#include "os/trust.h"
#include "os/utf.h"

namespace os {
namespace {

using authenticode::test::CaOptions;
using authenticode::test::CodeSigningOptions;
using authenticode::test::CreateIdentity;
using authenticode::test::Identity;
using authenticode::test::MinimalPe;

constexpr char kAcceptedName[] = "Halvern Technology(Ostervik) Company Limited";
constexpr char kAcceptedNameWithBlank[] = "Halvern Technology (Ostervik) Company Limited";

// The signer name of the file at |path|, opened as an installer is.
std::wstring SignerOf(const std::wstring& path) {
  return GetVerifiedSignerName(InstallerFile::Open(path));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Each test gets its own system root and system store; the environment is set in SetUp, before any
// thread starts, and each test runs in its own process.
class TrustPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signer_ = std::make_unique<authenticode::test::Signer>(::testing::TempDir());
    system_root_ = signer_->directory() + "/system";
    std::filesystem::create_directories(system_root_ + "/trust");
    ASSERT_EQ(setenv("TAVORI_SYSTEM_ROOT", system_root_.c_str(), 1), 0);
    // The system's default store, for when the bundle is absent: empty unless a test fills it.
    system_store_ = signer_->WriteFile("system-store.pem", "");
    ASSERT_EQ(setenv("SSL_CERT_FILE", system_store_.c_str(), 1), 0);
    ASSERT_EQ(setenv("SSL_CERT_DIR", (signer_->directory() + "/no-such-dir").c_str(), 1), 0);

    root_ = CreateIdentity(CaOptions("Maker Code Signing Root"), nullptr);
    other_root_ = CreateIdentity(CaOptions("Other Root"), nullptr);
  }

  static std::string BundlePath() { return posix::SystemPath(posix::kTrustBundleRelativePath); }

  // Replaces the bundle whole, as an administrator's tool would.
  void WriteBundle(const std::string& pem) {
    std::filesystem::rename(signer_->WriteFile("bundle.pem", pem), BundlePath());
  }

  // Signs a minimal installer with a leaf under |issuer| named |name| and stores it as |file|.
  std::wstring SignedFile(const std::string& file, const std::string& name,
                          const Identity& issuer) {
    const std::string image =
        signer_->Sign(MinimalPe(), CreateIdentity(CodeSigningOptions(name), &issuer), {});
    EXPECT_FALSE(image.empty());
    return Utf8ToWide(signer_->WriteFile(file, image));
  }

  std::unique_ptr<authenticode::test::Signer> signer_;
  std::string system_root_;
  std::string system_store_;
  Identity root_;
  Identity other_root_;
};

TEST_F(TrustPosixTest, NameOnlyForValidlySignedFiles) {
  WriteBundle(root_.CertPem());
  const std::wstring signed_file = SignedFile("accepted.exe", kAcceptedName, root_);
  const std::string tampered_image = [&] {
    std::string image =
        signer_->Sign(MinimalPe(), CreateIdentity(CodeSigningOptions(kAcceptedName), &root_), {});
    image[0x201] ^= 1;
    return image;
  }();
  struct Case {
    const char* name;
    std::wstring path;
    std::wstring expected;
  } cases[] = {
      {"accepted name", signed_file, Utf8ToWide(kAcceptedName)},
      {"accepted name with a blank", SignedFile("blank.exe", kAcceptedNameWithBlank, root_),
       Utf8ToWide(kAcceptedNameWithBlank)},
      {"other case, returned as is",
       SignedFile("case.exe", "HALVERN TECHNOLOGY(OSTERVIK) COMPANY LIMITED", root_),
       L"HALVERN TECHNOLOGY(OSTERVIK) COMPANY LIMITED"},
      {"untrusted root", SignedFile("foreign.exe", kAcceptedName, other_root_), L""},
      {"unsigned", Utf8ToWide(signer_->WriteFile("unsigned.exe", MinimalPe())), L""},
      {"tampered", Utf8ToWide(signer_->WriteFile("tampered.exe", tampered_image)), L""},
      {"garbage", Utf8ToWide(signer_->WriteFile("garbage.exe", std::string(5000, 'x'))), L""},
      {"missing", Utf8ToWide(signer_->directory() + "/missing.exe"), L""},
      {"directory", Utf8ToWide(signer_->directory()), L""},
      {"empty path", L"", L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SignerOf(c.path), c.expected);
  }
}

TEST_F(TrustPosixTest, AnchorsAreTheBundleWhenPresentElseTheSystemStore) {
  const std::wstring file = SignedFile("installer.exe", kAcceptedName, root_);
  const std::wstring name = Utf8ToWide(kAcceptedName);
  // The system store trusts the root until the end; the bundle, when present, replaces it. The
  // kinds of broken or missing bundle are the Authenticode component's TrustStore table.
  signer_->WriteFile("system-store.pem", root_.CertPem());

  EXPECT_EQ(SignerOf(file), name) << "no bundle: the system store";
  WriteBundle(other_root_.CertPem());
  EXPECT_EQ(SignerOf(file), L"") << "a bundle without the root";
  WriteBundle(other_root_.CertPem() + root_.CertPem());
  EXPECT_EQ(SignerOf(file), name) << "the bundle is read on every call";
  WriteBundle("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n");
  EXPECT_EQ(SignerOf(file), L"") << "a broken bundle trusts nothing";
  std::filesystem::remove(BundlePath());
  EXPECT_EQ(SignerOf(file), name) << "bundle removed again";
  signer_->WriteFile("system-store.pem", other_root_.CertPem());
  EXPECT_EQ(SignerOf(file), L"") << "system store without the root";
}

TEST_F(TrustPosixTest, NameIsCutLikeCertGetNameString) {
  WriteBundle(root_.CertPem());
  const std::string emoji = "\xF0\x9F\x98\x80";  // U+1F600: two UTF-16 code units.
  struct Case {
    const char* name;
    std::string signer;
    std::wstring expected;
  } cases[] = {
      {"398 units kept", std::string(398, 'a'), std::wstring(398, L'a')},
      {"longer names cut", std::string(500, 'b'), std::wstring(398, L'b')},
      {"surrogate pair that fits", std::string(396, 'c') + emoji + "tail",
       std::wstring(396, L'c') + Utf8ToWide(emoji)},
      {"surrogate pair that straddles the end", std::string(397, 'd') + emoji,
       std::wstring(397, L'd')},
      {"embedded NUL ends the name", std::string("Halvern\0 Technology", 19), L"Halvern"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SignerOf(SignedFile("long" + std::to_string(++n) + ".exe", c.signer, root_)),
              c.expected);
  }
}

// What was opened is what is checked and started: an unsigned script that takes the installer's
// name afterwards, or is written into the installer's file, changes neither.
TEST_F(TrustPosixTest, FileChangedAfterOpeningIsStillTheOneCheckedAndStarted) {
  WriteBundle(root_.CertPem());
  const std::string dir = signer_->directory();
  // A `wine` that copies the image it is given, through the path it gets, to <dir>/started.
  std::filesystem::create_directory(dir + "/bin");
  const std::string wine =
      signer_->WriteFile("bin/wine", "#!/bin/sh\ncat \"$1\" > '" + dir + "/started.tmp' && mv '" +
                                         dir + "/started.tmp' '" + dir + "/started'\n");
  std::filesystem::permissions(wine, static_cast<std::filesystem::perms>(0755));
  ASSERT_EQ(setenv("PATH", (dir + "/bin:/usr/bin:/bin").c_str(), 1), 0);
  const std::string script = "#!/bin/sh\ntouch '" + dir + "/script-ran'\n";

  for (const bool rename_over : {true, false}) {
    SCOPED_TRACE(rename_over ? "renamed over" : "written into");
    const std::wstring path = SignedFile("setup.exe", kAcceptedName, root_);
    const std::string signed_image = ReadFile(WideToUtf8(path));
    const InstallerFile opened = InstallerFile::Open(path);
    ASSERT_TRUE(opened.is_open());
    if (rename_over) {
      std::filesystem::rename(signer_->WriteFile("swap.sh", script), WideToUtf8(path));
    } else {
      signer_->WriteFile("setup.exe", script);  // truncates and writes the same file
    }
    std::filesystem::permissions(WideToUtf8(path), static_cast<std::filesystem::perms>(0755));

    EXPECT_EQ(SignerOf(path), L"") << "the name now holds the unsigned script";
    EXPECT_EQ(GetVerifiedSignerName(opened), Utf8ToWide(kAcceptedName));
    std::filesystem::remove(dir + "/started");
    ASSERT_EQ(ShellExecute(opened, L"/S"), kShellStarted);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!std::filesystem::exists(dir + "/started") &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));  // polling, bounded
    }
    EXPECT_EQ(ReadFile(dir + "/started"), signed_image) << "wine was not given the opened image";
    EXPECT_FALSE(std::filesystem::exists(dir + "/script-ran"));
  }
}

}  // namespace
}  // namespace os
