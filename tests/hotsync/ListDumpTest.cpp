#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "outline/ItemList.h"
#include "outline/ItemRecord.h"
#include "outline/ListNode.h"
#include "platform/syncmgr/SyncMgr.h"
#include "tests/os/TempHome.h"

namespace {

std::string run(const std::string& args) {
  std::string command = TOLVEX_BINARY_DIR "/bin/hotsync " + args + " 2>&1";
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  char buffer[4096];
  size_t n;
  while (pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  if (pipe) ::pclose(pipe);
  return out;
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

TEST(ListDumpTest, ListDatabasesAreShownAsTheirItemTree) {
  tolvex::testing::TempHome home;
  std::string device = home.file("device");
  ASSERT_EQ(SyncHostCreateImage(device.c_str(), "Ann"), 0);

  tolvex::ItemList list;
  list.pushBack(item(&list, 1, "Garden"));
  list.pushBack(item(&list, 4, "Kitchen"));
  list.head()->insertFirstChild(item(&list, 2, "Roses"));
  list.head()->firstChild()->insertAfter(item(&list, 3, "Tulips"));

  ASSERT_EQ(SyncHostAttach(device.c_str()), 0);
  SyncCreateRecord create;
  std::memset(&create, 0, sizeof create);
  create.creator = SYNC_FOURCC('W', 'k', 'd', 'q');
  create.dbType = SYNC_FOURCC('W', 'k', 'd', 'q');
  std::strcpy(create.name, "Tolvk-Garden");
  ASSERT_EQ(SyncCreateDB(&create), 0);
  writeRecord(create.handle, tolvex::newListHeaderRecord());
  tolvex::ItemList::forEach(list.head(), tolvex::WalkScope::kSubtree, [&](tolvex::ListNode* node) {
    writeRecord(create.handle, tolvex::packItemRecord(*node));
    return true;
  });
  ASSERT_EQ(SyncCloseDB(create.handle), 0);
  SyncHostDetach();

  std::string out = run("device dump " + device + " Tolvk-Garden");
  EXPECT_NE(out.find("  item tree:\n"), std::string::npos) << out;
  size_t garden = out.find("\n    [0x");
  ASSERT_NE(garden, std::string::npos) << out;
  std::string tree = out.substr(out.find("  item tree:\n"));
  EXPECT_NE(tree.find("] Garden\n"), std::string::npos) << tree;
  EXPECT_NE(tree.find("\n      [0x"), std::string::npos) << tree;
  EXPECT_NE(tree.find("] Roses\n"), std::string::npos) << tree;
  EXPECT_NE(tree.find("] Tulips\n    [0x"), std::string::npos) << tree;
  EXPECT_NE(tree.find("] Kitchen\n"), std::string::npos) << tree;
}

}  // namespace
