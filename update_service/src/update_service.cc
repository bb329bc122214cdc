#include "src/update_service.h"

#include <fcntl.h>
#include <httplib.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <nlohmann/json.hpp>

#include "src/manifest.h"
#include "src/package_folder.h"

namespace update_service {
namespace {

// A manifest is a few rules; anything larger is a mistake, not a manifest.
constexpr size_t kMaxManifestBytes = 1 << 20;
constexpr size_t kChunkBytes = 256 << 10;

bool ReadSmallFile(const std::string& path, std::string* text) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return false;
  }
  text->clear();
  char buffer[16384];
  ssize_t got = 0;
  while ((got = read(fd, buffer, sizeof buffer)) != 0) {
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0 || text->size() + static_cast<size_t>(got) > kMaxManifestBytes) {
      close(fd);
      return false;
    }
    text->append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return true;
}

std::optional<std::string> Param(const httplib::Request& request, const char* key) {
  if (!request.has_param(key)) {
    return std::nullopt;
  }
  return request.get_param_value(key);
}

// A Host header is the client's to write: only a host name or address and a port pass.
bool IsPlainHost(const std::string& host) {
  return !host.empty() && host.find_first_not_of(
                              "abcdefghijklmnopqrstuvwxyz"
                              "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-:[]") == std::string::npos;
}

std::string PercentEncode(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    if (isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

enum class RangeAnswer { kWhole, kPart, kUnsatisfiable };

// Reads a request's Range against |file|: one "bytes=a-b", "bytes=a-" or "bytes=-n" range gives
// part of the file.  No Range, several ranges, a malformed one, or an If-Range that names another
// version of the file give the whole file, as a server may always answer.
RangeAnswer ParseRange(const httplib::Request& request, const PackageFile& file, uint64_t* offset,
                       uint64_t* length) {
  const std::string range = request.get_header_value("Range");
  if (range.rfind("bytes=", 0) != 0 || range.find(',') != std::string::npos) {
    return RangeAnswer::kWhole;
  }
  if (request.has_header("If-Range")) {
    const std::string validator = request.get_header_value("If-Range");
    if (validator != file.etag && validator != file.last_modified) {
      return RangeAnswer::kWhole;
    }
  }
  const std::string_view wanted = std::string_view{range}.substr(6);
  const size_t dash = wanted.find('-');
  if (dash == std::string_view::npos) {
    return RangeAnswer::kWhole;
  }
  auto number = [](std::string_view text) -> std::optional<uint64_t> {
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
      return std::nullopt;
    }
    return value;
  };
  const std::optional<uint64_t> first = number(wanted.substr(0, dash));
  const std::optional<uint64_t> last = number(wanted.substr(dash + 1));
  if (!first && last) {  // the last n bytes
    if (*last == 0) {
      return RangeAnswer::kUnsatisfiable;
    }
    *length = std::min(*last, file.size);
    *offset = file.size - *length;
    return RangeAnswer::kPart;
  }
  if (!first || (last && *last < *first) || (!last && dash + 1 != wanted.size())) {
    return RangeAnswer::kWhole;
  }
  if (*first >= file.size) {
    return RangeAnswer::kUnsatisfiable;
  }
  *offset = *first;
  *length = std::min(last.value_or(file.size - 1), file.size - 1) - *first + 1;
  return RangeAnswer::kPart;
}

void Fail(httplib::Response& response, int status, const std::string& why) {
  response.status = status;
  response.set_content(why + "\n", "text/plain");
}

}  // namespace

UpdateService::UpdateService(ServiceOptions options)
    : options_(std::move(options)),
      packages_(std::make_unique<PackageFolder>(options_.package_folder)),
      server_(std::make_unique<httplib::Server>()) {
  Route();
}

UpdateService::~UpdateService() = default;

int UpdateService::Listen(const std::string& host, int port) {
  if (port == 0) {
    return server_->bind_to_any_port(host);
  }
  return server_->bind_to_port(host, port) ? port : -1;
}

bool UpdateService::Run() { return server_->listen_after_bind(); }

void UpdateService::Stop() { server_->stop(); }

void UpdateService::Route() {
  // Nothing here takes a request body.
  server_->set_payload_max_length(64 << 10);
  server_->set_logger([log = options_.log](const httplib::Request& request,
                                           const httplib::Response& response) {
    if (log != nullptr) {
      // The target is the client's text: quoted, and cut so that one request is one short line.
      std::string target = request.target.substr(0, 512);
      for (char& c : target) {
        if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == 0x7f) {
          c = '?';
        }
      }
      fprintf(log, "%s \"%s %s\" %d %s\n", request.remote_addr.c_str(), request.method.c_str(),
              target.c_str(), response.status, response.get_header_value("Content-Length").c_str());
      fflush(log);
    }
  });

  server_->Get(options_.check_path, [this](const httplib::Request& request,
                                           httplib::Response& response) {
    std::string text;
    std::string error;
    if (!ReadSmallFile(options_.manifest_path, &text)) {
      return Fail(response, 500, "the manifest cannot be read");
    }
    std::optional<Manifest> manifest = ParseManifest(text, &error);
    if (!manifest) {
      return Fail(response, 500, "manifest: " + error);
    }
    std::optional<CheckQuery> query = ParseCheckQuery(
        Param(request, "appver"), Param(request, "from"), Param(request, "enable_patch"), &error);
    if (!query) {
      return Fail(response, 400, error);
    }
    const Offer offer = Decide(*manifest, *query);
    nlohmann::json answer = {{"upgrade_policy", offer.policy}};
    if (!offer.package.empty()) {
      std::shared_ptr<PackageFile> file = packages_->Open(offer.package);
      std::optional<std::string> md5 = file ? packages_->Md5(*file) : std::nullopt;
      if (!md5) {
        return Fail(response, 500, "the package " + offer.package + " cannot be read");
      }
      std::string base = options_.public_url;
      if (base.empty()) {
        const std::string host = request.get_header_value("Host");
        if (!IsPlainHost(host)) {
          return Fail(response, 400, "no usable Host header");
        }
        base = "http://" + host;
      }
      answer["version"] = manifest->version_text;
      answer["package_url"] = base + "/packages/" + PercentEncode(offer.package);
      answer["size"] = file->size;
      answer["md5"] = *md5;
    }
    response.set_content(answer.dump(), "application/json");
  });

  auto serve_package = [this](const httplib::Request& request, httplib::Response& response) {
    std::shared_ptr<PackageFile> file = packages_->Open(request.matches[1]);
    if (!file) {
      return Fail(response, 404, "no such package");
    }
    response.set_header("ETag", file->etag);
    response.set_header("Last-Modified", file->last_modified);
    response.set_header("Accept-Ranges", "bytes");
    // Ranges are served here, not by httplib: this version of it cuts the body by the request's
    // Range whatever the status, so the parsed ranges are dropped from the request it keeps.
    const_cast<httplib::Request&>(request).ranges.clear();
    uint64_t offset = 0;
    uint64_t length = file->size;
    switch (ParseRange(request, *file, &offset, &length)) {
      case RangeAnswer::kWhole:
        response.status = 200;
        break;
      case RangeAnswer::kPart:
        response.status = 206;
        response.set_header("Content-Range", "bytes " + std::to_string(offset) + "-" +
                                                 std::to_string(offset + length - 1) + "/" +
                                                 std::to_string(file->size));
        break;
      case RangeAnswer::kUnsatisfiable:
        response.set_header("Content-Range", "bytes */" + std::to_string(file->size));
        return Fail(response, 416, "range not satisfiable");
    }
    response.set_content_provider(
        length, "application/octet-stream",
        [file, offset](size_t at, size_t count, httplib::DataSink& sink) {
          std::vector<char> buffer(std::min(count, kChunkBytes));
          const ssize_t got =
              pread(file->fd, buffer.data(), buffer.size(), static_cast<off_t>(offset + at));
          if (got <= 0) {
            return false;  // the file shrank or failed: the connection is cut, not padded
          }
          return sink.write(buffer.data(), static_cast<size_t>(got));
        });
  };
  server_->Get(R"(/packages/([^/]+))", serve_package);
}

}  // namespace update_service
