// Level-gated log records.
//
// A record of level L is built only when GetLogLevel() is at least L (see LogLevel).
// Each record carries its source unit, line and function, and a text of at most
// LogWriter::kMaxText bytes; longer text is cut there (never inside a UTF-8 sequence or an
// escape).
//
// A record is always exactly one line, whatever its pieces held: paths, URLs, answers and
// parameters from outside may carry line breaks meant to forge records.  So the text is escaped
// as it is built: C0 controls and DEL are shown as \n, \r, \t or \xHH, C1 controls and the
// separators U+2028 and U+2029 as \uHHHH, and a byte that starts no valid UTF-8 sequence as
// \xHH; everything else (the backslash too) stays as it is.  PrintLog applies the same to a
// record handed to it directly.  Observers see the escaped record.
//
// Records go to PrintLog, which writes them to a rotating file under the user's state directory
// (<state>/Halvern/Tavori/logs/<program>.update_lib.log, 4 MiB, 3 old files) and, when the
// environment variable TAVORI_LOG_STDERR is set to 1, to stderr as well.  Every process of a
// program writes and rotates that file together with the others under an advisory lock,
// so no record is lost to another process's rotation.  TAVORI_LOG_LEVEL sets the starting level
// (a number, default 4: notes).  Both are read once, when the first record is written.
//
// Everything here may be used from any thread.  Records are written and flushed one by one, so a
// record that was written survives a crash right after it.
//
// Usage, with a file-local `constexpr char kLogSource[] = "unit";`:
//   BASE_LOG(kLevelRefused) << "bad command:" << text;

#ifndef BASE_LOG_LOG_H_
#define BASE_LOG_LOG_H_

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace base::log {

// How much a record matters; lower is more important.  The numbers are written into every record
// ("L3") and set through TAVORI_LOG_LEVEL, so they never change.  A threshold may lie between
// the named levels (TAVORI_LOG_LEVEL=5 shows notes but no tracing).
enum LogLevel : int {
  kLevelFailure = 1,  // an operation failed
  kLevelRefused = 3,  // refused input, a failed system call
  kLevelNote = 4,     // a step worth knowing about
  kLevelTrace = 6,    // tracing
};

// The threshold: records of a level above it are not built.
LogLevel GetLogLevel();
void SetLogLevel(LogLevel level);

// One finished record, as handed to the sink.  The views live only for the call.
struct LogRecord {
  LogLevel level = kLevelFailure;
  std::string_view source;
  int line = 0;
  std::string_view function;
  std::string_view text;
};

// The sink: writes |record| to the log file (and stderr when asked) and to the observer, if any.
void PrintLog(const LogRecord& record);

// Receives every record that PrintLog writes, on the writing thread, after the file sink.
// Installing an observer replaces the previous one; an empty function removes it.  Meant for
// tests (see base/test/log_capture.h); the observer must not write records itself.
using LogObserver = std::function<void(const LogRecord&)>;
void SetLogObserver(LogObserver observer);

// Builds one record in a fixed buffer and hands it to PrintLog when destroyed.
class LogWriter {
 public:
  static constexpr size_t kMaxText = 1024;

  LogWriter(LogLevel level, const char* source, int line, const char* function);
  ~LogWriter();
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  LogWriter& operator<<(std::string_view text);
  LogWriter& operator<<(const char* text);
  LogWriter& operator<<(const std::string& text) {
    return *this << static_cast<std::string_view>(text);
  }
  // Wide text is written as UTF-8.
  LogWriter& operator<<(std::wstring_view text);
  LogWriter& operator<<(const std::wstring& text) {
    return *this << static_cast<std::wstring_view>(text);
  }
  LogWriter& operator<<(char c) { return *this << std::string_view(&c, 1); }
  LogWriter& operator<<(bool value) { return *this << (value ? "1" : "0"); }
  // Integers in decimal.
  template <std::integral T>
  LogWriter& operator<<(T value) {
    if constexpr (std::is_signed_v<T>) {
      return AppendSigned(static_cast<int64_t>(value));
    } else {
      return AppendUnsigned(static_cast<uint64_t>(value));
    }
  }
  // Pointers as "0x" and 16 hexadecimal digits, or "nullptr".
  LogWriter& operator<<(const void* pointer);

 private:
  LogWriter& AppendSigned(int64_t value);
  LogWriter& AppendUnsigned(uint64_t value);

  LogLevel level_;
  const char* source_;
  int line_;
  const char* function_;
  size_t size_ = 0;
  bool full_ = false;
  char text_[kMaxText];
};

}  // namespace base::log

// Writes a record of |level| from the current function, naming the unit in the file-local
// constant kLogSource.  The stream expression is not evaluated when the level is off.
#define BASE_LOG(level) BASE_LOG_FUNCTION(level, __func__)

// The same, naming |function| explicitly (for records that must carry a given function name).
#define BASE_LOG_FUNCTION(level, function)                                      \
  for (bool base_log_on_ = ::base::log::GetLogLevel() >= (level); base_log_on_; \
       base_log_on_ = false)                                                    \
  ::base::log::LogWriter((level), kLogSource, __LINE__, (function))

#endif  // BASE_LOG_LOG_H_
