// hotsync device init: make a handheld image, empty or from the .pdb files of
// a handheld backup folder. (device dump is in DeviceDump.cpp.)
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "desktop/TextEncoding.h"
#include "platform/hotsync/Commands.h"
#include "platform/hotsync/Host.h"
#include "platform/hotsync/ListTree.h"
#include "platform/syncmgr/SyncMgr.h"

namespace tolvex::host {

const char kDeviceUsage[] =
    "Usage: hotsync device init IMAGE [--from BACKUP] [--user NAME]\n"
    "       hotsync device dump IMAGE [NAME] [--json] [--records]\n"
    "\n"
    "  init   creates the handheld image IMAGE (made when missing; an existing\n"
    "         image is never overwritten)\n"
    "    --from BACKUP  copy in the .pdb files of the handheld backup folder\n"
    "                   BACKUP; a file that is not a well-formed record\n"
    "                   database, a symbolic link and a database the image\n"
    "                   already holds are reported and not copied\n"
    "    --user NAME    the handheld's HotSync user name. A backup's .pdb files\n"
    "                   do not record it, so with --from and without --user it\n"
    "                   is asked for on the terminal; without --from and --user\n"
    "                   the handheld reports no user\n"
    "  dump   shows the image's databases (only database NAME when given): list\n"
    "         databases as an indented outline, one line per item with its\n"
    "         checked state, priority, title and the first line of its note;\n"
    "         deleted items are shown, marked \"deleted\"; the tag database as\n"
    "         its tags by category, the filter database as its filters with\n"
    "         their rules; other databases as their records in hex\n"
    "    --json         the same as one JSON document (notes in full)\n"
    "    --records      list, tag and filter databases also as their records\n"
    "                   in hex\n";

namespace {

constexpr const char kDeviceFile[] = "device.ini";

bool endsWithPdb(const std::string& name) {
  if (name.size() <= 4) return false;
  std::string tail = name.substr(name.size() - 4);
  std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char c) { return std::tolower(c); });
  return tail == ".pdb";
}

// The .pdb files of `folder`, sorted (matched without regard to case: backups
// made on Windows name them .PDB); *others counts what else is there.
bool backupFiles(const std::string& folder, std::vector<std::string>* files, size_t* others) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return false;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (endsWithPdb(name)) {
      files->push_back(name);
    } else {
      ++*others;
    }
  }
  ::closedir(dir);
  std::sort(files->begin(), files->end());
  return true;
}

// Control characters or broken UTF-8 would end up in device.ini and on the
// handheld; the name also has to fit the handheld's user record.
std::string userNameProblem(const std::string& name) {
  if (name.size() >= sizeof(SyncUserInfo::name)) return "the user name is too long";
  if (validUtf8Prefix(name, SIZE_MAX) != name.size()) return "the user name is not valid UTF-8";
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F) return "the user name holds a control character";
  return std::string();
}

// Asks on the terminal; false when nothing usable was typed.
bool askUserName(std::string* name) {
  std::fputs("The .pdb files of a backup do not record the HotSync user name.\n"
             "HotSync user name of this handheld: ",
             stderr);
  std::fflush(stderr);
  char line[256];
  if (!std::fgets(line, sizeof line, stdin)) {
    std::fputc('\n', stderr);
    return false;
  }
  *name = line;
  while (!name->empty() && (name->back() == '\n' || name->back() == '\r')) name->pop_back();
  return !name->empty();
}

// Copies the backup's databases into the attached image; answers how many
// were not copied.
size_t copyBackup(const std::string& backup, const std::vector<std::string>& files, size_t* copied) {
  size_t skipped = 0;
  for (const std::string& file : files) {
    const std::string path = backup + "/" + file;
    char message[512];
    long rc = SyncHostImportDatabase(path.c_str(), message, sizeof message);
    const std::string shown = rc == 0 ? cp1252BytesToUtf8(message) : std::string(message);
    if (rc == 0) {
      std::printf("  %s: database \"%s\"\n", terminalLine(file, 255).c_str(), terminalLine(shown, 64).c_str());
      ++*copied;
    } else {
      std::fprintf(stderr, "hotsync device init: %s: %s; not copied\n", terminalLine(path, 4096).c_str(),
                   terminalLine(shown, 512).c_str());
      ++skipped;
    }
  }
  return skipped;
}

// True, with the reason printed, when `folder` already holds an image.
bool isImage(const std::string& folder) {
  struct stat st;
  const std::string deviceFile = folder + "/" + kDeviceFile;
  if (::lstat(deviceFile.c_str(), &st) != 0) return false;
  std::fprintf(stderr, "hotsync device init: %s is already a handheld image (%s exists); nothing changed\n",
               folder.c_str(), deviceFile.c_str());
  return true;
}

int deviceInit(ArgReader& args) {
  std::string folder, user, backup;
  bool haveUser = false, haveBackup = false;
  while (!args.done()) {
    std::string arg = args.next();
    if (arg == "--help" || arg == "-h") {
      std::fputs(kDeviceUsage, stdout);
      return kExitOk;
    } else if (arg == "--version") {
      printVersion();
      return kExitOk;
    } else if (arg == "--user") {
      if (!args.value(arg, &user)) return kExitUsage;
      haveUser = true;
    } else if (arg == "--from") {
      if (!args.value(arg, &backup)) return kExitUsage;
      haveBackup = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return args.usageError("unknown argument '" + arg + "'");
    } else if (folder.empty()) {
      folder = arg;
    } else {
      return args.usageError("unexpected argument '" + arg + "'");
    }
  }
  if (folder.empty()) return args.usageError("the image folder IMAGE is required");
  if (haveUser) {
    std::string problem = userNameProblem(user);
    if (!problem.empty()) return args.usageError(problem);
  }
  std::vector<std::string> files;
  size_t others = 0;
  if (haveBackup) {
    if (!isDirectory(backup)) return args.usageError("no backup folder '" + backup + "'");
    std::error_code error;
    if (std::filesystem::equivalent(backup, folder, error))
      return args.usageError("the image cannot be the backup folder itself");
    if (!backupFiles(backup, &files, &others)) {
      std::fprintf(stderr, "hotsync device init: cannot read the backup folder %s: %s\n", backup.c_str(),
                   std::strerror(errno));
      return kExitFailed;
    }
    if (files.empty()) {
      std::fprintf(stderr, "hotsync device init: no .pdb files in %s; nothing made\n", backup.c_str());
      return kExitFailed;
    }
  }
  if (isImage(folder)) return kExitFailed;
  if (haveBackup && !haveUser) {
    if (!::isatty(STDIN_FILENO)) {
      return args.usageError("the .pdb files of a backup do not record the HotSync user name; give it with --user NAME");
    }
    if (!askUserName(&user)) {
      std::fprintf(stderr, "hotsync device init: no user name given; nothing made\n");
      return kExitFailed;
    }
    std::string problem = userNameProblem(user);
    if (!problem.empty()) {
      std::fprintf(stderr, "hotsync device init: %s; nothing made\n", problem.c_str());
      return kExitFailed;
    }
    haveUser = true;
  }
  // Made here so that it can be locked; asked again under the lock, since
  // another hotsync may have made it an image meanwhile.
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "hotsync device init: cannot create the folder %s: %s\n", folder.c_str(), std::strerror(errno));
    return kExitFailed;
  }
  std::unique_ptr<RunLock> lock = lockFolders("device init", {imageLock(folder)});
  if (!lock) return kExitBusy;
  if (isImage(folder)) return kExitFailed;
  long rc = SyncHostCreateImage(folder.c_str(), haveUser ? user.c_str() : nullptr);
  if (rc != 0) {
    std::fprintf(stderr, "hotsync device init: cannot create the handheld image %s (error %ld)\n", folder.c_str(), rc);
    return kExitFailed;
  }
  std::printf("Created handheld image %s%s%s\n", folder.c_str(), haveUser ? " for " : "", user.c_str());
  if (!haveBackup) return kExitOk;

  if (SyncHostAttach(folder.c_str()) != 0) {
    std::fprintf(stderr, "hotsync device init: cannot use the new handheld image %s\n", folder.c_str());
    return kExitFailed;
  }
  size_t copied = 0;
  size_t skipped = copyBackup(backup, files, &copied);
  SyncHostDetach();
  std::printf("Copied %zu of %zu .pdb files from %s", copied, files.size(), backup.c_str());
  if (others > 0) std::printf("; %zu other files there not used (only .pdb record databases are)", others);
  std::printf("\n");
  if (skipped > 0) {
    std::fprintf(stderr, "hotsync device init: %zu .pdb files were not copied (see above)\n", skipped);
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

int runDevice(int argc, char** argv, int first) {
  ArgReader args("device", argc, argv, first);
  if (args.done()) return args.usageError("init or dump is required");
  std::string what = args.next();
  if (what == "--help" || what == "-h") {
    std::fputs(kDeviceUsage, stdout);
    return kExitOk;
  }
  if (what == "--version") {
    printVersion();
    return kExitOk;
  }
  if (what == "init") {
    ArgReader rest("device init", argc, argv, first + 1, {"--from", "--user"});
    return deviceInit(rest);
  }
  if (what == "dump") {
    ArgReader rest("device dump", argc, argv, first + 1);
    return deviceDump(rest);
  }
  return args.usageError("unknown device command '" + what + "'");
}

}  // namespace tolvex::host
