// hotsync configure: opens a conduit's "Change HotSync Action" dialog and
// keeps the sync type and preference kind it returns as the conduit's action.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "platform/condmgr/HotsyncHome.h"
#include "platform/hotsync/Commands.h"
#include "platform/hotsync/ConduitApi.h"
#include "platform/hotsync/Host.h"
#include "platform/hotsync/HostState.h"
#include "platform/os/HostOs.h"
#include "platform/syncmgr/SyncMgr.h"

namespace tolvex::host {
namespace {

const char kUsage[] =
    "Usage: hotsync configure [--conduit LIB] [--legacy] [--device DIR]\n"
    "                         [--click ID]... [--ok | --cancel]\n"
    "\n"
    "Opens the conduit's \"Change HotSync Action\" dialog and keeps the chosen\n"
    "action for the next HotSync. On a terminal the dialog is drawn and answered\n"
    "with the keyboard; otherwise, or with --click/--ok/--cancel, it is driven by\n"
    "the clicks given, in order, and then OK or Cancel (Cancel when neither).\n"
    "\n"
    "  --conduit LIB   the conduit library (default: the one registered under Qzvm)\n"
    "  --legacy        use the older ConfigureConduit entry instead of CfgConduit\n"
    "  --device DIR    take the user name from this handheld image\n"
    "  --click ID      click control ID (repeatable)\n"
    "  --ok, --cancel  end the dialog with OK or Cancel\n";

constexpr uint32_t kUnset = 0xFFFFFFFFu;

const char* actionText(int32_t syncType) { return syncType == kSyncDoNothing ? "Do nothing" : "Synchronize"; }

bool parseId(const std::string& text, uint32_t* id) {
  if (text.empty()) return false;
  char* end = nullptr;
  unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (*end != '\0' || value > 0xFFFFFFFFul) return false;
  *id = static_cast<uint32_t>(value);
  return true;
}

struct UserIdentity {
  std::string name;
  uint32_t id = 0;
};

bool readUser(const std::string& device, UserIdentity* user) {
  if (SyncHostAttach(device.c_str()) != 0) return false;
  SyncUserInfo info;
  std::memset(&info, 0, sizeof info);
  if (SyncReadUserID(&info) == 0) {
    user->name.assign(info.name, strnlen(info.name, sizeof info.name));
    user->id = info.userId;
  }
  SyncHostDetach();
  return true;
}

// The usage text and what can be clicked in the conduit's dialogs.
void printHelp(const std::string& library) {
  std::fputs(kUsage, stdout);
  std::string error;
  if (library.empty() || !ConduitLibrary::open(library, &error)) return;
  std::istringstream controls(OsModuleClickableControls(library.c_str()));
  std::string line, text;
  while (std::getline(controls, line)) {
    size_t tab1 = line.find('\t'), tab2 = line.find('\t', tab1 + 1);
    if (tab1 == std::string::npos || tab2 == std::string::npos) continue;
    char row[512];
    const std::string heading = line.substr(tab2 + 1);
    std::snprintf(row, sizeof row, "  %-5s %-34s %s\n", line.substr(0, tab1).c_str(),
                  line.substr(tab1 + 1, tab2 - tab1 - 1).c_str(), heading.empty() ? "" : ("(" + heading + ")").c_str());
    std::string shown = row;
    while (shown.size() > 1 && shown[shown.size() - 2] == ' ') shown.erase(shown.size() - 2, 1);
    text += shown;
  }
  if (!text.empty()) std::printf("\nWhat --click ID clicks in the dialog of %s:\n%s", library.c_str(), text.c_str());
}

// Keeps the dialog's answer; a permanent choice replaces any pending one.
// Answers the exit code.
int keepAction(const std::string& creator, int32_t syncType, int32_t kind) {
  HotSyncAction action = HostState::action(creator);
  if (kind == 1) {
    action.permanent = syncType;
    action.nextTimeOnly.reset();
  } else {
    action.nextTimeOnly = syncType;
  }
  const bool stored = HostState::setAction(creator, action);
  if (!stored) std::fprintf(stderr, "hotsync configure: could not store the HotSync action\n");
  std::printf("HotSync action: %s (%s)\n", actionText(syncType), kind == 1 ? "always" : "next HotSync only");
  std::istringstream choices(OsDialogLastChoices());
  for (std::string line; std::getline(choices, line);) std::printf("  %s\n", line.c_str());
  return stored ? kExitOk : kExitFailed;
}

// The dialog shows the stored choices and keeps the new ones in registry.ini
// and hotsync.ini; a file that cannot be used would show defaults and drop
// what the user chooses while the dialog says it was kept.
bool stateFilesUsable() {
  for (const char* name : {"registry.ini", "hotsync.ini"}) {
    const std::string trouble = unusableStateFile(name);
    if (trouble.empty()) continue;
    std::fprintf(stderr,
                 "hotsync configure: %s; the HotSync action and the conduit's settings cannot be shown or kept. "
                 "Nothing was changed: repair or remove the file, then run again\n",
                 trouble.c_str());
    return false;
  }
  return true;
}

// A --click that named no control: the dialog played none of the clicks.
int unknownClick(const ArgReader& args) {
  return args.usageError("--click " + std::to_string(OsDialogLastUnknownClick()) +
                         ": the dialog has no such control; nothing was changed");
}

// OK was pressed, but the conduit could not store the chosen settings.
int notSaved() {
  std::fprintf(stderr, "hotsync configure: the conduit could not save the chosen settings in %s; the HotSync action "
                       "is unchanged, and a setting stored before the failure may differ from the one chosen: run "
                       "'hotsync configure' again once the file can be written\n",
               hotsyncHomeFile("registry.ini").c_str());
  return kExitFailed;
}

}  // namespace

int runConfigure(int argc, char** argv, int first) {
  ArgReader args("configure", argc, argv, first, {"--conduit", "--device", "--click"});
  std::string conduit, device;
  bool legacy = false, help = false;
  std::vector<uint32_t> clicks;
  int end = 0;
  while (!args.done()) {
    std::string arg = args.next();
    if (arg == "--help" || arg == "-h") {
      help = true;
    } else if (arg == "--version") {
      printVersion();
      return kExitOk;
    } else if (arg == "--conduit") {
      if (!args.value(arg, &conduit)) return kExitUsage;
    } else if (arg == "--device") {
      if (!args.value(arg, &device)) return kExitUsage;
    } else if (arg == "--legacy") {
      legacy = true;
    } else if (arg == "--click") {
      std::string text;
      uint32_t id;
      if (!args.value(arg, &text)) return kExitUsage;
      if (!parseId(text, &id)) return args.usageError("--click needs a control id, not '" + text + "'");
      clicks.push_back(id);
    } else if (arg == "--ok" || arg == "--cancel") {
      if (end != 0) return args.usageError("give only one of --ok and --cancel");
      end = arg == "--ok" ? OS_DIALOG_END_OK : OS_DIALOG_END_CANCEL;
    } else {
      return args.usageError("unknown argument '" + arg + "'");
    }
  }
  Registration registration;
  bool found = !conduit.empty();
  if (found) {
    registration = registrationForLibrary(conduit);
  } else {
    for (const Registration& r : registeredConduits()) {
      if (r.creator == kDefaultCreator) {
        registration = r;
        found = true;
      }
    }
  }
  if (help) {
    printHelp(found ? registration.library : std::string());
    return kExitOk;
  }
  if (!device.empty() && !isDirectory(device)) return args.usageError("no handheld image folder '" + device + "'");
  if (!found) {
    const std::string registrations = unusableStateFile("conduits.ini");
    if (registrations.empty()) {
      std::fprintf(stderr, "hotsync configure: no conduit is registered under %s\n", kDefaultCreator);
    } else {
      std::fprintf(stderr, "hotsync configure: %s; the conduit registrations it holds cannot be read\n",
                   registrations.c_str());
    }
    return kExitFailed;
  }
  UserIdentity user;
  if (!device.empty() && !readUser(device, &user)) {
    std::fprintf(stderr, "hotsync configure: cannot use the handheld image %s\n", device.c_str());
    return kExitFailed;
  }
  // Without a handheld at hand, the user of the last HotSync.
  if (device.empty()) user.name = HostState::lastUser();

  std::string error;
  auto library = ConduitLibrary::open(registration.library, &error);
  if (!library) {
    std::fprintf(stderr, "hotsync configure: cannot load conduit %s: %s\n", registration.library.c_str(),
                 error.c_str());
    return kExitFailed;
  }
  const char* entry = legacy ? "ConfigureConduit" : "CfgConduit";
  void* function = library->symbol(entry);
  if (!function) {
    std::fprintf(stderr, "hotsync configure: %s has no %s entry point\n", registration.library.c_str(), entry);
    return kExitFailed;
  }

  // The dialog writes the conduit's settings into the host state, which a
  // running HotSync reads and uses up; neither may change it under the other.
  std::unique_ptr<RunLock> lock = lockFolders("configure", {hostStateLock()});
  if (!lock) return kExitBusy;
  if (!stateFilesUsable()) return kExitFailed;

  if (!clicks.empty() || end != 0) {
    OsDialogScript(clicks.data(), clicks.size(), end == 0 ? OS_DIALOG_END_CANCEL : end);
  } else {
    OsDialogInteractive(::isatty(STDIN_FILENO));
  }

  HotSyncAction stored = HostState::action(registration.creator);
  int32_t current = stored.nextTimeOnly.value_or(stored.permanent);
  if (legacy) {
    ConduitPreference preference;
    std::memset(&preference, 0, sizeof preference);
    preference.preferenceKind = 2;
    preference.syncType = current;
    long result = reinterpret_cast<ConfigureConduitFn>(function)(&preference);
    if (OsDialogLastUnknownClick() != 0) return unknownClick(args);
    if (result == kConduitSettingsNotSaved) return notSaved();
    if (result != 0) {
      std::printf("Cancelled: the HotSync action is unchanged\n");
      return kExitOk;
    }
    return keepAction(registration.creator, preference.syncType, preference.preferenceKind);
  }

  ActionConfigBlock block;
  std::memset(&block, 0, sizeof block);
  block.version = 1;
  block.size = sizeof block;
  block.creator = creatorCode(registration.creator);
  block.userId = user.id;
  std::snprintf(block.userName, sizeof block.userName, "%s", user.name.c_str());
  block.permanentSyncType = static_cast<uint32_t>(stored.permanent);
  block.temporarySyncType = static_cast<uint32_t>(current);
  // The dialog fills both outputs on OK only; the markers tell OK from Cancel.
  block.newSyncType = kUnset;
  block.preferenceKind = kUnset;
  uint32_t size = sizeof block;
  long result = reinterpret_cast<CfgConduitFn>(function)(0, &block, &size);
  if (OsDialogLastUnknownClick() != 0) return unknownClick(args);
  if (result == kConduitSettingsNotSaved) return notSaved();
  if (result != 0) {
    std::fprintf(stderr, "hotsync configure: CfgConduit answered %ld\n", result);
    return kExitFailed;
  }
  if (block.newSyncType == kUnset || block.preferenceKind == kUnset) {
    std::printf("Cancelled: the HotSync action is unchanged\n");
    return kExitOk;
  }
  return keepAction(registration.creator, static_cast<int32_t>(block.newSyncType),
                    static_cast<int32_t>(block.preferenceKind));
}

}  // namespace tolvex::host
