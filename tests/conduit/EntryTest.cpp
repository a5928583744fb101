// The identity queries and the two early answers of OpenConduit.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/condmgr/CondMgr.h"
#include "platform/syncmgr/SyncMgr.h"
#include "tests/conduit/ConduitFixture.h"

namespace tolvex::test {
namespace {

TEST(ConduitIdentity, NameAndVersion) {
  char name[32] = "";
  EXPECT_EQ(GetConduitName(name, sizeof name), 0);
  EXPECT_STREQ(name, "Tolvex");
  EXPECT_EQ(GetConduitVersion(), 0x0102u);
}

TEST(ConduitIdentity, InfoAnswersEveryRowOfItsTable) {
  ConduitNameRequest request;
  std::memset(&request, 0, sizeof request);
  request.version = 1;
  request.size = 80;
  char out[64] = "";
  uint32_t size = sizeof out;
  uint32_t word = 0xFFFFFFFF;
  uint32_t four = 4, eight = 8;

  EXPECT_EQ(GetConduitInfo(0, &request, nullptr, &size), 4209);
  EXPECT_EQ(GetConduitInfo(7, nullptr, nullptr, nullptr), 4209);
  EXPECT_EQ(GetConduitInfo(0, &request, out, nullptr), 4215);
  EXPECT_EQ(GetConduitInfo(0, nullptr, out, &size), 4212);
  request.version = 2;
  EXPECT_EQ(GetConduitInfo(0, &request, out, &size), 4213);
  request.version = 1;
  request.size = 79;
  EXPECT_EQ(GetConduitInfo(0, &request, out, &size), 4213);
  request.size = 80;
  uint32_t none = 0;
  EXPECT_EQ(GetConduitInfo(0, &request, out, &none), 4214);
  EXPECT_EQ(GetConduitInfo(0, &request, out, &size), 0);
  EXPECT_STREQ(out, "Tolvex");

  EXPECT_EQ(GetConduitInfo(1, nullptr, &word, &eight), 4211);
  EXPECT_EQ(GetConduitInfo(2, nullptr, &word, &eight), 4211);
  EXPECT_EQ(GetConduitInfo(1, nullptr, &word, &four), 0);
  EXPECT_EQ(word, 0x10000000u);
  EXPECT_EQ(GetConduitInfo(2, nullptr, &word, &four), 0);
  EXPECT_EQ(word, 0u);
  EXPECT_EQ(GetConduitInfo(7, nullptr, &word, &four), 4208);
  EXPECT_EQ(GetConduitInfo(-1, nullptr, &word, &four), 4208);
}

void noCallback() {}

TEST_F(ConduitTest, NullCallbackIsRefusedBeforeAnythingElse) {
  RunProperties properties;
  std::memset(&properties, 0, sizeof properties);
  std::strncpy(properties.desktopFolder, desktop_.c_str(), sizeof properties.desktopFolder - 1);
  properties.creator = SYNC_FOURCC('W', 'k', 'd', 'q');
  EXPECT_EQ(OpenConduit(nullptr, &properties), -5);
  properties.creator = SYNC_FOURCC('Q', 'z', 'v', 'm');
  EXPECT_EQ(OpenConduit(nullptr, &properties), -5);
  EXPECT_EQ(OpenConduit(noCallback, nullptr), -5);
  EXPECT_FALSE(exists(desktop_ + "lastsync.txt"));
}

TEST_F(ConduitTest, ListCreatorRemovesItsRegistrationAndWritesNoLog) {
  ASSERT_EQ(CmInstallConduit("Wkdq", "/opt/old/libTolvex.so", "Tolvex"), 0);
  char path[256], folder[64];
  ASSERT_EQ(CmGetConduitByCreator("Wkdq", path, sizeof path, folder, sizeof folder), 0);
  RunProperties properties;
  std::memset(&properties, 0, sizeof properties);
  std::strncpy(properties.desktopFolder, desktop_.c_str(), sizeof properties.desktopFolder - 1);
  properties.creator = SYNC_FOURCC('W', 'k', 'd', 'q');
  EXPECT_EQ(OpenConduit(noCallback, &properties), 0);
  EXPECT_NE(CmGetConduitByCreator("Wkdq", path, sizeof path, folder, sizeof folder), 0);
  EXPECT_FALSE(exists(desktop_ + "lastsync.txt"));
  EXPECT_TRUE(hotsyncLines_.empty());
}

}  // namespace
}  // namespace tolvex::test
