#include "progress.h"

#include <algorithm>
#include <cmath>

namespace tavori_update {

std::string FormatBytes(uint64_t bytes) {
  if (bytes < 1024) {
    return std::to_string(bytes) + " B";
  }
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string FormatDuration(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0 || seconds > 360000) {
    return "--:--";
  }
  const auto total = static_cast<long>(std::lround(seconds));
  char text[32];
  if (total >= 3600) {
    snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  } else {
    snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  }
  return text;
}

std::string ProgressLine(uint64_t done, uint64_t total, double rate, int width) {
  const double fraction =
      total == 0 ? 0.0 : std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
  char percent[16];
  snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100));
  std::string tail =
      std::string("  ") + percent + "  " + FormatBytes(done) + " / " + FormatBytes(total) + "  " +
      FormatBytes(static_cast<uint64_t>(rate)) + "/s  " +
      FormatDuration(rate > 0 ? static_cast<double>(total - std::min(done, total)) / rate : NAN) +
      " left";
  const int bar = std::max(10, width - static_cast<int>(tail.size()) - 2);
  const int filled = static_cast<int>(fraction * bar);
  return "[" + std::string(filled, '#') + std::string(bar - filled, '.') + "]" + tail;
}

ProgressDisplay::ProgressDisplay(FILE* out, bool terminal) : out_(out), terminal_(terminal) {}

void ProgressDisplay::Update(uint64_t done, uint64_t total, Clock::time_point now) {
  if (!started_) {
    started_ = true;
    start_ = now;
  }
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  const double rate = elapsed > 0.2 ? static_cast<double>(done) / elapsed : 0.0;
  const bool complete = total != 0 && done >= total;
  if (terminal_) {
    // Ten redraws a second are enough for the eye and cheap for a slow terminal.
    if (complete || last_draw_ == Clock::time_point{} ||
        now - last_draw_ >= std::chrono::milliseconds(100)) {
      last_draw_ = now;
      fprintf(out_, "\r%s", ProgressLine(done, total, rate, 78).c_str());
      fflush(out_);
    }
    return;
  }
  const int tenth = total == 0 ? 0 : static_cast<int>(std::min<uint64_t>(done * 10 / total, 10));
  if (tenth != last_tenth_) {
    last_tenth_ = tenth;
    fprintf(out_, "downloaded %s of %s (%d%%)\n", FormatBytes(done).c_str(),
            FormatBytes(total).c_str(), tenth * 10);
    fflush(out_);
  }
}

void ProgressDisplay::Finish() {
  if (terminal_ && started_) {
    fputc('\n', out_);
    fflush(out_);
  }
}

}  // namespace tavori_update
