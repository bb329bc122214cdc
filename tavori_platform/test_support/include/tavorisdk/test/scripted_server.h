// Test support: an HTTP(S) server on 127.0.0.1 (port 0) that answers each
// request with the next planned answer for its path, can fault on purpose
// (stall, cut, lie about the length, ignore ranges), and records every request
// it received.
//
// Usage:
//   ScriptedServer server;
//   server.Plan("/check", Respond(200, R"({"upgrade_policy":0})"));
//   server.Serve("/pkg.exe", package_bytes);  // every request, ranges honoured
//   ... point the code under test at server.Url("/check") ...
//   EXPECT_EQ(server.Requests()[0].Header("cache-control"), "no-cache");
//
// Threads: the server answers on its own threads; every method may be called
// from any thread. A request to a path with nothing planned gets 404 with the
// body "nothing planned".  The destructor releases stalled answers (closing
// their connections) and stops the server.

#ifndef TAVORISDK_TEST_SCRIPTED_SERVER_H_
#define TAVORISDK_TEST_SCRIPTED_SERVER_H_

#include <chrono>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
}

namespace tavorisdk::test {

inline constexpr size_t kNever = std::numeric_limits<size_t>::max();

// One planned answer.  Faults apply to the body actually sent (after a range
// was applied).
struct PlannedAnswer {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers = {};  // sent as given (no Content-Type)
  std::string body = {};
  // Content-Length to announce; -1: the length of what is sent.  Announcing
  // more than is sent closes the connection after the body (a body cut short);
  // announcing less sends the whole body all the same (a body longer than
  // announced).
  int64_t announced_length = -1;
  size_t cut_after = kNever;          // close the connection after this many body bytes
  size_t stall_after = kNever;        // send this many body bytes, then hold until ReleaseStalls()
  bool stall_before_headers = false;  // hold before sending anything until ReleaseStalls()
  // A 200 answer to "Range: bytes=N-" becomes 206 with that part of the body,
  // unless the request carries an If-Range that differs from |etag|; false
  // ignores Range headers altogether.
  bool honour_range = true;
  std::string etag = {};  // sent as ETag when not empty (quotes included, as given)
};

// A plain answer: |status| with |body|.
inline PlannedAnswer Respond(int status, std::string body = "") {
  PlannedAnswer answer;
  answer.status = status;
  answer.body = std::move(body);
  return answer;
}

struct RecordedRequest {
  std::string method;
  std::string path;                                 // without the query
  std::string target;                               // path and query, as sent
  std::multimap<std::string, std::string> headers;  // names in lower case
  std::string body;

  // The first value of header |name| (lower case), or "".
  std::string Header(const std::string& name) const;
};

struct TlsFiles {
  std::string certificate_path;  // PEM; also the CA bundle that trusts it
  std::string key_path;
};

// Writes a fresh self-signed certificate for 127.0.0.1 and its key into |dir|.
TlsFiles MakeSelfSignedTls(const std::string& dir);

class ScriptedServer {
 public:
  // Plain HTTP, or HTTPS with |tls|.
  explicit ScriptedServer(const TlsFiles* tls = nullptr);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  // "http://127.0.0.1:<port><path>" (https with TLS).
  std::string Url(const std::string& path) const;

  // Queues |answer| for the next request to |path| (answers are used once, in
  // order).
  void Plan(const std::string& path, PlannedAnswer answer);
  // Answers requests to |path| when nothing is queued for it.
  void SetDefault(const std::string& path, PlannedAnswer answer);
  // A file at |path|: 200 with |body|, ranges honoured, ETag |etag| (default: a
  // fixed one).
  void Serve(const std::string& path, std::string body, std::string etag = "\"v1\"");

  // Lets every stalled answer go on.
  void ReleaseStalls();

  std::vector<RecordedRequest> Requests() const;
  size_t RequestCount() const;
  // Waits until some answer is stalled; false on timeout.
  bool WaitForStall(std::chrono::milliseconds timeout) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  bool tls_ = false;
};

}  // namespace tavorisdk::test

#endif  // TAVORISDK_TEST_SCRIPTED_SERVER_H_
