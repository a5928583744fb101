// Pieces every hotsync command shares: the program's own path, the conduit
// registrations, loading a conduit library, and the command-line reader.
#ifndef TOLVEX_PLATFORM_HOTSYNC_HOST_H
#define TOLVEX_PLATFORM_HOTSYNC_HOST_H
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/hotsync/RunLock.h"

namespace tolvex::host {

// kExitBusy: another hotsync holds a folder the command would write.
constexpr int kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitBusy = 3;
constexpr const char* kDefaultCreator = "Qzvm";

struct Registration {
  std::string creator;  // four characters
  std::string library;
  std::string folder;
};

std::string executablePath();
// Records this program as the HotSync program and registers the default
// conduit (../lib/libTolvex2.so beside it) under "Qzvm" the first time.
// A registration removed later is not forced back.
void recordHostStart();
std::vector<Registration> registeredConduits();
// The registration naming `library`, else one under "Qzvm" for it.
Registration registrationForLibrary(const std::string& library);
uint32_t creatorCode(const std::string& creator);
bool isDirectory(const std::string& path);
// "PATH WHY" when the state file `name` of $HOTSYNC_HOME exists but cannot
// be used (not a regular file, too large, unreadable); "" when it can or
// does not exist yet, as before a first HotSync.
std::string unusableStateFile(const char* name);

// What a command locks: the host state ($HOTSYNC_HOME), a handheld image, a
// desktop folder.
LockRequest hostStateLock();
LockRequest imageLock(const std::string& folder);
LockRequest desktopLock(const std::string& folder);
// The run lock for `requests`; null, with "hotsync COMMAND: ...; nothing was
// changed" printed, when another hotsync holds one of them.
std::unique_ptr<RunLock> lockFolders(const std::string& command, const std::vector<LockRequest>& requests);

// A dlopen'ed conduit library; stays loaded for the life of the process.
class ConduitLibrary {
 public:
  // Null with `error` set when the library cannot be loaded.
  static std::unique_ptr<ConduitLibrary> open(const std::string& path, std::string* error);
  void* symbol(const char* name) const;
  const std::string& path() const { return path_; }

  ConduitLibrary(std::string path, void* handle) : path_(std::move(path)), handle_(handle) {}

 private:
  std::string path_;
  void* handle_;
};

// Walks a command's arguments; reports usage errors as one line on stderr.
// An option of `withValues` is read as "--name VALUE" or "--name=VALUE".
class ArgReader {
 public:
  ArgReader(std::string command, int argc, char** argv, int first, std::vector<std::string> withValues = {});
  bool done() const { return index_ >= argc_; }
  std::string next();
  // The value of option `name` just read; false (and the error printed) when missing.
  bool value(const std::string& name, std::string* out);
  // Prints "hotsync COMMAND: MESSAGE (try ...)" and answers kExitUsage.
  int usageError(const std::string& message) const;

 private:
  std::string command_;
  int argc_;
  char** argv_;
  int index_;
  std::vector<std::string> withValues_;
  std::optional<std::string> attached_;  // the VALUE of "--name=VALUE"
};

}  // namespace tolvex::host
#endif
