// The reference update service: an HTTP server on cpp-httplib that answers check requests from a
// manifest (src/manifest.h) and serves the package files with range support.
//
//   GET <check path>?...&appver=V[&from=N][&enable_patch=N]
//       200 {"upgrade_policy":P,"version":...,"package_url":...,"size":...,"md5":...}
//       (only {"upgrade_policy":0} when the client is up to date); 400 for a malformed query,
//       500 when the manifest or its package cannot be read.
//   GET|HEAD /packages/<name>
//       the file, with Range (206/416), If-Range, ETag and Last-Modified.
//
// The manifest is read again for every check, so it can be edited while the service runs; the
// packages' MD5 digests are cached per file version.  Every request is logged as one line.
//
// Threads: Listen(), Run() and the destructor belong to one thread; Stop() may be called from any
// thread (a signal-handling thread, a test); requests are served on httplib's worker threads.

#ifndef UPDATE_SERVICE_UPDATE_SERVICE_H_
#define UPDATE_SERVICE_UPDATE_SERVICE_H_

#include <cstdio>
#include <memory>
#include <string>

namespace httplib {
class Server;
}

namespace update_service {

class PackageFolder;

struct ServiceOptions {
  std::string manifest_path;
  std::string package_folder;
  // The scheme, host and port that package URLs start with; empty: "http://" and the request's
  // Host header.
  std::string public_url;
  std::string check_path = "/check";
  // Where the request log goes (one line per request); null: nowhere.
  FILE* log = stderr;
};

class UpdateService {
 public:
  explicit UpdateService(ServiceOptions options);
  ~UpdateService();
  UpdateService(const UpdateService&) = delete;
  UpdateService& operator=(const UpdateService&) = delete;

  // Binds |host|:|port| (0: any free port).  Returns the port, or -1.
  int Listen(const std::string& host, int port);
  // Serves until Stop().  False when the socket failed.
  bool Run();
  void Stop();

 private:
  void Route();

  const ServiceOptions options_;
  std::unique_ptr<PackageFolder> packages_;
  std::unique_ptr<httplib::Server> server_;
};

}  // namespace update_service

#endif  // UPDATE_SERVICE_UPDATE_SERVICE_H_
