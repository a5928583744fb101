// A fresh $HOTSYNC_HOME for one test, removed afterwards.
#ifndef TOLVEX_TESTS_OS_TEMPHOME_H
#define TOLVEX_TESTS_OS_TEMPHOME_H
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace tolvex::testing {

class TempHome {
 public:
  TempHome() {
    char pattern[] = "/tmp/tolvex-home-XXXXXX";
    path_ = ::mkdtemp(pattern);
    ::setenv("HOTSYNC_HOME", path_.c_str(), 1);
  }
  ~TempHome() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  std::string read(const std::string& name) const {
    std::ifstream in(file(name));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  std::string path_;
};

}  // namespace tolvex::testing
#endif
