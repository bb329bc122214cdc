// tavori-installer-service: the privileged installer service.
//
//   tavori-installer-service [--socket PATH] [--staging DIR] [--trust-bundle PATH]
//                            [--notify-fd FD] [--max-installer-size BYTES]
//                            [--staging-reserve BYTES] [--max-connections N]
//                            [--max-connections-per-user N] [--workers N]
//                            [--max-installs-per-user N] [--request-timeout SECONDS]
//                            [--connection-timeout SECONDS]
//
// Defaults live under the machine-wide root of the stand-ins ($TAVORI_SYSTEM_ROOT or
// /var/lib/tavori): run/privileged-installer.sock, run/installer-staging and
// trust/code-signing-roots.pem; the limits' defaults are ServiceConfig's.  With --notify-fd the
// service writes "READY\n" to FD once it listens.  SIGTERM and SIGINT stop it; it exits 0 after a
// clean stop, 1 when it cannot listen, 2 on a bad option.
//
// Under systemd it takes the listening socket that tavori-installer.socket hands over (socket
// activation: the service starts at the first install) and reports readiness with sd_notify.

#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "os/installer_protocol.h"
#include "os/posix/environment.h"
#include "src/installer_service.h"

namespace {

// Exit statuses.
constexpr int kExitStopped = 0;
constexpr int kExitCannotListen = 1;
constexpr int kExitBadOption = 2;
// Written to --notify-fd once the service listens.
constexpr std::string_view kReadyLine = "READY\n";

constexpr char kUsage[] =
    "usage: tavori-installer-service [OPTION VALUE]...\n"
    "The privileged installer service: checks installers that local users hand over and\n"
    "starts them as root.\n\n"
    "  --socket PATH                 the socket to listen on\n"
    "  --staging DIR                 where installers are copied before the check\n"
    "  --trust-bundle PATH           PEM bundle of the code-signing roots\n"
    "  --notify-fd FD                write READY to FD once listening\n"
    "  --max-installer-size BYTES    refuse larger installers\n"
    "  --staging-reserve BYTES       keep this much free in the staging directory\n"
    "  --max-connections N           connections served at once\n"
    "  --max-connections-per-user N  of one user\n"
    "  --workers N                   threads that serve requests\n"
    "  --max-installs-per-user N     installs of one user at once\n"
    "  --request-timeout SECONDS     a request must arrive whole within this\n"
    "  --connection-timeout SECONDS  a connection ends after this\n"
    "  --help, --version\n\n"
    "Exit status: 0 after a clean stop (SIGTERM, SIGINT), 1 when it cannot listen, 2 on a bad\n"
    "option.\n";

// A whole decimal number, or nothing.
bool ParseNumber(const char* text, uint64_t* value) {
  const char* end = text + std::strlen(text);
  const auto [ptr, error] = std::from_chars(text, end, *value);
  return error == std::errc() && ptr == end;
}

}  // namespace

int main(int argc, char** argv) {
  installer_service::ServiceConfig config;
  config.socket_path = os::posix::SystemPath(os::installer_protocol::kSocketRelativePath);
  config.staging_dir = os::posix::SystemPath(installer_service::kStagingRelativePath);
  config.trust_bundle_path = os::posix::SystemPath(os::posix::kTrustBundleRelativePath);
  int notify_fd = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::printf("%s", kUsage);
      return kExitStopped;
    }
    if (arg == "--version") {
      std::printf("tavori-installer-service %s\n", TAVORI_VERSION);
      return kExitStopped;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "tavori-installer-service: %s needs a value\n", arg.c_str());
      return kExitBadOption;
    }
    if (arg == "--socket") {
      config.socket_path = argv[++i];
    } else if (arg == "--staging") {
      config.staging_dir = argv[++i];
    } else if (arg == "--trust-bundle") {
      config.trust_bundle_path = argv[++i];
    } else if (arg == "--notify-fd") {
      notify_fd = std::atoi(argv[++i]);
    } else {
      uint64_t value = 0;
      // Every limit but the staging reserve must be at least 1.
      if (!ParseNumber(argv[++i], &value) || (value == 0 && arg != "--staging-reserve")) {
        std::fprintf(stderr, "tavori-installer-service: %s needs a positive number\n", arg.c_str());
        return kExitBadOption;
      }
      if (arg == "--max-installer-size") {
        config.max_installer_bytes = value;
      } else if (arg == "--staging-reserve") {
        config.staging_reserve_bytes = value;
      } else if (arg == "--max-connections") {
        config.max_connections = value;
      } else if (arg == "--max-connections-per-user") {
        config.max_connections_per_user = value;
      } else if (arg == "--workers") {
        config.workers = value;
      } else if (arg == "--max-installs-per-user") {
        config.max_installs_per_user = value;
      } else if (arg == "--request-timeout") {
        config.request_timeout = std::chrono::seconds(value);
      } else if (arg == "--connection-timeout") {
        config.connection_timeout = std::chrono::seconds(value);
      } else {
        std::fprintf(stderr, "tavori-installer-service: unknown option %s\n", arg.c_str());
        return kExitBadOption;
      }
    }
  }

  // Signals are taken by one thread with sigwait; every other thread blocks them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // Socket activation: exactly one listening socket may be handed over.
  const int handed_over = sd_listen_fds(/*unset_environment=*/1);
  if (handed_over > 1) {
    std::fprintf(stderr, "tavori-installer-service: %d sockets handed over, expected one\n",
                 handed_over);
    return kExitCannotListen;
  }
  if (handed_over == 1) {
    config.inherited_listen_fd = SD_LISTEN_FDS_START;
  }

  installer_service::Service service(config);
  if (!service.Listen()) {
    return kExitCannotListen;
  }
  std::thread signal_thread([&service, signals] {
    int received = 0;
    sigwait(&signals, &received);
    service.Stop();
  });
  if (notify_fd >= 0) {
    (void)!write(notify_fd, kReadyLine.data(), kReadyLine.size());
    close(notify_fd);
  }
  sd_notify(/*unset_environment=*/1, "READY=1");
  service.Run();
  // Run returned for a signal (the signal thread is done) or a failure: wake the thread if it
  // still waits. SIGTERM is blocked in every thread, so this does not end the process: it is
  // taken by that thread's sigwait.
  // NOLINTNEXTLINE(bugprone-bad-signal-to-kill-thread): delivered to sigwait, not a kill
  pthread_kill(signal_thread.native_handle(), SIGTERM);
  signal_thread.join();
  return kExitStopped;
}
