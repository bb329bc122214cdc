// Driver of the download benchmark (scripts/bench).  Two modes:
//
//   sdk_download_bench download URL PATH MD5 SIZE
//       downloads URL to PATH with the SDK's download service, checking SIZE
//       and MD5; prints "error <code>", and "cpu_s" and "runqueue_wait_s": the
//       time its threads ran, and waited for a core while runnable
//       (/proc/self/task/*/schedstat); exits 0 only on success.
//   sdk_download_bench run COMMAND [ARGS...]
//       runs COMMAND, waits for it, and prints "elapsed_s <wall seconds>" and
//       "max_rss_kib <peak resident memory of the largest process it waited
//       for>"; exits with the command's status.
//
// The benchmark times every contender through "run", so all of them are
// measured alike (process start included).

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/synchronization/condition_variable.h"
#include "base/synchronization/lock.h"
#include "base/thread_annotations.h"
#include "tavorisdk/download_service.h"
#include "tavorisdk/sdk_startup.h"

namespace {

class WaitingDelegate : public tavorisdk::IDownloadResponseDelegate {
 public:
  void OnDownloadStart(tavorisdk::DownloadServiceRequest* /*request*/) override {}
  void OnDownloadProgress(tavorisdk::DownloadServiceRequest* /*request*/, int64_t /*received*/,
                          int64_t /*total*/) override {}
  using IDownloadResponseDelegate::OnDownloadFinish;
  void OnDownloadFinish(tavorisdk::DownloadServiceRequest* /*request*/, int32_t error,
                        const char* /*path*/) override {
    base::AutoLock lock(mu_);
    error_ = error;
    done_ = true;
    changed_.Broadcast();
  }
  int Wait() {
    base::AutoLock lock(mu_);
    while (!done_) {
      changed_.Wait(mu_);
    }
    return error_;
  }

 private:
  base::Lock mu_;
  base::ConditionVariable changed_;
  bool done_ GUARDED_BY(mu_) = false;
  int error_ GUARDED_BY(mu_) = -1;
};

// Seconds this process's threads ran and waited on a run queue so far.
void PrintSchedulerTimes() {
  double ran_ns = 0;
  double waited_ns = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream stat(task.path() / "schedstat");
    double ran = 0;
    double waited = 0;
    if (stat >> ran >> waited) {
      ran_ns += ran;
      waited_ns += waited;
    }
  }
  std::printf("cpu_s %.3f\nrunqueue_wait_s %.3f\n", ran_ns / 1e9, waited_ns / 1e9);
}

int Download(const char* url, const char* path, const char* md5, const char* size) {
  StartupSDK();
  WaitingDelegate delegate;
  auto request = tavorisdk::CreateDownloadRequest();
  request->SetUrl(url);
  request->SetSavePath(path);
  request->SetMd5(md5);
  request->SetFileSize(std::strtoll(size, nullptr, 10));
  request->SetResumeEnabled(false);
  request->Start(&delegate);
  const int error = delegate.Wait();
  request.reset();
  std::printf("error %d\n", error);
  PrintSchedulerTimes();  // the SDK's threads are still there
  return error == tavorisdk::kDownloadOk ? 0 : 1;
}

int Run(char** argv) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child < 0) {
    std::perror("fork");
    return 2;
  }
  if (child == 0) {
    execvp(argv[0], argv);
    std::perror("execvp");
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  std::printf("elapsed_s %.3f\nmax_rss_kib %ld\n", elapsed, usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "download") == 0) {
    return Download(argv[2], argv[3], argv[4], argv[5]);
  }
  if (argc >= 3 && std::strcmp(argv[1], "run") == 0) {
    return Run(argv + 2);
  }
  std::fprintf(stderr,
               "usage: %s download URL PATH MD5 SIZE\n"
               "       %s run COMMAND [ARGS...]\n",
               argv[0], argv[0]);
  return 2;
}
