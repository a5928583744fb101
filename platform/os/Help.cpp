// Help and the log viewer. Help prints the module's help text; the viewer is
// started detached (double fork) so the caller neither waits for it nor leaves
// a zombie behind.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/os/Module.h"

namespace {

std::string& lastHelpRequest() {
  static std::string last;
  return last;
}

// Starts `program path` in a new session; answers errno of a failed start or 0.
int startDetached(const char* program, const char* path) {
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return errno;
  pid_t child = ::fork();
  if (child < 0) {
    int error = errno;
    ::close(report[0]);
    ::close(report[1]);
    return error;
  }
  if (child == 0) {
    ::close(report[0]);
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild == 0) {
      ::signal(SIGPIPE, SIG_DFL);  // the caller may ignore it; the program started must not
      int devnull = ::open("/dev/null", O_RDWR);
      if (devnull >= 0) {
        ::dup2(devnull, STDIN_FILENO);
        if (devnull > STDERR_FILENO) ::close(devnull);
      }
      const char* argv[] = {program, path, nullptr};
      ::execvp(program, const_cast<char* const*>(argv));
      int error = errno;
      ssize_t ignored = ::write(report[1], &error, sizeof error);
      (void)ignored;
      ::_exit(127);
    }
    int error = grandchild < 0 ? errno : 0;
    if (error) {
      ssize_t ignored = ::write(report[1], &error, sizeof error);
      (void)ignored;
    }
    ::_exit(0);
  }
  ::close(report[1]);
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  // End of file without bytes: the exec succeeded (the pipe closed on exec).
  int error = 0;
  ssize_t n;
  do {
    n = ::read(report[0], &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  ::close(report[0]);
  return n == sizeof error ? error : 0;
}

}  // namespace

extern "C" {

int OsWinHelp(OsModule module, const char* helpFile, uint32_t /*command*/, uint32_t context) {
  lastHelpRequest() = std::string(helpFile ? helpFile : "") + "#" + std::to_string(context);
  const char* text = module && module->table ? module->table->helpText : nullptr;
  if (!text) {
    std::printf("No help is available (%s).\n", lastHelpRequest().c_str());
    std::fflush(stdout);
    return 0;
  }
  std::fputs(text, stdout);
  if (*text && text[std::strlen(text) - 1] != '\n') std::fputc('\n', stdout);
  std::fflush(stdout);
  return 1;
}

const char* OsLastHelpRequest(void) { return lastHelpRequest().c_str(); }

int OsShowLogFile(const char* path) {
  if (!path || !*path) return -1;
  const char* viewer = std::getenv("TOLVEX_LOG_VIEWER");
  if (!viewer || !*viewer) {
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((display && *display) || (wayland && *wayland)) viewer = "xdg-open";
  }
  if (viewer && *viewer) {
    int error = startDetached(viewer, path);
    if (error == 0) return 1;
    std::fprintf(stderr, "Could not start the log viewer %s (%s); the log is %s\n", viewer,
                 std::strerror(error), path);
    return -1;
  }
  std::fprintf(stderr, "The HotSync log is %s\n", path);
  return 0;
}

}  // extern "C"
