#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "tests/os/TempHome.h"

namespace {

// Runs `hotsync configure` on a pseudo terminal, typing `keys` once the dialog
// is drawn; answers everything the terminal showed.
std::string configureOnTerminal(const std::string& keys, int* exitCode) {
  const std::string hotsync = TOLVEX_BINARY_DIR "/bin/hotsync";
  const std::string conduit = TOLVEX_BINARY_DIR "/testlib/libtest_conduit.so";
  int master = -1;
  pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (child == 0) {
    ::execl(hotsync.c_str(), hotsync.c_str(), "configure", "--conduit", conduit.c_str(), nullptr);
    ::_exit(127);
  }
  std::string screen;
  bool typed = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 100) > 0) {
      char buffer[1024];
      ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n <= 0) break;  // the program ended
      screen.append(buffer, static_cast<size_t>(n));
    }
    if (!typed && screen.find("Esc Cancel") != std::string::npos) {
      for (char key : keys) {
        ssize_t ignored = ::write(master, &key, 1);
        (void)ignored;
        ::usleep(50000);
      }
      typed = true;
    }
  }
  ::close(master);
  int status = 0;
  ::waitpid(child, &status, 0);
  *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return screen;
}

TEST(InteractiveDialogTest, KeysDriveTheDialogOnATerminal) {
  tolvex::testing::TempHome home;
  int code = -1;
  // "n" is the shortcut of "Do &not synchronize"; Tab then Space ticks "Set as default"; Enter is OK.
  std::string screen = configureOnTerminal("n\t \r", &code);
  EXPECT_EQ(code, 0) << screen;
  EXPECT_NE(screen.find("== Change HotSync Action =="), std::string::npos) << screen;
  EXPECT_NE(screen.find("[ ] Do not synchronize"), std::string::npos) << screen;
  EXPECT_NE(screen.find("[x] Do not synchronize"), std::string::npos) << screen;
  EXPECT_NE(screen.find("[ OK ]"), std::string::npos) << screen;
  EXPECT_NE(screen.find("HotSync action: Do nothing (default)"), std::string::npos) << screen;

  screen = configureOnTerminal("\x1b", &code);
  EXPECT_EQ(code, 0);
  EXPECT_NE(screen.find("Cancelled"), std::string::npos) << screen;
}

}  // namespace
