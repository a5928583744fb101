// Runs hotsync on a pseudo terminal: types `keys` once the output shows
// `waitFor`, and answers everything the terminal showed.
#ifndef TOLVEX_TESTS_HOTSYNC_TERMINAL_H
#define TOLVEX_TESTS_HOTSYNC_TERMINAL_H
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace tolvex::testing {

inline std::string hotsyncOnTerminal(const std::vector<std::string>& args, const std::string& waitFor,
                                     const std::string& keys, int* exitCode) {
  const std::string hotsync = TOLVEX_BINARY_DIR "/bin/hotsync";
  std::vector<char*> argv{const_cast<char*>(hotsync.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int master = -1;
  pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (child == 0) {
    ::execv(hotsync.c_str(), argv.data());
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
    if (!typed && screen.find(waitFor) != std::string::npos) {
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

}  // namespace tolvex::testing
#endif
