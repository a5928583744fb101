#include "conduit/ConduitRun.h"

#include <cstring>

namespace tolvex {

namespace {
ConduitRun* gCurrentRun = nullptr;
}  // namespace

std::string desktopFolderOf(const RunProperties& properties) {
  const char* folder = properties.desktopFolder;
  return std::string(folder, strnlen(folder, sizeof properties.desktopFolder));
}

ConduitRun::ConduitRun() { gCurrentRun = this; }

ConduitRun::~ConduitRun() {
  handle_ = 0;
  if (gCurrentRun == this) gCurrentRun = nullptr;
}

ConduitRun* ConduitRun::current() { return gCurrentRun; }

bool ConduitRun::registerWithSyncManager() {
  handle_ = 0;
  if (SyncRegisterConduit(&handle_) != SYNCERR_NONE) handle_ = 0;
  return handle_ != 0;
}

void ConduitRun::unregisterFromSyncManager() {
  if (handle_ != 0) SyncUnRegisterConduit(handle_);
  handle_ = 0;
}

void ConduitRun::addHotSyncLogLine(const char* text) { SyncAddLogEntry(text); }

void ConduitRun::setProperties(const RunProperties& properties) {
  properties_ = properties;
  desktopFolder_ = desktopFolderOf(properties);
}

void ConduitRun::setSettings(std::unique_ptr<ConfigStore> settings) {
  settings_ = std::move(settings);
}

}  // namespace tolvex
