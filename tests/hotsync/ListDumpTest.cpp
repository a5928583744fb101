#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <regex>
#include <string>

#include "outline/ItemList.h"
#include "outline/ItemRecord.h"
#include "outline/ListNode.h"
#include "platform/syncmgr/SyncMgr.h"
#include "tests/hotsync/Shell.h"
#include "tests/os/TempHome.h"
#include "tests/os/TempHome.h"

namespace {

std::string run(const std::string& args, int* code = nullptr) {
  tolvex::testing::ShellResult result = tolvex::testing::shell(TOLVEX_BINARY_DIR "/bin/hotsync " + args + " 2>&1");
  if (code) *code = result.code;
  return result.out;
}

void writeRecord(uint8_t handle, const std::vector<uint8_t>& bytes) {
  SyncRecordInfo record;
  std::memset(&record, 0, sizeof record);
  record.handle = handle;
  record.recSize = static_cast<uint32_t>(bytes.size());
  record.bufSize = static_cast<uint16_t>(bytes.size());
  record.buffer = const_cast<uint8_t*>(bytes.data());
  ASSERT_EQ(SyncWriteRec(&record), 0);
}

std::unique_ptr<tolvex::ListNode> item(tolvex::ItemList* list, uint32_t id, const char* title) {
  auto node = std::make_unique<tolvex::ListNode>(id, list);
  node->setTitle(std::string(title));
  return node;
}

class ListDumpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device = home.file("device");
    ASSERT_EQ(SyncHostCreateImage(device.c_str(), "Ann"), 0);
  }
  // Writes `list` as list database `name`; items whose ID is in `deleted`
  // carry the deleted attribute. `trailing` records follow the tree, deleted,
  // as the handheld keeps items deleted there.
  void writeList(const char* name, tolvex::ItemList& list, std::vector<uint32_t> deleted = {},
                 std::vector<std::vector<uint8_t>> trailing = {}) {
    ASSERT_EQ(SyncHostAttach(device.c_str()), 0);
    SyncCreateRecord create;
    std::memset(&create, 0, sizeof create);
    create.creator = SYNC_FOURCC('W', 'k', 'd', 'q');
    create.dbType = SYNC_FOURCC('W', 'k', 'd', 'q');
    std::strcpy(create.name, name);
    ASSERT_EQ(SyncCreateDB(&create), 0);
    writeRecord(create.handle, tolvex::newListHeaderRecord());
    uint16_t index = 1;
    tolvex::ItemList::forEach(list.head(), tolvex::WalkScope::kSubtree, [&](tolvex::ListNode* node) {
      writeRecord(create.handle, tolvex::packItemRecord(*node));
      for (uint32_t id : deleted) {
        if (id == node->uniqueID()) {
          EXPECT_EQ(SyncHostSetRecordAttributes(create.handle, index, SYNC_REC_DELETED, 0), 0);
        }
      }
      ++index;
      return true;
    });
    for (const std::vector<uint8_t>& record : trailing) {
      writeRecord(create.handle, record);
      EXPECT_EQ(SyncHostSetRecordAttributes(create.handle, index++, SYNC_REC_DELETED, 0), 0);
    }
    ASSERT_EQ(SyncCloseDB(create.handle), 0);
    SyncHostDetach();
  }
  tolvex::testing::TempHome home;
  std::string device;
};

TEST_F(ListDumpTest, ListDatabasesAreShownAsAnIndentedOutline) {
  tolvex::ItemList list;
  list.pushBack(item(&list, 1, "Garden"));
  list.pushBack(item(&list, 4, "Kitchen"));
  list.head()->setPriority(2);
  list.head()->insertFirstChild(item(&list, 2, "Roses"));
  tolvex::ListNode* roses = list.head()->firstChild();
  roses->setChecked(true);
  roses->setNote(std::string("Prune in March\nand again in June"));
  roses->insertAfter(item(&list, 3, "Tulips"));
  roses->next()->setNote(std::string(100, 'x'));
  roses->insertFirstChild(item(&list, 5, "Red"));
  tolvex::ItemList gone;
  gone.pushBack(item(&gone, 9, "Weeds"));
  writeList("Tolvk-Garden", list, {3}, {tolvex::packItemRecord(*gone.head()), {}});

  int code = -1;
  std::string out = run("device dump " + device + " Tolvk-Garden", &code);
  EXPECT_EQ(code, 0) << out;
  EXPECT_NE(out.find("  outline, 7 items (3 deleted, marked):\n"
                     "    [ ] Garden  (priority 2)\n"
                     "      [x] Roses  note: Prune in March\u2026\n"
                     "        [ ] Red\n"
                     "      [ ] Tulips  (deleted)  note: " + std::string(60, 'x') + "\u2026\n"
                     "    [ ] Kitchen\n"
                     "    [ ] Weeds  (deleted)\n"
                     "    [ ]   (deleted)\n"),
            std::string::npos)
      << out;
  // The records themselves only on request.
  EXPECT_EQ(out.find("record 1 "), std::string::npos) << out;
  out = run("device dump --records " + device + " Tolvk-Garden");
  EXPECT_NE(out.find("  record 1  id "), std::string::npos) << out;
  EXPECT_NE(out.find("    [ ] Kitchen\n"), std::string::npos) << out;
}

TEST_F(ListDumpTest, JsonNestsTheItemsAndEscapesHandheldText) {
  tolvex::ItemList list;
  // U+2022 goes to the handheld as the Windows-1252 byte 0x95.
  list.pushBack(item(&list, 1, "Buy \u2022 milk \"now\" \\ \x1b[31m"));
  list.pushBack(item(&list, 3, "Last"));
  list.head()->insertFirstChild(item(&list, 2, "Child"));
  list.head()->firstChild()->setNote(std::string("line one\nline two\t\xc3\xa9"));
  writeList("Tolvk-Shop", list);

  int code = -1;
  // Item IDs are the stand-in's; they are not what this checks.
  std::string out = std::regex_replace(run("device dump --json " + device, &code), std::regex("\"id\":[0-9]+"),
                                       "\"id\":N");
  EXPECT_EQ(code, 0) << out;
  EXPECT_EQ(out.rfind("{\"image\":\"" + device + "\",\"user\":{\"name\":\"Ann\",\"id\":N},\"databases\":[", 0), 0u)
      << out;
  EXPECT_NE(out.find("\"items\":["
                     "{\"id\":N,\"title\":\"Buy \u2022 milk \\\"now\\\" \\\\ \\u001b[31m\",\"checked\":false,"
                     "\"priority\":0,\"deleted\":false,\"note\":null,\"children\":["
                     "{\"id\":N,\"title\":\"Child\",\"checked\":false,\"priority\":0,\"deleted\":false,"
                     "\"note\":\"line one\\nline two\\t\xc3\xa9\",\"children\":[]}]},"
                     "{\"id\":N,\"title\":\"Last\",\"checked\":false,\"priority\":0,\"deleted\":false,"
                     "\"note\":null,\"children\":[]}]"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.substr(out.size() - 3), "]}\n") << out;

  // On a terminal the escape byte cannot reach it.
  out = run("device dump " + device + " Tolvk-Shop");
  EXPECT_NE(out.find("    [ ] Buy \u2022 milk \"now\" \\ ?[31m\n"), std::string::npos) << out;
  EXPECT_NE(out.find("      [ ] Child  note: line one\u2026\n"), std::string::npos) << out;
  EXPECT_EQ(out.find('\x1b'), std::string::npos);
}

TEST_F(ListDumpTest, RecordsThatDoNotMakeATreeAreReported) {
  tolvex::ItemList list;
  list.pushBack(item(&list, 1, "Parent"));
  list.head()->insertFirstChild(item(&list, 2, "Child"));
  ASSERT_EQ(SyncHostAttach(device.c_str()), 0);
  SyncCreateRecord create;
  std::memset(&create, 0, sizeof create);
  create.creator = create.dbType = SYNC_FOURCC('W', 'k', 'd', 'q');
  std::strcpy(create.name, "Tolvk-Cut");
  ASSERT_EQ(SyncCreateDB(&create), 0);
  writeRecord(create.handle, tolvex::newListHeaderRecord());
  // The parent announces a child that never comes.
  writeRecord(create.handle, tolvex::packItemRecord(*list.head()));
  ASSERT_EQ(SyncCloseDB(create.handle), 0);
  SyncHostDetach();

  std::string out = run("device dump " + device + " Tolvk-Cut");
  EXPECT_NE(out.find("    [ ] Parent\n  ! the records end before the tree flags say\n"), std::string::npos) << out;
  out = run("device dump --json " + device + " Tolvk-Cut");
  EXPECT_NE(out.find("\"outlineError\":\"the records end before the tree flags say\""), std::string::npos) << out;
}

}  // namespace

namespace {

TEST(TagAndFilterDumpTest, TagsByCategoryAndFiltersWithTheirRules) {
  tolvex::testing::TempHome home;
  const std::string image = TOLVEX_SOURCE_DIR "/examples/handheld";
  auto tags = tolvex::testing::shell(TOLVEX_BINARY_DIR "/bin/hotsync device dump " + image + " TolvTags 2>&1");
  EXPECT_NE(tags.out.find("  4 records\n  tags by category:\n    Unfiled (0 tags)\n    Places (2 tags)\n"
                          "      Garden (id 101)\n      Shop (id 102)\n    People (2 tags)\n      Ann (id 201)\n"
                          "      M\u00fcller (id 202)\n"),
            std::string::npos)
      << tags.out;
  auto filters = tolvex::testing::shell(TOLVEX_BINARY_DIR "/bin/hotsync device dump " + image + " TolvFilters 2>&1");
  EXPECT_NE(filters.out.find("    Urgent (id 9001, flags 0, 2 rules)\n"
                             "      Priority (operation 10), relation 4, value \"1\", flags 1, group 0\n"
                             "      Checked (operation 0), relation 0, value \"0\", flags 0, group 1\n"),
            std::string::npos)
      << filters.out;
  EXPECT_EQ(filters.out.find(" 0000 "), std::string::npos) << "no hex: " << filters.out;
  auto json = tolvex::testing::shell(TOLVEX_BINARY_DIR "/bin/hotsync device dump --json " + image + " TolvTags");
  EXPECT_NE(json.out.find("\"tags\":[{\"category\":\"Unfiled\",\"tags\":[]},{\"category\":\"Places\",\"tags\":"
                          "[{\"name\":\"Garden\",\"id\":101},{\"name\":\"Shop\",\"id\":102}]}"),
            std::string::npos)
      << json.out;
}

}  // namespace
