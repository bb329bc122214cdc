#include "src/winhttp_request.h"

#include <algorithm>

#include "base/log/log.h"
#include "src/retry_policy.h"
#include "src/sdk_runtime.h"

namespace tavorisdk::internal {
namespace {

constexpr char kLogSource[] = "tavori_platform";

// The session and, when it could not use WinHTTP's automatic proxy, the user's named proxy.
struct Session {
  HINTERNET handle = nullptr;
  std::wstring proxy;   // empty: none
  std::wstring bypass;  // empty: none
};

// Frees what WinHttpGetIEProxyConfigForCurrentUser allocated, keeping copies.
std::wstring TakeGlobalString(LPWSTR text) {
  std::wstring copy = text != nullptr ? std::wstring(text) : std::wstring();
  if (text != nullptr) {
    ::GlobalFree(text);
  }
  return copy;
}

Session OpenSession() {
  Session session;
  const std::wstring agent = WidenUtf8(DefaultUserAgent());
  session.handle =
      ::WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                    WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
  if (session.handle == nullptr) {
    // Systems before Windows 8.1: the user's named proxy, set on each request.
    BASE_LOG(base::log::kLevelNote)
        << "no automatic proxy (" << ::GetLastError() << "); using the user's named proxy, if any";
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (::WinHttpGetIEProxyConfigForCurrentUser(&config)) {
      TakeGlobalString(config.lpszAutoConfigUrl);
      session.proxy = TakeGlobalString(config.lpszProxy);
      session.bypass = TakeGlobalString(config.lpszProxyBypass);
    }
    session.handle =
        ::WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                      WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
  }
  if (session.handle == nullptr) {
    BASE_LOG(base::log::kLevelFailure) << "WinHttpOpen failed: " << ::GetLastError();
    return session;
  }
  DWORD per_server = static_cast<DWORD>(std::max(1, StartupParams().max_connections_per_host));
  ::WinHttpSetOption(session.handle, WINHTTP_OPTION_MAX_CONNS_PER_SERVER, &per_server,
                     sizeof(per_server));
  if (!StartupParams().ca_bundle_path.empty()) {
    BASE_LOG(base::log::kLevelNote)
        << "a certificate bundle is not used on Windows; TLS is verified against the system store";
  }
  return session;
}

const Session& TheSession() {
  static const Session* session = new Session(OpenSession());
  return *session;
}

bool SetDword(HINTERNET handle, DWORD option, DWORD value) {
  return ::WinHttpSetOption(handle, option, &value, sizeof(value)) != FALSE;
}

}  // namespace

std::wstring WidenUtf8(std::string_view text) {
  if (text.empty()) {
    return {};
  }
  const int length =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(std::max(0, length)), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
  return wide;
}

std::string NarrowToUtf8(std::wstring_view text) {
  if (text.empty()) {
    return {};
  }
  const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(std::max(0, length)), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(),
                        length, nullptr, nullptr);
  return narrow;
}

HINTERNET WinHttpSession() { return TheSession().handle; }

bool IsTransientWinHttpError(DWORD error) {
  switch (error) {
    case ERROR_WINHTTP_TIMEOUT:
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
    case ERROR_WINHTTP_SECURE_FAILURE:
      return true;
    default:
      return false;
  }
}

bool IsTlsWinHttpError(DWORD error) {
  return error == ERROR_WINHTTP_SECURE_FAILURE || error == ERROR_WINHTTP_SECURE_FAILURE_PROXY ||
         (error >= ERROR_WINHTTP_SECURE_CERT_DATE_INVALID &&
          error <= ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE);
}

// The status callback's context: WinHTTP's from WinHttpSendRequest until it reports the
// request handle closing.  |owner| is read on WinHTTP's threads; it is set before the callback
// is installed and never changed.
struct WinHttpRequest::Bridge {
  std::weak_ptr<WinHttpRequest> owner;
  HINTERNET request = nullptr;
  std::unique_ptr<char[]> buffer = std::make_unique<char[]>(kReadBytes);
};

WinHttpRequest::WinHttpRequest(Client* client, HINTERNET connect, HINTERNET request, Bridge* bridge)
    : client_(client), connect_(connect), request_(request), bridge_(bridge) {}

WinHttpRequest::~WinHttpRequest() { Close(); }

std::shared_ptr<WinHttpRequest> WinHttpRequest::Start(const WinHttpRequestOptions& options,
                                                      Client* client, DWORD* error) {
  const Session& session = TheSession();
  if (session.handle == nullptr) {
    *error = ERROR_WINHTTP_INTERNAL_ERROR;
    return nullptr;
  }
  const std::wstring url = WidenUtf8(options.url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof(parts);
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (url.empty() || !::WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
    *error = url.empty() ? ERROR_WINHTTP_INVALID_URL : ::GetLastError();
    return nullptr;
  }
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
    *error = ERROR_WINHTTP_UNRECOGNIZED_SCHEME;
    return nullptr;
  }
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
  path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (path.empty()) {
    path = L"/";
  }
  HINTERNET connect = ::WinHttpConnect(session.handle, host.c_str(), parts.nPort, 0);
  if (connect == nullptr) {
    *error = ::GetLastError();
    return nullptr;
  }
  HINTERNET request = ::WinHttpOpenRequest(
      connect, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
      parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
  if (request == nullptr) {
    *error = ::GetLastError();
    ::WinHttpCloseHandle(connect);
    return nullptr;
  }
  ::WinHttpSetTimeouts(request, options.connect_timeout_ms, options.connect_timeout_ms,
                       options.receive_timeout_ms, options.receive_timeout_ms);
  SetDword(request, WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, static_cast<DWORD>(kMaxRedirects));
  SetDword(request, WINHTTP_OPTION_REDIRECT_POLICY,
           WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP);
  if (options.decompress &&
      !SetDword(request, WINHTTP_OPTION_DECOMPRESSION, WINHTTP_DECOMPRESSION_FLAG_ALL)) {
    BASE_LOG(base::log::kLevelNote) << "no decompression in WinHTTP: " << ::GetLastError();
  }
  if (!session.proxy.empty()) {
    WINHTTP_PROXY_INFO proxy{};
    proxy.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    proxy.lpszProxy = const_cast<LPWSTR>(session.proxy.c_str());
    proxy.lpszProxyBypass =
        session.bypass.empty() ? nullptr : const_cast<LPWSTR>(session.bypass.c_str());
    ::WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &proxy, sizeof(proxy));
  }
  std::wstring headers;
  if (!options.user_agent.empty()) {
    headers += L"User-Agent: " + WidenUtf8(options.user_agent) + L"\r\n";
  }
  for (const std::string& header : options.headers) {
    headers += WidenUtf8(header) + L"\r\n";
  }
  if (!headers.empty() &&
      !::WinHttpAddRequestHeaders(request, headers.c_str(), static_cast<DWORD>(-1L),
                                  WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
    *error = ::GetLastError();
    ::WinHttpCloseHandle(request);
    ::WinHttpCloseHandle(connect);
    return nullptr;
  }

  auto* bridge = new Bridge();
  bridge->request = request;
  std::shared_ptr<WinHttpRequest> self(new WinHttpRequest(client, connect, request, bridge));
  bridge->owner = self;
  auto context = reinterpret_cast<DWORD_PTR>(bridge);
  ::WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context));
  if (::WinHttpSetStatusCallback(
          request, &WinHttpRequest::OnStatus,
          WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
          0) == WINHTTP_INVALID_STATUS_CALLBACK) {
    *error = ::GetLastError();
    delete bridge;  // no callback was installed: nobody else will free it
    self->bridge_ = nullptr;
    self->Close();
    return nullptr;
  }
  if (!::WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                            0, context)) {
    *error = ::GetLastError();
    self->Close();  // the handle-closing news frees the bridge
    return nullptr;
  }
  return self;
}

void CALLBACK WinHttpRequest::OnStatus(HINTERNET handle, DWORD_PTR context, DWORD status,
                                       LPVOID info, DWORD length) {
  auto* bridge = reinterpret_cast<Bridge*>(context);
  if (bridge == nullptr) {
    return;
  }
  DWORD value = 0;
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
      if (handle == bridge->request) {
        delete bridge;  // the last news of this handle
      }
      return;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      value = length;
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      value = static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError;
      break;
    default:
      return;
  }
  // WinHTTP's thread: hand the news over and return.
  PostNetworkTask([weak = bridge->owner, status, value] {
    if (std::shared_ptr<WinHttpRequest> self = weak.lock()) {
      self->Handle(status, value);
    }
  });
}

void WinHttpRequest::Handle(DWORD status, DWORD value) {
  if (closed_) {
    return;
  }
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
      client_->OnSent();
      if (!closed_ && !::WinHttpReceiveResponse(request_, nullptr)) {
        client_->OnError(::GetLastError());
      }
      return;
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE: {
      DWORD code = 0;
      DWORD size = sizeof(code);
      ::WinHttpQueryHeaders(request_, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX);
      client_->OnHeaders(code);
      return;
    }
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      client_->OnData(bridge_->buffer.get(), value);
      return;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      client_->OnError(value);
      return;
    default:
      return;
  }
}

void WinHttpRequest::ReadMore() {
  if (closed_) {
    return;
  }
  if (!::WinHttpReadData(request_, bridge_->buffer.get(), kReadBytes, nullptr)) {
    // Reported like an asynchronous failure, on a later turn of the loop.
    PostNetworkTask([weak = weak_from_this(), error = ::GetLastError()] {
      if (std::shared_ptr<WinHttpRequest> self = weak.lock()) {
        self->Handle(WINHTTP_CALLBACK_STATUS_REQUEST_ERROR, error);
      }
    });
  }
}

std::vector<std::string> WinHttpRequest::ResponseHeaders() const {
  std::vector<std::string> lines;
  DWORD size = 0;
  ::WinHttpQueryHeaders(request_, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                        WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX);
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) {
    return lines;
  }
  std::wstring raw(size / sizeof(wchar_t), L'\0');
  if (!::WinHttpQueryHeaders(request_, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                             raw.data(), &size, WINHTTP_NO_HEADER_INDEX)) {
    return lines;
  }
  raw.resize(size / sizeof(wchar_t));
  const std::string text = NarrowToUtf8(raw);
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
      end = text.size();
    }
    if (end > at) {
      lines.push_back(text.substr(at, end - at));
    }
    at = end + 2;
  }
  return lines;
}

void WinHttpRequest::Close() {
  if (closed_) {
    return;
  }
  closed_ = true;
  // Cancels what is pending; WinHTTP then reports the handle closing, which frees the bridge.
  ::WinHttpCloseHandle(request_);
  ::WinHttpCloseHandle(connect_);
}

}  // namespace tavorisdk::internal
