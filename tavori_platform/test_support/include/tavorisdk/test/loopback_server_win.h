// Test support for the Windows build: an HTTP server on 127.0.0.1 built on Winsock, for the
// tests that run under Wine (the services on WinHTTP, update_lib.dll as a host loads it).
//
// One connection at a time, one request per connection ("Connection: close").  A path serves
// its resource with ranges honoured (unless If-Range names another ETag); a planned cut sends
// the next answer's headers with the full length and then only |cut| body bytes.  Paths are
// matched in lower case, without their query.  Any thread may call the methods; mu_ guards the
// resources, cuts and requests; the server's own thread does all socket work.

#ifndef TAVORISDK_TEST_LOOPBACK_SERVER_WIN_H_
#define TAVORISDK_TEST_LOOPBACK_SERVER_WIN_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavorisdk::test {

class LoopbackServer {
 public:
  struct Resource {
    int status = 200;
    std::string body;
    std::string etag = "\"v1\"";
    std::string location;  // sent as Location when not empty
  };
  static Resource Make(int status, std::string body, std::string etag = "",
                       std::string location = "");

  LoopbackServer();
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::string Url(const std::string& path) const;
  void Serve(const std::string& path, Resource resource);
  void CutNext(const std::string& path, size_t bytes);
  // Each request's head, header names in lower case.
  std::vector<std::string> Requests() const;

 private:
  void Run();
  // |client| is the accepted SOCKET (the header leaves Winsock's headers out).
  void Answer(uintptr_t client);

  uintptr_t listener_ = 0;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mu_;
  std::map<std::string, Resource> resources_;
  std::map<std::string, size_t> cuts_;
  std::vector<std::string> requests_;
};

}  // namespace tavorisdk::test

#endif  // TAVORISDK_TEST_LOOPBACK_SERVER_WIN_H_
