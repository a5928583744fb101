#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/os/HostOs.h"

namespace {

const OsDialogControl kControls[] = {
    {0xFFFF, OS_CTL_STATIC, "Synchronizing:", 0, 0, 10, 10},
    {1018, OS_CTL_STATIC, "", 0, 0, 10, 10},
    {1019, OS_CTL_STATIC, "", 0, 0, 10, 10},
    {1020, OS_CTL_STATIC, "", 0, 0, 10, 10},
    {1021, OS_CTL_PROGRESS, "", 0, 0, 10, 10},
    {1022, OS_CTL_STATIC, "v0", 0, 0, 10, 10},
    {2, OS_CTL_BUTTON, "Cancel", 0, 0, 10, 10},
};
const OsDialogTemplate kDialogs[] = {{102, "Marrowind Tolvex", "MS Sans Serif", 8, 217, 95, kControls, 7}};
const OsResourceTable kTable = {nullptr, 0, kDialogs, 1, nullptr, 0, nullptr};

OsModule module() { return OsRegisterModule("/lib/libprogress.so", &kTable); }

TEST(ProgressTest, KeepsTextsRangeAndPositionReadableAfterDestroy) {
  EXPECT_EQ(OsProgressCreate(module(), 999), nullptr);
  OsProgress window = OsProgressCreate(module(), 102);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(OsProgressLast(), window);
  EXPECT_STREQ(OsProgressText(window, 1022), "v0");
  OsProgressSetText(window, 1022, "2.2.0");
  OsProgressSetText(window, 1018, "Tolvk-Garden");
  OsProgressSetText(window, 1019, "Synchronizing");
  OsProgressSetText(window, 1020, "  Found 3 records.");
  OsProgressSetText(window, 1020, nullptr);  // no text: unchanged
  OsProgressSetRange(window, 0, 4);
  OsProgressSetPosition(window, 2);
  EXPECT_EQ(OsProgressCancelled(window), 0);
  OsProgressDestroy(window);

  EXPECT_EQ(OsProgressIsOpen(window), 0);
  OsProgressSetText(window, 1018, "after destroy");
  OsProgressSetPosition(window, 3);
  EXPECT_STREQ(OsProgressText(window, 1018), "Tolvk-Garden");
  EXPECT_STREQ(OsProgressText(window, 1020), "  Found 3 records.");
  EXPECT_STREQ(OsProgressText(window, 1022), "2.2.0");
  EXPECT_STREQ(OsProgressText(window, 1234), "");
  int low = -1, high = -1;
  OsProgressGetRange(window, &low, &high);
  EXPECT_EQ(low, 0);
  EXPECT_EQ(high, 4);
  EXPECT_EQ(OsProgressPosition(window), 2);
}

TEST(ProgressTest, InterruptIsCancelAndClosesTheWindow) {
  OsProgress window = OsProgressCreate(module(), 102);
  ASSERT_NE(window, nullptr);
  ::raise(SIGINT);
  EXPECT_EQ(OsProgressCancelled(window), 1);
  EXPECT_EQ(OsProgressIsOpen(window), 0);
  OsProgressSetText(window, 1018, "ignored");
  EXPECT_STREQ(OsProgressText(window, 1018), "");
  EXPECT_EQ(OsProgressCancelled(window), 1);
  OsProgressDestroy(window);

  // The next window starts without a cancel request.
  OsProgress next = OsProgressCreate(module(), 102);
  EXPECT_EQ(OsProgressCancelled(next), 0);
  OsProgressDestroy(next);
  // Stale and foreign handles are ignored.
  OsProgressDestroy(window);
  EXPECT_EQ(OsProgressCancelled(reinterpret_cast<OsProgress>(const_cast<OsResourceTable*>(&kTable))), 0);
  EXPECT_STREQ(OsProgressText(nullptr, 1018), "");
}

TEST(ProgressDeathTest, SecondInterruptEndsTheProgram) {
  EXPECT_EXIT(
      {
        OsProgress window = OsProgressCreate(module(), 102);
        ::raise(SIGINT);
        OsProgressCancelled(window);
        ::raise(SIGINT);
        ::_exit(0);
      },
      ::testing::KilledBySignal(SIGINT), "");
}

// Runs `body` in a child on a terminal of its own; what the terminal showed
// until the child ended, and how it ended (`status`).
std::string onATerminal(const std::function<void()>& body, int* status) {
  int master = -1;
  const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (child < 0) return "no terminal";
  if (child == 0) {
    body();
    ::_exit(0);
  }
  std::string screen;
  for (;;) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) break;
    char buffer[1024];
    ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    screen.append(buffer, static_cast<size_t>(n));
  }
  ::close(master);
  ::waitpid(child, status, 0);
  return screen;
}

// On a terminal the line shows how long the current list has taken, and
// keeps counting while the caller is busy and calls nothing.
TEST(ProgressTest, OnATerminalTheLineCountsTheTimeSpentOnTheList) {
  int status = -1;
  const std::string screen = onATerminal(
      [] {
        OsProgress window = OsProgressCreate(module(), 102);
        OsProgressSetText(window, 1018, "Tolvk-Long");
        OsProgressSetText(window, 1020, "# Reading records.");
        ::usleep(2300000);  // busy, as a merge of a long list is
        OsProgressPrintLine("a HotSync log line");
        OsProgressDestroy(window);
      },
      &status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_NE(screen.find("0:00 Tolvk-Long"), std::string::npos) << screen;
  EXPECT_NE(screen.find("0:02 Tolvk-Long |  | # Reading records."), std::string::npos) << screen;
  EXPECT_NE(screen.find("\r\033[Ka HotSync log line"), std::string::npos) << screen;
}

// Limits the address space to what this process holds now and `more` bytes.
void limitAddressSpace(rlim_t more) {
  long pages = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) ::_exit(3);
  std::fclose(statm);
  const rlim_t room = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + more;
  const rlimit limit{room, room};
  ::setrlimit(RLIMIT_AS, &limit);
}

// On a terminal, with no thread to be had for the clock (no room for its
// stack) the window opens all the same; with no memory left while the clock
// ticks (the run has taken all there is) the line stands still. Neither
// ends the program.
TEST(ProgressTest, OnATerminalNoThreadOrMemoryForTheClockEndsNothing) {
  if (std::getenv("TOLVEX_SANITIZED")) GTEST_SKIP() << "the sanitizers take more address space than any limit here";
  int status = -1;
  std::string screen = onATerminal(
      [] {
        limitAddressSpace(2 << 20);  // room for what a window takes, none for a thread's stack
        try {
          OsProgress window = OsProgressCreate(module(), 102);
          OsProgressSetText(window, 1018, "Tolvk-Short");
          OsProgressDestroy(window);
          ::_exit(window != nullptr ? 0 : 2);
        } catch (...) {
          ::_exit(1);
        }
      },
      &status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << screen;
  EXPECT_NE(screen.find("Tolvk-Short"), std::string::npos) << screen;

  screen = onATerminal(
      [] {
        OsProgress window = OsProgressCreate(module(), 102);
        OsProgressSetText(window, 1018, "Tolvk-Full");
        std::vector<void*> taken;
        taken.reserve(1 << 20);
        limitAddressSpace(0);
        for (size_t size : {size_t{1} << 16, size_t{1} << 12, size_t{1} << 8, size_t{16}}) {
          while (taken.size() < taken.capacity()) {
            void* block = std::malloc(size);
            if (block == nullptr) break;
            taken.push_back(block);
          }
        }
        ::usleep(2300000);  // the clock ticks, twice
        for (void* block : taken) std::free(block);
        OsProgressDestroy(window);
      },
      &status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << screen;
}

}  // namespace
