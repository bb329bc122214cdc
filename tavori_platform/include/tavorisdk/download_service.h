// The download service: fetches one file over HTTP(S) to a path, checks it
// against the expected size and MD5, and reports start, progress and the
// outcome to a delegate.
//
// Threads: notifications are delivered on the SDK's network thread.  Every call
// below may be made from any thread, including from inside a notification.
// Start and the setters never block and never call the delegate synchronously.
//
// Stop: when Stop returns, no notification of the request is running or will
// start (it waits for one being delivered on the network thread, unless called
// from inside that very notification). Destroying a request implies Stop.  A
// request that is not stopped gets exactly one finish notification.
//
// Verification: a download succeeds only for bytes whose size and MD5 matched what SetFileSize and
// SetMd5 gave.  There is no unchecked download: a negative size never matches
// (kDownloadErrorSizeMismatch) and an MD5 that is not 32 hexadecimal digits never matches
// (kDownloadErrorMd5Mismatch); both are refused before anything is fetched.
//
// Files: the data is written to "<save path>.part" and renamed to the save path only after its
// size and MD5 matched and the file was synced to disk; on Linux the directory is synced after the
// rename. Whatever stood at the save path is removed when the download begins, so a failed or
// stopped download never leaves a file there.  Files are created and reopened without following
// links, relative to the save path's directory opened once; a partial file is resumed only when it
// is a regular file of the user.  The partial file is locked for the whole download and renamed
// only while its name still leads to the file this download wrote: a second download to the same
// save path while the first runs fails at once with kDownloadErrorLocalFile and changes nothing.
// When the save path's file system lacks room for the bytes still to come (the expected size less
// what a resumed partial file holds), the download fails at once with kDownloadErrorLocalFile.  A
// transport failure or Stop keeps the partial file (with
// "<save path>.part.info", which records URL, MD5, size and the server's validator); a later
// download of the same URL with the same MD5 and size to the same path resumes it with a range
// request (If-Range), and starts over from byte 0 when the server ignores the range, the
// resource changed, or the resumed file fails its MD5 once.  Other failures remove both files.
//
// Retries: connection failures, timeouts, bodies cut short and the statuses 408, 429, 502, 503
// and 504 are retried (SetMaxRetries, default 3) after 0.5 s, 1 s, 2 s ..., resuming where the
// transfer stopped; each retry is announced with OnDownloadRetry.  Redirects are followed, TLS is
// verified, proxies come from the system's settings (the usual environment variables on Linux,
// the system's proxy configuration on Windows).
//
// Settings are read when Start is called; only SetSpeedLimit and SetUrgent also reach a download
// that is running.  Start after Stop is ignored.

#ifndef TAVORISDK_DOWNLOAD_SERVICE_H_
#define TAVORISDK_DOWNLOAD_SERVICE_H_

#include <cstdint>
#include <memory>
#include <string>

namespace tavorisdk {

// Error codes of the finish notification.  Stable values: new codes are added
// at the end.
inline constexpr int32_t kDownloadOk = 0;
inline constexpr int32_t kDownloadErrorTransport = 1;     // connection failed, cut or stalled
inline constexpr int32_t kDownloadErrorHttpStatus = 2;    // the server answered with an error
inline constexpr int32_t kDownloadErrorSizeMismatch = 3;  // size differs from SetFileSize, or none
inline constexpr int32_t kDownloadErrorMd5Mismatch = 4;   // MD5 differs from SetMd5, or none
// The file could not be written: no room, a directory that is not private (SetPrivateRoot), or
// another download holding the partial file.
inline constexpr int32_t kDownloadErrorLocalFile = 5;
inline constexpr int32_t kDownloadErrorBadRequest = 6;  // no URL or no save path

class DownloadServiceRequest;

// Receives the notifications of a download, on the network thread.
class IDownloadResponseDelegate {
 public:
  // Slot 0: the server accepted the request and the body is about to arrive.
  virtual void OnDownloadStart(DownloadServiceRequest* request) = 0;
  // Slot 1: |received| of |total| bytes are on disk (total is the expected size
  // when known, else the server's, else -1).  Sent at most every 1% or 250 ms,
  // and once more at the end.
  virtual void OnDownloadProgress(DownloadServiceRequest* request, int64_t received,
                                  int64_t total) = 0;
  // Slot 2: the outcome, with the path as a string.  Passes its arguments to
  // slot 3 by default.
  virtual void OnDownloadFinish(DownloadServiceRequest* request, int32_t error,
                                const std::string& path) {
    OnDownloadFinish(request, error, path.c_str());
  }
  // Slot 3: the outcome: kDownloadOk or a kDownloadError* code, and the save
  // path (never null).
  virtual void OnDownloadFinish(DownloadServiceRequest* request, int32_t error,
                                const char* path) = 0;
  // Slot 4: a transient failure is being retried.  Does nothing by default.
  virtual void OnDownloadRetry(DownloadServiceRequest* request, int attempt, int32_t error) {
    (void)request;
    (void)attempt;
    (void)error;
  }
  // Slot 5.
  virtual ~IDownloadResponseDelegate() = default;
};

class DownloadServiceRequest {
 public:
  // Slot 0: destroys the request; implies Stop.
  virtual ~DownloadServiceRequest() = default;
  // Slot 1: the source URL (copied).
  virtual void SetUrl(const char* url) = 0;
  // Slot 2: the full path of the file to create (copied).
  virtual void SetSavePath(const char* path) = 0;
  // Slot 3: the expected MD5 as 32 hexadecimal digits, either case (copied).
  // Required: anything else never matches.
  virtual void SetMd5(const char* md5) = 0;
  // Slot 4: bandwidth cap in KiB/s; 0 (the default) for none.
  virtual void SetSpeedLimit(int kib_per_second) = 0;
  // Slot 5: connect timeout in seconds (default 15).
  virtual void SetConnectTimeout(int seconds) = 0;
  // Slot 6: a transfer that moves no byte for this long has stalled (default 30
  // s).
  virtual void SetStallTimeout(int seconds) = 0;
  // Slot 7: how often a transient failure is retried, resuming where it stopped
  // (default 3).
  virtual void SetMaxRetries(int retries) = 0;
  // Slot 8: an urgent download (a forced update) ignores the bandwidth cap.
  virtual void SetUrgent(bool urgent) = 0;
  // Slot 9: the expected size in bytes.  Required: a negative size never
  // matches.
  virtual void SetFileSize(int64_t size) = 0;
  // Slot 10: the User-Agent to send (copied).
  virtual void SetUserAgent(const char* user_agent) = 0;
  // Slot 11: adds a request header (copied).
  virtual void AddHeader(const char* name, const char* value) = 0;
  // Slot 12: whether a partial file may be resumed (default true).
  virtual void SetResumeEnabled(bool enabled) = 0;
  // Slot 13: the shortest time between two progress notifications, in ms
  // (default 250).
  virtual void SetProgressInterval(int milliseconds) = 0;
  // Slot 14: stops the download; see the file comment.  |reason| is kept for
  // the log.
  virtual void Stop(int reason) = 0;
  // Slot 15: starts the download; notifications go to |delegate|, which must
  // outlive the request or its Stop.  A request starts at most once; later
  // calls are ignored.
  virtual void Start(IDownloadResponseDelegate* delegate) = 0;
  // Slot 16: |dir| (copied; empty: none, the default) is a directory that
  // holds the save path at any depth and lies where other users may write,
  // such as the temporary directory.  When the download begins, |dir| is
  // created private to the user when missing and must then be a real
  // directory (not a link) owned by the user that nobody else may write
  // (os::EnsurePrivateDirectory), as must the save path's directory once
  // opened; otherwise the download fails with
  // kDownloadErrorLocalFile and a level-1 log record naming it.  The
  // directories between |dir| and the save path are created for the user
  // alone.  On Windows each of them is made private the same way (an
  // owner-only DACL, judged through its handle).
  virtual void SetPrivateRoot(const char* dir) = 0;
};

// Creates a request; never null.
std::unique_ptr<DownloadServiceRequest> CreateDownloadRequest();

}  // namespace tavorisdk

#endif  // TAVORISDK_DOWNLOAD_SERVICE_H_
