#include "outline/ListCopy.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <vector>

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

// The items of each unique ID that more than one item holds, in outline order.
std::vector<std::vector<ListNode*>> itemsSharingIds(const ItemList& list) {
  std::unordered_map<uint32_t, ListNode*> first;
  std::unordered_map<uint32_t, size_t> group;
  std::vector<std::vector<ListNode*>> groups;
  ItemList::forEach(list.head(), WalkScope::kSubtree, [&](ListNode* item) {
    const uint32_t id = item->uniqueID();
    if (id == 0) return true;  // new already
    auto [earlier, own] = first.try_emplace(id, item);
    if (own) return true;
    auto [at, opened] = group.try_emplace(id, groups.size());
    if (opened) groups.push_back({earlier->second});
    groups[at->second].push_back(item);
    return true;
  });
  return groups;
}

// Whether two items of `list` hold one unique ID: a sort of the IDs, as
// nearly every list has none to group.
bool anyIdShared(const ItemList& list) {
  std::vector<uint32_t> ids;
  ItemList::forEach(list.head(), WalkScope::kSubtree, [&](ListNode* item) {
    if (item->uniqueID() != 0) ids.push_back(item->uniqueID());
    return true;
  });
  std::sort(ids.begin(), ids.end());
  return std::adjacent_find(ids.begin(), ids.end()) != ids.end();
}

void keepSharedIdsAsNew(const RunEnv& env, ItemList& list) {
  if (!anyIdShared(list)) return;
  std::vector<std::vector<ListNode*>> groups = itemsSharingIds(list);
  if (groups.empty()) return;
  std::unordered_set<const ListNode*> renewed;
  for (const std::vector<ListNode*>& items : groups) {
    const uint64_t content = contentFingerprint(*items.front());
    const bool copies = std::all_of(items.begin() + 1, items.end(),
                                    [&](const ListNode* item) { return contentFingerprint(*item) == content; });
    for (size_t i = copies ? 1 : 0; i < items.size(); ++i) renewed.insert(items[i]);
  }
  // In outline order, so that the first one named is the first in the file.
  const ListNode* firstRenewed = nullptr;
  ItemList::forEach(list.head(), WalkScope::kSubtree, [&](ListNode* item) {
    if (!renewed.count(item)) return true;
    if (!firstRenewed) firstRenewed = item;
    item->setUniqueID(0);
    item->setDirtyContent(true);
    return true;
  });
  logLine(env, "#   WARNING: %zu item(s) share a unique ID with another item; kept as new items. The first is '%s'.\n",
          renewed.size(), firstRenewed->title().c_str());
}

}  // namespace

std::unique_ptr<ItemList> loadDesktopList(const RunEnv& env, const std::string& path, std::string& message) {
  std::unique_ptr<ItemList> list = ListFileReader().read(path, message);
  if (!list || !message.empty()) return nullptr;
  keepSharedIdsAsNew(env, *list);
  return list;
}

std::unique_ptr<ItemList> readDesktopList(const RunEnv& env, const std::string& path) {
  std::string message;
  std::unique_ptr<ItemList> list = loadDesktopList(env, path, message);
  if (list) return list;
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
  std::unique_ptr<ItemList> list = loadDesktopList(env, path, message);
  if (!list) {
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
  if (writeDesktopList(env, *list, path, message, nullptr, &before.stamp) != 0) {
    logLine(env, "#   ERROR: Couldn't save record info to desktop.\n");
    return kListNotInSync;
  }
  logLine(env, "#   Saved updated record info to desktop.\n");
  return settleRebuildNote(env, name, *list, renamed) ? 0 : kListNotInSync;
}

int32_t copyHandheldToDesktop(const RunEnv& env, const DatabaseEntry& entry, const std::string& folder,
                              const std::function<void()>& beforeReplace, const RebuildRecord* interrupted) {
  bool declined = false;
  std::optional<uint8_t> handle = openListDatabase(env, entry, &declined);
  if (!handle) return declined ? 0 : kListNotInSync;
  std::string path = listPath(folder, entry.name);
  std::string message;
  // What the desktop file holds now, for the note of the rebuild.
  DesktopBefore before;
  before.stamp = stampOf(path);
  std::unique_ptr<ItemList> replaced;
  // Its items give way to the handheld's whatever their IDs: no warning.
  if (before.stamp.present) replaced = loadDesktopList(RunEnv{}, path, message);
  if (replaced) before.snapshot = DesktopSnapshot(*replaced);
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
  if (replaced && replaced->uniqueTime() != list->uniqueTime() && interrupted) keyAsWritten(*interrupted, *replaced);
  if (replaced && (replaced->uniqueTime() == list->uniqueTime() || interrupted)) keepDesktopTexts(*list, *replaced);
  list->clearAllDirtyContent();
  bool renamed = false;
  if (!rebuildHandheldList(env, *list, entry, &renamed, &before)) {
    logLine(env, "!   Couldn't normalize on handheld. Not writing out desktop.\n");
    return kListNotInSync;
  }
  if (!renamed) list->setUploadFile(1);
  int result = writeDesktopList(env, *list, path, message, beforeReplace, &before.stamp);
  if (result != 0) {
    logLine(env, "#   ERROR: Couldn't write XML! (%d)\n", result);
    logLine(env, "#   >> %s\n", message.c_str());
    return kListNotInSync;
  }
  logLine(env, "#   Written to XML file (%u).\n", list->uniqueTime());
  return settleRebuildNote(env, entry.name, *list, renamed) ? 0 : kListNotInSync;
}

}  // namespace tolvex
