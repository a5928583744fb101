// The folder that holds everything the host and the stand-ins keep between
// runs: $HOTSYNC_HOME, else $XDG_CONFIG_HOME/hotsync, else ~/.config/hotsync.
// Header-only so each stand-in library carries its own copy.
#ifndef TOLVEX_PLATFORM_HOTSYNCHOME_H
#define TOLVEX_PLATFORM_HOTSYNCHOME_H
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace tolvex {

// The folder's path, whether or not it exists. Empty when no home is known.
inline std::string hotsyncHomePath() {
  if (const char* h = std::getenv("HOTSYNC_HOME"); h && *h) return h;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x) return std::string(x) + "/hotsync";
  if (const char* u = std::getenv("HOME"); u && *u) return std::string(u) + "/.config/hotsync";
  return std::string();
}

// The folder, made (with its parents) when missing. Empty when no home is known.
inline std::string hotsyncHome() {
  std::string home = hotsyncHomePath();
  if (home.empty()) return home;
  for (size_t i = 1; i <= home.size(); ++i) {
    if (i == home.size() || home[i] == '/') {
      std::string part = home.substr(0, i);
      if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return std::string();
    }
  }
  return home;
}

// Path of one file in the home folder; empty when there is no home.
inline std::string hotsyncHomeFile(const char* name) {
  std::string home = hotsyncHome();
  return home.empty() ? home : home + "/" + name;
}

}  // namespace tolvex
#endif
