#include "base/log/log.h"

#include <spdlog/logger.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>

#include "os/folders.h"
#include "os/module.h"
#include "os/path.h"
#include "os/utf.h"

namespace base::log {
namespace {

constexpr size_t kMaxFileSize = 4 * 1024 * 1024;
constexpr size_t kMaxFiles = 3;
constexpr int kDefaultLevel = kLevelNote;

int LevelFromEnvironment() {
  const char* value = std::getenv("TAVORI_LOG_LEVEL");
  if (value == nullptr || *value == '\0') {
    return kDefaultLevel;
  }
  char* end = nullptr;
  const long level = std::strtol(value, &end, 10);
  if (*end != '\0' || level < 0 || level > 100) {
    return kDefaultLevel;
  }
  return static_cast<int>(level);
}

std::atomic<int>& Level() {
  static std::atomic<int> level{LevelFromEnvironment()};
  return level;
}

spdlog::level::level_enum SpdlogLevel(int level) {
  if (level <= kLevelFailure) return spdlog::level::err;
  if (level <= kLevelRefused) return spdlog::level::warn;
  if (level <= kLevelNote) return spdlog::level::info;
  return spdlog::level::debug;
}

// "<state>/Halvern/Tavori/logs/<program>.update_lib.log", or "" when the state directory is
// unknown.
std::string LogFilePath() {
  os::Result<std::wstring> state = os::GetUserStateDirectory();
  if (!state.ok()) {
    return {};
  }
  std::wstring dir = state.value();
  if (!os::PathAppend(&dir, L"Halvern\\Tavori\\logs")) {
    return {};
  }
  std::string program = "process";
  if (os::Result<std::wstring> exe = os::GetModuleFileName(nullptr); exe.ok()) {
    program = os::WideToUtf8(os::PathFindFileName(exe.value()));
    if (const size_t dot = program.rfind('.'); dot != std::string::npos && dot > 0) {
      program.resize(dot);
    }
  }
  const std::filesystem::path path = std::filesystem::path(os::WideToUtf8(dir));
  std::error_code ignored;
  std::filesystem::create_directories(path, ignored);
  return (path / (program + ".update_lib.log")).string();
}

// The process's logger.  Created on first use and deliberately never destroyed, so that records
// written while the process exits (from other libraries' exit handlers, or the file looper's
// final drain) still reach the file.  It is not registered with spdlog's global registry.
spdlog::logger* Logger() {
  static spdlog::logger* logger = [] {
    std::vector<spdlog::sink_ptr> sinks;
    if (const std::string path = LogFilePath(); !path.empty()) {
      try {
        sinks.push_back(
            std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path, kMaxFileSize, kMaxFiles));
      } catch (const std::exception& e) {
        std::fprintf(stderr, "update log: cannot open %s: %s\n", path.c_str(), e.what());
      }
    }
    const char* to_stderr = std::getenv("TAVORI_LOG_STDERR");
    if (to_stderr != nullptr && std::strcmp(to_stderr, "1") == 0) {
      sinks.push_back(std::make_shared<spdlog::sinks::stderr_sink_mt>());
    }
    auto* created = new spdlog::logger("update_lib", sinks.begin(), sinks.end());
    created->set_pattern("%Y-%m-%d %H:%M:%S.%e %P:%t %v");
    created->set_level(spdlog::level::trace);
    created->flush_on(spdlog::level::trace);
    return created;
  }();
  return logger;
}

std::mutex& ObserverMutex() {
  static std::mutex mutex;
  return mutex;
}

LogObserver& Observer() {
  static LogObserver observer;
  return observer;
}

// Length of the longest prefix of |text| (at most |limit| bytes) that does not end inside a
// UTF-8 sequence.
size_t Utf8SafePrefix(const char* text, size_t length, size_t limit) {
  if (length <= limit) {
    return length;
  }
  size_t cut = limit;
  // Step back over continuation bytes; if the sequence they belong to would not be complete
  // within the limit, drop it as well.
  size_t back = 0;
  while (back < 3 && cut - back > 0 &&
         (static_cast<unsigned char>(text[cut - back - 1]) & 0xC0) == 0x80) {
    ++back;
  }
  if (cut - back > 0) {
    const auto lead = static_cast<unsigned char>(text[cut - back - 1]);
    size_t needed = 0;
    if ((lead & 0xE0) == 0xC0)
      needed = 1;
    else if ((lead & 0xF0) == 0xE0)
      needed = 2;
    else if ((lead & 0xF8) == 0xF0)
      needed = 3;
    if (needed > 0 && back < needed) {
      cut -= back + 1;
    }
  }
  return cut;
}

}  // namespace

int GetLogLevel() { return Level().load(std::memory_order_relaxed); }

void SetLogLevel(int level) { Level().store(level, std::memory_order_relaxed); }

void SetLogObserver(LogObserver observer) {
  std::lock_guard<std::mutex> lock(ObserverMutex());
  Observer() = std::move(observer);
}

void PrintLog(const LogRecord& record) {
  try {
    Logger()->log(SpdlogLevel(record.level), "L{} {}:{} {}: {}", record.level, record.source,
                  record.line, record.function, record.text);
  } catch (...) {
    // A sink that fails (disk full, closed stderr) must never take the caller down.
  }
  std::lock_guard<std::mutex> lock(ObserverMutex());
  if (Observer()) {
    Observer()(record);
  }
}

LogWriter::LogWriter(int level, const char* source, int line, const char* function)
    : level_(level), source_(source), line_(line), function_(function) {}

LogWriter::~LogWriter() {
  PrintLog(LogRecord{level_, source_, line_, function_, std::string_view(text_, size_)});
}

LogWriter& LogWriter::operator<<(std::string_view text) {
  if (full_) {
    return *this;
  }
  const size_t take = Utf8SafePrefix(text.data(), text.size(), kMaxText - size_);
  std::memcpy(text_ + size_, text.data(), take);
  size_ += take;
  // Once a piece was cut, later pieces are dropped even if they would fit the gap it left.
  full_ = take < text.size();
  return *this;
}

LogWriter& LogWriter::operator<<(const char* text) {
  return *this << std::string_view(text != nullptr ? text : "nullptr");
}

LogWriter& LogWriter::operator<<(std::wstring_view text) {
  return *this << std::string_view(os::WideToUtf8(text));
}

LogWriter& LogWriter::operator<<(const void* pointer) {
  if (pointer == nullptr) {
    return *this << std::string_view("nullptr");
  }
  char buffer[32];
  const int n =
      std::snprintf(buffer, sizeof(buffer), "0x%016" PRIXPTR, reinterpret_cast<uintptr_t>(pointer));
  return *this << std::string_view(buffer, static_cast<size_t>(n));
}

LogWriter& LogWriter::AppendSigned(int64_t value) {
  char buffer[24];
  const int n = std::snprintf(buffer, sizeof(buffer), "%" PRId64, value);
  return *this << std::string_view(buffer, static_cast<size_t>(n));
}

LogWriter& LogWriter::AppendUnsigned(uint64_t value) {
  char buffer[24];
  const int n = std::snprintf(buffer, sizeof(buffer), "%" PRIu64, value);
  return *this << std::string_view(buffer, static_cast<size_t>(n));
}

}  // namespace base::log
