#include "conduit/Backups.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace tolvex {
namespace {

// The folder must be the desktop folder's own: a link would carry the roll
// (and its removals) wherever it points.
void makeBackupFolder(RunLog& log, const std::string& dir) {
  struct stat info;
  if (lstat(dir.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    if (unlink(dir.c_str()) == 0) {
      log.line("#   WARN: Backup was a symbolic link; replaced by a folder of its own.\n");
    }
  }
  if (stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return;
  if (mkdir(dir.c_str(), 0755) == 0) {
    log.line("#   Created Backup directory.\n");
  } else {
    log.line("#   ERROR: Couldn't create Backup directory (%d).\n", errno);
  }
}

// A second name for the live file; a leftover ".0" (its roll failed) gives
// way as a rename over it would have.
bool linkLiveFile(const std::string& live, const std::string& b0) {
  if (link(live.c_str(), b0.c_str()) == 0) return true;
  if (errno == EEXIST && unlink(b0.c_str()) == 0 && link(live.c_str(), b0.c_str()) == 0) return true;
  if (errno == ENOENT) return false;
  // No hard links here: the live name is gone only until the caller's rename.
  return std::rename(live.c_str(), b0.c_str()) == 0;
}

}  // namespace

void rollBackups(RunLog& log, const std::string& folder, const std::string& name) {
  const std::string dir = folder + "Backup";
  const std::string base = dir + "/" + name;
  const std::string b0 = base + ".0", b1 = base + ".1", b2 = base + ".2";
  const std::string live = folder + name + ".XML";

  makeBackupFolder(log, dir);
  if (std::remove(b2.c_str()) == 0) {
    log.line("#   Backup remove: %s\n", b2.c_str());
  } else {
    log.line("#   WARN: Couldn't remove backup: %s (%d)\n", b2.c_str(), errno);
  }
  const std::string* rolls[2][2] = {{&b1, &b2}, {&b0, &b1}};
  for (const auto& roll : rolls) {
    if (std::rename(roll[0]->c_str(), roll[1]->c_str()) == 0) {
      log.line("#   Backup roll: %s to %s\n", roll[0]->c_str(), roll[1]->c_str());
    } else {
      log.line("#   WARN: Couldn't roll backup: %s to %s (%d)\n", roll[0]->c_str(),
               roll[1]->c_str(), errno);
    }
  }
  if (linkLiveFile(live, b0)) {
    log.line("#   Backup: %s to %s\n", live.c_str(), b0.c_str());
  } else {
    log.line("#   ERROR: Couldn't backup: %s to %s (%d)\n", live.c_str(), b0.c_str(), errno);
  }
}

}  // namespace tolvex
