#include "base/log/log.h"

#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "base/synchronization/lock.h"
#include "os/folders.h"
#include "os/module.h"
#include "os/path.h"
#include "os/utf.h"
#include "src/internal/rotating_file.h"

namespace base::log {
namespace {

constexpr size_t kMaxFileSize = 4 * 1024 * 1024;
constexpr size_t kMaxFiles = 3;
constexpr LogLevel kDefaultLevel = kLevelNote;
// The highest threshold TAVORI_LOG_LEVEL may set; anything above every level shows every record.
constexpr long kHighestThreshold = 100;
// The longest source or function name a record shows.
constexpr size_t kMaxName = 256;

LogLevel LevelFromEnvironment() {
  const char* value = std::getenv("TAVORI_LOG_LEVEL");
  if (value == nullptr || *value == '\0') {
    return kDefaultLevel;
  }
  char* end = nullptr;
  const long level = std::strtol(value, &end, 10);
  if (*end != '\0' || level < 0 || level > kHighestThreshold) {
    return kDefaultLevel;
  }
  return static_cast<LogLevel>(level);
}

std::atomic<LogLevel>& Level() {
  static std::atomic<LogLevel> level{LevelFromEnvironment()};
  return level;
}

spdlog::level::level_enum SpdlogLevel(LogLevel level) {
  if (level <= kLevelFailure) {
    return spdlog::level::err;
  }
  if (level <= kLevelRefused) {
    return spdlog::level::warn;
  }
  if (level <= kLevelNote) {
    return spdlog::level::info;
  }
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
  // Through char8_t, so that the path is taken as UTF-8 on every platform (a narrow string is the
  // ANSI code page's on Windows).
  const std::string name = os::WideToUtf8(dir);
  const std::filesystem::path path(std::u8string(name.begin(), name.end()));
  std::error_code ignored;
  std::filesystem::create_directories(path, ignored);
  const std::string file = program + ".update_lib.log";
  const std::u8string full = (path / std::u8string(file.begin(), file.end())).u8string();
  return std::string(full.begin(), full.end());
}

// Writes each formatted record to the log file that all processes of the program share.  spdlog's
// own rotating sink is not used: it rotates without telling other processes, which then go on
// writing into the renamed file and push it past the limit.  Called under base_sink's mutex.
class SharedRotatingFileSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit SharedRotatingFileSink(std::string path)
      : file_(std::move(path), kMaxFileSize, kMaxFiles) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    spdlog::memory_buf_t formatted;
    formatter_->format(message, formatted);
    file_.Write(std::string_view(formatted.data(), formatted.size()));
  }
  // Every record reaches the file with one write of its own; nothing is buffered.
  void flush_() override {}

 private:
  RotatingFile file_;
};

// The process's logger.  Created on first use and deliberately never destroyed, so that records
// written while the process exits (from other libraries' exit handlers, or the file looper's
// final drain) still reach the file.  It is not registered with spdlog's global registry.
spdlog::logger* Logger() {
  static spdlog::logger* logger = [] {
    std::vector<spdlog::sink_ptr> sinks;
    if (const std::string path = LogFilePath(); !path.empty()) {
      // The file is opened with the first record (and again after a failed write).
      sinks.push_back(std::make_shared<SharedRotatingFileSink>(path));
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

// The installed observer; called under its lock, so that SetLogObserver returns only once no
// call of the observer it replaced is running.
struct ObserverSlot {
  Lock lock;
  LogObserver observer GUARDED_BY(lock);
};

ObserverSlot& Observer() {
  static ObserverSlot slot;
  return slot;
}

// Decodes the UTF-8 sequence at the start of |text|: its length, with its code point in
// |code_point|, or 0 when the bytes there are no valid sequence (a stray continuation byte, an
// overlong form, a surrogate, a value past U+10FFFF, a sequence cut short).
size_t DecodeUtf8(std::string_view text, char32_t* code_point) {
  const auto lead = static_cast<unsigned char>(text[0]);
  size_t length;
  char32_t value;
  char32_t smallest;
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  }
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    value = lead & 0x1F;
    smallest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    value = lead & 0x0F;
    smallest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    value = lead & 0x07;
    smallest = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) {
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xC0) != 0x80) {
      return 0;
    }
    value = (value << 6) | (next & 0x3F);
  }
  if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return 0;
  }
  *code_point = value;
  return length;
}

// The pieces of an escaped text.
enum class Piece {
  kRun,        // printable ASCII copied as it is; may be cut anywhere
  kCharacter,  // one multi-byte character copied as it is; never cut
  kEscape,     // one escape; never cut
};

// Walks |text| in the form a record shows it, so that a record is always one line of valid
// UTF-8 whatever its pieces held: C0 controls and DEL become \n, \r, \t or \xHH; C1 controls
// and the line and paragraph separators U+2028 and U+2029 become \uHHHH; a byte that starts no
// valid UTF-8 sequence becomes \xHH.  Everything else, the backslash included, stays as it is,
// so escaping an escaped text changes nothing.
//
// Calls |emit(text, kind)| for each piece of the result in order.  Stops when |emit| returns
// false; returns whether every piece was taken.
template <typename Emit>
bool ForEachEscapedPiece(std::string_view text, Emit&& emit) {
  size_t done = 0;
  while (done < text.size()) {
    size_t plain = done;
    while (plain < text.size() && text[plain] >= 0x20 && text[plain] < 0x7F) {
      ++plain;
    }
    if (plain > done) {
      if (!emit(text.substr(done, plain - done), Piece::kRun)) {
        return false;
      }
      done = plain;
      continue;
    }
    const auto byte = static_cast<unsigned char>(text[done]);
    char escape[8];
    std::string_view piece;
    Piece kind = Piece::kEscape;
    char32_t code_point = 0;
    const size_t length = DecodeUtf8(text.substr(done), &code_point);
    if (length == 0 || code_point < 0x20 || code_point == 0x7F) {
      switch (length == 0 ? 0 : byte) {
        case '\n':
          piece = "\\n";
          break;
        case '\r':
          piece = "\\r";
          break;
        case '\t':
          piece = "\\t";
          break;
        default:
          std::snprintf(escape, sizeof(escape), "\\x%02x", byte);
          piece = std::string_view(escape, 4);
      }
      done += 1;
    } else if ((code_point >= 0x80 && code_point < 0xA0) || code_point == 0x2028 ||
               code_point == 0x2029) {
      std::snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(code_point));
      piece = std::string_view(escape, 6);
      done += length;
    } else {
      piece = text.substr(done, length);
      kind = Piece::kCharacter;
      done += length;
    }
    if (!emit(piece, kind)) {
      return false;
    }
  }
  return true;
}

// Whether |text| is shown as it is.
bool ShownVerbatim(std::string_view text) {
  return ForEachEscapedPiece(text,
                             [](std::string_view, Piece kind) { return kind != Piece::kEscape; });
}

// |text| as a record shows it, cut after at most |limit| bytes.
std::string Escaped(std::string_view text, size_t limit) {
  std::string shown;
  ForEachEscapedPiece(text, [&](std::string_view piece, Piece kind) {
    const size_t room = limit - shown.size();
    if (piece.size() > room) {
      if (kind == Piece::kRun) {
        shown.append(piece.substr(0, room));
      }
      return false;
    }
    shown.append(piece);
    return true;
  });
  return shown;
}

void Print(const LogRecord& record) {
  // Records built by LogWriter arrive escaped already; a record handed in directly is escaped
  // here, so that no text can start a line of its own in the file.
  std::string source;
  std::string function;
  std::string text;
  LogRecord shown = record;
  if (!ShownVerbatim(record.source)) {
    shown.source = source = Escaped(record.source, kMaxName);
  }
  if (!ShownVerbatim(record.function)) {
    shown.function = function = Escaped(record.function, kMaxName);
  }
  if (!ShownVerbatim(record.text)) {
    shown.text = text = Escaped(record.text, LogWriter::kMaxText);
  }
  try {
    Logger()->log(SpdlogLevel(shown.level), "L{} {}:{} {}: {}", static_cast<int>(shown.level),
                  shown.source, shown.line, shown.function, shown.text);
  } catch (...) {
    // A sink that fails (disk full, closed stderr) must never take the caller down.
  }
  ObserverSlot& slot = Observer();
  AutoLock hold(slot.lock);
  if (slot.observer) {
    slot.observer(shown);
  }
}

}  // namespace

LogLevel GetLogLevel() { return Level().load(std::memory_order_relaxed); }

void SetLogLevel(LogLevel level) { Level().store(level, std::memory_order_relaxed); }

void SetLogObserver(LogObserver observer) {
  ObserverSlot& slot = Observer();
  AutoLock hold(slot.lock);
  slot.observer = std::move(observer);
}

void PrintLog(const LogRecord& record) {
  // Nothing is thrown out of a log call: LogWriter calls this from its destructor, and the
  // library's callers must not be taken down by a record (an allocation or the observer failing).
  try {
    Print(record);
  } catch (...) {
    // The record is lost.
  }
}

// text_ is left uninitialised: only its first size_ bytes are ever read.
// NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init): see above
LogWriter::LogWriter(LogLevel level, const char* source, int line, const char* function)
    : level_(level), source_(source), line_(line), function_(function) {}

LogWriter::~LogWriter() {
  PrintLog(LogRecord{level_, source_, line_, function_, std::string_view(text_, size_)});
}

LogWriter& LogWriter::operator<<(std::string_view text) {
  if (full_) {
    return *this;
  }
  // Once a piece was cut, later pieces are dropped even if they would fit the gap it left.
  full_ = !ForEachEscapedPiece(text, [this](std::string_view piece, Piece kind) {
    const size_t room = kMaxText - size_;
    const size_t take = piece.size() <= room ? piece.size() : kind == Piece::kRun ? room : 0;
    std::memcpy(text_ + size_, piece.data(), take);
    size_ += take;
    return take == piece.size();
  });
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
