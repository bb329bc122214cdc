// The Winsock loopback server of the Windows tests (see the header).

#include "tavorisdk/test/loopback_server_win.h"

#include <winsock2.h>

#include <algorithm>
#include <cctype>
#include <utility>

namespace tavorisdk::test {

LoopbackServer::Resource LoopbackServer::Make(int status, std::string body, std::string etag,
                                              std::string location) {
  return Resource{status, std::move(body), std::move(etag), std::move(location)};
}

LoopbackServer::LoopbackServer() {
  WSADATA data{};
  WSAStartup(MAKEWORD(2, 2), &data);
  listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof(address);
  bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
  listen(listener_, SOMAXCONN);
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Run(); });
}

LoopbackServer::~LoopbackServer() {
  closesocket(listener_);  // accept fails: the thread ends
  thread_.join();
  WSACleanup();
}

std::string LoopbackServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LoopbackServer::Serve(const std::string& path, Resource resource) {
  std::lock_guard<std::mutex> lock(mu_);
  resources_[path] = std::move(resource);
}

void LoopbackServer::CutNext(const std::string& path, size_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  cuts_[path] = bytes;
}

std::vector<std::string> LoopbackServer::Requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

void LoopbackServer::Run() {
  while (true) {
    SOCKET client = accept(listener_, nullptr, nullptr);
    if (client == INVALID_SOCKET) {
      return;
    }
    Answer(client);
    shutdown(client, SD_SEND);
    closesocket(client);
  }
}

void LoopbackServer::Answer(uintptr_t client) {
  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
    const int got = recv(client, buffer, sizeof(buffer), 0);
    if (got <= 0) {
      return;
    }
    head.append(buffer, static_cast<size_t>(got));
  }
  for (char& c : head) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  const size_t path_end = head.find_first_of(" ?", 4);
  const std::string path = head.substr(4, path_end - 4);
  Resource resource = Make(404, "nothing here");
  size_t cut = std::string::npos;
  {
    std::lock_guard<std::mutex> lock(mu_);
    requests_.push_back(head);
    if (auto it = resources_.find(path); it != resources_.end()) {
      resource = it->second;
    }
    if (auto it = cuts_.find(path); it != cuts_.end()) {
      cut = it->second;
      cuts_.erase(it);
    }
  }
  std::string status = std::to_string(resource.status) + " OK";
  std::string extra;
  std::string body = resource.body;
  const size_t range = head.find("\r\nrange: bytes=");
  const size_t if_range = head.find("\r\nif-range: ");
  const bool same = if_range == std::string::npos ||
                    head.compare(if_range + 12, resource.etag.size(), resource.etag) == 0;
  if (resource.status == 200 && range != std::string::npos && same) {
    const size_t from = std::stoul(head.substr(range + 15));
    extra = "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(body.size() - 1) +
            "/" + std::to_string(body.size()) + "\r\n";
    status = "206 Partial Content";
    body = body.substr(std::min(from, body.size()));
  }
  if (!resource.etag.empty()) {
    extra += "ETag: " + resource.etag + "\r\n";
  }
  if (!resource.location.empty()) {
    extra += "Location: " + resource.location + "\r\n";
  }
  const std::string answer = "HTTP/1.1 " + status +
                             "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
                             "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\nConnection: close\r\n\r\n" +
                             body.substr(0, std::min(cut, body.size()));
  for (size_t sent = 0; sent < answer.size();) {
    const int n = send(client, answer.data() + sent, static_cast<int>(answer.size() - sent), 0);
    if (n <= 0) {
      return;
    }
    sent += static_cast<size_t>(n);
  }
}

}  // namespace tavorisdk::test
