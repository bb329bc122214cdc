// libFuzzer target for the installer service's request decoder: the input is one frame's payload
// as a local caller sends it (at most the protocol's frame limit). Checked: an ExecInstall that
// decodes as valid carries an absolute path and every text within its limit and free of NULs.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "os/installer_protocol.h"
#include "src/service_internal.h"

namespace {

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

bool Clean(const std::string& text, size_t limit) {
  return text.size() <= limit && text.find('\0') == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using installer_service::DecodedRequest;
  if (size > os::installer_protocol::kMaxFrameBytes) {
    return -1;
  }
  const DecodedRequest request =
      installer_service::DecodeRequest(std::string_view(reinterpret_cast<const char*>(data), size));
  if (request.kind == DecodedRequest::Kind::kExecInstall && request.exec_valid) {
    Check(!request.path.empty() && request.path.front() == '/');
    Check(Clean(request.path, installer_service::kMaxPathBytes));
    Check(Clean(request.parameters, installer_service::kMaxParameterBytes));
    Check(request.md5.size() == 32);
  }
  Check(request.kind != DecodedRequest::Kind::kMalformed || request.type.empty());
  return 0;
}
