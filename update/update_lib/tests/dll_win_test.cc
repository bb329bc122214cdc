// update_lib.dll as a Windows host uses it, under Wine: loaded with LoadLibraryW and reached only
// through its three exports.  A check and a download with progress against a loopback server;
// installs through the Win32 backend: an unsigned or foreign installer is refused without being
// started, an installer signed by an accepted publisher is started with the caller's rights and
// the arguments given, and the elevated way reports that no privileged installer service is
// registered.

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tavorisdk/test/loopback_server_win.h"
#include "update_lib.h"
#include "util/crypto/crypto.h"

namespace {

using Json = nlohmann::json;
using tavorisdk::test::LoopbackServer;
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

// The source and build trees' paths are ASCII.
std::string Narrow(const std::wstring& wide) {
  std::string narrow;
  for (const wchar_t c : wide) {
    narrow += static_cast<char>(c);
  }
  return narrow;
}

std::string Sample(const char* name) { return Narrow(TAVORI_WIN_TRUST_SAMPLES) + "\\" + name; }

std::string Install(const std::string& path, int elevate, const std::string& parameters = "/S") {
  return Command("install", 1,
                 {{"install_param", parameters},
                  {"package_path", path},
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
  // The stand-in installer writes its arguments to |record| and then sets the event |ran|.
  const std::string id = std::to_string(::GetCurrentProcessId());
  const std::string event = "Local\\tavori-install-recorder-" + id;
  const HANDLE ran = ::CreateEventA(nullptr, TRUE, FALSE, event.c_str());
  ASSERT_NE(ran, nullptr);
  const std::filesystem::path record =
      std::filesystem::temp_directory_path() / ("install-recorder-" + id + ".txt");
  std::filesystem::remove(record);
  const struct {
    std::string request;
    int expected;
  } cases[] = {
      {"", UpdateLib::kResultBadRequest},
      {R"({"version":"1.0","command":"nothing"})", UpdateLib::kResultUnknownCommand},
      {Install(Sample("unsigned.exe"), 0), UpdateLib::kResultInstallerNotStarted},
      {Install(Sample("other-publisher.exe"), 2), UpdateLib::kResultInstallerNotStarted},
      // REGDB_E_CLASSNOTREG (0x80040154) with bits 16 and 17 set.
      {Install(Sample("signed.exe"), 1), static_cast<int>(0x80070154)},
      {Install(Narrow(TAVORI_INSTALL_RECORDER), 0,
               "\"" + record.string() + "\" " + event + " /S \"/D=C:\\Program Files\\x\""),
       UpdateLib::kResultOk},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(do_operation_(c.request), c.expected) << c.request;
  }
  ASSERT_EQ(::WaitForSingleObject(ran, 60 * 1000), WAIT_OBJECT_0);
  ::CloseHandle(ran);
  std::ifstream recorded(record, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(recorded), {}),
            record.string() + "\n" + event + "\n/S\n/D=C:\\Program Files\\x\n");
  recorded.close();
  std::filesystem::remove(record);
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
  server.Serve("/check", LoopbackServer::Make(200, offer));
  server.Serve("/pkg/setup.exe", LoopbackServer::Make(200, package));
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
