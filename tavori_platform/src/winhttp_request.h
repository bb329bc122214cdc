// One GET on WinHTTP in asynchronous mode, for the CGI and download transfers of the Windows
// backend, and the process's WinHTTP session.
//
// The session (WinHttpOpen with WINHTTP_FLAG_ASYNC) takes the system's proxy settings: WinHTTP's
// automatic proxy (WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY: the user's settings, auto-detection and
// configuration scripts) where the system has it, otherwise the named proxy and bypass list of
// the user's Internet settings (WinHttpGetIEProxyConfigForCurrentUser), set on each request.
// Redirects are followed by WinHTTP (never from HTTPS to HTTP, at most kMaxRedirects); TLS is
// verified against the system's store.
//
// Threads: WinHTTP reports progress on its own threads; the status callback only posts the news
// to the network thread (PostNetworkTask), where every Client method runs.  Start, ReadMore,
// QueryHeaders and Close are network-thread calls.  The callback's context is a Bridge that
// holds the read buffer and a weak reference to the request, freed when WinHTTP reports the
// request handle closing, so that a late callback never reaches a freed request or buffer.

#ifndef TAVORI_PLATFORM_SRC_WINHTTP_REQUEST_H_
#define TAVORI_PLATFORM_SRC_WINHTTP_REQUEST_H_

#include <windows.h>
#include <winhttp.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tavorisdk::internal {

// UTF-8 and UTF-16 for the Windows calls.
std::wstring WidenUtf8(std::string_view text);
std::string NarrowToUtf8(std::wstring_view text);

// The process's WinHTTP session, opened on first use; null when WinHttpOpen failed.  Any thread.
HINTERNET WinHttpSession();

struct WinHttpRequestOptions {
  std::string url;
  std::string user_agent;            // empty: the SDK's default
  std::vector<std::string> headers;  // "Name: value"
  int connect_timeout_ms = 15000;
  int receive_timeout_ms = 30000;  // no byte for this long: ERROR_WINHTTP_TIMEOUT
  bool decompress = false;         // accept gzip and deflate
};

// Failures that another attempt may cure: refused or reset connections, timeouts, and
// responses that broke off.
bool IsTransientWinHttpError(DWORD error);
bool IsTlsWinHttpError(DWORD error);

class WinHttpRequest : public std::enable_shared_from_this<WinHttpRequest> {
 public:
  // Receives the request's progress, on the network thread.  After OnError, or OnData with no
  // bytes (the body is complete), nothing more comes.
  class Client {
   public:
    virtual void OnSent() {}
    // The final response's headers are in (after redirects); the body follows on ReadMore.
    virtual void OnHeaders(DWORD status) = 0;
    // |bytes| at |data| (valid during the call); no bytes: the body is complete.
    virtual void OnData(const char* data, size_t bytes) = 0;
    virtual void OnError(DWORD error) = 0;

   protected:
    ~Client() = default;
  };

  // Bytes per WinHttpReadData.
  static constexpr DWORD kReadBytes = 64 * 1024;

  // Opens and sends the request; |client| must outlive it or its Close.  Null (and |*error|
  // set) when it could not be sent; the client is then never called.
  static std::shared_ptr<WinHttpRequest> Start(const WinHttpRequestOptions& options, Client* client,
                                               DWORD* error);
  ~WinHttpRequest();
  WinHttpRequest(const WinHttpRequest&) = delete;
  WinHttpRequest& operator=(const WinHttpRequest&) = delete;

  // Asks for the next piece of the body (after OnHeaders or OnData).
  void ReadMore();
  // The final response's headers, one "Name: value" line each (after OnHeaders).
  std::vector<std::string> ResponseHeaders() const;
  // Closes the handles; no client call follows.
  void Close();

 private:
  struct Bridge;
  WinHttpRequest(Client* client, HINTERNET connect, HINTERNET request, Bridge* bridge);

  static void CALLBACK OnStatus(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                                DWORD length);
  // Network thread: one piece of news from the status callback.
  void Handle(DWORD status, DWORD value);

  Client* client_;
  HINTERNET connect_;
  HINTERNET request_;
  Bridge* bridge_;  // WinHTTP's until the handle-closing news
  bool closed_ = false;
};

}  // namespace tavorisdk::internal

#endif  // TAVORI_PLATFORM_SRC_WINHTTP_REQUEST_H_
