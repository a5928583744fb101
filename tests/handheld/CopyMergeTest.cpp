#include <cstdlib>

#include "ImageFixture.h"
#include "conduit/ListMerge.h"
#include "desktop/XmlFile.h"
#include "outline/HandheldList.h"
#include "outline/ListCopy.h"

namespace tolvex::testing {
namespace {

class CopyMergeTest : public ImageFixture {
 protected:
  void TearDown() override {
    ::unsetenv("SYNCMGR_FAULTS");
    ImageFixture::TearDown();
  }
  // Re-attaches so the stand-in reads a new fault list and restarts its counts.
  void faults(const char* list) {
    ::setenv("SYNCMGR_FAULTS", list, 1);
    ASSERT_EQ(SyncHostAttach(image_.c_str()), 0);
  }
  uint32_t createDate(const std::string& name) {
    uint8_t handle = 0;
    if (SyncOpenDB(name.c_str(), 0, &handle, SYNC_MODE_READ) != 0) return 0;
    SyncOpenDbInfoRequest request{0x80, handle};
    SyncDbRecord info{};
    SyncReadOpenDbInfo(&request, &info);
    SyncCloseDB(handle);
    return info.createDate;
  }
  DatabaseEntry entry(const std::string& name) {
    DatabaseEntry e;
    e.name = name;
    e.created = createDate(name);
    e.presence = kOnHandheld;
    return e;
  }
  std::unique_ptr<ItemList> desktopList(const std::string& name) {
    std::string message;
    auto list = ListFileReader().read(desktopFile(name), message);
    EXPECT_TRUE(message.empty()) << message;
    return list;
  }
  // A desktop list A(B), C with no handheld IDs yet.
  void writeDesktop(const std::string& name, uint8_t upload) {
    ItemList list;
    list.setUploadFile(upload);
    auto a = std::make_unique<ListNode>(0, &list);
    a->setTitle("A \xE2\x80\xA2 caf\xC3\xA9");
    ListNode* pa = a.get();
    list.setHead(std::move(a));
    auto b = std::make_unique<ListNode>(0, &list);
    b->setTitle("B");
    pa->insertFirstChild(std::move(b));
    auto c = std::make_unique<ListNode>(0, &list);
    c->setTitle("C");
    c->setDeleted(true);
    pa->insertAfter(std::move(c));
    auto d = std::make_unique<ListNode>(0, &list);
    d->setTitle("D");
    pa->next()->insertAfter(std::move(d));
    std::string message;
    ASSERT_EQ(ListFileWriter("utf-8").write(list, desktopFile(name), message), 0);
  }
  std::vector<std::string> titles(const std::string& name) {
    std::vector<std::string> out;
    std::vector<StoredRecord> stored = records(name);
    for (size_t i = 1; i < stored.size(); ++i)
      if (const StoredRecord& r = stored[i]; r.bytes.size() > 88) out.push_back(reinterpret_cast<const char*>(&r.bytes[88]));
    return out;
  }
};

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
  EXPECT_EQ(copyDesktopToHandheld(env_, "Tolvk-Bad", true), 0);
  EXPECT_TRUE(logHas("#   ERROR: Couldn't build list from file!\n"));
  EXPECT_FALSE(databaseExists("Tolvk-Bad"));
}

TEST_F(CopyMergeTest, FailedItemWriteLeavesBothSidesAsTheyWere) {
  makeDatabase("Tolvk-Trip", {headerRecord(), itemRecord("kept", 0)});
  writeDesktop("Tolvk-Trip", 1);
  std::string before = slurp(desktopFile("Tolvk-Trip"));
  faults("SyncWriteRec:3");  // header, first item, then the second item fails
  EXPECT_EQ(copyDesktopToHandheld(env_, "Tolvk-Trip", false), 0);
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
  EXPECT_EQ(copyHandheldToDesktop(env_, entry("Tolvk-Big"), desktop_), 0);
  EXPECT_FALSE(fs::exists(desktopFile("Tolvk-Big")));
  EXPECT_EQ(records("Tolvk-Big").size(), 3u);

  log_.clear();
  writeDesktop("Tolvk-Big", 0);
  std::string before = slurp(desktopFile("Tolvk-Big"));
  SyncContext context;
  EXPECT_FALSE(synchronizeList(env_, context, entry("Tolvk-Big")));
  EXPECT_TRUE(logHas("!   Handheld list could not be read whole. Leaving both sides as they are.\n"));
  EXPECT_EQ(slurp(desktopFile("Tolvk-Big")), before);
  EXPECT_EQ(records("Tolvk-Big").size(), 3u);
}

TEST_F(CopyMergeTest, MergeWritesBothSidesThenFindsNothingToDo) {
  makeDatabase("Tolvk-M", {headerRecord(), itemRecord("A", kHasNextSibling), itemRecord("B", 0)});
  ASSERT_EQ(copyHandheldToDesktop(env_, entry("Tolvk-M"), desktop_), 0);
  // A title changed on the handheld since.
  {
    auto list = desktopList("Tolvk-M");
    list->head()->setTitle("A2");
    list->head()->setDirtyContent(true);
    list->setHeaderRecord(headerRecord().bytes.data(), kListHeaderSize);
    SyncDeleteDB("Tolvk-M", 0);
    ASSERT_TRUE(createHandheldList(env_, *list, "Tolvk-M"));
    // createHandheldList cleared the flag; mark the record dirty as the handheld would
  }
  std::vector<StoredRecord> stored = records("Tolvk-M");
  uint8_t handle = 0;
  ASSERT_EQ(SyncOpenDB("Tolvk-M", 0, &handle, 0xD0), 0);
  SyncRecordInfo rec{};
  std::vector<uint8_t> bytes = stored[1].bytes;
  bytes[5] |= 0x20;
  rec.handle = handle;
  rec.recId = stored[1].id;
  rec.recSize = uint32_t(bytes.size());
  rec.bufSize = uint16_t(bytes.size());
  rec.buffer = bytes.data();
  ASSERT_EQ(SyncWriteRec(&rec), 0);
  ASSERT_EQ(SyncCloseDB(handle), 0);
  // The desktop still carries the old identity; give it the new one as a
  // previous sync would have.
  {
    auto list = desktopList("Tolvk-M");
    list->setUniqueTime(createDate("Tolvk-M"));
    list->head()->setUniqueID(stored[1].id);
    list->head()->next()->setUniqueID(stored[2].id);
    std::string message;
    ASSERT_EQ(ListFileWriter().write(*list, desktopFile("Tolvk-M"), message), 0);
  }

  log_.clear();
  SyncContext context;
  EXPECT_TRUE(synchronizeList(env_, context, entry("Tolvk-M")));
  EXPECT_TRUE(logHas("# Some changes were made. Do the works.\n")) << log_.text();
  EXPECT_TRUE(logHas("# Saved updated list to desktop.\n"));
  EXPECT_TRUE(fs::exists(desktop_ + "Backup/Tolvk-M.0"));
  EXPECT_EQ(titles("Tolvk-M"), (std::vector<std::string>{"A2", "B"}));
  auto merged = desktopList("Tolvk-M");
  EXPECT_EQ(merged->head()->title(), "A2");
  EXPECT_EQ(merged->uniqueTime(), createDate("Tolvk-M"));

  log_.clear();
  std::string saved = slurp(desktopFile("Tolvk-M"));
  EXPECT_TRUE(synchronizeList(env_, context, entry("Tolvk-M")));
  EXPECT_TRUE(logHas("# No changes were made. Natch.\n")) << log_.text();
  EXPECT_EQ(slurp(desktopFile("Tolvk-M")), saved);
  EXPECT_FALSE(fs::exists(desktop_ + "Backup/Tolvk-M.1"));
}

TEST_F(CopyMergeTest, FailedRenameKeepsTheListAndAsksForUpload) {
  makeDatabase("Tolvk-R", {headerRecord(), itemRecord("A", 0)});
  faults("SyncCallRemoteModule:1");
  EXPECT_EQ(copyHandheldToDesktop(env_, entry("Tolvk-R"), desktop_), 0);
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
  EXPECT_FALSE(databaseExists(kTempDatabaseName));
  EXPECT_EQ(titles("Tolvk-R"), std::vector<std::string>{"A"});
  EXPECT_EQ(desktopList("Tolvk-R")->uploadFile(), 0);
}

}  // namespace
}  // namespace tolvex::testing
