#include "conduit/Backups.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

namespace tolvex {

void rollBackups(RunLog& log, const std::string& folder, const std::string& name) {
  const std::string dir = folder + "Backup";
  const std::string base = dir + "/" + name;
  const std::string b0 = base + ".0", b1 = base + ".1", b2 = base + ".2";
  const std::string live = folder + name + ".XML";

  struct stat info;
  if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    if (mkdir(dir.c_str(), 0755) == 0) {
      log.line("#   Created Backup directory.\n");
    } else {
      log.line("#   ERROR: Couldn't create Backup directory (%d).\n", errno);
    }
  }
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
  if (std::rename(live.c_str(), b0.c_str()) == 0) {
    log.line("#   Backup: %s to %s\n", live.c_str(), b0.c_str());
  } else {
    log.line("#   ERROR: Couldn't backup: %s to %s (%d)\n", live.c_str(), b0.c_str(), errno);
  }
}

}  // namespace tolvex
