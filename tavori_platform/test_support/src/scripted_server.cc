#include "tavorisdk/test/scripted_server.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <deque>
#include <stdexcept>

#include "base/synchronization/condition_variable.h"
#include "base/synchronization/lock.h"
#include "base/thread_annotations.h"

// Debian's cpp-httplib is not built for ThreadSanitizer: races it reports inside that library
// (its worker pool and socket code, whose synchronisation TSan cannot see) are not ours.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name TSan's runtime looks up.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
  return "race:libcpp-httplib.so\n";
}

namespace tavorisdk::test {

struct ScriptedServer::State {
  mutable base::Lock mu;
  mutable base::ConditionVariable changed;
  std::map<std::string, std::deque<PlannedAnswer>> planned GUARDED_BY(mu);
  std::map<std::string, PlannedAnswer> defaults GUARDED_BY(mu);
  std::vector<RecordedRequest> requests GUARDED_BY(mu);
  int stalled GUARDED_BY(mu) = 0;
  uint64_t release_generation GUARDED_BY(mu) = 0;
  bool stopping GUARDED_BY(mu) = false;

  // Blocks until ReleaseStalls() or the server stops; true when released.
  bool Stall() {
    base::AutoLock lock(mu);
    const uint64_t generation = release_generation;
    ++stalled;
    changed.Broadcast();
    while (!stopping && release_generation == generation) {
      changed.Wait(mu);
    }
    --stalled;
    return !stopping;
  }
};

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The first byte of "bytes=N-" (the only form the SDK sends); npos for anything else.
size_t RangeStart(const std::string& value) {
  size_t first = 0;
  const char* end = value.data() + value.size();
  if (!value.starts_with("bytes=") || value.back() != '-' ||
      std::from_chars(value.data() + 6, end, first).ptr != end - 1) {
    return std::string::npos;
  }
  return first;
}

}  // namespace

std::string RecordedRequest::Header(const std::string& name) const {
  auto it = headers.find(name);
  return it == headers.end() ? std::string() : it->second;
}

TlsFiles MakeSelfSignedTls(const std::string& dir) {
  TlsFiles files{dir + "/server-cert.pem", dir + "/server-key.pem"};
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  if (key == nullptr || cert == nullptr) {
    throw std::runtime_error("cannot create a test key");
  }
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  const std::pair<const char*, const char*> kExtensions[] = {
      {"subjectAltName", "IP:127.0.0.1"}, {"basicConstraints", "critical,CA:TRUE"}};
  for (const auto& [ext_name, ext_value] : kExtensions) {
    X509_EXTENSION* extension = X509V3_EXT_nconf(nullptr, &ctx, ext_name, ext_value);
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
  }
  X509_sign(cert, key, EVP_sha256());
  FILE* cert_file = std::fopen(files.certificate_path.c_str(), "w");
  FILE* key_file = std::fopen(files.key_path.c_str(), "w");
  if (cert_file == nullptr || key_file == nullptr) {
    throw std::runtime_error("cannot write the test certificate");
  }
  PEM_write_X509(cert_file, cert);
  PEM_write_PrivateKey(key_file, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(cert_file);
  std::fclose(key_file);
  X509_free(cert);
  EVP_PKEY_free(key);
  return files;
}

ScriptedServer::ScriptedServer(const TlsFiles* tls) : state_(std::make_shared<State>()) {
  if (tls != nullptr) {
    server_ =
        std::make_unique<httplib::SSLServer>(tls->certificate_path.c_str(), tls->key_path.c_str());
    tls_ = true;
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  // One request per connection: no idle keep-alive connection delays the
  // server's stop.
  server_->set_keep_alive_max_count(1);

  server_->Get(".*", [state = state_](const httplib::Request& request,
                                      httplib::Response& response) {
    // Ranges are this server's business (so that it can ignore them or check If-Range).
    const_cast<httplib::Request&>(request).ranges.clear();
    RecordedRequest record{request.method, request.path, request.target, {}, request.body};
    for (const auto& [name, value] : request.headers) {
      record.headers.emplace(Lower(name), value);
    }
    PlannedAnswer answer = Respond(404, "nothing planned");
    {
      base::AutoLock lock(state->mu);
      state->requests.push_back(record);
      state->changed.Broadcast();
      if (auto& queue = state->planned[request.path]; !queue.empty()) {
        answer = std::move(queue.front());
        queue.pop_front();
      } else if (auto fallback = state->defaults.find(request.path);
                 fallback != state->defaults.end()) {
        answer = fallback->second;
      }
    }
    if (answer.stall_before_headers && !state->Stall()) {
      response.status = 503;
      return;
    }
    std::string body = std::move(answer.body);
    response.status = answer.status;
    const std::string range = record.Header("range");
    const std::string if_range = record.Header("if-range");
    if (answer.honour_range && answer.status == 200 && !range.empty() &&
        (if_range.empty() || if_range == answer.etag)) {
      const size_t size = body.size();
      const size_t first = RangeStart(range);
      response.status = first < size ? 206 : 416;
      response.set_header("Content-Range", first < size ? "bytes " + std::to_string(first) + "-" +
                                                              std::to_string(size - 1) + "/" +
                                                              std::to_string(size)
                                                        : "bytes */" + std::to_string(size));
      body = first < size ? body.substr(first) : "";
    }
    if (!answer.etag.empty()) {
      response.set_header("ETag", answer.etag);
    }
    for (const auto& [name, value] : answer.headers) {
      response.set_header(name, value);
    }
    const size_t announced =
        answer.announced_length >= 0 ? static_cast<size_t>(answer.announced_length) : body.size();
    if (body.empty() && announced == 0 && answer.stall_after == kNever) {
      response.set_content("", "application/octet-stream");
      return;
    }
    response.set_content_provider(
        announced, "application/octet-stream",
        [state, all = std::make_shared<const std::string>(std::move(body)), answer, announced,
         sent = size_t{0}](size_t, size_t, httplib::DataSink& sink) mutable {
          // Everything up to the first fault, then the fault.
          const size_t until = std::min({all->size(), answer.cut_after, answer.stall_after});
          if (sent < until) {
            if (!sink.write(all->data() + sent, until - sent)) {
              return false;
            }
            sent = until;
          }
          if (sent == answer.stall_after) {
            answer.stall_after = kNever;
            return state->Stall();  // released: the provider is called again for the rest
          }
          // false closes the connection: a cut, or less than announced; true when all is sent
          // (perhaps more than announced).
          return sent != answer.cut_after && sent >= announced;
        });
  });

  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) {
    throw std::runtime_error("scripted server: cannot bind 127.0.0.1");
  }
  // The socket listens already; connections wait in its backlog until the loop
  // runs.
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() only takes effect once the loop runs, so the destructor must not come before that.
  // httplib has no ready signal: poll its flag, with a bound.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
}

ScriptedServer::~ScriptedServer() {
  {
    base::AutoLock lock(state_->mu);
    state_->stopping = true;
    state_->changed.Broadcast();
  }
  server_->stop();
  if (thread_.joinable()) {
    thread_.join();
  }
}

std::string ScriptedServer::Url(const std::string& path) const {
  return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_) + path;
}

void ScriptedServer::Plan(const std::string& path, PlannedAnswer answer) {
  base::AutoLock lock(state_->mu);
  state_->planned[path].push_back(std::move(answer));
}

void ScriptedServer::SetDefault(const std::string& path, PlannedAnswer answer) {
  base::AutoLock lock(state_->mu);
  state_->defaults[path] = std::move(answer);
}

void ScriptedServer::Serve(const std::string& path, std::string body, std::string etag) {
  PlannedAnswer answer;
  answer.body = std::move(body);
  answer.etag = std::move(etag);
  SetDefault(path, std::move(answer));
}

void ScriptedServer::ReleaseStalls() {
  base::AutoLock lock(state_->mu);
  ++state_->release_generation;
  state_->changed.Broadcast();
}

std::vector<RecordedRequest> ScriptedServer::Requests() const {
  base::AutoLock lock(state_->mu);
  return state_->requests;
}

size_t ScriptedServer::RequestCount() const {
  base::AutoLock lock(state_->mu);
  return state_->requests.size();
}

bool ScriptedServer::WaitForStall(std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  base::AutoLock lock(state_->mu);
  while (state_->stalled == 0) {
    if (!state_->changed.WaitUntil(state_->mu, deadline)) {
      return state_->stalled > 0;
    }
  }
  return true;
}

}  // namespace tavorisdk::test
