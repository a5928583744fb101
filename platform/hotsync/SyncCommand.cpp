// hotsync sync: one HotSync of a handheld image with a desktop folder.
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/condmgr/HotsyncHome.h"
#include "platform/condmgr/IniFile.h"
#include "platform/hotsync/Commands.h"
#include "platform/hotsync/ConduitApi.h"
#include "platform/hotsync/Host.h"
#include "platform/hotsync/HostState.h"
#include "platform/syncmgr/SyncMgr.h"

namespace tolvex::host {
namespace {

const char* const kSyncTypeNames[] = {"fast", "slow", "hhtopc", "pctohh", "install", "backup", "nothing",
                                      "profileinstall"};
const char* const kSyncTypeLogNames[] = {"eFast", "eSlow", "eHHtoPC", "ePCtoHH", "eInstall", "eBackup",
                                         "eDoNothing", "eProfileInstall"};

const char kUsage[] =
    "Usage: hotsync sync --device DIR --desktop DIR [--type TYPE] [--conduit LIB]\n"
    "\n"
    "Runs one HotSync: every registered conduit (or only LIB) synchronizes the\n"
    "handheld image DIR with the desktop folder.\n"
    "\n"
    "  --device DIR    the handheld image (made with 'hotsync device init')\n"
    "  --desktop DIR   the user's desktop folder for the conduit\n"
    "  --type TYPE     fast, slow, hhtopc, pctohh, install, backup, nothing or\n"
    "                  profileinstall; without it: slow when the handheld last\n"
    "                  synchronized with another desktop (or never), else fast,\n"
    "                  and nothing when the conduit's HotSync action says so\n"
    "  --conduit LIB   run this conduit library instead of the registered ones\n"
    "\n"
    "Exit status: 0 when every conduit succeeded, 1 when one failed or the handheld\n"
    "image could not be written, 2 on bad usage, 3 when another hotsync is working\n"
    "on the image, the desktop folder or the HotSync state (nothing was changed).\n";

// The HotSync log of this run, printed as it comes and kept for hotsync.log.
struct HotSyncLog {
  std::vector<std::string> lines;
  void add(const std::string& text) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    // On a terminal the progress line is cleared first; it redraws below.
    if (::isatty(STDOUT_FILENO) && ::isatty(STDERR_FILENO)) std::fputs("\r\033[K", stdout);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    lines.push_back(line);
  }
  void append() const {
    std::string path = hotsyncHomeFile("hotsync.log");
    if (path.empty()) return;
    std::ofstream out(path, std::ios::app);
    char stamp[64];
    time_t now = ::time(nullptr);
    struct tm local;
    ::localtime_r(&now, &local);
    ::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    out << "--- HotSync " << stamp << "\n";
    for (const std::string& line : lines) out << stamp << " " << line << "\n";
  }
};

void logSink(const char* text, void* context) {
  if (text) static_cast<HotSyncLog*>(context)->add(text);
}

void hostCallback() {}

// What device.ini says about the last desktop; 0 for never.
uint32_t lastDesktopOf(const std::string& device) {
  auto config = loadIni(device + "/device.ini");
  if (!config) return 0;
  wxString text = config->Read("/sync/last_desktop", wxString());
  unsigned long id = 0;
  std::string value = text.utf8_string();
  if (value.empty()) return 0;
  char* end = nullptr;
  id = std::strtoul(value.c_str(), &end, 0);
  return (end && *end == '\0' && id <= UINT32_MAX) ? static_cast<uint32_t>(id) : 0;
}

int parseSyncType(const std::string& name) {
  for (int i = 0; i < 8; ++i) {
    if (name == kSyncTypeNames[i]) return i;
  }
  return -1;
}

void copyText(char* field, size_t size, const std::string& text) {
  std::snprintf(field, size, "%s", text.c_str());
}

// Runs one conduit; answers its result, or -1 when it could not be run.
long runConduit(const Registration& registration, int32_t syncType, const std::string& desktop,
                const std::string& userName) {
  std::string error;
  auto library = ConduitLibrary::open(registration.library, &error);
  if (!library) {
    std::fprintf(stderr, "hotsync sync: cannot load conduit %s: %s\n", registration.library.c_str(),
                 error.c_str());
    return -1;
  }
  auto open = reinterpret_cast<OpenConduitFn>(library->symbol("OpenConduit"));
  if (!open) {
    std::fprintf(stderr, "hotsync sync: %s is not a conduit: it has no OpenConduit entry point\n",
                 registration.library.c_str());
    return -1;
  }
  RunProperties properties;
  std::memset(&properties, 0, sizeof properties);
  properties.syncType = syncType;
  copyText(properties.desktopFolder, sizeof properties.desktopFolder, desktop);
  char host[256] = "";
  ::gethostname(host, sizeof host - 1);
  copyText(properties.localName, sizeof properties.localName, host);
  copyText(properties.userName, sizeof properties.userName, userName);
  properties.creator = creatorCode(registration.creator);
  properties.cardNo = 0;
  long result = open(hostCallback, &properties);
  if (result < 0) {
    std::fprintf(stderr, "hotsync sync: conduit %s (%s) ended with %ld\n", registration.library.c_str(),
                 registration.creator.c_str(), result);
  }
  return result;
}

}  // namespace

int runSync(int argc, char** argv, int first) {
  ArgReader args("sync", argc, argv, first);
  std::string device, desktop, type, conduit;
  while (!args.done()) {
    std::string arg = args.next();
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (arg == "--version") {
      printVersion();
      return kExitOk;
    } else if (arg == "--device") {
      if (!args.value(arg, &device)) return kExitUsage;
    } else if (arg == "--desktop") {
      if (!args.value(arg, &desktop)) return kExitUsage;
    } else if (arg == "--type") {
      if (!args.value(arg, &type)) return kExitUsage;
    } else if (arg == "--conduit") {
      if (!args.value(arg, &conduit)) return kExitUsage;
    } else {
      return args.usageError("unknown argument '" + arg + "'");
    }
  }
  if (device.empty()) return args.usageError("--device DIR is required");
  if (desktop.empty()) return args.usageError("--desktop DIR is required");
  if (!isDirectory(device)) return args.usageError("no handheld image folder '" + device + "'");
  if (!isDirectory(desktop)) return args.usageError("no desktop folder '" + desktop + "'");
  int forcedType = -1;
  if (!type.empty() && (forcedType = parseSyncType(type)) < 0) {
    return args.usageError("unknown sync type '" + type + "'");
  }
  if (desktop.back() != '/') desktop += '/';
  if (desktop.size() >= sizeof(RunProperties::desktopFolder)) {
    return args.usageError("desktop folder path is too long");
  }

  // Held to the end: the conduits, the image and this program's own state
  // writes all happen under it.
  std::unique_ptr<RunLock> lock =
      lockFolders("sync", {hostStateLock(), imageLock(device), desktopLock(desktop)});
  if (!lock) return kExitBusy;

  std::vector<Registration> conduits;
  if (!conduit.empty()) {
    conduits.push_back(registrationForLibrary(conduit));
  } else {
    conduits = registeredConduits();
  }
  if (conduits.empty()) {
    std::fprintf(stderr, "hotsync sync: no conduit is registered\n");
    return kExitFailed;
  }

  uint32_t desktopId = HostState::desktopId();
  uint32_t lastDesktop = lastDesktopOf(device);
  // The log listens before the image is read, so that the databases it
  // skips are in the HotSync log.
  HotSyncLog log;
  SyncHostSetLogSink(logSink, &log);
  if (SyncHostAttach(device.c_str()) != 0) {
    SyncHostSetLogSink(nullptr, nullptr);
    std::fprintf(stderr, "hotsync sync: cannot use the handheld image %s\n", device.c_str());
    return kExitFailed;
  }
  SyncUserInfo user;
  std::memset(&user, 0, sizeof user);
  std::string userName = SyncReadUserID(&user) == 0 ? std::string(user.name, strnlen(user.name, sizeof user.name))
                                                    : std::string();

  bool allOk = true;
  for (const Registration& registration : conduits) {
    int32_t syncType;
    if (forcedType >= 0) {
      syncType = forcedType;
    } else if (HostState::takeAction(registration.creator) == kSyncDoNothing) {
      syncType = kSyncDoNothing;
    } else {
      syncType = (lastDesktop == 0 || lastDesktop != desktopId) ? kSyncSlowType : kSyncFastType;
    }
    std::fprintf(stderr, "hotsync: %s (%s), %s\n", registration.library.c_str(), registration.creator.c_str(),
                 kSyncTypeLogNames[syncType]);
    if (runConduit(registration, syncType, desktop, userName) < 0) allOk = false;
  }
  if (desktopId != 0 && SyncHostSetLastDesktop(desktopId) != 0)
    log.add("HotSync: the handheld image could not record this desktop; the next HotSync will be slow");
  // A database the image could not write keeps its earlier file: the run
  // did not do all it reported, whatever the conduits answered.
  if (SyncHostDetach() != 0) {
    log.add("HotSync: ERROR: changes could not be written to the handheld image " + device);
    std::fprintf(stderr, "hotsync sync: the handheld image %s could not be written\n", device.c_str());
    allOk = false;
  }
  SyncHostSetLogSink(nullptr, nullptr);
  log.append();
  return allOk ? kExitOk : kExitFailed;
}

}  // namespace tolvex::host
