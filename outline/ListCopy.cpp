#include "outline/ListCopy.h"

#include "desktop/XmlFile.h"
#include "outline/DesktopTexts.h"
#include "outline/HandheldList.h"
#include "outline/PendingRebuilds.h"
#include "platform/syncmgr/SyncMgr.h"

namespace tolvex {
namespace {

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
  DesktopBefore before;
  before.stamp = stampOf(path);
  std::unique_ptr<ItemList> list = ListFileReader().read(path, message);
  if (!list || !message.empty()) {
    logLine(env, "#   ERROR: Couldn't build list from file!\n");
    logLine(env, "#   >> Perhaps international character parsing problem?\n");
    logLine(env, "#   >> %s\n", message.c_str());
    return kListNotInSync;
  }
  if (ignoreUpload) {
    logLine(env, "#   Ignoring presence (or lack thereof) of Upload attribute.\n");
  } else if (list->uploadFile() == 0) {
    logLine(env, "#   WARNING: Upload attribute not set. Skipping.\n");
    return 0;
  }
  logLine(env, "#   Upload attribute found; clear attribute and go.\n");
  before.snapshot = DesktopSnapshot(*list);
  list->setUploadFile(0);
  logLine(env, "#     Dump deleted items.\n");
  list->purgeDeleted();

  // Built under the temporary name first, so a handheld database of this
  // name is replaced only by a complete one.
  DatabaseEntry entry;
  entry.name = name;
  bool renamed = false;
  if (!rebuildHandheldList(env, *list, entry, &renamed, &before)) {
    logLine(env, "!   Couldn't create the list on handheld. Desktop file left as it was.\n");
    return kListNotInSync;
  }
  // The list now waits under the temporary name: keep the upload request so
  // the next run puts it in place again.
  if (!renamed) list->setUploadFile(1);
  if (writeDesktopList(env, *list, path, message) != 0) {
    logLine(env, "#   ERROR: Couldn't save record info to desktop.\n");
    return kListNotInSync;
  }
  logLine(env, "#   Saved updated record info to desktop.\n");
  return settleRebuildNote(env, name, *list, renamed) ? 0 : kListNotInSync;
}

int32_t copyHandheldToDesktop(const RunEnv& env, const DatabaseEntry& entry, const std::string& folder,
                              const std::function<void()>& beforeReplace) {
  bool declined = false;
  std::optional<uint8_t> handle = openListDatabase(env, entry, &declined);
  if (!handle) return declined ? 0 : kListNotInSync;
  std::string path = listPath(folder, entry.name);
  std::string message;
  // What the desktop file holds now, for the note of the rebuild.
  DesktopBefore before;
  before.stamp = stampOf(path);
  std::unique_ptr<ItemList> replaced;
  if (before.stamp.present) replaced = ListFileReader().read(path, message);
  if (replaced && message.empty()) before.snapshot = DesktopSnapshot(*replaced);
  message.clear();
  logLine(env, "#   Reading list details.\n");
  bool complete = false;
  std::unique_ptr<ItemList> list = readHandheldList(env, *handle, &complete);
  SyncCloseDB(*handle);
  if (!list) {
    logLine(env, "!   ERROR: Couldn't build internal list from handheld!\n");
    return kHandheldListUnreadable;
  }
  if (!complete) {
    logLine(env, "!   List could not be read whole. Not normalizing on handheld, not writing out desktop.\n");
    return kListNotInSync;
  }
  logLine(env, "#     Dump deleted items.\n");
  list->purgeDeleted();
  list->setUniqueTime(entry.created);
  logLine(env, "#   List ID: %lu (%lu)\n", (unsigned long)entry.created, (unsigned long)list->uniqueTime());
  keepDesktopTextsFromFile(*list, path);
  list->clearAllDirtyContent();
  bool renamed = false;
  if (!rebuildHandheldList(env, *list, entry, &renamed, &before)) {
    logLine(env, "!   Couldn't normalize on handheld. Not writing out desktop.\n");
    return kListNotInSync;
  }
  if (!renamed) list->setUploadFile(1);
  int result = writeDesktopList(env, *list, path, message, beforeReplace);
  if (result != 0) {
    logLine(env, "#   ERROR: Couldn't write XML! (%d)\n", result);
    logLine(env, "#   >> %s\n", message.c_str());
    return kListNotInSync;
  }
  logLine(env, "#   Written to XML file (%u).\n", list->uniqueTime());
  return settleRebuildNote(env, entry.name, *list, renamed) ? 0 : kListNotInSync;
}

}  // namespace tolvex
