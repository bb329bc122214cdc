// update_lib.dll as a Windows host uses it: loaded with LoadLibraryW and reached only through its
// three exports, under Wine.  Install goes through the DLL's Win32 backend: the publisher check
// refuses an unsigned installer without starting it, and the elevated way reports that no
// privileged installer service is registered.

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>

#include "update_lib.h"

namespace {

using DoUpdateOperationFn = int (*)(const std::string&);
using SetInitTavoriSdkFn = void (*)(bool);
using SetUpdateDelegateFn = int (*)(IUpdateEventDelegate*);

// Events are not expected from these commands; any that come are counted.
class CountingDelegate final : public IUpdateEventDelegate {
 public:
  void OnUpdateEvent(const std::string& /*event*/) override { ++events; }
  std::atomic<int> events{0};
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

std::string Install(const std::wstring& package, int elevate) {
  std::string path;
  for (const wchar_t c : package) {
    path += static_cast<char>(c);  // the samples' paths are ASCII
  }
  std::string escaped;
  for (const char c : path) {
    escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  }
  return R"({"version":"1.0","command":"install","token":1,"parameters":{"install_param":"/S",)"
         R"("package_path":")" +
         escaped + R"(","package_md5":"d41d8cd98f00b204e9800998ecf8427e","elevate_privilege":)" +
         std::to_string(elevate) + "}}";
}

TEST(UpdateLibDllTest, LoadsAndDispatchesThroughItsThreeExports) {
  HMODULE dll = ::LoadLibraryW(UPDATE_LIB_DLL);
  ASSERT_NE(dll, nullptr) << ::GetLastError();
  const auto do_operation = Export<DoUpdateOperationFn>(dll, "DoUpdateOperation");
  const auto set_init = Export<SetInitTavoriSdkFn>(dll, "SetInitTavoriSDK");
  const auto set_delegate = Export<SetUpdateDelegateFn>(dll, "SetUpdateDelegate");
  ASSERT_TRUE(do_operation != nullptr && set_init != nullptr && set_delegate != nullptr);

  CountingDelegate delegate;
  set_init(false);
  EXPECT_EQ(set_delegate(&delegate), 0);
  const std::wstring samples = TAVORI_WIN_TRUST_SAMPLES;
  const struct {
    std::string request;
    int expected;
  } cases[] = {
      {"", UpdateLib::kResultBadRequest},
      {R"({"version":"1.0","command":"nothing"})", UpdateLib::kResultUnknownCommand},
      {Install(samples + L"\\unsigned.exe", 0), UpdateLib::kResultInstallerNotStarted},
      {Install(samples + L"\\other-publisher.exe", 2), UpdateLib::kResultInstallerNotStarted},
      // REGDB_E_CLASSNOTREG (0x80040154) with bits 16 and 17 set.
      {Install(samples + L"\\signed.exe", 1), static_cast<int>(0x80070154)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(do_operation(c.request), c.expected) << c.request;
  }
  EXPECT_EQ(delegate.events, 0);
}

}  // namespace
