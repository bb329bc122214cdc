// tavori-update-service: the reference update service for development, demos and tests.
// See src/update_service.h for what it serves and src/manifest.h for the manifest's rules.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "src/update_service.h"

namespace {

int Serve(int argc, char** argv) {
  CLI::App app{
      "A reference update service: answers the update library's check requests from a manifest\n"
      "and serves the package files (with ranges) from a folder.",
      "tavori-update-service"};
  update_service::ServiceOptions options;
  std::string listen = "127.0.0.1";
  int port = 0;
  app.add_option("--manifest", options.manifest_path, "The manifest (JSON); read for every check")
      ->required()
      ->check(CLI::ExistingFile);
  app.add_option("--packages", options.package_folder,
                 "The folder of package files (default: the manifest's folder)")
      ->check(CLI::ExistingDirectory);
  app.add_option("--listen", listen, "The address to listen on")->capture_default_str();
  app.add_option("--port", port, "The port; 0 picks a free one")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  app.add_option("--public-url", options.public_url,
                 "What package URLs start with, e.g. http://updates.example:8080 "
                 "(default: http:// and the request's Host)");
  app.add_option("--check-path", options.check_path, "The check endpoint's path")
      ->capture_default_str();
  app.set_version_flag("--version", std::string(TAVORI_VERSION));
  CLI11_PARSE(app, argc, argv);
  if (options.package_folder.empty()) {
    options.package_folder =
        std::filesystem::absolute(options.manifest_path).parent_path().string();
  }

  // SIGINT and SIGTERM end the service cleanly: they are taken by one thread with sigwait, which
  // stops the server from outside any signal handler.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  update_service::UpdateService service(options);
  const int bound = service.Listen(listen, port);
  if (bound < 0) {
    fprintf(stderr, "tavori-update-service: cannot listen on %s:%d\n", listen.c_str(), port);
    return 1;
  }
  // The first line on standard output says where to reach the service (scripts read it).
  printf("listening on http://%s:%d%s\n", listen.c_str(), bound, options.check_path.c_str());
  fflush(stdout);

  std::thread stopper([&service, stop_signals] {
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    service.Stop();
  });
  const bool served = service.Run();
  // Run() also ends when the socket fails; wake the stopper so that it can be joined (the signal
  // is blocked everywhere else, so it reaches the stopper's sigwait).
  kill(getpid(), SIGTERM);
  stopper.join();
  return served ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Serve(argc, argv);
  } catch (const std::exception& e) {
    fprintf(stderr, "tavori-update-service: %s\n", e.what());
    return 1;
  }
}
