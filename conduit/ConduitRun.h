// One HotSync run: the Sync Manager registration, the run log, the progress
// window, a copy of the host's run record and the run's settings store.
// Created and owned by OpenConduit for the length of one run; the newest
// run is the process's current run. Caller's thread only.
#ifndef TOLVEX_CONDUIT_CONDUITRUN_H
#define TOLVEX_CONDUIT_CONDUITRUN_H
#include <cstdint>
#include <memory>
#include <string>

#include "common/RunLog.h"
#include "conduit/ProgressWindow.h"
#include "conduit/SyncLog.h"
#include "desktop/XmlFile.h"
#include "platform/hotsync/ConduitApi.h"
#include "platform/syncmgr/SyncMgr.h"

namespace tolvex {

class ConduitRun {
 public:
  ConduitRun();
  ~ConduitRun();
  ConduitRun(const ConduitRun&) = delete;
  ConduitRun& operator=(const ConduitRun&) = delete;

  // The run created last; null before the first.
  static ConduitRun* current();

  // True when the Sync Manager handed out a non-zero handle.
  bool registerWithSyncManager();
  void unregisterFromSyncManager();
  CONDHANDLE handle() const { return handle_; }

  // One line into the HotSync Manager's own log.
  void addHotSyncLogLine(const char* text);

  SyncLog& log() { return log_; }
  ProgressWindow& progress() { return progress_; }

  void setProperties(const RunProperties& properties);
  const RunProperties& properties() const { return properties_; }
  // The properties' desktop folder (read within its 256 bytes).
  const std::string& desktopFolder() const { return desktopFolder_; }
  // What lower layers get: the log and the folder.
  RunEnv env() { return RunEnv{&log_, desktopFolder_}; }

  void setCurrentListName(const std::string& name) { currentListName_ = name; }
  const std::string& currentListName() const { return currentListName_; }

  void setSettings(std::unique_ptr<ConfigStore> settings);
  ConfigStore* settings() const { return settings_.get(); }

 private:
  CONDHANDLE handle_ = 0;
  SyncLog log_;
  ProgressWindow progress_;
  RunProperties properties_{};
  std::string desktopFolder_;
  std::string currentListName_;
  std::unique_ptr<ConfigStore> settings_;
};

// The folder text of a run record, never read past its field.
std::string desktopFolderOf(const RunProperties& properties);

}  // namespace tolvex
#endif
