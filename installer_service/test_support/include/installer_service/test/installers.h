// Test support for everything that starts installers: a throwaway code-signing PKI with signed
// test installers, and a `wine` stand-in that records what it was asked to start.
//
// Not for production code.  Each object belongs to one thread; the files they write may be used
// from any process.

#ifndef INSTALLER_SERVICE_TEST_INSTALLERS_H_
#define INSTALLER_SERVICE_TEST_INSTALLERS_H_

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace installer_test {

// The two publisher names the client accepts.
inline constexpr char kPublisher[] = "Halvern Technology(Ostervik) Company Limited";
inline constexpr char kPublisherWithBlank[] = "Halvern Technology (Ostervik) Company Limited";

// A root CA (and an unrelated one) and minimal PE installers signed by leaves of them, written as
// files into a directory.
class InstallerFactory {
 public:
  explicit InstallerFactory(std::string directory);
  ~InstallerFactory();
  InstallerFactory(const InstallerFactory&) = delete;
  InstallerFactory& operator=(const InstallerFactory&) = delete;

  // Writes the trusted root as <system root>/trust/code-signing-roots.pem.
  void InstallTrustBundle(const std::string& system_root) const;

  // An installer signed by a leaf of the trusted root whose subject is |subject| (attribute short
  // name and value pairs, such as {"CN", kPublisher}); returns its path.
  std::string Signed(const std::string& name,
                     const std::vector<std::pair<std::string, std::string>>& subject);
  std::string SignedBy(const std::string& name, const std::string& common_name) {
    return Signed(name, {{"CN", common_name}});
  }
  // Signed with the accepted name by a leaf of a root that is not trusted.
  std::string SignedByUntrustedRoot(const std::string& name);
  // A valid image without a signature.
  std::string Unsigned(const std::string& name);
  // A validly signed installer with one byte of its image changed afterwards.
  std::string Tampered(const std::string& name);

  const std::string& directory() const { return directory_; }

 private:
  struct Pki;
  std::string Write(const std::string& name, const std::string& bytes) const;

  std::string directory_;
  std::unique_ptr<Pki> pki_;
};

// A script named `wine` that records each start: the MD5 of the program file it was given
// (read through the path it got, which may be /proc/self/fd/N) and its arguments.
class WineStandIn {
 public:
  struct Start {
    std::string program_md5;
    std::vector<std::string> arguments;  // the program path first
  };

  // Writes <directory>/bin/wine; records go to <directory>/starts.
  explicit WineStandIn(std::string directory);

  // The directory to put first on PATH.
  std::string bin_dir() const { return directory_ + "/bin"; }

  // Waits until |count| starts have been recorded (polling the record directory until a
  // deadline); returns those recorded by then, in no particular order.
  std::vector<Start> WaitForStarts(size_t count, std::chrono::milliseconds timeout) const;
  // The starts recorded so far.
  std::vector<Start> Starts() const;

 private:
  std::string directory_;
};

// The MD5 of a file's content, lower-case hex.
std::string FileMd5(const std::string& path);

}  // namespace installer_test

#endif  // INSTALLER_SERVICE_TEST_INSTALLERS_H_
