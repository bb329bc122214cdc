// tavori-installer-service: the privileged installer service.
//
//   tavori-installer-service [--socket PATH] [--staging DIR] [--trust-bundle PATH]
//                            [--notify-fd FD]
//
// Defaults live under the machine-wide root of the stand-ins ($TAVORI_SYSTEM_ROOT or
// /var/lib/tavori): run/privileged-installer.sock, run/installer-staging and
// trust/code-signing-roots.pem.  With --notify-fd the service writes "READY\n" to FD once it
// listens.  SIGTERM and SIGINT stop it; it exits 0 after a clean stop, 1 when it cannot listen.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "src/installer_service.h"
#include "src/internal/environment_posix.h"

int main(int argc, char** argv) {
  const std::string root = os::internal::SystemRoot();
  installer_service::ServiceConfig config;
  config.socket_path = root + "/run/privileged-installer.sock";
  config.staging_dir = root + "/run/installer-staging";
  config.trust_bundle_path = root + "/trust/code-signing-roots.pem";
  int notify_fd = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) {
      std::fprintf(stderr, "tavori-installer-service: %s needs a value\n", arg.c_str());
      return 2;
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
      std::fprintf(stderr, "tavori-installer-service: unknown option %s\n", arg.c_str());
      return 2;
    }
  }

  // Signals are taken by one thread with sigwait; every other thread blocks them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  installer_service::Service service(config);
  if (!service.Listen()) {
    return 1;
  }
  std::thread signal_thread([&service, signals] {
    int received = 0;
    sigwait(&signals, &received);
    service.Stop();
  });
  if (notify_fd >= 0) {
    (void)!write(notify_fd, "READY\n", 6);
    close(notify_fd);
  }
  service.Run();
  // Run returned for a signal (the signal thread is done) or a failure: wake the thread if it
  // still waits.
  pthread_kill(signal_thread.native_handle(), SIGTERM);
  signal_thread.join();
  return 0;
}
