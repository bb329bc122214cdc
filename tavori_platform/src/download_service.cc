// The download service's entry: the caller's request object, which holds the
// settings until Start, then hands them to the backend's job on the network
// thread (NewDownloadJob, download_policy.h).

#include "tavorisdk/download_service.h"

#include <algorithm>
#include <memory>

#include "base/log/log.h"
#include "base/synchronization/lock.h"
#include "base/thread_annotations.h"
#include "src/delivery_gate.h"
#include "src/download_policy.h"
#include "src/sdk_runtime.h"
#include "util/stringhelp/stringhelp.h"

namespace tavorisdk {
namespace {

constexpr char kLogSource[] = "tavori_platform";

using internal::DownloadJobControl;
using internal::DownloadSettings;

// The caller's request object.  Every method may run on any thread; mu_ guards
// the settings and the job pointer.
class DownloadRequest final : public DownloadServiceRequest {
 public:
  DownloadRequest() = default;
  ~DownloadRequest() override { Stop(0); }

  void SetUrl(const char* url) override {
    Set([&](auto& s) { s.url = url ? url : ""; });
  }
  void SetSavePath(const char* path) override {
    Set([&](auto& s) { s.save_path = path ? path : ""; });
  }
  void SetMd5(const char* md5) override {
    Set([&](auto& s) { s.md5 = util::stringhelp::ToLowerAscii(md5 ? md5 : ""); });
  }
  void SetSpeedLimit(int kib_per_second) override {
    Set([&](auto& s) { s.speed_limit_kib = std::max(0, kib_per_second); });
    ApplyLiveSpeed();
  }
  void SetConnectTimeout(int seconds) override {
    Set([&](auto& s) {
      s.connect_timeout_s = seconds > 0 ? seconds : internal::kDefaultConnectTimeoutSeconds;
    });
  }
  void SetStallTimeout(int seconds) override {
    Set([&](auto& s) {
      s.stall_timeout_s = seconds > 0 ? seconds : internal::kDefaultStallTimeoutSeconds;
    });
  }
  void SetMaxRetries(int retries) override {
    Set([&](auto& s) { s.max_retries = std::max(0, retries); });
  }
  void SetUrgent(bool urgent) override {
    Set([&](auto& s) { s.urgent = urgent; });
    ApplyLiveSpeed();
  }
  void SetPrivateRoot(const char* dir) override {
    Set([&](auto& s) { s.private_root = dir ? dir : ""; });
  }
  void SetFileSize(int64_t size) override {
    Set([&](auto& s) { s.size = size < 0 ? -1 : size; });
  }
  void SetUserAgent(const char* user_agent) override {
    Set([&](auto& s) { s.user_agent = user_agent ? user_agent : ""; });
  }
  void AddHeader(const char* name, const char* value) override {
    if (name == nullptr || *name == '\0') {
      return;
    }
    Set([&](auto& s) {
      s.headers.push_back(std::string(name) + ": " + (value != nullptr ? value : ""));
    });
  }
  void SetResumeEnabled(bool enabled) override {
    Set([&](auto& s) { s.resume = enabled; });
  }
  void SetProgressInterval(int milliseconds) override {
    Set([&](auto& s) { s.progress_interval_ms = std::max(0, milliseconds); });
  }

  void Stop(int reason) override {
    std::shared_ptr<DownloadJobControl> job;
    std::shared_ptr<internal::DeliveryGate> gate;
    {
      base::AutoLock lock(mu_);
      stopped_ = true;
      job = std::move(job_);
      gate = gate_;
    }
    if (!gate) {
      return;  // never started
    }
    // Every caller waits here, not only the first: none may return while a notification runs.
    gate->Close(internal::OnNetworkThread());
    if (job) {
      // The task takes the last reference of ours, so the job ends on the network thread.
      internal::PostNetworkTask([job = std::move(job), reason] { job->Cancel(reason); });
    }
  }

  void Start(IDownloadResponseDelegate* delegate) override {
    std::shared_ptr<DownloadJobControl> job;
    {
      base::AutoLock lock(mu_);
      if (started_ || stopped_ || delegate == nullptr) {
        BASE_LOG(base::log::kLevelRefused) << "download request started twice, after Stop "
                                              "or without delegate";
        return;
      }
      started_ = true;
      gate_ = std::make_shared<internal::DeliveryGate>();
      job_ = internal::NewDownloadJob(settings_, gate_, delegate, this);
      job = job_;
    }
    internal::PostNetworkTask([job = std::move(job)] { job->Begin(); });
  }

 private:
  template <typename F>
  void Set(F&& change) {
    base::AutoLock lock(mu_);
    change(settings_);
  }

  // The bandwidth settings also reach a download that is running.
  void ApplyLiveSpeed() {
    base::AutoLock lock(mu_);
    if (!job_) {
      return;
    }
    internal::PostNetworkTask([job = job_, kib = settings_.speed_limit_kib,
                               urgent = settings_.urgent] { job->SetSpeed(kib, urgent); });
  }

  base::Lock mu_;
  DownloadSettings settings_ GUARDED_BY(mu_);
  bool started_ GUARDED_BY(mu_) = false;
  bool stopped_ GUARDED_BY(mu_) = false;
  std::shared_ptr<internal::DeliveryGate> gate_ GUARDED_BY(mu_);  // set by Start
  std::shared_ptr<DownloadJobControl> job_ GUARDED_BY(mu_);
};

}  // namespace

std::unique_ptr<DownloadServiceRequest> CreateDownloadRequest() {
  return std::make_unique<DownloadRequest>();
}

}  // namespace tavorisdk
