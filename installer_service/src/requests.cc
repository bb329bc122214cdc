// Requests: what a caller may ask and how each request is checked before any work is queued.
// DecodeRequest is pure; OnRequest runs on Run()'s thread.

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>

#include "base/log/log.h"
#include "src/installer_service.h"
#include "src/service_internal.h"
#include "util/crypto/crypto.h"

namespace installer_service {
namespace {

constexpr char kLogSource[] = "installer_service";

using base::log::kLevelRefused;
using Json = nlohmann::json;
using os::posix::ScopedFd;

}  // namespace

DecodedRequest DecodeRequest(std::string_view payload) {
  DecodedRequest decoded;
  const Json request = Json::parse(payload, nullptr, /*allow_exceptions=*/false);
  if (!request.is_object() || !request.contains("type") || !request["type"].is_string()) {
    return decoded;
  }
  decoded.type = request["type"].get<std::string>();
  if (decoded.type == "create") {
    decoded.kind = DecodedRequest::Kind::kCreate;
    const Json clsid = request.value("clsid", Json());
    const Json iid = request.value("iid", Json());
    if (!clsid.is_string() ||
        clsid.get<std::string>() != os::com::GuidText(os::com::kPrivilegedInstallerClassId)) {
      decoded.create_result = kRegdbEClassNotReg;
    } else if (!iid.is_string() ||
               iid.get<std::string>() !=
                   os::com::GuidText(os::com::kPrivilegedInstallerInterfaceId)) {
      decoded.create_result = kENoInterface;
    }
    return decoded;
  }
  if (decoded.type != "exec_install") {
    decoded.kind = DecodedRequest::Kind::kOther;
    return decoded;
  }
  decoded.kind = DecodedRequest::Kind::kExecInstall;
  auto text = [&request](const char* key, size_t limit, std::string* out) {
    auto it = request.find(key);
    if (it == request.end() || !it->is_string()) {
      return false;
    }
    *out = it->get<std::string>();
    return out->size() <= limit && out->find('\0') == std::string::npos;
  };
  auto number = [&request](const char* key, uint32_t* out) {
    auto it = request.find(key);
    if (it == request.end() || !it->is_number_unsigned() || it->get<uint64_t>() > UINT32_MAX) {
      return false;
    }
    *out = static_cast<uint32_t>(it->get<uint64_t>());
    return true;
  };
  uint32_t mode = 0;
  // The session is recorded; the installer runs as the service, which is the point of asking it.
  decoded.exec_valid = text("path", kMaxPathBytes, &decoded.path) &&
                       text("parameters", kMaxParameterBytes, &decoded.parameters) &&
                       text("md5", kMaxMd5TextBytes, &decoded.md5) &&
                       number("session_id", &decoded.session_id) && number("mode", &mode) &&
                       !decoded.path.empty() && decoded.path.front() == '/' &&
                       util::crypto::IsMd5Text(decoded.md5) && mode == kModeStart;
  return decoded;
}

void Service::OnRequest(Connection* connection, const std::string& payload, ScopedFd descriptor,
                        bool extra_ancillary) {
  const Caller& caller = connection->caller;
  DecodedRequest request = DecodeRequest(payload);
  if (request.kind == DecodedRequest::Kind::kMalformed) {
    BASE_LOG(kLevelRefused) << "malformed request from uid " << caller.uid << " pid " << caller.pid;
    Reply(connection, kEInvalidArg);
    return;
  }
  const bool exec_install = request.kind == DecodedRequest::Kind::kExecInstall;
  // Exactly one descriptor comes with ExecInstall, and nothing with anything else.
  if (extra_ancillary || descriptor.valid() != exec_install) {
    BASE_LOG(kLevelRefused) << "request \"" << request.type << "\" from uid " << caller.uid
                            << " pid " << caller.pid << " came with "
                            << (extra_ancillary      ? "unexpected ancillary data"
                                : descriptor.valid() ? "a descriptor"
                                                     : "no descriptor");
    Reply(connection, kEInvalidArg);
    return;
  }
  if (request.kind == DecodedRequest::Kind::kCreate) {
    connection->created = connection->created || request.create_result == kSOk;
    Reply(connection, request.create_result);
    return;
  }
  if (!exec_install) {
    Reply(connection, kENotImpl);
    return;
  }
  if (!connection->created) {
    Reply(connection, kEUnexpected);
    return;
  }
  if (!request.exec_valid) {
    BASE_LOG(kLevelRefused) << "bad ExecInstall request from uid " << caller.uid << " pid "
                            << caller.pid;
    Reply(connection, kEInvalidArg);
    return;
  }
  auto install = std::make_unique<Install>();
  install->connection_id = connection->id;
  install->caller = caller;
  install->path = std::move(request.path);
  install->parameters = std::move(request.parameters);
  install->md5 = std::move(request.md5);
  install->session_id = request.session_id;
  install->installer = std::move(descriptor);
  connection->state = Connection::State::kWorking;
  connection->working_since = Clock::now();
  {
    base::AutoLock lock(mu_);
    queue_.push_back(std::move(install));
  }
  work_ready_.Broadcast();
}

}  // namespace installer_service
