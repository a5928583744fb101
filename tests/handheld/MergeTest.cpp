#include "ImageFixture.h"
#include "conduit/ListMerge.h"
#include "outline/HandheldList.h"
#include "outline/ListCopy.h"

namespace tolvex::testing {
namespace {

using MergeTest = ImageFixture;

TEST_F(MergeTest, MergeWritesBothSidesThenFindsNothingToDo) {
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
  EXPECT_EQ(synchronizeList(env_, context, entry("Tolvk-M")), 0);
  EXPECT_TRUE(logHas("# Some changes were made. Do the works.\n")) << log_.text();
  EXPECT_TRUE(logHas("# Saved updated list to desktop.\n"));
  EXPECT_TRUE(fs::exists(desktop_ + "Backup/Tolvk-M.0"));
  EXPECT_EQ(titles("Tolvk-M"), (std::vector<std::string>{"A2", "B"}));
  auto merged = desktopList("Tolvk-M");
  EXPECT_EQ(merged->head()->title(), "A2");
  EXPECT_EQ(merged->uniqueTime(), createDate("Tolvk-M"));

  log_.clear();
  std::string saved = slurp(desktopFile("Tolvk-M"));
  EXPECT_EQ(synchronizeList(env_, context, entry("Tolvk-M")), 0);
  EXPECT_TRUE(logHas("# No changes were made. Natch.\n")) << log_.text();
  EXPECT_EQ(slurp(desktopFile("Tolvk-M")), saved);
  EXPECT_FALSE(fs::exists(desktop_ + "Backup/Tolvk-M.1"));
}

TEST_F(MergeTest, UnreadableHandheldListIsNotMerged) {
  RawRecord big = itemRecord("big", 0);
  big.bytes.resize(kReadBufferSize + 1, 0);
  makeDatabase("Tolvk-Big", {headerRecord(), itemRecord("A", kHasNextSibling), big});
  writeDesktop("Tolvk-Big", 0);
  std::string before = slurp(desktopFile("Tolvk-Big"));
  SyncContext context;
  EXPECT_EQ(synchronizeList(env_, context, entry("Tolvk-Big")), kListNotInSync);
  EXPECT_TRUE(logHas("!   Handheld list could not be read whole. Leaving both sides as they are.\n"));
  EXPECT_EQ(slurp(desktopFile("Tolvk-Big")), before);
  EXPECT_EQ(records("Tolvk-Big").size(), 3u);
}

TEST_F(MergeTest, UnparsableDesktopFileBails) {
  makeDatabase("Tolvk-X", {headerRecord(), itemRecord("A", 0)});
  writeFile(desktopFile("Tolvk-X"), "<TolvexFile><item");
  SyncContext context;
  EXPECT_EQ(synchronizeList(env_, context, entry("Tolvk-X")), kListNotInSync);
  EXPECT_TRUE(logHas("!   Couldn't fetch at least one. Bailing.\n"));
  EXPECT_EQ(slurp(desktopFile("Tolvk-X")), "<TolvexFile><item");
  EXPECT_EQ(titles("Tolvk-X"), std::vector<std::string>{"A"});
}

}  // namespace
}  // namespace tolvex::testing
