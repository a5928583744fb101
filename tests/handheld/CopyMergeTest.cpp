#include <cstdlib>

#include "ImageFixture.h"
#include "desktop/XmlFile.h"
#include "outline/HandheldList.h"
#include "outline/ListCopy.h"

namespace tolvex::testing {
namespace {

using CopyMergeTest = ImageFixture;

TEST_F(CopyMergeTest, DesktopOnlyListWithUploadRequestGoesToTheHandheld) {
  writeDesktop("Tolvk-Trip", 1);
  EXPECT_EQ(copyDesktopToHandheld(env_, "Tolvk-Trip", false), 0);
  EXPECT_TRUE(logHas("#   Upload attribute found; clear attribute and go.\n"));
  EXPECT_TRUE(logHas("#   Saved updated record info to desktop.\n"));
  std::vector<StoredRecord> stored = records("Tolvk-Trip");
  ASSERT_EQ(stored.size(), 4u);  // header, A, B, D: the deleted C was dropped
  EXPECT_EQ(stored[0].bytes, newListHeaderRecord());
  EXPECT_EQ(stored[1].bytes[88 + 2], 0x95);
  EXPECT_EQ(stored[1].bytes[87], kHasFirstChild | kHasNextSibling);
  auto list = desktopList("Tolvk-Trip");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->uploadFile(), 0);
  EXPECT_EQ(list->uniqueTime(), createDate("Tolvk-Trip"));
  EXPECT_EQ(list->head()->uniqueID(), stored[1].id);
  EXPECT_EQ(list->head()->firstChild()->uniqueID(), stored[2].id);
  EXPECT_EQ(list->head()->next()->uniqueID(), stored[3].id);
  EXPECT_FALSE(databaseExists(kTempDatabaseName));
}

TEST_F(CopyMergeTest, UploadRequestDecidesUnlessIgnored) {
  writeDesktop("Tolvk-Trip", 0);
  std::string before = slurp(desktopFile("Tolvk-Trip"));
  EXPECT_EQ(copyDesktopToHandheld(env_, "Tolvk-Trip", false), 0);
  EXPECT_EQ(log_.text(), "#   WARNING: Upload attribute not set. Skipping.\n");
  EXPECT_FALSE(databaseExists("Tolvk-Trip"));
  EXPECT_EQ(slurp(desktopFile("Tolvk-Trip")), before);

  log_.clear();
  EXPECT_EQ(copyDesktopToHandheld(env_, "Tolvk-Trip", true), 0);
  EXPECT_TRUE(logHas("#   Ignoring presence (or lack thereof) of Upload attribute.\n"
                     "#   Upload attribute found; clear attribute and go.\n"));
  EXPECT_TRUE(databaseExists("Tolvk-Trip"));

  log_.clear();
  writeFile(desktopFile("Tolvk-Bad"), "<TolvexFile><item>");
  EXPECT_EQ(copyDesktopToHandheld(env_, "Tolvk-Bad", true), kListNotInSync);
  EXPECT_TRUE(logHas("#   ERROR: Couldn't build list from file!\n"));
  EXPECT_FALSE(databaseExists("Tolvk-Bad"));
}

TEST_F(CopyMergeTest, FailedItemWriteLeavesBothSidesAsTheyWere) {
  makeDatabase("Tolvk-Trip", {headerRecord(), itemRecord("kept", 0)});
  writeDesktop("Tolvk-Trip", 1);
  std::string before = slurp(desktopFile("Tolvk-Trip"));
  faults("SyncWriteRec:3");  // header, first item, then the second item fails
  EXPECT_EQ(copyDesktopToHandheld(env_, "Tolvk-Trip", false), kListNotInSync);
  EXPECT_EQ(logCount("#   ERROR: Couldn't normalize rec "), 1u);
  EXPECT_EQ(slurp(desktopFile("Tolvk-Trip")), before);
  EXPECT_EQ(titles("Tolvk-Trip"), std::vector<std::string>{"kept"});
  EXPECT_FALSE(databaseExists(kTempDatabaseName));
}

TEST_F(CopyMergeTest, WriteItemRecordsStopsAtTheFailedItem) {
  auto list = std::make_unique<ItemList>();
  for (uint32_t id : {1003u, 1002u, 1001u}) {
    auto item = std::make_unique<ListNode>(id, list.get());
    item->setTitle("x");
    list->pushFront(std::move(item));
  }
  makeDatabase("Tolvk-W", {headerRecord()});
  faults("SyncWriteRec:2");
  uint8_t handle = 0;
  ASSERT_EQ(SyncOpenDB("Tolvk-W", 0, &handle, 0xD0), 0);
  EXPECT_FALSE(writeItemRecords(env_, *list, handle));
  SyncCloseDB(handle);
  EXPECT_EQ(logCount("#   ERROR: Couldn't normalize rec "), 1u);
  EXPECT_NE(list->head()->uniqueID(), 1001u);
  EXPECT_EQ(list->head()->uniqueID(), records("Tolvk-W").back().id);
  EXPECT_EQ(list->head()->next()->uniqueID(), 1002u);
  EXPECT_EQ(list->head()->next()->next()->uniqueID(), 1003u);
}

TEST_F(CopyMergeTest, HandheldOnlyListBecomesItsDesktopFile) {
  makeDatabase("Tolvk-Read", {headerRecord(), itemRecord("A", kHasFirstChild | kHasNextSibling),
                              itemRecord("B", 0), itemRecord("C", 0), itemRecord("gone", 0, true)});
  std::vector<StoredRecord> before = records("Tolvk-Read");
  EXPECT_EQ(copyHandheldToDesktop(env_, entry("Tolvk-Read"), desktop_), 0);
  EXPECT_TRUE(logHas("#   Written to XML file ("));
  auto list = desktopList("Tolvk-Read");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->size(), 3u);
  EXPECT_FALSE(list->firstDeleted());
  std::vector<StoredRecord> after = records("Tolvk-Read");
  ASSERT_EQ(after.size(), 4u);
  EXPECT_EQ(after[0].bytes, before[0].bytes);
  EXPECT_EQ(list->head()->uniqueID(), after[1].id);
  EXPECT_EQ(list->head()->next()->uniqueID(), after[3].id);
  EXPECT_EQ(list->uniqueTime(), createDate("Tolvk-Read"));
  EXPECT_EQ(titles("Tolvk-Read"), (std::vector<std::string>{"A", "B", "C"}));
}

TEST_F(CopyMergeTest, UnreadableHandheldListIsNeitherRebuiltNorCopied) {
  RawRecord big = itemRecord("big", 0);
  big.bytes.resize(kReadBufferSize + 1, 0);
  makeDatabase("Tolvk-Big", {headerRecord(), itemRecord("A", kHasNextSibling), big});
  EXPECT_EQ(copyHandheldToDesktop(env_, entry("Tolvk-Big"), desktop_), kListNotInSync);
  EXPECT_FALSE(fs::exists(desktopFile("Tolvk-Big")));
  EXPECT_EQ(records("Tolvk-Big").size(), 3u);

}

TEST_F(CopyMergeTest, FailedRenameKeepsTheListAndAsksForUpload) {
  makeDatabase("Tolvk-R", {headerRecord(), itemRecord("A", 0)});
  faults("SyncCallRemoteModule:1");
  EXPECT_EQ(copyHandheldToDesktop(env_, entry("Tolvk-R"), desktop_), kListNotInSync);  // until the next run
  EXPECT_TRUE(logHas("! ERROR: Couldn't rename file to replace old file!\n"));
  EXPECT_TRUE(databaseExists(kTempDatabaseName));
  EXPECT_FALSE(databaseExists("Tolvk-R"));
  auto list = desktopList("Tolvk-R");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->uploadFile(), 1);
  EXPECT_EQ(list->head()->title(), "A");

  // The next run puts the list back and clears the leftover.
  log_.clear();
  EXPECT_EQ(copyDesktopToHandheld(env_, "Tolvk-R", false), 0);
  EXPECT_FALSE(databaseExists(kTempDatabaseName)) << log_.text();
  EXPECT_EQ(titles("Tolvk-R"), std::vector<std::string>{"A"});
  EXPECT_EQ(desktopList("Tolvk-R")->uploadFile(), 0);
}

}  // namespace
}  // namespace tolvex::testing
