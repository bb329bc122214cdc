// libFuzzer target for the command envelope, through the library's export as a host calls it:
// DoUpdateOperation on the real libupdate_lib.so, with the platform SDK started. The process
// has private folders and no network (fuzz_process.h), so a fuzzed "check_upgrade" fails at once
// on the network thread, "download" finds no stored answer, and "install" finds no installer
// service and no signed installer.
//
// Checked on every input: the result is one of the documented codes, and every event the library
// delivers is a JSON object with a "command".

#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "fuzz_process.h"
#include "update_lib.h"

namespace {

// Final, and the interface's destructor is protected: nothing deletes it through a base.
// NOLINTNEXTLINE(cppcoreguidelines-virtual-class-destructor)
class CheckingDelegate final : public IUpdateEventDelegate {
 public:
  void OnUpdateEvent(const std::string& event) override {
    const nlohmann::json parsed = nlohmann::json::parse(event, nullptr, false);
    if (!parsed.is_object() || !parsed.contains("command") || !parsed["command"].is_string()) {
      std::abort();
    }
  }
};

bool IsDocumentedResult(int result) {
  namespace lib = UpdateLib;
  for (const int documented :
       {lib::kResultOk, lib::kResultBadRequest, lib::kResultUnknownCommand,
        lib::kResultInstallerNotStarted, lib::kResultNoServiceUrl, lib::kResultNoCheckAnswer,
        lib::kResultNoPackage, lib::kResultStaleToken}) {
    if (result == documented) {
      return true;
    }
  }
  // kResultElevatedInstallFailed | HRESULT: the installer service refused or failed.
  const auto bits = static_cast<uint32_t>(lib::kResultElevatedInstallFailed);
  return (static_cast<uint32_t>(result) & bits) == bits;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  update_fuzz::PrepareIsolatedProcess();
  static CheckingDelegate delegate;
  SetInitTavoriSDK(true);
  SetUpdateDelegate(&delegate);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int result = DoUpdateOperation(std::string(reinterpret_cast<const char*>(data), size));
  if (!IsDocumentedResult(result)) {
    std::abort();
  }
  return 0;
}
