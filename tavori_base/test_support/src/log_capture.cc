#include "base/test/log_capture.h"

namespace base::test {

ScopedLogCapture::ScopedLogCapture(log::LogLevel level) : old_level_(log::GetLogLevel()) {
  log::SetLogLevel(level);
  log::SetLogObserver([this](const log::LogRecord& record) {
    AutoLock hold(lock_);
    records_.push_back(CapturedRecord{record.level, std::string(record.source), record.line,
                                      std::string(record.function), std::string(record.text)});
  });
}

ScopedLogCapture::~ScopedLogCapture() {
  log::SetLogObserver({});
  log::SetLogLevel(old_level_);
}

std::vector<CapturedRecord> ScopedLogCapture::records() const {
  AutoLock hold(lock_);
  return records_;
}

std::vector<CapturedRecord> ScopedLogCapture::WithPrefix(const std::string& prefix) const {
  std::vector<CapturedRecord> found;
  for (CapturedRecord& record : records()) {
    if (record.text.starts_with(prefix)) {
      found.push_back(std::move(record));
    }
  }
  return found;
}

void ScopedLogCapture::Clear() {
  AutoLock hold(lock_);
  records_.clear();
}

}  // namespace base::test
