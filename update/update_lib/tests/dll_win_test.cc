// update_lib.dll as a Windows host uses it, under Wine: loaded with LoadLibraryW and reached only
// through its three exports.  A check and a download with progress against a loopback server;
// installs through the Win32 backend: an unsigned or foreign installer is refused without being
// started, and the elevated way reports that no privileged installer service is registered.

#include <gtest/gtest.h>
// winsock2.h before windows.h, which it includes.
#include <winsock2.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "update_lib.h"
#include "util/crypto/crypto.h"

namespace {

using Json = nlohmann::json;
using DoUpdateOperationFn = int (*)(const std::string&);
using SetInitTavoriSdkFn = void (*)(bool);
using SetUpdateDelegateFn = int (*)(IUpdateEventDelegate*);

// Records the events, which arrive on the library's network thread; |mu_| guards them.
class RecordingDelegate final : public IUpdateEventDelegate {
 public:
  void OnUpdateEvent(const std::string& event) override {
    const std::lock_guard<std::mutex> lock(mu_);
    events_.push_back(Json::parse(event));
    changed_.notify_all();
  }
  // Waits, at most a minute, for an event named |command|; returns all events so far.
  std::vector<Json> WaitFor(const std::string& command) {
    std::unique_lock<std::mutex> lock(mu_);
    changed_.wait_for(lock, std::chrono::minutes(1), [&] {
      for (const Json& event : events_) {
        if (event["command"] == command) {
          return true;
        }
      }
      return false;
    });
    return events_;
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  std::vector<Json> events_;
};

// A loopback HTTP server that answers the next requests, one connection each, with |bodies| in
// order; its own thread does all socket work.
class LoopbackServer {
 public:
  LoopbackServer() {
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
    listen(listener_, 4);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~LoopbackServer() {
    closesocket(listener_);  // a pending accept fails: the thread ends
    if (thread_.joinable()) {
      thread_.join();
    }
    WSACleanup();
  }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  void Answer(std::vector<std::string> bodies) {
    thread_ = std::thread([this, bodies = std::move(bodies)] {
      for (const std::string& body : bodies) {
        const SOCKET client = accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET) {
          return;
        }
        std::string head;
        char buffer[4096];
        int got = 0;
        while (head.find("\r\n\r\n") == std::string::npos &&
               (got = recv(client, buffer, sizeof(buffer), 0)) > 0) {
          head.append(buffer, static_cast<size_t>(got));
        }
        const std::string reply =
            "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\nConnection: close\r\n\r\n" + body;
        for (size_t sent = 0; sent < reply.size();) {
          const int n = send(client, reply.data() + sent, static_cast<int>(reply.size() - sent), 0);
          if (n <= 0) {
            break;
          }
          sent += static_cast<size_t>(n);
        }
        shutdown(client, SD_SEND);
        closesocket(client);
      }
    });
  }

 private:
  SOCKET listener_ = INVALID_SOCKET;
  int port_ = 0;
  std::thread thread_;
};

// An export by name as the function type it has (FARPROC is a placeholder type).
template <typename Function>
Function Export(HMODULE dll, const char* name) {
  const FARPROC address = ::GetProcAddress(dll, name);
  Function function = nullptr;
  static_assert(sizeof(function) == sizeof(address));
  std::memcpy(&function, &address, sizeof(function));
  return function;
}

std::string Command(const std::string& name, int64_t token, const Json& parameters) {
  return Json{{"version", "1.0"}, {"command", name}, {"token", token}, {"parameters", parameters}}
      .dump();
}

std::string Sample(const char* name) {
  std::string path;
  for (const wchar_t c : std::wstring(TAVORI_WIN_TRUST_SAMPLES)) {
    path += static_cast<char>(c);  // the source tree's path is ASCII
  }
  return path + "\\" + name;
}

std::string Install(const char* sample, int elevate) {
  return Command("install", 1,
                 {{"install_param", "/S"},
                  {"package_path", Sample(sample)},
                  {"package_md5", "d41d8cd98f00b204e9800998ecf8427e"},
                  {"elevate_privilege", elevate}});
}

// The DLL as a host loads it.  ctest runs each test in a process of its own, so each loads the
// library afresh; it is never unloaded (its network thread lives to the end of the process).
class UpdateLibDllTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HMODULE dll = ::LoadLibraryW(UPDATE_LIB_DLL);
    ASSERT_NE(dll, nullptr) << ::GetLastError();
    do_operation_ = Export<DoUpdateOperationFn>(dll, "DoUpdateOperation");
    set_init_ = Export<SetInitTavoriSdkFn>(dll, "SetInitTavoriSDK");
    set_delegate_ = Export<SetUpdateDelegateFn>(dll, "SetUpdateDelegate");
    ASSERT_TRUE(do_operation_ != nullptr && set_init_ != nullptr && set_delegate_ != nullptr);
  }

  DoUpdateOperationFn do_operation_ = nullptr;
  SetInitTavoriSdkFn set_init_ = nullptr;
  SetUpdateDelegateFn set_delegate_ = nullptr;
};

TEST_F(UpdateLibDllTest, DispatchesAndInstallsThroughTheWin32Backend) {
  RecordingDelegate delegate;
  set_init_(false);
  EXPECT_EQ(set_delegate_(&delegate), 0);
  const struct {
    std::string request;
    int expected;
  } cases[] = {
      {"", UpdateLib::kResultBadRequest},
      {R"({"version":"1.0","command":"nothing"})", UpdateLib::kResultUnknownCommand},
      {Install("unsigned.exe", 0), UpdateLib::kResultInstallerNotStarted},
      {Install("other-publisher.exe", 2), UpdateLib::kResultInstallerNotStarted},
      // REGDB_E_CLASSNOTREG (0x80040154) with bits 16 and 17 set.
      {Install("signed.exe", 1), static_cast<int>(0x80070154)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(do_operation_(c.request), c.expected) << c.request;
  }
}

TEST_F(UpdateLibDllTest, ChecksAndDownloadsWithProgress) {
  const std::string package(300 * 1024, 'p');
  LoopbackServer server;
  const std::string offer = Json{
      {"upgrade_policy", 2},
      {"version", "9.9.9.9"},
      {"package_url", server.Url("/pkg/setup.exe")},
      {"size", package.size()},
      {"md5", util::crypto::Md5(
                  package)}}.dump();
  server.Answer({offer, package});
  RecordingDelegate delegate;
  set_init_(true);
  ASSERT_EQ(set_delegate_(&delegate), 0);
  ASSERT_EQ(do_operation_(Command("check_upgrade", 5,
                                  {{"app_from", "tavoriapp"},
                                   {"from_where", 2},
                                   {"cgi_url", server.Url("/check?client=host")},
                                   {"enable_patch", 0}})),
            0);
  const std::vector<Json> checked = delegate.WaitFor("cgi_response");
  ASSERT_EQ(checked.size(), 1u);
  EXPECT_EQ(checked[0]["parameters"]["response_data"], offer);
  ASSERT_EQ(do_operation_(Command("download", 5, {{"download_path", ""}})), 0);
  const std::vector<Json> events = delegate.WaitFor("download_finish");
  ASSERT_GE(events.size(), 4u);
  EXPECT_EQ(events[1]["command"], "download_start");
  EXPECT_EQ(events[events.size() - 2]["command"], "download_progress");
  EXPECT_EQ(events[events.size() - 2]["parameters"]["downloaded_size"], package.size());
  const Json& finish = events.back();
  ASSERT_EQ(finish["command"], "download_finish");
  EXPECT_EQ(finish["parameters"]["err_code"], 0);
  std::ifstream file(std::filesystem::u8path(finish["parameters"]["path"].get<std::string>()),
                     std::ios::binary);
  EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(file), {}) == package);
}

}  // namespace
