// The fault matrix, local side: what the host sees when the privileged installer service is
// absent, stopped, killed during a request or slow, and when the host calls back into the
// library from inside events or from eight threads at once.
//
// Each row drives the real library through its exports, in a process of its own, and records
// itself in the README's table (fault_table.h) once its assertions passed.

#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "fault_matrix_local.h"
#include "installer_service/test/installers.h"
#include "os/installer_protocol.h"

namespace update_test::fault_matrix {
namespace {

// ---------------------------------------------------------------------------------------------
// Installer service: the privileged service that "install" with "elevate_privilege" 1 reaches.

// Child role: an installer service on the socket named by the argument that answers "create",
// then, for the installation request, dies at once ("killed") or says it is ready and answers
// TRUST_E_NOSIGNATURE once told to go on ("slow").
const bool kServiceRole = base::test::RunChildRoleIfAsked("service", [](const std::string& arg) {
  namespace protocol = os::installer_protocol;
  const Helper::Args args = Helper::Parse(arg);
  const bool killed = args.rest.starts_with("killed ");
  const std::string path = args.rest.substr(args.rest.find(' ') + 1);
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener, 4) != 0 || write(args.ready, "l", 1) != 1) {
    return 1;
  }
  const int connection = accept(listener, nullptr, nullptr);
  std::string frame;
  if (protocol::ReadFrame(connection, 20s, &frame) != protocol::IoStatus::kOk ||
      protocol::WriteFrame(connection, R"({"hresult":0})") != protocol::IoStatus::kOk ||
      protocol::ReadFrame(connection, 20s, &frame) != protocol::IoStatus::kOk) {
    return 2;
  }
  if (killed) {
    std::raise(SIGKILL);
  }
  Helper::SignalAndWait(args);
  protocol::WriteFrame(connection, R"({"hresult":-2146762496})");  // TRUST_E_NOSIGNATURE
  return 0;
});

enum class Service { kAbsent, kStopped, kKilledMidRequest, kSlow };

struct ServiceRow {
  const char* name;
  Service service;
  int result;  // of "install" with "elevate_privilege" 1
  fault_table::Row table;
};

const ServiceRow kServiceRows[] = {
    {"Absent",
     Service::kAbsent,
     Elevated(os::com::kRegdbEClassNotReg),
     {"installer service", "absent (no socket)", "\"install\" returns 0x80070154",
      "the package kept; nothing started"}},
    {"Stopped",
     Service::kStopped,
     Elevated(os::com::kCoEServerExecFailure),
     {"installer service", "stopped", "\"install\" returns 0x80080005",
      "the package kept; nothing started"}},
    {"KilledMidRequest",
     Service::kKilledMidRequest,
     Elevated(os::com::kRpcEDisconnected),
     {"installer service", "killed while it handles the request", "\"install\" returns 0x80010108",
      "the package kept; nothing started"}},
    {"Slow",
     Service::kSlow,
     Elevated(os::com::kTrustENoSignature),
     {"installer service", "slow to answer (up to 10 minutes are waited for)",
      "\"install\" returns the service's answer once it comes", "the package kept"}},
};

void PrintTo(const ServiceRow& row, std::ostream* out) { *out << row.name; }

class ServiceTest : public FaultMatrixTest, public testing::WithParamInterface<ServiceRow> {};

TEST_P(ServiceTest, InstallReturnsTheDocumentedResult) {
  const ServiceRow& row = GetParam();
  installer_test::WineStandIn wine(env_->root() + "/wine");
  setenv("PATH", (wine.bin_dir() + ":" + getenv("PATH")).c_str(), 1);
  installer_test::InstallerFactory factory(env_->root() + "/installers");
  factory.InstallTrustBundle(env_->system_root());
  const std::string installer = factory.SignedBy("setup.exe", installer_test::kPublisher);
  const std::string bytes = ReadFileToString(installer);
  const std::string socket_path =
      env_->system_root() + "/" + os::installer_protocol::kSocketRelativePath;
  std::unique_ptr<Helper> fake;
  if (row.service == Service::kStopped) {
    // The real service: a shell prints its process id and becomes the service, which says
    // "READY" once it listens; SIGTERM stops it.
    FILE* out = popen("echo $$; exec " INSTALLER_SERVICE_PATH " --notify-fd 1", "r");
    char line[32] = {};
    ASSERT_NE(fgets(line, sizeof(line), out), nullptr);
    const pid_t pid = std::atoi(line);
    ASSERT_NE(fgets(line, sizeof(line), out), nullptr);
    ASSERT_STREQ(line, "READY\n");
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    ASSERT_EQ(pclose(out), 0);
  } else if (row.service != Service::kAbsent) {
    fs::create_directories(fs::path(socket_path).parent_path());
    fake = std::make_unique<Helper>(
        "service", (row.service == Service::kSlow ? "slow " : "killed ") + socket_path);
    ASSERT_TRUE(fake->WaitUntilReady());  // listening
  }
  host_->SetDelegate(&delegate_);
  std::atomic<bool> returned{false};
  std::thread answerer;
  if (row.service == Service::kSlow) {
    answerer = std::thread([&] {
      EXPECT_TRUE(fake->WaitUntilReady());  // the installation request arrived
      EXPECT_FALSE(returned.load()) << "\"install\" did not wait for the answer";
      fake->Go();
    });
  }
  const int result = host_->Do(Command("install", 0,
                                       {{"install_param", "/S"},
                                        {"package_path", installer},
                                        {"package_md5", util::crypto::Md5(bytes)},
                                        {"elevate_privilege", 1}}));
  returned = true;
  if (answerer.joinable()) {
    fake->Kill();  // a request that never came must not hold the answerer
    answerer.join();
  }
  EXPECT_EQ(result, row.result) << std::hex << result;
  EXPECT_EQ(ReadFileToString(installer), bytes);
  EXPECT_TRUE(wine.Starts().empty());
  Record(row.table);
}

INSTANTIATE_TEST_SUITE_P(LocalFaults, ServiceTest, testing::ValuesIn(kServiceRows), RowName);

// ---------------------------------------------------------------------------------------------
// Host: a host that calls back into the library from inside events, or from many threads.

class HostTest : public FaultMatrixTest {
 protected:
  void SetUp() override {
    FaultMatrixTest::SetUp();
    StartServer();
    server_->Serve("/p.exe", package_);
    server_->SetDefault("/check", Respond(200, Offer(package_, "/p.exe")));
  }
  // The only file in the download directory is the verified package.
  void ExpectOnlyThePackage() const {
    EXPECT_EQ(Listing(env_->download_dir()),
              std::set<std::string>{fs::path(target_).filename().string()});
    EXPECT_TRUE(ReadFileToString(target_) == package_) << "not the package at the target";
  }

  const std::string package_ = RandomBytes(1 << 20);
  std::string target_;
};

TEST_F(HostTest, ReplacesItsDelegateFromInsideAnEvent) {
  target_ = DefaultTarget("/p.exe");
  std::atomic<int> replaced{-1};
  std::atomic<int> download{-1};
  delegate_.SetHook([&](const Json& event) {
    if (event["command"] == "cgi_response") {
      replaced = host_->SetDelegate(&second_);
      download = host_->Do(Command("download", 1));
    }
  });
  ASSERT_EQ(host_->Do(ClientCheck(1, CgiUrl())), 0);
  const auto finish = second_.WaitFor("download_finish");
  ASSERT_TRUE(finish);
  EXPECT_EQ(replaced.load(), 0);
  EXPECT_EQ(download.load(), 0);
  EXPECT_EQ((*finish)["parameters"]["err_code"], 0);
  EXPECT_EQ(delegate_.Commands(), std::vector<std::string>{"cgi_response"});
  EXPECT_EQ(second_.Commands().front(), "download_start");
  ExpectOnlyThePackage();
  host_->SetDelegate(nullptr);
  Record({"host", "replaces its delegate from inside an event",
          "the later events at the new delegate only", "the verified package"});
}

// Inside the check's answer: download; inside the first progress: cancel and download again;
// inside the finish: a new check.
TEST_F(HostTest, SendsCommandsFromInsideEvents) {
  target_ = DefaultTarget("/p.exe");
  std::vector<int> results;  // only touched on the network thread until the last event came
  bool restarted = false;
  delegate_.SetHook([&](const Json& event) {
    if (event["command"] == "cgi_response" && event["token"] == 1) {
      results.push_back(host_->Do(Command("download", 1)));
    } else if (event["command"] == "download_progress" && !restarted) {
      restarted = true;
      results.push_back(host_->Do(Command("cancel_download", 1)));
      results.push_back(host_->Do(Command("download", 1)));
    } else if (event["command"] == "download_finish") {
      results.push_back(host_->Do(ClientCheck(2, CgiUrl())));
    }
  });
  ASSERT_EQ(host_->Do(ClientCheck(1, CgiUrl())), 0);
  ASSERT_TRUE(WaitForToken("cgi_response", 2));
  delegate_.SetHook({});
  EXPECT_EQ(results, std::vector<int>(4, 0));
  const std::vector<std::string> names = delegate_.Commands();
  EXPECT_EQ(std::count(names.begin(), names.end(), "download_finish"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), "download_start"), 2);
  EXPECT_EQ(delegate_.WaitFor("download_finish").value_or(Json())["parameters"]["err_code"], 0);
  ExpectOnlyThePackage();
  Record({"host",
          "sends commands from inside events (download, cancel and restart, "
          "a new check)",
          "every command accepted; one \"download_finish\" with error 0", "the verified package"});
}

// Eight threads send every kind of command at once; then one last run must go through.
TEST_F(HostTest, CommandsFromEightThreadsAtOnce) {
  target_ = DefaultTarget("/p.exe");
  const std::string missing = env_->root() + "/missing.exe";
  const std::vector<std::pair<Json, std::set<int>>> mix = {
      {ClientCheck(0, CgiUrl()), {0}},
      {Command("download", 0), {0, 8, 11}},
      {Command("cancel_download", 0), {0, 11}},
      {Command("nonsense", 0), {2}},
      {Command("install", 0,
               {{"install_param", ""},
                {"package_path", missing},
                {"package_md5", ""},
                {"elevate_privilege", 0}}),
       {4}},
  };
  std::atomic<int> unexpected{0};
  std::vector<std::thread> threads;
  threads.reserve(8);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = 0; i < 40; ++i) {
        auto [command, allowed] = mix[(static_cast<size_t>(t) + i) % mix.size()];
        command["token"] = 100 + t;
        const int result = host_->Do(command);
        unexpected += allowed.contains(result) ? 0 : 1;
        unexpected += host_->Do(std::string("{\"version\":")) == 1 ? 0 : 1;
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(unexpected.load(), 0);
  // The last check replaces every earlier run; its download completes.
  delegate_.SetHook([&](const Json& event) {
    if (event["command"] == "cgi_response" && event["token"] == 1000) {
      host_->Do(Command("download", 1000));
    }
  });
  ASSERT_EQ(host_->Do(ClientCheck(1000, CgiUrl())), 0);
  const auto finish = WaitForToken("download_finish", 1000);
  delegate_.SetHook({});
  ASSERT_TRUE(finish);
  EXPECT_EQ((*finish)["parameters"]["err_code"], 0);
  ExpectOnlyThePackage();
  Record({"host", "sends commands from eight threads at once",
          "each command's documented result; a later run completes", "the verified package only"});
}

}  // namespace
}  // namespace update_test::fault_matrix
