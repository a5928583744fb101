#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/condmgr/CondMgr.h"
#include "tests/os/TempHome.h"

namespace {

class CondMgrTest : public ::testing::Test {
 protected:
  tolvex::testing::TempHome home;
};

TEST_F(CondMgrTest, HotSyncPathFailsUntilRecordedThenFitsTheBuffer) {
  char path[1024];
  int size = sizeof path;
  EXPECT_EQ(CmGetHotSyncExecPath(path, &size), CONDERR_NOT_FOUND);

  ASSERT_EQ(CmSetHotSyncExecPath("/opt/bin/hotsync"), CONDERR_NONE);
  size = sizeof path;
  ASSERT_EQ(CmGetHotSyncExecPath(path, &size), CONDERR_NONE);
  EXPECT_STREQ(path, "/opt/bin/hotsync");
  EXPECT_EQ(size, 16);

  char small[8];
  size = sizeof small;
  EXPECT_EQ(CmGetHotSyncExecPath(small, &size), CONDERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 17);
  EXPECT_EQ(CmGetHotSyncExecPath(nullptr, &size), CONDERR_BAD_ARG);
  EXPECT_EQ(CmGetHotSyncExecPath(path, nullptr), CONDERR_BAD_ARG);
}

TEST_F(CondMgrTest, RegistrationsAreKeptListedAndRemovedByCreator) {
  ASSERT_EQ(CmInstallConduit("Qzvm", "/lib/libTolvex2.so", "Tolvex"), CONDERR_NONE);
  ASSERT_EQ(CmInstallConduit("Wkdq", "/lib/old.so", "Old"), CONDERR_NONE);
  char library[256], folder[64];
  ASSERT_EQ(CmGetConduitByCreator("Qzvm", library, sizeof library, folder, sizeof folder), CONDERR_NONE);
  EXPECT_STREQ(library, "/lib/libTolvex2.so");
  EXPECT_STREQ(folder, "Tolvex");

  char list[64];
  EXPECT_EQ(CmListCreators(list, sizeof list), 2);
  std::string creators = list;
  EXPECT_NE(creators.find("Qzvm\n"), std::string::npos);
  EXPECT_NE(creators.find("Wkdq\n"), std::string::npos);

  EXPECT_EQ(CmRemoveConduitByCreatorID("Wkdq"), CONDERR_NONE);
  EXPECT_EQ(CmRemoveConduitByCreatorID("Wkdq"), CONDERR_NOT_FOUND);
  EXPECT_EQ(CmGetConduitByCreator("Wkdq", library, sizeof library, folder, sizeof folder), CONDERR_NOT_FOUND);
  EXPECT_EQ(CmListCreators(list, sizeof list), 1);
  EXPECT_STREQ(list, "Qzvm\n");
  EXPECT_EQ(CmGetConduitByCreator("Qzvm", library, 4, nullptr, 0), CONDERR_BUFFER_TOO_SMALL);
}

TEST_F(CondMgrTest, CreatorCodesMustBeFourPlainCharacters) {
  EXPECT_EQ(CmRemoveConduitByCreatorID(nullptr), CONDERR_BAD_ARG);
  EXPECT_EQ(CmRemoveConduitByCreatorID("Wkd"), CONDERR_BAD_ARG);
  EXPECT_EQ(CmRemoveConduitByCreatorID("Wkdqq"), CONDERR_BAD_ARG);
  EXPECT_EQ(CmInstallConduit("a/bc", "/lib/x.so", ""), CONDERR_BAD_ARG);
  EXPECT_EQ(CmInstallConduit("Qzvm", "", ""), CONDERR_BAD_ARG);
  char list[8];
  EXPECT_EQ(CmListCreators(list, sizeof list), 0);
}

}  // namespace
