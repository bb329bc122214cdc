#include "commands.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <optional>

#include "progress.h"

namespace tavori_update {
namespace {

using Clock = std::chrono::steady_clock;

// Tokens only tell one run of this process from another.
constexpr int64_t kToken = 1;
// A download has no deadline of its own here: the SDK bounds stalls, and Ctrl-C ends it.
constexpr auto kNoDeadline = std::chrono::hours(24 * 365);
// The JSON bridge's bound on one input line.
constexpr size_t kMaxLineBytes = 1 << 20;

void Say(const char* format, const std::string& a = "", const std::string& b = "") {
  fprintf(stderr, "tavori-update: ");
  fprintf(stderr, format, a.c_str(), b.c_str());
  fputc('\n', stderr);
}

std::string ResultText(int result) {
  switch (result) {
    case UpdateLib::kResultBadRequest:
      return "a missing or malformed parameter";
    case UpdateLib::kResultNoServiceUrl:
      return "no update service URL remembered yet; run a check with --cgi-url first";
    case UpdateLib::kResultNoCheckAnswer:
      return "no usable check answer";
    case UpdateLib::kResultNoPackage:
      return "the check answer names no complete package";
    case UpdateLib::kResultInstallerNotStarted:
      return "the installer could not be started or failed its checks";
    default:
      break;
  }
  if ((result & UpdateLib::kResultElevatedInstallFailed) ==
      UpdateLib::kResultElevatedInstallFailed) {
    char text[96];
    snprintf(text, sizeof text, "the installer service refused or failed (result 0x%08X)",
             static_cast<unsigned>(result));
    return text;
  }
  return "result " + std::to_string(result);
}

int Refused(const char* command, int result) {
  Say("the library refused \"%s\": %s", command, ResultText(result));
  return kExitRefused;
}

// Reads one line from standard input, waking early for Ctrl-C.  nullopt at the end of the input
// or when interrupted (|*interrupted| says which).
class LineReader {
 public:
  explicit LineReader(const LibraryHost& host) : host_(host) {}

  std::optional<std::string> Next(bool* interrupted) {
    *interrupted = false;
    for (;;) {
      if (const size_t end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      if (eof_ || buffer_.size() > kMaxLineBytes) {
        if (buffer_.empty()) {
          return std::nullopt;
        }
        std::string line = std::move(buffer_);
        buffer_.clear();
        return line;
      }
      pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {host_.interrupt_fd(), POLLIN, 0}};
      if (poll(fds, host_.interrupt_fd() >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) {
        return std::nullopt;
      }
      if ((fds[1].revents & POLLIN) != 0) {
        *interrupted = true;
        return std::nullopt;
      }
      char chunk[65536];
      const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
        continue;
      }
      if (got <= 0) {
        eof_ = true;
      } else {
        buffer_.append(chunk, static_cast<size_t>(got));
      }
    }
  }

 private:
  const LibraryHost& host_;
  std::string buffer_;
  bool eof_ = false;
};

struct Offer {
  int64_t policy = 0;
  std::string version;
  std::string package_url;
  uint64_t size = 0;
  std::string md5;
};

const char* PolicyWords(int64_t policy) {
  switch (policy) {
    case 0:
      return "no update needed";
    case 2:
    case 3:
    case 8:
      return "install without asking (the update process fetches it at once)";
    default:
      return "update offered (the client asks the user)";
  }
}

// Sends a client check and waits for its answer.  Returns an exit code, kExitOk with |offer|
// filled in.
int CheckForOffer(LibraryHost& host, const CheckOptions& options, Offer* offer) {
  const int result = LibraryHost::Send("check_upgrade", kToken,
                                       {{"app_from", "tavoriapp"},
                                        {"from_where", options.from_where},
                                        {"cgi_url", options.cgi_url},
                                        {"enable_patch", options.enable_patch}});
  if (result != UpdateLib::kResultOk) {
    return Refused("check_upgrade", result);
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(options.timeout_seconds);
  nlohmann::json event;
  for (;;) {
    switch (host.Next(deadline, &event)) {
      case LibraryHost::Wake::kInterrupted:
        return kExitInterrupted;
      case LibraryHost::Wake::kTimedOut:
        // The library gives no event for an unusable answer: silence is all there is to see.
        Say("no usable answer from the update service within %s s (unreachable, an HTTP error, "
            "or an answer without a valid upgrade policy): %s",
            std::to_string(options.timeout_seconds), options.cgi_url);
        return kExitNoAnswer;
      case LibraryHost::Wake::kEvent:
        break;
    }
    if (event.value("command", "") == "cgi_response") {
      break;
    }
  }
  const nlohmann::json answer = nlohmann::json::parse(
      event["parameters"].value("response_data", ""), nullptr, /*allow_exceptions=*/false);
  offer->policy = answer.value("upgrade_policy", int64_t{0});
  offer->version = answer.value("version", "");
  offer->package_url = answer.value("package_url", "");
  offer->size = answer.value("size", uint64_t{0});
  offer->md5 = answer.value("md5", "");
  return kExitOk;
}

void PrintOffer(const Offer& offer) {
  if (offer.policy == 0) {
    printf("Up to date (policy 0, %s).\n", PolicyWords(0));
    return;
  }
  printf("Policy:   %" PRId64 ", %s\n", offer.policy, PolicyWords(offer.policy));
  printf("Version:  %s\n", offer.version.empty() ? "(not given)" : offer.version.c_str());
  printf("Package:  %s\n", offer.package_url.c_str());
  printf("Size:     %s (%" PRIu64 " bytes)\n", FormatBytes(offer.size).c_str(), offer.size);
  printf("MD5:      %s\n", offer.md5.c_str());
  fflush(stdout);
}

// Downloads the offered package with a progress display.  On success |path| is the file.
int Download(LibraryHost& host, const UpdateOptions& options, std::string* path) {
  nlohmann::json parameters = nlohmann::json::object();
  if (!options.download_path.empty()) {
    parameters["download_path"] = options.download_path;
  }
  const int result = LibraryHost::Send("download", kToken, parameters);
  if (result != UpdateLib::kResultOk) {
    return Refused("download", result);
  }
  ProgressDisplay progress(stderr, isatty(STDERR_FILENO) != 0);
  const Clock::time_point deadline = Clock::now() + kNoDeadline;
  nlohmann::json event;
  for (;;) {
    const LibraryHost::Wake wake = host.Next(deadline, &event);
    if (wake != LibraryHost::Wake::kEvent) {
      progress.Finish();
      // The cancel returns once the download has stopped; the library then sends nothing more
      // for it and leaves no file at the target.
      LibraryHost::Send("cancel_download", kToken, nlohmann::json::object());
      Say("download cancelled; nothing was installed");
      return kExitInterrupted;
    }
    const std::string name = event.value("command", "");
    const nlohmann::json& parameters_in = event["parameters"];
    if (name == "download_progress") {
      progress.Update(parameters_in.value("downloaded_size", uint64_t{0}),
                      parameters_in.value("total_size", uint64_t{0}), Clock::now());
    } else if (name == "download_finish") {
      progress.Finish();
      const int64_t error = parameters_in.value("err_code", int64_t{-1});
      *path = parameters_in.value("path", "");
      if (error != 0) {
        Say("the download failed (error %s)", std::to_string(error));
        return kExitDownloadFailed;
      }
      printf("Downloaded: %s\n", path->c_str());
      fflush(stdout);
      return kExitOk;
    }
  }
}

int SendInstall(const std::string& package, const std::string& md5, const std::string& param,
                bool elevate) {
  const int result = LibraryHost::Send("install", kToken,
                                       {{"install_param", param},
                                        {"package_path", package},
                                        {"package_md5", md5},
                                        {"elevate_privilege", elevate ? 1 : 0}});
  if (result != UpdateLib::kResultOk) {
    Say("the installer was not started: %s", ResultText(result));
    return kExitInstallFailed;
  }
  printf("Installer started%s.\n", elevate ? " by the installer service" : "");
  fflush(stdout);
  return kExitOk;
}

}  // namespace

int Check(LibraryHost& host, const CheckOptions& options) {
  Offer offer;
  const int status = CheckForOffer(host, options, &offer);
  if (status == kExitOk) {
    PrintOffer(offer);
  }
  return status;
}

int Update(LibraryHost& host, const UpdateOptions& options) {
  Offer offer;
  int status = CheckForOffer(host, options.check, &offer);
  if (status != kExitOk) {
    return status;
  }
  PrintOffer(offer);
  if (offer.policy == 0) {
    return kExitOk;
  }
  if (!options.yes) {
    fprintf(stderr, "Download and install version %s (%s)? [y/N] ", offer.version.c_str(),
            FormatBytes(offer.size).c_str());
    fflush(stderr);
    LineReader reader(host);
    bool interrupted = false;
    const std::optional<std::string> answer = reader.Next(&interrupted);
    if (interrupted) {
      fputc('\n', stderr);
      return kExitInterrupted;
    }
    if (!answer || (*answer != "y" && *answer != "Y" && *answer != "yes")) {
      Say("not updated");
      return kExitOk;
    }
  }
  std::string path;
  status = Download(host, options, &path);
  if (status != kExitOk) {
    return status;
  }
  return SendInstall(path, offer.md5, options.install_param, options.elevate);
}

int Run(LibraryHost& host, const RunOptions& options) {
  const int result =
      LibraryHost::Send("check_upgrade", kToken,
                        {{"app_from", "update_process"}, {"enable_patch", options.enable_patch}});
  if (result != UpdateLib::kResultOk) {
    return Refused("check_upgrade", result);
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(options.timeout_seconds);
  nlohmann::json event;
  for (;;) {
    switch (host.Next(deadline, &event)) {
      case LibraryHost::Wake::kInterrupted:
        LibraryHost::Send("cancel_download", kToken, nlohmann::json::object());
        Say("update run cancelled");
        return kExitInterrupted;
      case LibraryHost::Wake::kTimedOut:
        // Whatever still runs is stopped: this process is about to end.
        LibraryHost::Send("cancel_download", kToken, nlohmann::json::object());
        Say("the update run did not finish within %s s", std::to_string(options.timeout_seconds));
        return kExitNoAnswer;
      case LibraryHost::Wake::kEvent:
        if (event.value("command", "") == "update_finished") {
          printf("Update run finished.\n");
          fflush(stdout);
          return kExitOk;
        }
        break;
    }
  }
}

int Install(const InstallOptions& options) {
  return SendInstall(options.package, options.md5, options.install_param, options.elevate);
}

int JsonBridge(LibraryHost& host) {
  // Events come on the library's thread, results on this one: one lock keeps every line whole
  // and in the order things happened.  Static: the library may still deliver an event after
  // this function has returned, until the host removes its delegate.
  static std::mutex out;
  host.set_event_tap([](const nlohmann::json& event) {
    std::lock_guard<std::mutex> lock(out);
    printf("%s\n", event.dump().c_str());
    fflush(stdout);
  });
  LineReader reader(host);
  bool interrupted = false;
  while (std::optional<std::string> line = reader.Next(&interrupted)) {
    if (line->find_first_not_of(" \t\r") == std::string::npos) {
      continue;
    }
    const int result =
        line->size() > kMaxLineBytes ? UpdateLib::kResultBadRequest : LibraryHost::SendText(*line);
    std::lock_guard<std::mutex> lock(out);
    printf("%s\n", nlohmann::json{{"result", result}}.dump().c_str());
    fflush(stdout);
  }
  return interrupted ? kExitInterrupted : kExitOk;
}

}  // namespace tavori_update
