#include "conduit/RunDriver.h"

#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "conduit/Backups.h"
#include "conduit/HandheldModule.h"
#include "conduit/ListMerge.h"
#include "conduit/RegistryStore.h"
#include "desktop/AtomicFile.h"
#include "desktop/XmlFile.h"
#include "export/Export.h"
#include "outline/HandheldList.h"
#include "outline/PendingRebuilds.h"
#include "outline/ListCopy.h"
#include "platform/syncmgr/SyncMgr.h"

namespace tolvex {

namespace {

const char* const kSyncTypeNames[] = {"eFast",   "eSlow",   "eHHtoPC",    "ePCtoHH",
                                      "eInstall", "eBackup", "eDoNothing", "eProfileInstall"};
const char* const kStrategyNames[] = {"nil", "sync", "HH over DT", "DT over HH"};
const char* const kMethodNames[] = {"nil", "HH over DT", "DT over HH", "By Time", "Keep/Duplicate"};
const char* const kSyncKindNames[] = {"nil", "Slow", "Fast"};

template <size_t N>
const char* nameIn(const char* const (&table)[N], int32_t value, const char* outside) {
  return value >= 0 && static_cast<size_t>(value) < N ? table[value] : outside;
}

bool fileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// Reads a temporary and a permanent strategy value, for one kind of run.
struct StrategyValues {
  const char* label;      // "Fast" or "Slow"
  const char* temporary;  // used once, then cleared with `other`
  const char* permanent;
  const char* other;
};

const StrategyValues kFastValues = {"Fast", "StrategyFastTemp", "StrategyFast", "StrategySlowTemp"};
const StrategyValues kSlowValues = {"Slow", "StrategySlowTemp", "StrategySlow", "StrategyFastTemp"};

}  // namespace

const char* syncTypeName(int32_t type) { return nameIn(kSyncTypeNames, type, "WTF"); }
const char* strategyName(int32_t strategy) { return nameIn(kStrategyNames, strategy, "nil"); }
const char* methodName(int32_t method) { return nameIn(kMethodNames, method, "nil"); }
const char* syncKindName(int32_t kind) { return nameIn(kSyncKindNames, kind, "nil"); }

RunDriver::RunDriver(ConduitRun& run, RunProperties& properties)
    : run_(run), hostProperties_(properties), log_(run.log()) {}

bool RunDriver::markerExists(const char* name) const { return fileExists(folder_ + name); }

void RunDriver::applyForceSlow() {
  folder_ = desktopFolderOf(hostProperties_);
  if (!markerExists("FORCESLOW")) return;
  log_.line("# File %s is forcing us to SLOW SYNC.\n", "FORCESLOW");
  hostProperties_.syncType = kSyncSlowType;
}

int32_t RunDriver::run() {
  applyForceSlow();
  run_.setProperties(hostProperties_);
  env_ = run_.env();
  folder_ = run_.desktopFolder();
  syncType_ = run_.properties().syncType;
  context_ = SyncContext{};
  context_.kind = kSyncFast;
  context_.method = kHhOverDt;
  context_.log = run_.log().file();
  table_.clear();
  encoding_.clear();
  pending_.clear();
  restored_.clear();
  leftoverSettled_ = true;
  unfinished_.clear();
  result_ = 0;
  uncleared_ = nullptr;

  ProgressWindow& progress = run_.progress();
  progress.clearCancel();
  progress.create(kConduitVersion);
  progress.setTexts("Setting up", "Setting up", "");
  run_.log().setProgressWindow(&progress);

  log_.line("# Syncronization strategy: %d (%s)\n", syncType_, syncTypeName(syncType_));
  chooseStrategy();
  if (syncType_ == kSyncDoNothing) {
    std::string line = std::string("OK Tolvan (c") + kConduitVersion + ")\n";
    run_.addHotSyncLogLine(line.c_str());
    return finish(0);
  }
  chooseMethod();
  if (uncleared_) return refuseOneTimeSetting();
  if (!checkApiVersion()) return finish(-1);
  loadSettings();
  if (!checkHotSyncId()) return finish(-1);
  RegistryStore::storeUserFolder(log_, folder_);
  if (!checkModuleVersion()) return finish(-13);
  reportEncoding();
  log_.line("#\n");
  log_.line("\n");
  removeLeftoverTemporaries();
  exportTagsAndFilters();
  restoreLeftoverList();
  if (!buildTable()) return finish(-7);
  sortPendingRebuilds();
  checkForceVerbose();
  processRows();

  if (result_ != 0) {
    run_.addHotSyncLogLine("FAILED Tolvan (check logs)\n");
  } else {
    std::string line = std::string("OK Tolvan (c") + kConduitVersion + ")\n";
    run_.addHotSyncLogLine(line.c_str());
  }
  return finish(result_);
}

// A one-time setting that cannot be cleared would be used again by every
// run after this one (a one-time copy over either side, repeated at each
// HotSync), so the run uses it nowhere and changes nothing. Its result is
// that of lists not brought in step, which none of them is; the others
// speak of the handheld or the Sync Manager.
int32_t RunDriver::refuseOneTimeSetting() {
  log_.line("!   The one-time setting %s could not be cleared in the conduit's settings. Nothing was synchronized; "
            "make the HotSync settings writable and choose the action again.\n", uncleared_);
  run_.addHotSyncLogLine("FAILED Tolvan (check logs)\n");
  return finish(kListNotInSync);
}

int32_t RunDriver::finish(int32_t result) {
  run_.progress().destroy();
  return result;
}

void RunDriver::chooseStrategy() {
  const StrategyValues* values = nullptr;
  if (syncType_ == kSyncFastType) {
    context_.kind = kSyncFast;
    values = &kFastValues;
  } else if (syncType_ == kSyncSlowType) {
    context_.kind = kSyncSlow;
    values = &kSlowValues;
  } else {
    strategy_ = kStrategySync;
    context_.kind = kSyncFast;
    return;
  }
  int32_t value = RegistryStore::readValue(values->temporary);
  if (value > 0) {
    strategy_ = value;
    log_.line("#   %s temporary strategy used: %d (%s)\n", values->label, value, strategyName(value));
    const bool cleared = RegistryStore::writeValue(values->temporary, 0);
    if (!(RegistryStore::writeValue(values->other, 0) && cleared)) uncleared_ = values->temporary;
    return;
  }
  value = RegistryStore::readValue(values->permanent);
  if (value > 0) {
    strategy_ = value;
    log_.line("#   %s permanent strategy used: %d (%s)\n", values->label, value, strategyName(value));
    return;
  }
  strategy_ = kStrategySync;
  log_.line("#   %s default strategy used: %d (%s)\n", values->label, strategy_,
            strategyName(strategy_));
}

void RunDriver::chooseMethod() {
  int32_t value = RegistryStore::readValue("MethodTemp");
  if (value > 0) {
    log_.line("# Lifespan: Temporary synch setting. Clearing.\n");
    if (!RegistryStore::writeValue("MethodTemp", 0)) uncleared_ = "MethodTemp";
  } else {
    value = RegistryStore::readValue("MethodPerm");
    log_.line("# Lifespan: Permanent synch setting\n");
  }
  if (value < 0) value = kHhOverDt;
  log_.line("#   Collision method: %d (%s)\n", value, methodName(value));
  // A value without a name is no method the engine knows.
  context_.method = value <= kKeepDuplicate ? value : kMethodNil;
}

bool RunDriver::checkApiVersion() {
  uint32_t major = 0, minor = 0;
  if (SyncGetAPIVersion(&major, &minor) != SYNCERR_NONE) {
    // Nothing says the Sync Manager is too old; go on.
    log_.line("# SyncMgr API version: indeterminate\n");
    return true;
  }
  log_.line("# SyncMgr API version: %lu.%lu\n", static_cast<unsigned long>(major),
            static_cast<unsigned long>(minor));
  if (major > 2 || (major == 2 && minor >= 2)) return true;
  log_.line("#\n");
  log_.line("# --[ NEED UPGRADE! ]-----------------------------------\n");
  log_.line("# SyncMgr version 2.2 or greater is required. Please\n");
  log_.line("# upgrade to a more recent HotSync Manager at:\n");
  log_.line("#   http://www.example.org/\n");
  log_.line("# ------------------------------------------------------\n");
  log_.line("#\n");
  return false;
}

void RunDriver::loadSettings() {
  auto settings = std::make_unique<ConfigStore>();
  const std::string path = folder_ + "TolvanConfig.XML";
  std::string why;
  if (!settings->load(path, &why)) {
    settings->setInt("ConfigVersion", 1);
    // A missing file is the usual case; one that is there and unusable is said.
    struct stat info;
    if (lstat(path.c_str(), &info) == 0) {
      log_.line("# WARNING: Settings file TolvanConfig.XML not used; the defaults apply.\n");
      if (why.empty() || why.back() != '\n') why += '\n';
      log_.line("#   >> %s", why.c_str());
    }
  }
  run_.setSettings(std::move(settings));
}

bool RunDriver::checkHotSyncId() {
  SyncUserInfo user;
  std::memset(&user, 0, sizeof user);
  if (SyncReadUserID(&user) != SYNCERR_NONE) {
    log_.line("# FAILED: Couldn't read hotsync ID!\n");
    log_.line("#\n");
    log_.line("#   First sync this desktop? Hotsync Manager must be\n");
    log_.line("#   creating your account. Tolvan will sync correctly\n");
    log_.line("#   next hotsync, as it requires the desktop account.\n");
    log_.line("#\n");
    return false;
  }
  const std::string name(user.name, strnlen(user.name, sizeof user.name));
  log_.line("# Hotsync ID: %s\n", name.c_str());
  if (name.empty()) {
    log_.line("# FAILED: Hotsync ID is invalid!\n");
    return false;
  }
  return true;
}

bool RunDriver::checkModuleVersion() {
  const ModuleAnswer version = queryModuleVersion(log_);
  if (version.callResult != SYNCERR_NONE) {
    log_.line("# ERROR: CallModule GetVersion(0x%x)\n", static_cast<unsigned>(version.callResult));
    log_.line("#        Wrong version of TolvanSync on handheld?\n");
    log_.line("#        Perhaps it's on an inaccessible expansion card?\n");
    return false;
  }
  const std::string prefix = version.text.substr(0, 3);
  if (prefix != "0.9" && prefix != "1.0" && prefix != "1.1") {
    log_.line("# ERROR: TolvanSync version on Handheld is unsupported with this conduit version.\n");
    log_.line("#        Wrong/old version of TolvanSync on handheld?\n");
    log_.line("#        Perhaps it is on an inaccessible card?\n");
    return false;
  }
  log_.line("# TolvanSync version on Handheld is OK\n");
  return true;
}

void RunDriver::reportEncoding() {
  const ModuleAnswer encoding = queryModuleEncoding(log_);
  if (encoding.callResult != SYNCERR_NONE) {
    log_.line("# ERROR: Couldn't get character encoding: %x\n",
              static_cast<unsigned>(encoding.callResult));
    log_.line("#        Wrong/old version of TolvanSync on handheld?\n");
    log_.line("#        Perhaps it is on an inaccessible card?\n");
    return;
  }
  encoding_ = encoding.text;
  if (!encoding_.empty()) {
    log_.line("# Character encoding: %s\n", encoding_.c_str());
  } else {
    encoding_ = "utf-8";
    log_.line("# Assuming character encoding: %s\n", encoding_.c_str());
  }
}

// Temporary files of runs that were killed while they wrote a desktop file;
// the run lock keeps any other run out of the folder meanwhile.
void RunDriver::removeLeftoverTemporaries() {
  auto ours = [](const std::string& target) {
    return fnmatch("Tolvk-*.XML", target.c_str(), 0) == 0 || fnmatch("TolvanPending*.txt", target.c_str(), 0) == 0 ||
           target == "TolvanTags.XML" || target == "TolvanFilters.XML";
  };
  for (const std::string& name : AtomicFile::abandonedIn(folder_, ours)) {
    if (::unlink((folder_ + name).c_str()) == 0)
      log_.line("# Removed %s, left by an interrupted run.\n", name.c_str());
  }
}

// The exports are one-way copies for the desktop application: one that
// fails changes no list, so the run goes on, but a file that could not be
// written is named in the HotSync log too, as the desktop is left out of date.
void RunDriver::exportTagsAndFilters() {
  log_.line("# Downloading Tolvan Tags database.\n");
  reportExport(exportTagDatabase(env_, "TolvanTags.XML"), "tag", "TolvanTags.XML");
  log_.line("\n");
  log_.line("# Downloading Tolvan Filters database.\n");
  reportExport(exportFilterDatabase(env_, "TolvanFilters.XML"), "filter", "TolvanFilters.XML");
  log_.line("\n");
}

void RunDriver::reportExport(ExportResult result, const char* what, const char* file) {
  switch (result) {
    case ExportResult::kSaved:
      log_.line("#   Successfully obtained %s database.\n", what);
      return;
    case ExportResult::kNotRead:
      log_.line("#   Failed to obtain %s database!\n", what);
      return;
    case ExportResult::kNotSaved: {
      log_.line("#   Failed to save %s database!\n", what);   // the file is named in the line before
      const std::string line = std::string("Tolvan: ") + file + " could not be written and was left as it was\n";
      run_.addHotSyncLogLine(line.c_str());
      return;
    }
  }
}

void RunDriver::restoreLeftoverList() {
  pending_ = readPendingRebuilds(folder_);
  if (!pending_.empty()) leftoverSettled_ = restoreLeftoverTemporary(env_, &restored_);
}

// A noted list whose handheld database is the one its rebuild made was cut
// short before its desktop file was saved: the handheld holds the outcome of
// that run, so it is copied over the desktop (which goes to the backups).
// Every other note is stale, unless the temporary it names had to stay.
void RunDriver::sortPendingRebuilds() {
  for (const PendingRebuild& p : pending_) {
    if (p.name == kTempDatabaseName) continue;  // the rebuilds look after it
    const DatabaseEntry* row = table_.find(p.name);
    const bool onHandheld = row && (row->presence & kOnHandheld);
    if (onHandheld && ((p.created != 0 && row->created == p.created) || p.name == restored_))
      unfinished_.insert(p.name);
    else if (leftoverSettled_)
      clearPendingRebuild(folder_, p.name);
  }
}

bool RunDriver::buildTable() {
  log_.line("# Enumerating databases on handheld.\n");
  if (!enumerateHandheldLists(log_, table_)) return false;
  log_.line("\n");
  log_.line("# Enumerating databases on desktop (%s).\n", folder_.c_str());
  enumerateDesktopLists(log_, folder_, table_);
  return true;
}

void RunDriver::checkForceVerbose() {
  log_.line("\n");
  log_.line("# Syncronizing %d databases.\n", static_cast<int>(table_.size()));
  if (markerExists("FORCEVERBOSE")) {
    log_.line("# File %s is forcing us to VERBOSE.\n", "FORCEVERBOSE");
    context_.verbose = true;
  }
  log_.line("\n");
}

// A list that could not be brought in step fails the run but not the other
// lists: each list's failure leaves that list as it was (or noted for the
// next run), so nothing is gained by leaving the others unsynchronized.
void RunDriver::processRows() {
  ProgressWindow& progress = run_.progress();
  const int count = static_cast<int>(table_.size());
  progress.setRange(count);
  progress.setPosition(0);
  for (int i = 0; i < count; ++i) {
    const DatabaseEntry row = table_.rows()[i];
    run_.setCurrentListName(row.name);
    progress.setTexts(row.name.c_str(), "Thinking", "Thinking");
    progress.setPosition(i);
    const std::string path = folder_ + row.name + ".XML";
    if (fileExists(lockFilePath(path))) {
      log_.line("# %s: File is open in Tolvan Desktop. Skipped.\n", row.name.c_str());
      log_.line("#   SKIPPING: Close the file and resync.\n");
      log_.line("#   %s\n", path.c_str());
      log_.line("\n");
    } else {
      processRow(i, row);
      log_.line("\n");
    }
    if (progress.cancelRequested()) {
      reportCancel(i + 1);
      break;
    }
  }
}

// The run stops at the user's Cancel; the lists it did not reach are named
// in the log and counted in the HotSync log, and the run fails.
void RunDriver::reportCancel(int next) {
  const int left = static_cast<int>(table_.size()) - next;
  if (left <= 0) {
    log_.line("# Cancel requested after the last list; every list was processed.\n");
    return;
  }
  log_.line("# Cancelled by the user. %d lists not synchronized:\n", left);
  for (int i = next; i < static_cast<int>(table_.size()); ++i)
    log_.line("#   %s\n", table_.rows()[i].name.c_str());
  const std::string line = "Tolvan: cancelled; " + std::to_string(left) + " lists not synchronized\n";
  run_.addHotSyncLogLine(line.c_str());
  noteResult(kListNotInSync);
}

void RunDriver::noteResult(int32_t result) {
  if (result < 0 && result_ >= 0) result_ = result;
}

void RunDriver::processRow(int index, const DatabaseEntry& row) {
  ProgressWindow& progress = run_.progress();
  const char* name = row.name.c_str();
  if (unfinished_.count(row.name)) {
    finishInterruptedRebuild(index, row);
    return;
  }
  switch (row.presence) {
    case kOnDesktop:
      progress.setTexts(name, "File is only on desktop", "");
      log_.line("# [%d] %s: Copy database from DT to HH.\n", index, name);
      noteResult(copyDesktopToHandheld(env_, row.name, false));
      break;
    case kOnHandheld:
      progress.setTexts(name, "File is only on handheld", "");
      log_.line("# [%d] %s: Copy from HH to DT.\n", index, name);
      noteResult(copyHandheldToDesktop(env_, row, folder_));
      break;
    case kOnBoth:
      actOnBoth(index, row);
      break;
    default:
      log_.line("! ERROR: Operation mode\n");
      break;
  }
}

void RunDriver::actOnBoth(int index, const DatabaseEntry& row) {
  ProgressWindow& progress = run_.progress();
  const char* name = row.name.c_str();
  static const char* const kLine2[] = {nullptr, "Synchronize", "Copy HH file over DT",
                                       "Copy DT file over HH"};
  const bool known = strategy_ >= kStrategySync && strategy_ <= kStrategyDtOverHh;
  if (known) progress.setTexts(name, kLine2[strategy_], "");
  log_.line("# [%d] %s: Synchronize (Config: %s %s)\n", index, name, syncKindName(context_.kind),
            methodName(context_.method));
  switch (strategy_) {
    case kStrategySync:
      log_.line("#   Strategy: Synchronize\n");
      noteResult(synchronizeList(env_, context_, row));
      break;
    case kStrategyHhOverDt:
      log_.line("#   Strategy: Copy HH file over DT\n");
      noteResult(copyHandheldToDesktop(env_, row, folder_, rollFor(row)));
      break;
    case kStrategyDtOverHh:
      log_.line("#   Strategy: Copy DT file over HH\n");
      noteResult(copyDesktopToHandheld(env_, row.name, true));
      break;
    default:
      break;  // no action for a strategy without a name
  }
  log_.line("# Done.\n");
}

std::function<void()> RunDriver::rollFor(const DatabaseEntry& row) {
  if (!(row.presence & kOnDesktop)) return nullptr;
  return [this, name = row.name] { rollBackups(log_, folder_, name); };
}

// The handheld holds the outcome of a run cut short before it saved the
// desktop file. When that file is as the run read it, the handheld's list is
// copied over it; when it was edited since, the edits are merged in. A copy
// the user chose for this run still goes the way the user chose.
void RunDriver::finishInterruptedRebuild(int index, const DatabaseEntry& row) {
  if (row.presence == kOnBoth && strategy_ == kStrategyDtOverHh) {
    actOnBoth(index, row);
    return;
  }
  const std::string name = row.name;
  auto note = std::find_if(pending_.begin(), pending_.end(), [&](const PendingRebuild& p) { return p.name == name; });
  const bool edited = (row.presence & kOnDesktop) && note != pending_.end() && note->desktop &&
                      stampOf(folder_ + name + ".XML") != *note->desktop;
  run_.progress().setTexts(name.c_str(), "Finishing an interrupted rebuild", "");
  if (edited && strategy_ != kStrategyHhOverDt) {
    log_.line("# [%d] %s: Rebuild was interrupted and the desktop file was edited since. Merge.\n", index,
              name.c_str());
    noteResult(mergeAfterInterruptedRebuild(env_, context_, row));
    return;
  }
  log_.line("# [%d] %s: Rebuild was interrupted. Copy from HH to DT.\n", index, name.c_str());
  const std::optional<RebuildRecord> record = readRebuildRecord(folder_, name);
  noteResult(copyHandheldToDesktop(env_, row, folder_, rollFor(row), record ? &*record : nullptr));
}

}  // namespace tolvex
