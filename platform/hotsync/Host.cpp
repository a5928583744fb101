#include "platform/hotsync/Host.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "platform/condmgr/CondMgr.h"
#include "platform/condmgr/HotsyncHome.h"
#include "platform/condmgr/IniFile.h"
#include "platform/hotsync/HostState.h"

namespace tolvex::host {

std::string executablePath() {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  return std::string(buffer, static_cast<size_t>(n));
}

// Installed, the conduit sits in the private lib/tolvex/ beside bin/; in a
// build tree, in lib/.
static std::string defaultConduitLibrary() {
  std::filesystem::path exe = executablePath();
  std::filesystem::path lib = exe.parent_path().parent_path() / "lib";
  std::filesystem::path library = lib / "tolvex" / "libTolvex2.so";
  std::error_code error;
  if (!std::filesystem::exists(library, error)) library = lib / "libTolvex2.so";
  std::filesystem::path canonical = std::filesystem::weakly_canonical(library, error);
  return (error ? library : canonical).string();
}

void recordHostStart() {
  std::string self = executablePath();
  if (!self.empty()) CmSetHotSyncExecPath(self.c_str());
  // Without a state file to note it in, a registration the user removed
  // would come back on every start.
  if (HostState::defaultConduitRegistered() || !unusableStateFile("hotsync.ini").empty()) return;
  char library[1024];
  if (CmGetConduitByCreator(kDefaultCreator, library, sizeof library, nullptr, 0) != CONDERR_NONE) {
    if (CmInstallConduit(kDefaultCreator, defaultConduitLibrary().c_str(), "Tolvex") != CONDERR_NONE) return;
  }
  HostState::setDefaultConduitRegistered();
}

std::vector<Registration> registeredConduits() {
  std::vector<Registration> out;
  char list[4096];
  if (CmListCreators(list, sizeof list) <= 0) return out;
  std::string creators = list;
  size_t start = 0;
  for (size_t end; (end = creators.find('\n', start)) != std::string::npos; start = end + 1) {
    Registration r;
    r.creator = creators.substr(start, end - start);
    char library[1024], folder[256];
    if (CmGetConduitByCreator(r.creator.c_str(), library, sizeof library, folder, sizeof folder) != CONDERR_NONE) {
      continue;
    }
    r.library = library;
    r.folder = folder;
    out.push_back(r);
  }
  return out;
}

Registration registrationForLibrary(const std::string& library) {
  std::error_code error;
  auto same = [&](const std::string& a, const std::string& b) {
    return a == b || std::filesystem::equivalent(a, b, error);
  };
  for (const Registration& r : registeredConduits()) {
    if (same(r.library, library)) {
      Registration found = r;
      found.library = library;
      return found;
    }
  }
  return Registration{kDefaultCreator, library, "Tolvex"};
}

uint32_t creatorCode(const std::string& creator) {
  uint32_t code = 0;
  for (size_t i = 0; i < 4; ++i) {
    code = (code << 8) | (i < creator.size() ? static_cast<unsigned char>(creator[i]) : ' ');
  }
  return code;
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string unusableStateFile(const char* name) {
  const std::string home = hotsyncHomePath();
  if (home.empty()) return std::string();
  const std::string path = home + "/" + name;
  const std::string why = iniTrouble(path);
  return why.empty() ? why : path + " " + why;
}

LockRequest hostStateLock() { return LockRequest{hotsyncHome(), "the HotSync state folder"}; }
LockRequest imageLock(const std::string& folder) { return LockRequest{folder, "the handheld image"}; }
LockRequest desktopLock(const std::string& folder) { return LockRequest{folder, "the desktop folder"}; }

std::unique_ptr<RunLock> lockFolders(const std::string& command, const std::vector<LockRequest>& requests) {
  std::string error;
  std::unique_ptr<RunLock> lock = RunLock::acquire(requests, &error);
  if (!lock) std::fprintf(stderr, "hotsync %s: %s; nothing was changed\n", command.c_str(), error.c_str());
  return lock;
}

std::unique_ptr<ConduitLibrary> ConduitLibrary::open(const std::string& path, std::string* error) {
  // A bare name would be searched on the library path; a conduit is named by its file.
  std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = ::dlerror();
    if (error) *error = why ? why : "cannot be loaded";
    return nullptr;
  }
  return std::make_unique<ConduitLibrary>(path, handle);
}

void* ConduitLibrary::symbol(const char* name) const { return ::dlsym(handle_, name); }

ArgReader::ArgReader(std::string command, int argc, char** argv, int first, std::vector<std::string> withValues)
    : command_(std::move(command)), argc_(argc), argv_(argv), index_(first), withValues_(std::move(withValues)) {}

std::string ArgReader::next() {
  std::string arg = argv_[index_++];
  attached_.reset();
  size_t equals = arg.find('=');
  if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
    std::string name = arg.substr(0, equals);
    for (const std::string& option : withValues_) {
      if (option != name) continue;
      attached_ = arg.substr(equals + 1);
      return name;
    }
  }
  return arg;
}

bool ArgReader::value(const std::string& name, std::string* out) {
  if (attached_) {
    *out = *attached_;
    attached_.reset();
    return true;
  }
  if (done()) {
    usageError(name + " needs a value");
    return false;
  }
  *out = next();
  return true;
}

int ArgReader::usageError(const std::string& message) const {
  std::fprintf(stderr, "hotsync %s: %s (see 'hotsync %s --help')\n", command_.c_str(), message.c_str(),
               command_.c_str());
  return kExitUsage;
}

}  // namespace tolvex::host
