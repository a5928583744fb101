#include "outline/ListCopy.h"

#include <cstdarg>

#include "desktop/XmlFile.h"
#include "outline/DesktopTexts.h"
#include "outline/HandheldList.h"
#include "outline/PendingRebuilds.h"
#include "platform/syncmgr/SyncMgr.h"

namespace tolvex {
namespace {

void logLine(const RunEnv& env, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logLine(const RunEnv& env, const char* format, ...) {
  if (!env.log) return;
  va_list args;
  va_start(args, format);
  env.log->vline(format, args);
  va_end(args);
}

std::string listPath(const std::string& folder, const std::string& name) {
  return folder + name + ".XML";
}

}  // namespace

std::unique_ptr<ItemList> readDesktopList(const RunEnv& env, const std::string& path) {
  std::string message;
  std::unique_ptr<ItemList> list = ListFileReader().read(path, message);
  if (list && message.empty()) return list;
  logLine(env, "#   ERROR: Couldn't build list from local file!\n");
  logLine(env, "#   >> Perhaps international character parsing problem?\n");
  logLine(env, "#   >> %s\n", message.c_str());
  return nullptr;
}

int32_t copyDesktopToHandheld(const RunEnv& env, const std::string& name, bool ignoreUpload) {
  std::string path = listPath(env.desktopFolder, name);
  std::string message;
  std::unique_ptr<ItemList> list = ListFileReader().read(path, message);
  if (!list || !message.empty()) {
    logLine(env, "#   ERROR: Couldn't build list from file!\n");
    logLine(env, "#   >> Perhaps international character parsing problem?\n");
    logLine(env, "#   >> %s\n", message.c_str());
    return 0;
  }
  if (ignoreUpload) {
    logLine(env, "#   Ignoring presence (or lack thereof) of Upload attribute.\n");
  } else if (list->uploadFile() == 0) {
    logLine(env, "#   WARNING: Upload attribute not set. Skipping.\n");
    return 0;
  }
  logLine(env, "#   Upload attribute found; clear attribute and go.\n");
  list->setUploadFile(0);
  logLine(env, "#     Dump deleted items.\n");
  list->purgeDeleted();

  // Built under the temporary name first, so a handheld database of this
  // name is replaced only by a complete one.
  DatabaseEntry entry;
  entry.name = name;
  bool renamed = false;
  if (!rebuildHandheldList(env, *list, entry, &renamed)) {
    logLine(env, "!   Couldn't create the list on handheld. Desktop file left as it was.\n");
    return 0;
  }
  // The list now waits under the temporary name: keep the upload request so
  // the next run puts it in place again.
  if (!renamed) list->setUploadFile(1);
  if (writeDesktopList(env, *list, path, message) != 0) {
    logLine(env, "#   ERROR: Couldn't save record info to desktop.\n");
  } else {
    logLine(env, "#   Saved updated record info to desktop.\n");
    clearPendingRebuild(env.desktopFolder, name);
  }
  return 0;
}

int32_t copyHandheldToDesktop(const RunEnv& env, const DatabaseEntry& entry, const std::string& folder) {
  std::optional<uint8_t> handle = openListDatabase(env, entry);
  if (!handle) return 0;
  std::string path = listPath(folder, entry.name);
  std::string message;
  logLine(env, "#   Reading list details.\n");
  bool complete = false;
  std::unique_ptr<ItemList> list = readHandheldList(env, *handle, &complete);
  SyncCloseDB(*handle);
  if (!list) {
    logLine(env, "!   ERROR: Couldn't build internal list from handheld!\n");
    return -11;
  }
  if (!complete) {
    logLine(env, "!   List could not be read whole. Not normalizing on handheld, not writing out desktop.\n");
    return 0;
  }
  logLine(env, "#     Dump deleted items.\n");
  list->purgeDeleted();
  list->setUniqueTime(entry.created);
  logLine(env, "#   List ID: %lu (%lu)\n", (unsigned long)entry.created, (unsigned long)list->uniqueTime());
  keepDesktopTextsFromFile(*list, path);
  list->clearAllDirtyContent();
  bool renamed = false;
  if (!rebuildHandheldList(env, *list, entry, &renamed)) {
    logLine(env, "!   Couldn't normalize on handheld. Not writing out desktop.\n");
    return 0;
  }
  if (!renamed) list->setUploadFile(1);
  int result = writeDesktopList(env, *list, path, message);
  if (result != 0) {
    logLine(env, "#   ERROR: Couldn't write XML! (%d)\n", result);
    logLine(env, "#   >> %s\n", message.c_str());
    return -12;
  }
  logLine(env, "#   Written to XML file (%u).\n", list->uniqueTime());
  clearPendingRebuild(env.desktopFolder, entry.name);
  return 0;
}

}  // namespace tolvex
