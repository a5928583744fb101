// The body of one HotSync run: settings, checks of the Sync Manager and the
// handheld, the exports, the table of lists and the action for every list,
// then the summary line. One object per run, on the caller's thread.
#ifndef TOLVEX_CONDUIT_RUNDRIVER_H
#define TOLVEX_CONDUIT_RUNDRIVER_H
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "conduit/ConduitRun.h"
#include "conduit/DatabaseTable.h"
#include "libsync/SyncContext.h"
#include "outline/PendingRebuilds.h"
#include "platform/hotsync/ConduitApi.h"

namespace tolvex {

enum class ExportResult;   // export/Export.h

// Strategy for a list on both sides.
enum Strategy : int32_t { kStrategySync = 1, kStrategyHhOverDt = 2, kStrategyDtOverHh = 3 };

// Names the log prints; out-of-table values print as "nil" ("WTF" for sync types).
const char* syncTypeName(int32_t type);
const char* strategyName(int32_t strategy);
const char* methodName(int32_t method);
const char* syncKindName(int32_t kind);

class RunDriver {
 public:
  // `properties` is the host's record; a FORCESLOW marker changes its sync type.
  RunDriver(ConduitRun& run, RunProperties& properties);
  int32_t run();

 private:
  void applyForceSlow();
  void chooseStrategy();
  void chooseMethod();
  int32_t refuseOneTimeSetting();
  bool checkApiVersion();
  void loadSettings();
  bool checkHotSyncId();
  bool checkModuleVersion();
  void reportEncoding();
  void removeLeftoverTemporaries();
  void exportTagsAndFilters();
  void reportExport(ExportResult result, const char* what, const char* file);
  void restoreLeftoverList();
  bool buildTable();
  void sortPendingRebuilds();
  void checkForceVerbose();
  void processRows();
  void reportCancel(int next);
  // Keeps the first failure as the run's result.
  void noteResult(int32_t result);
  void processRow(int index, const DatabaseEntry& row);
  void actOnBoth(int index, const DatabaseEntry& row);
  void finishInterruptedRebuild(int index, const DatabaseEntry& row);
  // The backup roll for a save that replaces the row's desktop file.
  std::function<void()> rollFor(const DatabaseEntry& row);
  int32_t finish(int32_t result);
  bool markerExists(const char* name) const;

  ConduitRun& run_;
  RunProperties& hostProperties_;
  RunLog& log_;
  RunEnv env_;
  std::string folder_;
  SyncContext context_;
  DatabaseTable table_;
  std::string encoding_;
  int32_t syncType_ = 0;
  int32_t strategy_ = kStrategySync;
  int32_t result_ = 0;
  const char* uncleared_ = nullptr;  // a one-time setting this run could not clear
  // Rebuilds a run before this one left unfinished (see PendingRebuilds.h).
  std::vector<PendingRebuild> pending_;
  std::string restored_;          // list put back from the leftover temporary
  bool leftoverSettled_ = true;   // false: the temporary may hold a list and stays
  std::set<std::string> unfinished_;  // lists whose handheld side holds such a rebuild
};

}  // namespace tolvex
#endif
