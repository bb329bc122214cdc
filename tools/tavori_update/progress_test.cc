#include "progress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace tavori_update {
namespace {

TEST(ProgressTest, BytesDurationsAndTheBar) {
  EXPECT_EQ(FormatBytes(812), "812 B");
  EXPECT_EQ(FormatBytes(1536), "1.5 KiB");
  EXPECT_EQ(FormatBytes(8u << 20), "8.0 MiB");
  EXPECT_EQ(FormatDuration(7), "0:07");
  EXPECT_EQ(FormatDuration(3723), "1:02:03");
  EXPECT_EQ(FormatDuration(-1), "--:--");
  EXPECT_EQ(ProgressLine(4 << 20, 8 << 20, 1 << 20, 70),
            "[##########...........]   50%  4.0 MiB / 8.0 MiB  1.0 MiB/s  0:04 left");
  // Unknown rate, and more bytes than announced: the bar stays whole and the time unknown.
  EXPECT_EQ(ProgressLine(9, 8, 0, 10), "[##########]  100%  9 B / 8 B  0 B/s  --:-- left");
}

TEST(ProgressTest, ATerminalGetsOneRedrawnLineAPipeATenthByTenth) {
  for (const bool terminal : {true, false}) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    ProgressDisplay display(out, terminal);
    const auto start = ProgressDisplay::Clock::now();
    for (int i = 0; i <= 100; ++i) {
      display.Update(static_cast<uint64_t>(i), 100, start + std::chrono::milliseconds(10 * i));
    }
    display.Finish();
    fclose(out);
    const std::string written(text, size);
    free(text);
    // Redrawn every 100 ms on a terminal (and at the end), a line per tenth otherwise.
    EXPECT_EQ(std::count(written.begin(), written.end(), terminal ? '\r' : '\n'), 11) << written;
    EXPECT_NE(written.find(terminal ? "100%" : "downloaded 100 B of 100 B (100%)"),
              std::string::npos)
        << written;
  }
}

}  // namespace
}  // namespace tavori_update
