// `hotsync configure` with scripted clicks, and what the following
// `hotsync sync` runs make of the chosen action.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "conduit/RegistryStore.h"

namespace tolvex {
namespace {

namespace fs = std::filesystem;

const std::string kHotsync = TOLVEX_BINARY_DIR "/bin/hotsync";
const std::string kConduit = TOLVEX_BINARY_DIR "/lib/libTolvex2.so";

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class ConfigureCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tolvex-configure-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    setenv("HOTSYNC_HOME", (root_ / "home").c_str(), 1);
    fs::create_directories(root_ / "home");
    fs::create_directories(root_ / "desktop");
    ASSERT_EQ(hotsync("device init " + (root_ / "image").string() + " --user Ann"), 0) << output_;
  }
  void TearDown() override { fs::remove_all(root_); }

  // Runs hotsync with `arguments`, stdin from /dev/null; keeps its output.
  int hotsync(const std::string& arguments) {
    fs::path out = root_ / "out.txt";
    std::string command = kHotsync + " " + arguments + " </dev/null >" + out.string() + " 2>&1";
    int status = std::system(command.c_str());
    output_ = slurp(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int configure(const std::string& clicks) { return hotsync("configure --conduit " + kConduit + " " + clicks); }
  // One sync; answers the run's conduit log.
  std::string sync() {
    int code = hotsync("sync --device " + (root_ / "image").string() + " --desktop " +
                       (root_ / "desktop").string() + " --conduit " + kConduit);
    EXPECT_EQ(code, 0) << output_;
    return slurp(root_ / "desktop" / "lastsync.txt");
  }

  fs::path root_;
  std::string output_;
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(ConfigureCommandTest, PermanentChoiceIsUsedByEveryFastRun) {
  sync();  // first contact with this desktop: a slow run; later ones are fast
  ASSERT_EQ(configure("--click 405 --click 409 --click 410 --click 415 --ok"), 0) << output_;
  EXPECT_TRUE(contains(output_, "HotSync action: Synchronize (always)")) << output_;
  EXPECT_EQ(RegistryStore::readValue("StrategyFast"), 3);
  EXPECT_EQ(RegistryStore::readValue("StrategySlow"), 2);
  EXPECT_EQ(RegistryStore::readValue("MethodPerm"), 2);
  EXPECT_EQ(RegistryStore::readValue("StrategyFastTemp"), -1);
  for (int run = 0; run < 2; ++run) {
    std::string log = sync();
    EXPECT_TRUE(contains(log, "# Syncronization strategy: 0 (eFast)\n")) << log;
    EXPECT_TRUE(contains(log, "#   Fast permanent strategy used: 3 (DT over HH)\n")) << log;
    EXPECT_TRUE(contains(log, "#   Collision method: 2 (DT over HH)\n")) << log;
  }
}

TEST_F(ConfigureCommandTest, TemporaryDoNothingSkipsOnlyTheNextSync) {
  sync();
  ASSERT_EQ(configure("--click 407 --click 406 --ok"), 0) << output_;
  EXPECT_TRUE(contains(output_, "HotSync action: Do nothing (next HotSync only)")) << output_;
  EXPECT_EQ(RegistryStore::readValue("StrategyFastTemp"), 2);

  std::string skipped = sync();
  EXPECT_TRUE(contains(skipped, "# Syncronization strategy: 6 (eDoNothing)\n")) << skipped;
  // The pending strategy was not consumed by the run that did nothing.
  EXPECT_EQ(RegistryStore::readValue("StrategyFastTemp"), 2);

  std::string next = sync();
  EXPECT_TRUE(contains(next, "# Syncronization strategy: 0 (eFast)\n")) << next;
  EXPECT_TRUE(contains(next, "#   Fast temporary strategy used: 2 (HH over DT)\n")) << next;
  EXPECT_EQ(RegistryStore::readValue("StrategyFastTemp"), 0);
}

TEST_F(ConfigureCommandTest, CancelChangesNothing) {
  sync();
  ASSERT_EQ(configure("--click 405 --click 407 --click 415 --cancel"), 0) << output_;
  EXPECT_TRUE(contains(output_, "Cancelled")) << output_;
  EXPECT_EQ(RegistryStore::readValue("StrategyFast"), -1);
  EXPECT_EQ(RegistryStore::readValue("StrategyFastTemp"), -1);
  std::string log = sync();
  EXPECT_TRUE(contains(log, "# Syncronization strategy: 0 (eFast)\n")) << log;
  EXPECT_TRUE(contains(log, "#   Fast default strategy used: 1 (sync)\n")) << log;
}

TEST_F(ConfigureCommandTest, LegacyEntryWritesThePermanentChoice) {
  sync();
  ASSERT_EQ(configure("--legacy --click 405 --click 415 --ok"), 0) << output_;
  EXPECT_EQ(RegistryStore::readValue("StrategyFast"), 3);
  std::string log = sync();
  EXPECT_TRUE(contains(log, "#   Fast permanent strategy used: 3 (DT over HH)\n")) << log;
}

TEST_F(ConfigureCommandTest, PermanentDoNothingHoldsUntilChangedBack) {
  sync();
  ASSERT_EQ(configure("--click 407 --click 415 --ok"), 0) << output_;
  for (int run = 0; run < 2; ++run) {
    std::string log = sync();
    EXPECT_TRUE(contains(log, "# Syncronization strategy: 6 (eDoNothing)\n")) << log;
  }
  // The dialog now opens with "Do not synchronize" checked; one click clears it.
  ASSERT_EQ(configure("--click 407 --click 415 --ok"), 0) << output_;
  std::string log = sync();
  EXPECT_TRUE(contains(log, "# Syncronization strategy: 0 (eFast)\n")) << log;
}

TEST_F(ConfigureCommandTest, ItPrintsTheWholeChoiceAndListsWhatCanBeClicked) {
  ASSERT_EQ(configure("--click=405 --click 410 --ok"), 0) << output_;
  EXPECT_TRUE(contains(output_,
                       "HotSync action: Synchronize (next HotSync only)\n"
                       "  Synching at same computer as last synch: Copy desktop file over handheld\n"
                       "  When item is modified on both sides: Desktop item overwrites handheld\n"
                       "  Synching at different computer than last synch: Copy handheld file over desktop\n"))
      << output_;

  ASSERT_EQ(hotsync("configure --conduit " + kConduit + " --help"), 0) << output_;
  EXPECT_TRUE(contains(output_, "  405   Copy desktop file over handheld    (Synching at same computer as last synch)\n"))
      << output_;
  EXPECT_TRUE(contains(output_, "  415   Set as default\n")) << output_;

  // An unknown control is a usage error and the dialog keeps nothing.
  ASSERT_EQ(configure("--click 404 --click 999 --click 415 --ok"), 2) << output_;
  EXPECT_TRUE(contains(output_, "--click 999: the dialog has no such control")) << output_;
  EXPECT_EQ(RegistryStore::readValue("StrategyFast"), -1);
  EXPECT_EQ(RegistryStore::readValue("StrategyFastTemp"), 3);
}

}  // namespace
}  // namespace tolvex
