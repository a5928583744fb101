// Work beside the caller hands what it throws to `wait`, whether it ran on a
// thread of its own or, with no thread to be had, at once.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/hotsync/Beside.h"

namespace tolvex::host {
namespace {

// 0 when `wait`, and only `wait`, throws what the work threw.
int throwsOnlyAtTheWait() {
  try {
    Beside beside([] { throw std::runtime_error("no room"); });
    try {
      beside.wait();
    } catch (const std::runtime_error&) {
      return 0;
    }
    return 2;  // nothing thrown
  } catch (...) {
    return 1;  // thrown before the wait, out of the constructor
  }
}

TEST(BesideTest, WhatTheWorkThrowsComesOutOfTheWaitWithOrWithoutAThread) {
  EXPECT_EQ(throwsOnlyAtTheWait(), 0);
  if (std::getenv("TOLVEX_SANITIZED")) GTEST_SKIP() << "the sanitizers take more address space than any limit here";
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    // The stacks of threads that ended are kept for the next ones: these
    // take them all, so that the next thread needs a stack of its own.
    std::promise<void> release;
    const std::shared_future<void> released = release.get_future().share();
    std::vector<std::thread> holding;
    for (int i = 0; i < 8; ++i) holding.emplace_back([released] { released.wait(); });
    // Room for small allocations, none for a thread's stack.
    long pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) ::_exit(3);
    std::fclose(statm);
    const rlim_t room = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (2 << 20);
    const rlimit limit{room, room};
    ::setrlimit(RLIMIT_AS, &limit);
    const int answer = throwsOnlyAtTheWait();
    release.set_value();
    for (std::thread& thread : holding) thread.join();
    ::_exit(answer);
  }
  int status = -1;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tolvex::host
