// Test support: collects the log records written while an instance is alive.

#ifndef BASE_TEST_LOG_CAPTURE_H_
#define BASE_TEST_LOG_CAPTURE_H_

#include <string>
#include <vector>

#include "base/log/log.h"
#include "base/synchronization/lock.h"

namespace base::test {

struct CapturedRecord {
  log::LogLevel level = log::kLevelFailure;
  std::string source;
  int line = 0;
  std::string function;
  std::string text;
};

// Installs itself as the log observer and raises the log level to |level| for its lifetime.
// Thread-safe: records may arrive on any thread.
class ScopedLogCapture {
 public:
  explicit ScopedLogCapture(log::LogLevel level = log::kLevelTrace);
  ~ScopedLogCapture();
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

  std::vector<CapturedRecord> records() const;
  // Records whose text starts with |prefix|.
  std::vector<CapturedRecord> WithPrefix(const std::string& prefix) const;
  bool Contains(const std::string& prefix) const { return !WithPrefix(prefix).empty(); }
  void Clear();

 private:
  log::LogLevel old_level_;
  mutable Lock lock_;
  std::vector<CapturedRecord> records_ GUARDED_BY(lock_);  // appended on the logging threads
};

}  // namespace base::test

#endif  // BASE_TEST_LOG_CAPTURE_H_
