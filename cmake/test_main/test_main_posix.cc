// The main() of every test binary: keeps what tests write (logs, settings, the machine-wide
// stand-ins) inside the build tree, whatever the developer's environment says, then runs
// GoogleTest.  Runs before any thread exists, so changing the environment is safe here.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

int main(int argc, char** argv) {
  const std::string home = TAVORI_TEST_HOME;
  setenv("XDG_STATE_HOME", (home + "/state").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
  setenv("TAVORI_SYSTEM_ROOT", (home + "/system").c_str(), 1);
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
