// One `hotsync sync` in its own process, for tests that look at what a user
// sees: its exit code and output, with optional fault injection, a cap on
// the size of every file it writes, and a hook that may signal it.
#ifndef TOLVEX_TESTS_HANDHELD_HOTSYNCRUN_H
#define TOLVEX_TESTS_HANDHELD_HOTSYNCRUN_H
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace tolvex::testing {

struct HotsyncOptions {
  std::string faults;         // SYNCMGR_FAULTS
  size_t fileLimit = 0;       // bytes; a file the run writes cannot grow past it
  size_t memoryLimit = 0;     // bytes of address space the run may take
  int timeoutSeconds = 120;   // then the run is killed and reported as -1
  // Called every few milliseconds while the run lasts.
  std::function<void(pid_t)> whileRunning;
};

struct HotsyncOutcome {
  int exitCode = -1;
  std::string output;  // stdout and stderr
};

inline HotsyncOutcome runHotsyncSync(const std::string& home, const std::string& image, const std::string& desktop,
                                     const HotsyncOptions& options = {}) {
  const std::string program = TOLVEX_BINARY_DIR "/bin/hotsync", out = home + ".out";
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("HOTSYNC_HOME", home.c_str(), 1);
    if (!options.faults.empty()) setenv("SYNCMGR_FAULTS", options.faults.c_str(), 1);
    if (options.fileLimit) {
      std::signal(SIGXFSZ, SIG_IGN);
      rlimit limit{options.fileLimit, options.fileLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.memoryLimit) {
      rlimit limit{options.memoryLimit, options.memoryLimit};
      setrlimit(RLIMIT_AS, &limit);
    }
    const int sink = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(sink, 1);
    dup2(sink, 2);
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    execl(program.c_str(), program.c_str(), "sync", "--device", image.c_str(), "--desktop", desktop.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  HotsyncOutcome outcome;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      status = -1;
      break;
    }
    if (options.whileRunning) options.whileRunning(pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (status != -1 && WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
  std::ifstream in(out, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  outcome.output = text.str();
  return outcome;
}

}  // namespace tolvex::testing
#endif
