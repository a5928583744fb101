// The action dialog through the conduit's two configuration entries, with
// scripted clicks, against a private registry in $HOTSYNC_HOME.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "conduit/ActionDialog.h"
#include "conduit/Module.h"
#include "conduit/RegistryStore.h"
#include "platform/hotsync/ConduitApi.h"
#include "platform/os/HostOs.h"

extern "C" long CfgConduit(int kind, void* block, uint32_t* blockSize);
extern "C" long ConfigureConduit(ConduitPreference* preference);

namespace tolvex {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kQzvm = 0x517A766D;
constexpr const char* kValueNames[] = {"StrategyFast", "StrategyFastTemp", "StrategySlow",
                                       "StrategySlowTemp", "MethodPerm", "MethodTemp"};

class ActionDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tolvex-dialog-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    home_ = pattern;
    setenv("HOTSYNC_HOME", home_.c_str(), 1);
  }
  void TearDown() override {
    OsDialogScript(nullptr, 0, OS_DIALOG_END_CANCEL);
    fs::remove_all(home_);
  }

  static ActionConfigBlock hostBlock(const char* user = "Ann") {
    ActionConfigBlock block;
    std::memset(&block, 0, sizeof block);
    block.version = 1;
    block.size = sizeof block;
    block.creator = kQzvm;
    block.userId = 7;
    std::strncpy(block.userName, user, sizeof block.userName);
    block.newSyncType = 99;  // outputs the dialog must fill on OK
    block.preferenceKind = 99;
    return block;
  }

  static void script(std::initializer_list<uint32_t> clicks, int end) {
    std::vector<uint32_t> list(clicks);
    OsDialogScript(list.data(), list.size(), end);
  }

  static long configure(ActionConfigBlock& block, std::initializer_list<uint32_t> clicks, int end) {
    script(clicks, end);
    uint32_t size = sizeof block;
    return CfgConduit(0, &block, &size);
  }

  static std::vector<uint32_t> checkedOf(std::initializer_list<uint32_t> controls) {
    std::vector<uint32_t> checked;
    for (uint32_t id : controls) {
      if (OsDialogLastChecked(id)) checked.push_back(id);
    }
    return checked;
  }
  static std::vector<uint32_t> checkedFast() { return checkedOf({404, 405, 406}); }
  static std::vector<uint32_t> checkedSlow() { return checkedOf({408, 409}); }
  static std::vector<uint32_t> checkedMethod() { return checkedOf({410, 411, 412}); }

  static void expectNothingStored() {
    for (const char* name : kValueNames) EXPECT_EQ(RegistryStore::readValue(name), -1) << name;
  }

  fs::path home_;
};

using Ids = std::vector<uint32_t>;

TEST_F(ActionDialogTest, NothingStoredPreselectsDefaultsAndOkWritesTemporaries) {
  ActionConfigBlock block = hostBlock();
  EXPECT_EQ(configure(block, {}, OS_DIALOG_END_OK), 0);

  EXPECT_EQ(OsDialogLastResult(), kActionDialogOk);
  EXPECT_EQ(checkedFast(), Ids{404});
  EXPECT_EQ(checkedSlow(), Ids{409});
  EXPECT_EQ(checkedMethod(), Ids{411});
  EXPECT_FALSE(OsDialogLastChecked(407));
  EXPECT_FALSE(OsDialogLastChecked(415));

  EXPECT_EQ(RegistryStore::readValue("StrategyFastTemp"), 1);
  EXPECT_EQ(RegistryStore::readValue("StrategySlowTemp"), 2);
  EXPECT_EQ(RegistryStore::readValue("MethodTemp"), 1);
  EXPECT_EQ(RegistryStore::readValue("StrategyFast"), -1);
  EXPECT_EQ(RegistryStore::readValue("StrategySlow"), -1);
  EXPECT_EQ(RegistryStore::readValue("MethodPerm"), -1);
  EXPECT_EQ(block.preferenceKind, 2u);
  EXPECT_EQ(block.newSyncType, 0u);
}

TEST_F(ActionDialogTest, StartUpTextsTitleAndPictures) {
  ActionConfigBlock block = hostBlock("Bartholomew");
  block.permanentSyncType = kSyncDoNothing;
  EXPECT_EQ(configure(block, {OS_DIALOG_SCRIPT_SYSCOLORCHANGE}, OS_DIALOG_END_CANCEL), 0);

  EXPECT_STREQ(OsDialogLastTitle(), "Tolvex");
  EXPECT_STREQ(OsDialogLastText(403), "Synchronize");
  EXPECT_STREQ(OsDialogLastText(1006), "Bartholomew's Current Settings:");
  EXPECT_STREQ(OsDialogLastText(1004), "Do Nothing");
  EXPECT_STREQ(OsDialogLastText(1005), "Synchronize");
  EXPECT_EQ(OsDialogLastBitmap(1000), 103u);
  EXPECT_EQ(OsDialogLastBitmap(1001), 104u);
  EXPECT_EQ(OsDialogLastBitmap(1002), 105u);
  EXPECT_EQ(OsDialogLastBitmap(1003), 106u);

  // A host that did not fill the block gets no current-settings texts.
  block = hostBlock();
  block.creator = 0;
  configure(block, {}, OS_DIALOG_END_CANCEL);
  EXPECT_STRNE(OsDialogLastText(1006), "Ann's Current Settings:");
  EXPECT_STREQ(OsDialogLastText(1004), "Static");
  EXPECT_STREQ(OsDialogLastText(1005), "Static");
}

TEST_F(ActionDialogTest, UnterminatedUserNameStaysInsideItsField) {
  ActionConfigBlock block = hostBlock();
  std::memset(block.userName, 'x', sizeof block.userName);
  std::memset(block.folder, 'y', sizeof block.folder);
  configure(block, {}, OS_DIALOG_END_CANCEL);
  EXPECT_EQ(std::string(OsDialogLastText(1006)), std::string(64, 'x') + "'s Current Settings:");
  // No name at all: the title leaves it out.
  block = hostBlock("");
  configure(block, {}, OS_DIALOG_END_CANCEL);
  EXPECT_STREQ(OsDialogLastText(1006), "Current Settings:");
}

TEST_F(ActionDialogTest, PendingTemporaryValuesWinThePreselection) {
  RegistryStore::writeValue("StrategyFastTemp", 3);
  RegistryStore::writeValue("StrategyFast", 2);
  RegistryStore::writeValue("StrategySlow", 3);
  RegistryStore::writeValue("MethodTemp", 0);
  RegistryStore::writeValue("MethodPerm", 4);
  ActionConfigBlock block = hostBlock();
  configure(block, {}, OS_DIALOG_END_CANCEL);
  EXPECT_EQ(checkedFast(), Ids{405});
  EXPECT_EQ(checkedSlow(), Ids{408});
  EXPECT_EQ(checkedMethod(), Ids{412});
}

TEST_F(ActionDialogTest, ValuesOutsideTheChoicesCheckNothingAndOkKeepsThem) {
  RegistryStore::writeValue("StrategyFast", 7);
  RegistryStore::writeValue("StrategySlow", 1);
  RegistryStore::writeValue("MethodPerm", 3);
  ActionConfigBlock block = hostBlock();
  configure(block, {}, OS_DIALOG_END_OK);
  EXPECT_EQ(checkedFast(), Ids{});
  EXPECT_EQ(checkedSlow(), Ids{});
  EXPECT_EQ(checkedMethod(), Ids{});
  // Nothing was loaded for the strategies: the next action shows the conduit name.
  EXPECT_STREQ(OsDialogLastText(1005), "Tolvex");
  // A group without a checked radio writes nothing.
  EXPECT_EQ(RegistryStore::readValue("StrategyFastTemp"), -1);
  EXPECT_EQ(RegistryStore::readValue("StrategySlowTemp"), -1);
  EXPECT_EQ(RegistryStore::readValue("MethodTemp"), -1);
  EXPECT_EQ(block.preferenceKind, 2u);
}

TEST_F(ActionDialogTest, SetAsDefaultWritesOnlyPermanentValues) {
  RegistryStore::writeValue("StrategyFastTemp", 2);
  ActionConfigBlock block = hostBlock();
  EXPECT_EQ(configure(block, {405, 408, 412, 415}, OS_DIALOG_END_OK), 0);
  EXPECT_EQ(RegistryStore::readValue("StrategyFast"), 3);
  EXPECT_EQ(RegistryStore::readValue("StrategySlow"), 3);
  EXPECT_EQ(RegistryStore::readValue("MethodPerm"), 4);
  EXPECT_EQ(RegistryStore::readValue("StrategyFastTemp"), 2);  // still pending for the next run
  EXPECT_EQ(RegistryStore::readValue("StrategySlowTemp"), -1);
  EXPECT_EQ(RegistryStore::readValue("MethodTemp"), -1);
  EXPECT_EQ(block.preferenceKind, 1u);
  EXPECT_EQ(block.newSyncType, 0u);
}

TEST_F(ActionDialogTest, RadioClicksStayWithinTheirGroup) {
  ActionConfigBlock block = hostBlock();
  configure(block, {406, 410, 408, 405, 412}, OS_DIALOG_END_OK);
  EXPECT_EQ(checkedFast(), Ids{405});
  EXPECT_EQ(checkedSlow(), Ids{408});
  EXPECT_EQ(checkedMethod(), Ids{412});
  EXPECT_EQ(RegistryStore::readValue("StrategyFastTemp"), 3);
  EXPECT_EQ(RegistryStore::readValue("StrategySlowTemp"), 3);
  EXPECT_EQ(RegistryStore::readValue("MethodTemp"), 4);
}

TEST_F(ActionDialogTest, DoNotSynchronizeReturnsDoNothingAndStillWritesChoices) {
  ActionConfigBlock block = hostBlock();
  block.temporarySyncType = kSyncDoNothing;
  configure(block, {}, OS_DIALOG_END_OK);
  EXPECT_TRUE(OsDialogLastChecked(407));
  EXPECT_EQ(block.newSyncType, 6u);
  EXPECT_EQ(RegistryStore::readValue("StrategyFastTemp"), 1);
  EXPECT_EQ(RegistryStore::readValue("StrategySlowTemp"), 2);
  EXPECT_EQ(RegistryStore::readValue("MethodTemp"), 1);

  block = hostBlock();
  configure(block, {407}, OS_DIALOG_END_OK);
  EXPECT_EQ(block.newSyncType, 6u);
  block = hostBlock();
  configure(block, {407, 407}, OS_DIALOG_END_OK);
  EXPECT_EQ(block.newSyncType, 0u);
  block = hostBlock();
  block.temporarySyncType = kSyncDoNothing;
  configure(block, {407}, OS_DIALOG_END_OK);
  EXPECT_EQ(block.newSyncType, 0u);
}

TEST_F(ActionDialogTest, CancelWritesNothingAndLeavesTheBlock) {
  ActionConfigBlock block = hostBlock();
  EXPECT_EQ(configure(block, {405, 409, 407, 415}, OS_DIALOG_END_CANCEL), 0);
  EXPECT_EQ(OsDialogLastResult(), kActionDialogCancel);
  expectNothingStored();
  EXPECT_EQ(block.newSyncType, 99u);
  EXPECT_EQ(block.preferenceKind, 99u);
}

// OK with settings that cannot be stored (every save fails) is not reported
// as chosen, through either entry.
TEST_F(ActionDialogTest, OkWhoseSettingsCannotBeSavedIsNotReported) {
  const fs::path blocker = home_ / ("registry.ini.tmp" + std::to_string(getpid()));
  fs::create_directory(blocker);
  ActionConfigBlock block = hostBlock();
  EXPECT_EQ(configure(block, {405, 415}, OS_DIALOG_END_OK), kConduitSettingsNotSaved);
  EXPECT_EQ(OsDialogLastResult(), kActionDialogNotSaved);
  EXPECT_EQ(block.newSyncType, 99u);
  EXPECT_EQ(block.preferenceKind, 99u);
  ConduitPreference preference;
  std::memset(&preference, 0, sizeof preference);
  preference.syncType = kSyncSlowType;
  script({407}, OS_DIALOG_END_OK);
  EXPECT_EQ(ConfigureConduit(&preference), kConduitSettingsNotSaved);
  EXPECT_EQ(preference.syncType, kSyncSlowType);
  fs::remove(blocker);
  expectNothingStored();
}

TEST_F(ActionDialogTest, CfgConduitRefusesBadArgumentsInOrderWithoutShowingTheDialog) {
  script({405}, OS_DIALOG_END_OK);
  ActionConfigBlock block = hostBlock();
  uint32_t size = sizeof block;
  uint32_t shortSize = 300;
  EXPECT_EQ(CfgConduit(1, nullptr, nullptr), 4212);
  EXPECT_EQ(CfgConduit(1, &block, nullptr), 4216);
  EXPECT_EQ(CfgConduit(1, &block, &shortSize), 4218);
  EXPECT_EQ(CfgConduit(1, &block, &size), 4217);
  block.version = 2;
  EXPECT_EQ(CfgConduit(1, &block, &size), 4217);
  EXPECT_EQ(CfgConduit(0, &block, &size), 4219);
  EXPECT_EQ(block.newSyncType, 99u);
  expectNothingStored();
}

TEST_F(ActionDialogTest, ConfigureConduitOkCopiesTheOutcomeIntoThePreference) {
  ConduitPreference preference;
  std::memset(&preference, 0, sizeof preference);
  preference.syncType = kSyncDoNothing;
  preference.preferenceKind = 0;

  script({}, OS_DIALOG_END_OK);
  EXPECT_EQ(ConfigureConduit(&preference), 0);
  EXPECT_TRUE(OsDialogLastChecked(407));  // the preference's sync type preselects
  EXPECT_EQ(preference.syncType, kSyncDoNothing);
  EXPECT_EQ(preference.preferenceKind, 2);

  script({407, 415}, OS_DIALOG_END_OK);
  EXPECT_EQ(ConfigureConduit(&preference), 0);
  EXPECT_EQ(preference.syncType, kSyncFastType);
  EXPECT_EQ(preference.preferenceKind, 1);
  EXPECT_EQ(RegistryStore::readValue("StrategyFast"), 1);
}

TEST_F(ActionDialogTest, ConfigureConduitCancelAnswersMinusOneAndKeepsThePreference) {
  ConduitPreference preference;
  std::memset(&preference, 0x5A, sizeof preference);
  preference.syncType = kSyncSlowType;
  preference.preferenceKind = 1;
  ConduitPreference before = preference;

  script({407, 405, 415}, OS_DIALOG_END_CANCEL);
  EXPECT_EQ(ConfigureConduit(&preference), -1);
  EXPECT_EQ(std::memcmp(&preference, &before, sizeof preference), 0);
  expectNothingStored();
  EXPECT_EQ(ConfigureConduit(nullptr), -1);
}

TEST_F(ActionDialogTest, LegacyTemplateHasNoCurrentSettingsControls) {
  ActionConfigBlock block = hostBlock();  // filled, so the dialog tries to set them
  script({406}, OS_DIALOG_END_OK);
  EXPECT_EQ(ActionDialog::run(kDlgActionLegacy, &block), kActionDialogOk);
  EXPECT_STREQ(OsDialogLastText(1004), "");
  EXPECT_STREQ(OsDialogLastText(1005), "");
  EXPECT_STREQ(OsDialogLastText(1006), "");
  EXPECT_STREQ(OsDialogLastTitle(), "Tolvex");
  EXPECT_EQ(RegistryStore::readValue("StrategyFastTemp"), 2);
  EXPECT_EQ(block.preferenceKind, 2u);
}

TEST_F(ActionDialogTest, HelpOpensTheHelpFileBesideTheLibrary) {
  std::string library = OsModulePath(conduitModule());
  std::string expected = library.substr(0, library.rfind('/') + 1) + "hotsync.hlp#131471";
  for (uint32_t request : {uint32_t{kCtlHelp}, uint32_t{OS_DIALOG_SCRIPT_HELP}}) {
    ActionConfigBlock block = hostBlock();
    configure(block, {request}, OS_DIALOG_END_CANCEL);
    EXPECT_EQ(std::string(OsLastHelpRequest()), expected);
  }
}

TEST(ActionDialogHelpFile, CutAfterTheLastSlash) {
  EXPECT_EQ(ActionDialog::helpFileFor("/usr/lib/tolvex/libTolvex2.so"), "/usr/lib/tolvex/hotsync.hlp");
  EXPECT_EQ(ActionDialog::helpFileFor("lib/libTolvex2.so"), "lib/hotsync.hlp");
  EXPECT_EQ(ActionDialog::helpFileFor("/libTolvex2.so"), "");
  EXPECT_EQ(ActionDialog::helpFileFor("libTolvex2.so"), "");
  EXPECT_EQ(ActionDialog::helpFileFor(""), "");
}

}  // namespace
}  // namespace tolvex
