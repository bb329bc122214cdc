// libFuzzer target for the update service's answer: the check answer as the network thread
// hands it to the update operation (OnResponse with status 200), then the stored answer as the
// next "download" reads it. The run is an unattended one, so the answer's version is compared
// with the silently installed one (3.2.0.1, fuzz_process.h) and a download policy starts a
// download of the offered package, which fails at once: the process has no network.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/json/json_value.h"
#include "fuzz_process.h"
#include "update_lib.h"
#include "update_operation.h"
#include "value_parsing.h"

namespace {

using base::json::JsonValue;
using UpdateLib::UpdateOperation;

JsonValue Parse(const std::string& text) {
  JsonValue value;
  if (value.ParseFromJson(text.data(), text.size(), UpdateLib::kParseMode,
                          UpdateLib::kRejectDuplicateKeys) != base::json::kParseOk) {
    std::abort();
  }
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  update_fuzz::PrepareIsolatedProcess();
  UpdateOperation::SetInitSDK(true);
  UpdateOperation* operation = UpdateOperation::GetInstance();
  // An unattended run: its check goes to the remembered URL, which nothing answers.
  operation->storage()->SetUpdateConfig(UpdateLib::kCgiUrlKey, "http://127.0.0.1:9/check?c=1");
  JsonValue check = Parse(R"({"app_from":"update_process","enable_patch":0})");
  if (operation->CheckUpdate(check) != UpdateLib::kResultOk) {
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  UpdateOperation* operation = UpdateOperation::GetInstance();
  const std::string answer(reinterpret_cast<const char*>(data), size);
  operation->OnResponse(nullptr, 200, &answer);
  JsonValue no_parameters;
  const int result = operation->DownloadPackage(no_parameters);
  if (result != UpdateLib::kResultOk && result != UpdateLib::kResultNoCheckAnswer &&
      result != UpdateLib::kResultNoPackage) {
    std::abort();
  }
  return 0;
}
