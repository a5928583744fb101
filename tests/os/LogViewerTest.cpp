#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/os/HostOs.h"
#include "tests/os/TempHome.h"

namespace {

class LogViewerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    script = home.file("viewer.sh");
    record = home.file("viewed.txt");
    std::ofstream out(script);
    // Sleeps first: the caller must not wait for the viewer.
    out << "#!/bin/sh\nsleep 1\nprintf '%s' \"$1\" > " << record << ".part && mv " << record << ".part "
        << record << "\n";
    out.close();
    ::chmod(script.c_str(), 0755);
  }
  void TearDown() override { ::unsetenv("TOLVEX_LOG_VIEWER"); }
  tolvex::testing::TempHome home;
  std::string script, record;
};

TEST_F(LogViewerTest, StartsTheViewerWithThePathWithoutWaitingOrLeavingAZombie) {
  ::setenv("TOLVEX_LOG_VIEWER", script.c_str(), 1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(OsShowLogFile("/desk/lastsync.txt"), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  // The viewer is no child of ours.
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  std::string seen;
  for (int i = 0; i < 100 && seen.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    seen = home.read("viewed.txt");
  }
  EXPECT_EQ(seen, "/desk/lastsync.txt");
}

TEST_F(LogViewerTest, WithoutViewerOrDesktopThePathIsPrinted) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(OsShowLogFile("/desk/lastsync.txt"), 0);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("/desk/lastsync.txt"), std::string::npos);
}

TEST_F(LogViewerTest, AViewerThatCannotStartIsReported) {
  ::setenv("TOLVEX_LOG_VIEWER", home.file("no-such-viewer").c_str(), 1);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(OsShowLogFile("/desk/lastsync.txt"), -1);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("/desk/lastsync.txt"), std::string::npos);
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(OsShowLogFile(nullptr), -1);
}

}  // namespace
