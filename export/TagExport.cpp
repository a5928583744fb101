// "TolvTags" -> "TolvanTags.XML": categories from the app-info block become
// the top-level items, each tag record a child of its category.
#include <string>
#include <vector>

#include "export/Bytes.h"
#include "export/Export.h"
#include "export/HandheldRead.h"
#include "platform/syncmgr/SyncMgr.h"

namespace tolvex {

namespace {

// Category block of the app-info block.
constexpr size_t kLabelsOffset = 2;
constexpr size_t kLabelSize = 16;
constexpr size_t kCategoryIdsOffset = kLabelsOffset + kTagCategorySlots * kLabelSize;  // 258

// Tag record.
constexpr size_t kTagNameOffset = 0;
constexpr size_t kTagNameSize = 32;
constexpr size_t kTagIdOffset = 32;

constexpr const char* kTagDatabase = "TolvTags";

class NullRunLog : public RunLog {
 public:
  void write(const char*) override {}
};

ListNode* categoryAt(ItemList& list, int slot) {
  ListNode* item = list.head();
  for (int i = 0; item && i < slot; ++i) item = item->next();
  return item;
}

}  // namespace

TagCategories parseTagCategories(const uint8_t* bytes, size_t size) {
  TagCategories categories;
  for (int slot = 0; slot < kTagCategorySlots; ++slot) {
    categories[slot].label = fieldText(bytes, size, kLabelsOffset + slot * kLabelSize, kLabelSize);
    categories[slot].uniqueID = byteAt(bytes, size, kCategoryIdsOffset + slot);
  }
  return categories;
}

TagRecord parseTagRecord(const uint8_t* bytes, size_t size) {
  TagRecord tag;
  tag.name = fieldText(bytes, size, kTagNameOffset, kTagNameSize);
  tag.tagID = be32At(bytes, size, kTagIdOffset);
  return tag;
}

std::unique_ptr<ItemList> makeTagList(const TagCategories& categories, RunLog& log) {
  auto list = std::make_unique<ItemList>();
  ListNode* last = nullptr;
  for (int slot = 0; slot < kTagCategorySlots; ++slot) {
    const TagCategory& category = categories[slot];
    if (!category.label.empty())
      log.line("#     Found Tag Category %d: %d:'%s'\n", slot, category.uniqueID,
               category.label.c_str());
    auto item = std::make_unique<ListNode>(category.uniqueID, list.get());
    item->setTitle(category.label);
    ListNode* added = item.get();
    if (last)
      last->insertAfter(std::move(item));
    else
      list->setHead(std::move(item));
    last = added;
  }
  return list;
}

bool fileTag(ItemList& list, int slot, uint32_t recordID, const TagRecord& tag, RunLog& log) {
  std::string idText = std::to_string(tag.tagID);
  ListNode* category = slot < 0 ? nullptr : categoryAt(list, slot);
  if (!category) {
    log.line("#   ERROR: Bad slot %u for tag %s\n", static_cast<unsigned>(slot), tag.name.c_str());
    return false;
  }
  auto item = std::make_unique<ListNode>(recordID, &list);
  item->setTitle(idText);
  item->setNote(tag.name);
  if (ListNode* child = category->firstChild())
    child->lastSibling()->insertAfter(std::move(item));
  else
    category->insertFirstChild(std::move(item));
  log.line("#   Retrieved %s/%s (%s)\n", category->title().c_str(), tag.name.c_str(),
           idText.c_str());
  return true;
}

unsigned purgeEmptyCategories(ItemList& list) {
  unsigned removed = 0;
  while (list.head()) {
    ListNode* empty = ListNode::findSiblingByTitle(list.head(), "");
    if (!empty) break;
    empty->unlink();   // released here, with its tags
    ++removed;
  }
  return removed;
}

ExportResult exportTagDatabase(const RunEnv& env, const std::string& fileName) {
  NullRunLog nullLog;
  RunLog& log = env.log ? *env.log : nullLog;

  uint8_t handle = 0;
  uint16_t count = 0;
  if (!openExportDatabase(log, kTagDatabase, "#   ERROR: Couldn't open tag database!\n", &handle, &count))
    return ExportResult::kNotRead;
  log.line("#   Trying to get appinfo block\n");
  std::vector<uint8_t> appInfo;
  if (readExportAppInfo(handle, appInfo) != SYNCERR_NONE) {
    log.line("#   ERROR: Couldn't fetch appinfo block!\n");
    SyncCloseDB(handle);
    return ExportResult::kNotRead;
  }

  TagStore store;
  store.setList(makeTagList(parseTagCategories(appInfo.data(), appInfo.size()), log));
  ItemList& list = *store.list();

  log.line("#   Reading %u tags.\n", static_cast<unsigned>(count));
  for (unsigned index = 0; index < count; ++index) {
    ExportRecord record;
    if (readExportRecord(handle, static_cast<uint16_t>(index), record) != SYNCERR_NONE) {
      log.line("#   ERROR: Couldn't retrieve record %u!\n", index);
      SyncCloseDB(handle);
      return ExportResult::kNotRead;   // the store and its list go with it; nothing is written
    }
    fileTag(list, record.category, record.uniqueID,
            parseTagRecord(record.bytes.data(), record.bytes.size()), log);
  }
  SyncCloseDB(handle);

  log.line("#   Purged %u nil categories.\n", purgeEmptyCategories(list));

  std::string path = env.desktopFolder + fileName;
  log.line("#   Write tag database out to %s\n", path.c_str());
  LeftOut leftOut;
  if (!store.save(path, &leftOut)) {   // the old file stays as it was
    log.line("#   ERROR: Couldn't write %s; it is left as it was.\n", path.c_str());
    return ExportResult::kNotSaved;
  }
  logLeftOut(log, leftOut);
  return ExportResult::kSaved;
}

}  // namespace tolvex
