// tavori-update: drives the update library from the command line, as the client application or
// its unattended update process would, and bridges it to other languages through JSON lines.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>

#include "commands.h"

namespace {

constexpr char kExitCodes[] =
    "\nExit codes:\n"
    "  0    done (also: up to date, or the offer was declined)\n"
    "  1    the library refused a command (the message says why)\n"
    "  2    bad usage\n"
    "  3    no usable answer from the update service in time, or an update run that did not end\n"
    "  4    the download failed\n"
    "  5    the installer was not started\n"
    "  130  interrupted (Ctrl-C or SIGTERM); a download in progress is cancelled first\n";

int Main(int argc, char** argv) {
  using tavori_update::CheckOptions;
  using tavori_update::InstallOptions;
  using tavori_update::RunOptions;
  using tavori_update::UpdateOptions;
  CLI::App app{"Checks for, downloads and installs updates through the update library.",
               "tavori-update"};
  app.set_version_flag("--version", std::string(TAVORI_VERSION));
  app.footer(kExitCodes);
  app.require_subcommand(1);

  CheckOptions check;
  auto add_check_options = [](CLI::App* command, CheckOptions* options) {
    command->add_option("--cgi-url", options->cgi_url, "The update service's check URL")
        ->required();
    command
        ->add_option("--from-where", options->from_where,
                     "Where in the client the check started (0-5)")
        ->capture_default_str();
    command->add_option("--enable-patch", options->enable_patch, "1 accepts a patch package")
        ->capture_default_str();
    command
        ->add_option("--timeout", options->timeout_seconds,
                     "Seconds to wait for the service's answer")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
  };
  CLI::App* check_command =
      app.add_subcommand("check", "Ask the update service for a newer version and show the offer");
  add_check_options(check_command, &check);

  UpdateOptions update;
  CLI::App* update_command = app.add_subcommand(
      "update", "The client's whole run: check, ask, download with progress, install");
  add_check_options(update_command, &update.check);
  update_command->add_option("--download-path", update.download_path,
                             "Where to store the package (default: the library's choice)");
  update_command->add_option("--param", update.install_param,
                             "The installer's command-line parameters");
  update_command->add_flag("-y,--yes", update.yes, "Do not ask before downloading");
  update_command->add_flag("--elevate", update.elevate,
                           "Install through the privileged installer service");

  RunOptions run;
  CLI::App* run_command = app.add_subcommand(
      "run",
      "The unattended update process: check with the remembered URL, then let the "
      "library download and install as the service's policy says");
  run_command->add_option("--enable-patch", run.enable_patch, "1 accepts a patch package")
      ->capture_default_str();
  run_command->add_option("--timeout", run.timeout_seconds, "Seconds to wait for the run's end")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);

  InstallOptions install;
  CLI::App* install_command =
      app.add_subcommand("install", "Start an installer that is already on disk");
  install_command->add_option("--package", install.package, "The installer file")->required();
  install_command
      ->add_option("--md5", install.md5,
                   "Its MD5 (checked by the installer service with --elevate)")
      ->required();
  install_command->add_option("--param", install.install_param,
                              "The installer's command-line parameters");
  install_command->add_flag("--elevate", install.elevate,
                            "Install through the privileged installer service");

  CLI::App* json_command = app.add_subcommand(
      "json",
      "A bridge for other languages: one JSON command per input line; each result "
      "({\"result\":N}) and each event as one JSON line on the output, in order");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : tavori_update::kExitUsage;
  }

  tavori_update::LibraryHost host;
  if (*check_command) {
    return tavori_update::Check(host, check);
  }
  if (*update_command) {
    return tavori_update::Update(host, update);
  }
  if (*run_command) {
    return tavori_update::Run(host, run);
  }
  if (*install_command) {
    return tavori_update::Install(install);
  }
  return *json_command ? tavori_update::JsonBridge(host) : tavori_update::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const std::exception& e) {
    fprintf(stderr, "tavori-update: %s\n", e.what());
    return 1;
  }
}
