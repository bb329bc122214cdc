#include "installer_service/test/installers.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "authenticode/test/pe_file.h"
#include "authenticode/test/pki.h"
#include "authenticode/test/signing.h"
#include "base/test/file_contents.h"
#include "util/crypto/crypto.h"

namespace installer_test {

namespace fs = std::filesystem;
using authenticode::test::CertOptions;
using authenticode::test::Identity;

struct InstallerFactory::Pki {
  Identity root;
  Identity other_root;
  std::unique_ptr<authenticode::test::Signer> signer;
};

namespace {

// A minimal installer signed with the accepted name by a fresh leaf of |issuer|.
std::string SignedWithPublisher(authenticode::test::Signer& signer, const Identity& issuer) {
  const Identity leaf = authenticode::test::CreateIdentity(
      authenticode::test::CodeSigningOptions(kPublisher), &issuer);
  return signer.Sign(authenticode::test::MinimalPe(true, 4096), leaf, {});
}

}  // namespace

std::string FileMd5(const std::string& path) {
  return util::crypto::Md5(base::test::ReadFileToString(path));
}

InstallerFactory::InstallerFactory(std::string directory)
    : directory_(std::move(directory)), pki_(std::make_unique<Pki>()) {
  fs::create_directories(directory_);
  pki_->root = authenticode::test::CreateIdentity(
      authenticode::test::CaOptions("Test Code Signing Root"), nullptr);
  pki_->other_root = authenticode::test::CreateIdentity(
      authenticode::test::CaOptions("Untrusted Code Signing Root"), nullptr);
  pki_->signer = std::make_unique<authenticode::test::Signer>(directory_);
}

InstallerFactory::~InstallerFactory() = default;

void InstallerFactory::InstallTrustBundle(const std::string& system_root) const {
  fs::create_directories(system_root + "/trust");
  std::ofstream(system_root + "/trust/code-signing-roots.pem") << pki_->root.CertPem();
}

std::string InstallerFactory::Write(const std::string& name, const std::string& bytes) const {
  if (bytes.empty()) {
    throw std::runtime_error("signing " + name + " failed");
  }
  std::string path = directory_ + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::string InstallerFactory::Signed(
    const std::string& name, const std::vector<std::pair<std::string, std::string>>& subject) {
  CertOptions options = authenticode::test::CodeSigningOptions("unused");
  options.subject = subject;
  const Identity leaf = authenticode::test::CreateIdentity(options, &pki_->root);
  return Write(name, pki_->signer->Sign(authenticode::test::MinimalPe(true, 4096), leaf, {}));
}

std::string InstallerFactory::SignedByUntrustedRoot(const std::string& name) {
  return Write(name, SignedWithPublisher(*pki_->signer, pki_->other_root));
}

std::string InstallerFactory::Unsigned(const std::string& name) {
  return Write(name, authenticode::test::MinimalPe(true, 4096));
}

std::string InstallerFactory::Tampered(const std::string& name) {
  std::string image = SignedWithPublisher(*pki_->signer, pki_->root);
  image[0x400 + 100] ^= 0x01;  // a byte of the payload, which the image hash covers
  return Write(name, image);
}

WineStandIn::WineStandIn(std::string directory) : directory_(std::move(directory)) {
  fs::create_directories(bin_dir());
  fs::create_directories(directory_ + "/starts");
  const std::string script = bin_dir() + "/wine";
  std::ofstream(script) << "#!/bin/sh\n"
                           "# Records one start: the program's MD5, then the arguments.\n"
                           "record=\""
                        << directory_
                        << "/starts/$$\"\n"
                           "{\n"
                           "  md5sum < \"$1\" | cut -d' ' -f1 | tr -d '\\n'; printf '\\0'\n"
                           "  for a in \"$@\"; do printf '%s\\0' \"$a\"; done\n"
                           "} > \"$record.tmp\"\n"
                           "mv \"$record.tmp\" \"$record.start\"\n";
  chmod(script.c_str(), 0755);
}

std::vector<WineStandIn::Start> WineStandIn::Starts() const {
  std::vector<Start> starts;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(directory_ + "/starts", error)) {
    if (entry.path().extension() != ".start") {
      continue;
    }
    const std::string record = base::test::ReadFileToString(entry.path().string());
    Start start;
    for (size_t begin = 0, end; begin < record.size(); begin = end + 1) {
      end = std::min(record.find('\0', begin), record.size());
      (begin == 0 ? start.program_md5 : start.arguments.emplace_back()) =
          record.substr(begin, end - begin);
    }
    starts.push_back(std::move(start));
  }
  return starts;
}

std::vector<WineStandIn::Start> WineStandIn::WaitForStarts(
    size_t count, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<Start> starts = Starts();
  while (starts.size() < count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    starts = Starts();
  }
  return starts;
}

}  // namespace installer_test
