// hotsync sync: one HotSync of a handheld image with a desktop folder.
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "desktop/TextEncoding.h"
#include "platform/condmgr/HotsyncHome.h"
#include "platform/condmgr/IniFile.h"
#include "platform/hotsync/Beside.h"
#include "platform/hotsync/Commands.h"
#include "platform/hotsync/ConduitApi.h"
#include "platform/hotsync/DryRun.h"
#include "platform/hotsync/Host.h"
#include "platform/hotsync/HostState.h"
#include "platform/hotsync/Json.h"
#include "platform/hotsync/RunSummary.h"
#include "platform/os/HostOs.h"
#include "platform/syncmgr/SyncMgr.h"

namespace tolvex::host {
namespace {

const char* const kSyncTypeNames[] = {"fast", "slow", "hhtopc", "pctohh", "install", "backup", "nothing",
                                      "profileinstall"};
const char* const kSyncTypeLogNames[] = {"eFast", "eSlow", "eHHtoPC", "ePCtoHH", "eInstall", "eBackup",
                                         "eDoNothing", "eProfileInstall"};

const char kUsage[] =
    "Usage: hotsync sync --device DIR --desktop DIR [--type TYPE] [--conduit LIB]\n"
    "                    [--dry-run] [--verbose] [--quiet | --json]\n"
    "\n"
    "Runs one HotSync: every registered conduit (or only LIB) synchronizes the\n"
    "handheld image DIR with the desktop folder, then says what it did: one line\n"
    "per list (merged, copied to the handheld or to the desktop, skipped or failed,\n"
    "and how many items were added, changed, moved and deleted on each side), the\n"
    "handheld image files that changed (the ones to install on a handheld) and\n"
    "where the run's log is.\n"
    "\n"
    "  --device DIR    the handheld image (made with 'hotsync device init')\n"
    "  --desktop DIR   the user's desktop folder for the conduit\n"
    "  --type TYPE     the kind of HotSync; without it: slow when the handheld\n"
    "                  last synchronized with another desktop (or never), else\n"
    "                  fast, and nothing when the conduit's HotSync action says so.\n"
    "                  With the Tolvex conduit:\n"
    "                    fast      merge the lists changed since the last HotSync\n"
    "                    slow      merge every item of every list\n"
    "                    hhtopc, pctohh, install, backup, profileinstall\n"
    "                              merge like fast, always item by item (the\n"
    "                              strategies chosen with configure are for\n"
    "                              fast and slow HotSyncs)\n"
    "                    nothing   do nothing\n"
    "                  Copying whole lists one way (handheld over desktop or\n"
    "                  desktop over handheld) is chosen with 'hotsync configure'.\n"
    "  --conduit LIB   run this conduit library instead of the registered ones\n"
    "  --dry-run       change nothing: run the same HotSync on copies of the\n"
    "                  image, the desktop folder and $HOTSYNC_HOME in a new folder\n"
    "                  under $TMPDIR (or /tmp), say what it would change, and\n"
    "                  remove the copies but the run's log, whose path it prints;\n"
    "                  a one-time HotSync action chosen with configure stays for\n"
    "                  the real HotSync; the exit status is the real run's\n"
    "  --verbose       say also every item that changes, one line each: the list,\n"
    "                  the side, added, changed, moved, deleted or duplicated, its\n"
    "                  titles from the top row down, and for an item edited on\n"
    "                  both sides which version wins\n"
    "  --quiet         print nothing but errors\n"
    "  --json          print what the run did as one JSON document\n"
    "\n"
    "Options take their value as '--option VALUE' or '--option=VALUE'.\n"
    "Exit status: 0 when every conduit succeeded, 1 when one failed or the handheld\n"
    "image could not be written (or a dry run could not copy the folders, or a\n"
    "HotSync state file in $HOTSYNC_HOME cannot be used: nothing was changed), 2 on\n"
    "bad usage, 3 when another hotsync is working on the image, the desktop folder\n"
    "or the HotSync state (nothing was changed).\n";

// What the user hears of the run: the HotSync log as it comes (kept for
// hotsync.log), errors on stderr, and at the end the summary, as text or JSON.
struct RunOutput {
  bool quiet = false, json = false;
  std::vector<std::string> lines;   // the HotSync log of this run
  std::vector<std::string> errors;

  bool chatty() const { return !quiet && !json; }
  // `shown` false: kept for the HotSync log only (the error says it already).
  void add(const std::string& text, bool shown = true) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    lines.push_back(line);
    // On a terminal the progress line steps aside and redraws below.
    if (chatty() && shown) OsProgressPrintLine(line.c_str());
  }
  void error(const std::string& text) {
    std::fprintf(stderr, "hotsync sync: %s\n", text.c_str());
    errors.push_back(text);
  }
  void append() const {
    std::string path = hotsyncHomeFile("hotsync.log");
    if (path.empty()) return;
    // Without waiting, and only to a regular file: a FIFO would stall the run.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      ::close(fd);
      return;
    }
    char stamp[64];
    time_t now = ::time(nullptr);
    struct tm local;
    ::localtime_r(&now, &local);
    ::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::string text = std::string("--- HotSync ") + stamp + "\n";
    for (const std::string& line : lines) text += std::string(stamp) + " " + line + "\n";
    for (size_t done = 0; done < text.size();) {
      const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    ::close(fd);
  }
};

void logSink(const char* text, void* context) {
  if (text) static_cast<RunOutput*>(context)->add(text);
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

// runConduit's answer for a conduit it could not call: the reason is said already.
constexpr long kConduitNotRun = -1000;

// A conduit's negative result in words.
std::string failureWords(long result) {
  switch (result) {
    case kConduitNotRun: return "it was not run";
    case -1: return "the handheld's user could not be read, or the Sync Manager is too old";
    case -5: return "the host gave it no callback";
    case -6: return "it could not register with the Sync Manager";
    case -7: return "the handheld's card or its list of databases could not be read";
    case -11:
    case -12: return "a list could not be brought in sync";
    case -13: return "the handheld sync module could not be called, or its version is not supported";
    default: return "it ended with result " + std::to_string(result);
  }
}

// Runs one conduit; answers its result, or kConduitNotRun when it could not be run.
long runConduit(const Registration& registration, int32_t syncType, const std::string& desktop,
                const std::string& userName, RunOutput& out) {
  std::string error;
  auto library = ConduitLibrary::open(registration.library, &error);
  if (!library) {
    out.error("cannot load conduit " + registration.library + ": " + error);
    return kConduitNotRun;
  }
  auto open = reinterpret_cast<OpenConduitFn>(library->symbol("OpenConduit"));
  if (!open) {
    out.error(registration.library + " is not a conduit: it has no OpenConduit entry point");
    return kConduitNotRun;
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
  return open(hostCallback, &properties);
}

// Tells what failed in words, in the HotSync log too (a run that failed
// before it logged anything would leave an empty entry there). `logPath`:
// the log this run wrote, "" when it wrote none.
void reportFailure(const Registration& registration, long result, const std::string& logPath, RunOutput& out) {
  std::string text = "the conduit " + registration.library + " failed: " + failureWords(result);
  std::stringstream logText;
  if (!logPath.empty()) logText << std::ifstream(logPath, std::ios::binary).rdbuf();
  const std::string why = firstTrouble(logText.str());
  if (!why.empty()) text += " (" + why + ")";
  if (!logPath.empty()) text += "; its log: " + logPath;
  out.add("HotSync: FAILED: " + text, false);
  out.error(text);
}

// The conduits' log as it stands: an earlier run's log, left where it was,
// says nothing of this run.
struct LogStamp {
  bool exists = false;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
};

LogStamp logStamp(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return {};
  return {true, info.st_ino, info.st_size, info.st_mtim};
}

bool writtenSince(const LogStamp& before, const LogStamp& now) {
  return now.exists && (!before.exists || now.inode != before.inode || now.size != before.size ||
                        now.modified.tv_sec != before.modified.tv_sec || now.modified.tv_nsec != before.modified.tv_nsec);
}

// Where --device points at something that is not an image: a hint to make one.
std::string notAnImage(const std::string& device) {
  std::string text = "'" + device + "' is not a handheld image (it has no device.ini)";
  if (DIR* dir = ::opendir(device.c_str())) {
    bool pdb = false;
    while (dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      pdb = pdb || (name.size() > 4 && (name.substr(name.size() - 4) == ".pdb" || name.substr(name.size() - 4) == ".PDB"));
    }
    ::closedir(dir);
    if (pdb) return text + "; to make one from its .pdb files: hotsync device init IMAGE --from " + device;
  }
  return text + "; make one with 'hotsync device init " + device + "'";
}

// What a stop says of its cause.
std::string whyStopped(const std::exception& e) {
  return dynamic_cast<const std::bad_alloc*>(&e) ? "out of memory" : e.what();
}

// The reading of the lists as they were before the run, beside it.
class BeforeTheRun {
 public:
  explicit BeforeTheRun(std::unique_ptr<FolderSnapshot::Opened> opened) : opened_(std::move(opened)) {
    if (!opened_) return;
    reading_.emplace([this] {
      snapshot_ = FolderSnapshot::read(*opened_);
      // What the reading held is of no use to the run going on beside it.
      ::malloc_trim(0);
    });
  }
  BeforeTheRun(const BeforeTheRun&) = delete;
  BeforeTheRun& operator=(const BeforeTheRun&) = delete;

  FolderSnapshot take() {
    if (reading_) reading_->wait();
    return std::move(snapshot_);
  }

 private:
  std::unique_ptr<FolderSnapshot::Opened> opened_;
  FolderSnapshot snapshot_;
  std::optional<Beside> reading_;  // last: it ends before what it uses goes
};

// What one `hotsync sync` was asked to do.
struct SyncRequest {
  std::string device, desktop, conduit;  // desktop: absolute, ends in "/"
  int forcedType = -1;                   // -1: chosen as the HotSync Manager does
  bool dryRun = false, verbose = false;
};

// One HotSync of `device` with `desktop` (the user's folders, or a dry run's
// copies of them), under the run lock; prints what it did and answers the
// exit code. A dry run's HotSync log is not kept, and its summary says what
// would change.
int syncFolders(const SyncRequest& request, const std::string& device, const std::string& desktop, RunOutput& out) {
  const bool dryRun = request.dryRun;
  std::vector<Registration> conduits;
  if (!request.conduit.empty()) {
    conduits.push_back(registrationForLibrary(request.conduit));
  } else {
    conduits = registeredConduits();
  }
  if (conduits.empty()) {
    const std::string registrations = unusableStateFile("conduits.ini");
    out.error(registrations.empty() ? "no conduit is registered"
                                    : registrations + "; the conduit registrations it holds cannot be read");
    return kExitFailed;
  }

  // The figures of the summary cost a reading of every list before and after
  // the run; --quiet prints none, so it does without. The lists as they were
  // are read beside the run: their files are open before it starts, and it
  // replaces files only by renaming new ones over them.
  // Titles are kept only to name the items that changed.
  BeforeTheRun before(out.quiet ? nullptr : FolderSnapshot::open(device, desktop, request.verbose));
  uint32_t desktopId = HostState::desktopId();
  uint32_t lastDesktop = lastDesktopOf(device);
  // The log listens before the image is read, so that the databases it
  // skips are in the HotSync log.
  SyncHostSetLogSink(logSink, &out);
  if (SyncHostAttach(device.c_str()) != 0) {
    SyncHostSetLogSink(nullptr, nullptr);
    out.error("cannot use the handheld image " + device);
    return kExitFailed;
  }
  SyncUserInfo user;
  std::memset(&user, 0, sizeof user);
  std::string userName = SyncReadUserID(&user) == 0 ? std::string(user.name, strnlen(user.name, sizeof user.name))
                                                    : std::string();

  const std::string logPath = desktop + "lastsync.txt";
  const LogStamp logBefore = logStamp(logPath);
  auto thisRunsLog = [&] { return writtenSince(logBefore, logStamp(logPath)) ? logPath : std::string(); };
  bool allOk = true;
  for (const Registration& registration : conduits) {
    int32_t syncType;
    if (request.forcedType >= 0) {
      syncType = request.forcedType;
    } else if (std::optional<int32_t> action = HostState::takeAction(registration.creator); !action) {
      // Used but kept, the action would go on applying at every HotSync.
      out.error("the HotSync action chosen for the next HotSync only could not be cleared in " +
                hotsyncHomeFile("hotsync.ini") + "; nothing was synchronized by " + registration.library +
                ". Make the HotSync state folder writable (is the disk full?), then choose the action again");
      allOk = false;
      continue;
    } else if (*action == kSyncDoNothing) {
      syncType = kSyncDoNothing;
    } else {
      syncType = (lastDesktop == 0 || lastDesktop != desktopId) ? kSyncSlowType : kSyncFastType;
    }
    if (out.chatty()) {
      std::fprintf(stderr, "hotsync: %s (%s), %s\n", registration.library.c_str(), registration.creator.c_str(),
                   kSyncTypeLogNames[syncType]);
    }
    long result = runConduit(registration, syncType, desktop, userName, out);
    if (result < 0) {
      allOk = false;
      reportFailure(registration, result, thisRunsLog(), out);
    }
  }
  // The desktop folder and the run's log are settled once the conduits
  // return. The desktop's lists, the longest read, go on a thread of their
  // own beside the image's write-back; the log is read here after the
  // image, so that the desktop's reading keeps a core to itself.
  // The summary only reports: when it cannot be made (out of memory), the
  // image is still written back and the run answers as its conduits did.
  const std::string runLog = out.quiet ? std::string() : thisRunsLog();
  std::string noSummary;  // why there is none
  FolderSnapshot was;
  try {
    was = before.take();
  } catch (const std::exception& e) {
    noSummary = whyStopped(e);
  }
  FolderSnapshot desktopAfter;
  std::optional<Beside> desktopReading;
  if (!out.quiet && noSummary.empty()) {
    desktopReading.emplace([&] { desktopAfter = FolderSnapshot::takeDesktop(desktop, &was, request.verbose); });
  }
  if (desktopId == 0) {
    out.add("HotSync: this desktop's id could not be read or kept in " + hotsyncHomeFile("hotsync.ini") +
            "; the next HotSync will be slow");
  } else if (SyncHostSetLastDesktop(desktopId) != 0) {
    out.add("HotSync: the handheld image could not record this desktop; the next HotSync will be slow");
  }
  // A database the image could not write keeps its earlier file: the run
  // did not do all it reported, whatever the conduits answered.
  if (SyncHostDetach() != 0) {
    out.add("HotSync: ERROR: changes could not be written to the handheld image " + device);
    out.error("the handheld image " + device + " could not be written");
    allOk = false;
  }
  SyncHostSetLogSink(nullptr, nullptr);
  HostState::setLastUser(cp1252BytesToUtf8(userName));
  if (!dryRun) out.append();

  int code = allOk ? kExitOk : kExitFailed;
  if (out.quiet) return code;
  std::optional<RunSummary> summary;
  try {
    if (noSummary.empty()) {
      // What the run and the write-back freed goes back before the image is read.
      ::malloc_trim(0);
      FolderSnapshot imageAfter = FolderSnapshot::takeImage(device, &was, request.verbose);
      const RunLogNotes notes = readRunLog(runLog);
      desktopReading->wait();
      FolderSnapshot after = FolderSnapshot::combine(std::move(desktopAfter), std::move(imageAfter));
      summary = summarizeRun(std::move(was), std::move(after), notes, runLog, !allOk);
    }
  } catch (const std::exception& e) {
    noSummary = whyStopped(e);
  }
  if (!summary) {
    out.error("the summary of this HotSync could not be made (" + noSummary + "); what it did is in its log" +
              (runLog.empty() ? std::string() : ": " + runLog));
    if (dryRun) code = kExitFailed;  // its summary is all a dry run gives
  }
  const SummaryStyle style{request.verbose, dryRun};
  if (out.json) {
    JsonWriter json;
    json.beginObject().key("result").string(code == kExitOk ? "ok" : "failed").key("exitCode").number(code);
    json.key("dryRun").boolean(dryRun);
    if (summary) writeSummaryJson(*summary, json, style);
    json.key("hotsyncLog").beginArray();
    for (const std::string& line : out.lines) json.string(line);
    json.endArray().key("errors").beginArray();
    for (const std::string& error : out.errors) json.string(error);
    json.endArray().endObject();
    std::printf("%s\n", json.text().c_str());
  } else if (out.chatty() && summary) {
    std::printf("\n%s%s", dryRun ? "Dry run, nothing was changed; a HotSync now would do this:\n" : "",
                summaryText(*summary, style).c_str());
  }
  return code;
}

// Settings the run cannot read would be replaced by defaults that can decide
// against the user's data: the conduit's collision method and copy
// strategies (registry.ini), and this desktop's id and the HotSync action
// (hotsync.ini), which choose between "Do nothing", a fast HotSync and a slow
// one with its own strategy. Answers the exit code of a refusal, or 0 when
// the run may go ahead. With --type, hotsync.ini chooses nothing: the run
// only cannot note this desktop, which it says at the end.
int refuseUnusableSettings(const SyncRequest& request, RunOutput& out) {
  const std::string settings = unusableStateFile("registry.ini");
  if (!settings.empty()) {
    out.error(settings +
              "; it holds the conduit's settings chosen with 'hotsync configure' (collision method, copy "
              "strategies), and a HotSync without them would use the defaults. Nothing was changed: repair or "
              "remove the file (removing it forgets those settings), then run again");
    return kExitFailed;
  }
  const std::string state = unusableStateFile("hotsync.ini");
  if (!state.empty() && request.forcedType < 0) {
    out.error(state +
              "; it holds this desktop's id and the HotSync action chosen with 'hotsync configure', and "
              "without them a HotSync could ignore a \"Do nothing\" action or take this desktop for another one "
              "and use the strategy chosen for that case. Nothing was changed: repair or remove the file "
              "(removing it forgets the action and makes the next HotSync slow), or give --type");
    return kExitFailed;
  }
  return kExitOk;
}

// The whole HotSync on private copies of the three folders, the originals
// held under the run lock throughout so that the copies are of whole files.
int dryRun(const SyncRequest& request, RunOutput& out) {
  // A HotSync state folder that does not exist yet stays so.
  const std::string home = hotsyncHomePath();
  const bool haveHome = isDirectory(home);
  std::unique_ptr<RunLock> lock = lockFolders(
      "sync", {haveHome ? hostStateLock() : LockRequest{}, imageLock(request.device), desktopLock(request.desktop)});
  if (!lock) return kExitBusy;
  std::string error;
  std::unique_ptr<DryRunCopies> copies = DryRunCopies::make(request.device, request.desktop, home, &error);
  if (!copies) {
    out.error("the dry run could not copy the folders: " + error + "; nothing was changed");
    return kExitFailed;
  }
  const std::string desktop = copies->desktop() + "/";
  if (desktop.size() >= sizeof(RunProperties::desktopFolder)) {
    out.error("the dry run's copy of the desktop folder has too long a path: " + desktop +
              "; set TMPDIR to a shorter one");
    return kExitFailed;
  }
  if (out.chatty()) {
    std::fprintf(stderr, "hotsync: dry run on copies in %s; nothing of %s, %s or %s will change\n",
                 copies->folder().c_str(), request.device.c_str(),
                 request.desktop.substr(0, request.desktop.size() - 1).c_str(),
                 home.empty() ? "the HotSync state" : home.c_str());
  }
  HomeSwitch switched(copies->home());
  // The copies are held as the originals are, so the run finds its folders as a real one does.
  std::unique_ptr<RunLock> copyLock =
      lockFolders("sync", {hostStateLock(), imageLock(copies->image()), desktopLock(desktop)});
  if (!copyLock) return kExitFailed;
  recordHostStart();
  copies->keepLog();
  return syncFolders(request, copies->image(), desktop, out);
}

}  // namespace

int runSync(int argc, char** argv, int first) {
  ArgReader args("sync", argc, argv, first, {"--device", "--desktop", "--type", "--conduit"});
  SyncRequest request;
  std::string type;
  RunOutput out;
  while (!args.done()) {
    std::string arg = args.next();
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (arg == "--version") {
      printVersion();
      return kExitOk;
    } else if (arg == "--device") {
      if (!args.value(arg, &request.device)) return kExitUsage;
    } else if (arg == "--desktop") {
      if (!args.value(arg, &request.desktop)) return kExitUsage;
    } else if (arg == "--type") {
      if (!args.value(arg, &type)) return kExitUsage;
    } else if (arg == "--conduit") {
      if (!args.value(arg, &request.conduit)) return kExitUsage;
    } else if (arg == "--dry-run") {
      request.dryRun = true;
    } else if (arg == "--verbose") {
      request.verbose = true;
    } else if (arg == "--quiet" || arg == "-q") {
      out.quiet = true;
    } else if (arg == "--json") {
      out.json = true;
    } else {
      return args.usageError("unknown argument '" + arg + "'");
    }
  }
  std::string& device = request.device;
  std::string& desktop = request.desktop;
  if (device.empty()) return args.usageError("--device DIR is required");
  if (desktop.empty()) return args.usageError("--desktop DIR is required");
  if (out.quiet && out.json) return args.usageError("give only one of --quiet and --json");
  if (out.quiet && request.verbose) return args.usageError("give only one of --quiet and --verbose");
  if (!isDirectory(device)) return args.usageError("no handheld image folder '" + device + "'");
  if (!isDirectory(desktop)) return args.usageError("no desktop folder '" + desktop + "'");
  struct stat st;
  if (::stat((device + "/device.ini").c_str(), &st) != 0) return args.usageError(notAnImage(device));
  if (!type.empty() && (request.forcedType = parseSyncType(type)) < 0) {
    return args.usageError("unknown sync type '" + type + "'");
  }
  // The conduit keeps the folder for later (and shows it); a relative path
  // would mean another folder from anywhere else.
  std::error_code pathError;
  std::string absolute = std::filesystem::absolute(desktop, pathError).lexically_normal().string();
  if (!pathError && !absolute.empty()) desktop = absolute;
  if (desktop.back() != '/') desktop += '/';
  if (desktop.size() >= sizeof(RunProperties::desktopFolder)) {
    return args.usageError("desktop folder path is too long");
  }
  if (const int refused = refuseUnusableSettings(request, out)) return refused;
  if (request.dryRun) return dryRun(request, out);

  // Recorded on every start so the Conduit Manager can always name this
  // program (a dry run records it in its copy of the HotSync state).
  recordHostStart();
  // Held to the end: the conduits, the image and this program's own state
  // writes all happen under it.
  std::unique_ptr<RunLock> lock =
      lockFolders("sync", {hostStateLock(), imageLock(device), desktopLock(desktop)});
  if (!lock) return kExitBusy;
  return syncFolders(request, device, desktop, out);
}

}  // namespace tolvex::host
