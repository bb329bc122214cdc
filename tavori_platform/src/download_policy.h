// The download job's bookkeeping that does not depend on the HTTP stack: the request's settings,
// the job's control surface, the verdict on a response, the choice of validator and the
// progress schedule.  Both backends' jobs (download_job.cc on libcurl, download_job_win.cc on
// WinHTTP) build on it.

#ifndef TAVORI_PLATFORM_SRC_DOWNLOAD_POLICY_H_
#define TAVORI_PLATFORM_SRC_DOWNLOAD_POLICY_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "src/delivery_gate.h"
#include "src/http_headers.h"
#include "tavorisdk/download_service.h"

namespace tavorisdk::internal {

// A request's settings when nobody changed them.
inline constexpr int kDefaultConnectTimeoutSeconds = 15;
inline constexpr int kDefaultStallTimeoutSeconds = 30;
inline constexpr int kDefaultMaxRetries = 3;
inline constexpr int kDefaultProgressIntervalMs = 250;
// How often a download starts over from byte 0 on its own (range not honoured as promised, or a
// resumed file whose MD5 came out wrong) before it gives up.
inline constexpr int kMaxFreshRestarts = 1;

// What a request holds until Start; the job's copy never changes.
struct DownloadSettings {
  std::string url;
  std::string save_path;
  std::string md5;  // lower case
  int64_t size = -1;
  std::string private_root;
  int speed_limit_kib = 0;
  bool urgent = false;
  int connect_timeout_s = kDefaultConnectTimeoutSeconds;
  int stall_timeout_s = kDefaultStallTimeoutSeconds;
  int max_retries = kDefaultMaxRetries;
  bool resume = true;
  int progress_interval_ms = kDefaultProgressIntervalMs;
  std::string user_agent;
  std::vector<std::string> headers;  // "Name: value"
};

// One download on the network thread, as the request (download_service.cc) drives it.  Network
// thread: every method.
class DownloadJobControl {
 public:
  virtual ~DownloadJobControl() = default;
  virtual void Begin() = 0;
  virtual void Cancel(int reason) = 0;
  virtual void SetSpeed(int kib_per_second, bool urgent) = 0;
};

// The backend's job.  Any thread (the request constructs it under its own lock); the job is
// the network thread's from then on.
std::shared_ptr<DownloadJobControl> NewDownloadJob(DownloadSettings settings,
                                                   std::shared_ptr<DeliveryGate> gate,
                                                   IDownloadResponseDelegate* delegate,
                                                   DownloadServiceRequest* request);

// The notifications of one job, each through the job's DeliveryGate, and the progress
// schedule's state.  Network thread only (the gate itself is shared with the request).
class DownloadNotifier {
 public:
  DownloadNotifier(std::shared_ptr<DeliveryGate> gate, IDownloadResponseDelegate* delegate,
                   DownloadServiceRequest* request, const DownloadSettings& settings)
      : gate_(std::move(gate)), delegate_(delegate), request_(request), settings_(settings) {}

  DeliveryGate& gate() { return *gate_; }
  // Whether the start was (or is about to be) notified; MarkStarted also starts the progress
  // clock.
  bool started() const { return started_; }
  void MarkStarted();
  void Start();
  // Whether |received| bytes call for a progress notification (progress_interval_ms, or 1%).
  bool ProgressDue(int64_t received) const;
  // Progress of |received| bytes of the expected size.
  void Progress(int64_t received);
  void Retry(int attempt, int32_t error);
  void Finish(int32_t error);
  // The finish, for a caller that entered the gate itself (and leaves it after).
  void FinishEntered(int32_t error);

 private:
  const std::shared_ptr<DeliveryGate> gate_;  // shared with the request
  IDownloadResponseDelegate* const delegate_;
  DownloadServiceRequest* const request_;  // identity for the delegate only
  const DownloadSettings& settings_;       // the job's, which outlives this
  bool started_ = false;
  int64_t notified_bytes_ = 0;
  std::chrono::steady_clock::time_point notified_time_{};
};

// Refuses (with a log record) what could never be verified: kDownloadErrorSizeMismatch for a
// negative size, kDownloadErrorMd5Mismatch for an MD5 that is not 32 hexadecimal digits;
// kDownloadOk when the download may go ahead.
int32_t RefuseUnverifiable(const DownloadSettings& settings);

// The facts of a final response (after redirects) that decide what happens to its body.
struct ResponseFacts {
  long status = 0;
  int64_t resume_from = 0;  // bytes already on disk that a range asked to skip
  int64_t content_length = -1;
  ContentRange range;
  int64_t expected_size = -1;  // the request's size
  int64_t known_total = -1;    // the total an earlier attempt of this job was told, or -1
};

enum class ResponseAction {
  kAppend,         // a 206 that continues the partial file
  kWhole,          // a 2xx with the whole body; |start_over| when the file on disk must go
  kRangeMismatch,  // a 206 or 416 that does not fit what was asked: start over from byte 0
  kHttpError,      // a status outside 2xx (or a 206 nobody asked for)
  kSizeMismatch,   // the server announces another size than expected
};

struct ResponseVerdict {
  ResponseAction action = ResponseAction::kHttpError;
  bool start_over = false;
  int64_t total = -1;  // the body's full size as the server announces it, or -1
};

ResponseVerdict JudgeResponse(const ResponseFacts& facts);

// A strong ETag, or else Last-Modified: what tells on a later resume whether the bytes on disk
// still belong to the resource.
std::string ChooseValidator(std::string_view etag, std::string_view last_modified);

// Whether a progress notification is due: another 1% of |total| arrived since the last one, or
// |interval| passed.
bool ProgressDue(int64_t received, int64_t notified, int64_t total,
                 std::chrono::steady_clock::duration since_notified,
                 std::chrono::milliseconds interval);

}  // namespace tavorisdk::internal

#endif  // TAVORI_PLATFORM_SRC_DOWNLOAD_POLICY_H_
