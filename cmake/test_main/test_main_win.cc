// The main() of every Windows test binary.  The tests run in a Wine prefix made for the run
// (scripts/windows), so what they write (logs, settings) stays inside it without redirection.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
