#include "fuzz_process.h"

#include <sched.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace update_fuzz {
namespace {

// The private directory, removed as the process exits.
std::filesystem::path* g_root = nullptr;

void RemoveRoot() {
  std::error_code ignored;
  std::filesystem::remove_all(*g_root, ignored);
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz set-up: %s: %s\n", what, std::strerror(errno));
  std::abort();
}

}  // namespace

std::string PrepareIsolatedProcess() {
  // A user namespace as well when not root, where the kernel allows one.
  if (unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
    Fail("cannot enter a network namespace of its own (run as root)");
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "update-lib-fuzz.XXXXXX");
  if (mkdtemp(pattern.data()) == nullptr) {
    Fail("mkdtemp");
  }
  const std::filesystem::path root = pattern;
  g_root = new std::filesystem::path(root);
  std::atexit(RemoveRoot);
  bool made = true;
  for (const char* dir : {"config", "state", "tmp", "system/registry"}) {
    std::error_code error;
    made = std::filesystem::create_directories(root / dir, error) && made;
  }
  std::ofstream registry(root / "system/registry/HKEY_LOCAL_MACHINE.reg");
  registry << "Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern\\Tavori]\r\n"
              "\"SilentInstallVersion\"=\"3.2.0.1\"\r\n";
  registry.close();
  if (!made || !registry) {
    Fail("cannot create the private directory");
  }
  setenv("HOME", root.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
  setenv("XDG_STATE_HOME", (root / "state").c_str(), 1);
  setenv("XDG_CACHE_HOME", (root / "tmp").c_str(), 1);
  setenv("TMPDIR", (root / "tmp").c_str(), 1);
  setenv("TAVORI_SYSTEM_ROOT", (root / "system").c_str(), 1);
  // Failures only: refusals of fuzzed input would fill the log with every input.
  setenv("TAVORI_LOG_LEVEL", "1", 1);
  return root;
}

}  // namespace update_fuzz
