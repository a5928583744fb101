// Whole `hotsync sync` runs over a handheld image and a desktop folder, with
// the edits a user makes on each side between runs.
#ifndef TOLVEX_TESTS_HANDHELD_RUNFIXTURE_H
#define TOLVEX_TESTS_HANDHELD_RUNFIXTURE_H
#include <functional>

#include "HotsyncRun.h"
#include "ImageFixture.h"

namespace tolvex::testing {

class RunFixture : public ImageFixture {
 protected:
  // One `hotsync sync`; `fileLimit` caps every file it writes (a list file
  // larger than that cannot be saved). Its exit code.
  int sync(size_t fileLimit = 0) {
    HotsyncOptions options;
    options.fileLimit = fileLimit;
    return syncWith(options).exitCode;
  }
  HotsyncOutcome syncWith(const HotsyncOptions& options) {
    SyncHostDetach();
    HotsyncOutcome outcome = runHotsyncSync((root_ / "home").string(), image_, desktop_, options);
    EXPECT_EQ(SyncHostAttach(image_.c_str()), 0);
    return outcome;
  }
  std::string lastLog() { return slurp(desktop_ + "lastsync.txt"); }

  void editHandheld(const std::string& name, size_t index, const std::string& title) {
    std::vector<StoredRecord> stored = records(name);
    ASSERT_LT(index, stored.size());
    ItemList scratch;
    auto item = unpackItemRecord(&scratch, stored[index].id, stored[index].bytes.data(), stored[index].bytes.size(),
                                 false, nullptr);
    ASSERT_TRUE(item);
    item->setTitle(title);
    item->setDirtyContent(true);
    std::vector<uint8_t> bytes = packItemRecord(*item);
    bytes[86] = stored[index].bytes[86];  // the tree flags stay
    bytes[87] = stored[index].bytes[87];
    uint8_t handle = 0;
    ASSERT_EQ(SyncOpenDB(name.c_str(), 0, &handle, SYNC_MODE_READ | SYNC_MODE_WRITE), 0);
    SyncRecordInfo rec;
    std::memset(&rec, 0, sizeof rec);
    rec.handle = handle;
    rec.recId = stored[index].id;
    rec.recSize = uint32_t(bytes.size());
    rec.bufSize = uint16_t(bytes.size());
    rec.buffer = bytes.data();
    EXPECT_EQ(SyncWriteRec(&rec), 0);
    EXPECT_EQ(SyncCloseDB(handle), 0);
  }
  // Edits the desktop file as the desktop application does.
  void editDesktop(const std::string& name, const std::function<void(ItemList&)>& edit) {
    auto list = desktopList(name);
    ASSERT_TRUE(list);
    edit(*list);
    std::string message;
    ASSERT_EQ(ListFileWriter().write(*list, desktopFile(name), message), 0);
  }
  // Writes a new desktop file as the desktop application does.
  void newDesktop(const std::string& name, const std::function<void(ItemList&)>& fill) {
    ItemList list;
    fill(list);
    std::string message;
    ASSERT_EQ(ListFileWriter().write(list, desktopFile(name), message), 0);
  }
  static void retitle(ItemList& list, const std::string& from, const std::string& to) {
    ItemList::forEach(list.head(), WalkScope::kSubtree, [&](ListNode* item) {
      if (item->title() != from) return true;
      item->setTitle(to);
      item->setDirtyContent(true);
      return false;
    });
  }
  static void add(ItemList& list, const std::string& title) {
    auto item = std::make_unique<ListNode>(0, &list);
    item->setTitle(title);
    item->setDirtyContent(true);
    item->setDirtyPosition(true);
    list.pushBack(std::move(item));
  }
  std::vector<std::string> desktopTitles(const std::string& name) {
    std::vector<std::string> out;
    auto list = desktopList(name);
    if (list) ItemList::forEach(list->head(), WalkScope::kSubtree, [&](ListNode* item) {
      out.push_back(item->title());
      return true;
    });
    return out;
  }

  // A list of `count` top-level items "<prefix> 0" ... on the handheld.
  uint32_t makeList(const std::string& name, const std::string& prefix, int count) {
    std::vector<RawRecord> recs{headerRecord()};
    for (int i = 0; i < count; ++i)
      recs.push_back(itemRecord(prefix + " " + std::to_string(i), i + 1 < count ? kHasNextSibling : 0));
    return makeDatabase(name, recs);
  }
};

}  // namespace tolvex::testing
#endif
