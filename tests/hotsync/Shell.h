// Runs a shell command for the hotsync tests; answers its exit code and what
// it wrote on standard output. And reads a file whole, as the tests check files.
#ifndef TOLVEX_TESTS_HOTSYNC_SHELL_H
#define TOLVEX_TESTS_HOTSYNC_SHELL_H
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace tolvex::testing {

struct ShellResult {
  int code = -1;
  std::string out;
};

inline ShellResult shell(const std::string& command) {
  ShellResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
  int status = ::pclose(pipe);
  result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// The bytes of `path`; empty when it cannot be read.
inline std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace tolvex::testing
#endif
