// tavori-update's subcommands.  Each runs on the command-line thread, drives the library through
// a LibraryHost and returns the process's exit code.

#ifndef TOOLS_TAVORI_UPDATE_COMMANDS_H_
#define TOOLS_TAVORI_UPDATE_COMMANDS_H_

#include <string>

#include "library_host.h"

namespace tavori_update {

// Exit codes, also listed in --help.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;  // the library refused a command
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoAnswer = 3;  // no usable check answer in time
inline constexpr int kExitDownloadFailed = 4;
inline constexpr int kExitInstallFailed = 5;  // the installer was not started
inline constexpr int kExitInterrupted = 130;  // Ctrl-C or SIGTERM, as shells report SIGINT

struct CheckOptions {
  std::string cgi_url;
  int from_where = 0;
  int enable_patch = 1;
  int timeout_seconds = 60;
};

struct UpdateOptions {
  CheckOptions check;
  std::string download_path;
  std::string install_param;
  bool yes = false;
  bool elevate = false;
};

struct InstallOptions {
  std::string package;
  std::string md5;
  std::string install_param;
  bool elevate = false;
};

struct RunOptions {
  int enable_patch = 1;
  int timeout_seconds = 3600;
};

int Check(LibraryHost& host, const CheckOptions& options);
int Update(LibraryHost& host, const UpdateOptions& options);
int Run(LibraryHost& host, const RunOptions& options);
// Needs a LibraryHost alive (it starts the library), but sends one command and waits for nothing.
int Install(const InstallOptions& options);
// The JSON bridge: one command per input line, each result and event as one JSON line out.
int JsonBridge(LibraryHost& host);

}  // namespace tavori_update

#endif  // TOOLS_TAVORI_UPDATE_COMMANDS_H_
