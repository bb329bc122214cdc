// How tavori-update shows a download: a bar redrawn in place on a terminal, or plain lines for
// logs and pipes.  Pure formatting plus a small throttle; used on the command-line thread only.

#ifndef TOOLS_TAVORI_UPDATE_PROGRESS_H_
#define TOOLS_TAVORI_UPDATE_PROGRESS_H_

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tavori_update {

// "812 B", "1.5 KiB", "8.0 MiB", "1.2 GiB".
std::string FormatBytes(uint64_t bytes);
// "0:07", "12:34", "1:02:03"; "--:--" for an unknown duration.
std::string FormatDuration(double seconds);

// One line of the bar for |done| of |total| bytes at |rate| bytes per second, |width| columns:
//   "[#########...........]  45%  3.6 MiB / 8.0 MiB  1.2 MiB/s  0:04 left"
std::string ProgressLine(uint64_t done, uint64_t total, double rate, int width);

class ProgressDisplay {
 public:
  using Clock = std::chrono::steady_clock;
  // |terminal|: redraw one line with "\r"; otherwise a plain line at every tenth of the total.
  ProgressDisplay(FILE* out, bool terminal);

  void Update(uint64_t done, uint64_t total, Clock::time_point now);
  // Ends the bar's line (on a terminal) so that what follows starts on a fresh line.
  void Finish();

 private:
  FILE* const out_;
  const bool terminal_;
  bool started_ = false;
  Clock::time_point start_{};
  Clock::time_point last_draw_{};
  int last_tenth_ = -1;
};

}  // namespace tavori_update

#endif  // TOOLS_TAVORI_UPDATE_PROGRESS_H_
