#include <gtest/gtest.h>

#include <string>

#include "tests/hotsync/Terminal.h"
#include "tests/os/TempHome.h"

namespace {

std::string configureOnTerminal(const std::string& keys, int* exitCode) {
  const std::string conduit = TOLVEX_BINARY_DIR "/testlib/libtest_conduit.so";
  return tolvex::testing::hotsyncOnTerminal({"configure", "--conduit", conduit}, "Esc Cancel", keys, exitCode);
}

TEST(InteractiveDialogTest, KeysDriveTheDialogOnATerminal) {
  tolvex::testing::TempHome home;
  int code = -1;
  // "n" is the shortcut of "Do &not synchronize"; Tab then Space ticks "Set as default"; Enter is OK.
  std::string screen = configureOnTerminal("n\t \r", &code);
  EXPECT_EQ(code, 0) << screen;
  EXPECT_NE(screen.find("== Change HotSync Action =="), std::string::npos) << screen;
  // The shortcut letters are shown underlined.
  EXPECT_NE(screen.find("[ ] Do \033[4mn\033[24mot synchronize"), std::string::npos) << screen;
  EXPECT_NE(screen.find("[x] Do \033[4mn\033[24mot synchronize"), std::string::npos) << screen;
  EXPECT_NE(screen.find("[ OK ]"), std::string::npos) << screen;
  EXPECT_NE(screen.find("HotSync action: Do nothing (always)"), std::string::npos) << screen;

  screen = configureOnTerminal("\x1b", &code);
  EXPECT_EQ(code, 0);
  EXPECT_NE(screen.find("Cancelled"), std::string::npos) << screen;

  // Enter presses the focused button: three Tabs reach Cancel.
  screen = configureOnTerminal("n\t\t\t\r", &code);
  EXPECT_EQ(code, 0);
  EXPECT_NE(screen.find("Cancelled"), std::string::npos) << screen;
  EXPECT_EQ(screen.find("HotSync action:"), std::string::npos) << screen;
}

}  // namespace
