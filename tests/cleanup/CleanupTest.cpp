// conduit-cleanup as a user runs it: a separate process over a private
// $HOTSYNC_HOME, its standard output and exit code.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/condmgr/CondMgr.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class CleanupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tolvex-cleanup-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    home_ = pattern;
    setenv("HOTSYNC_HOME", home_.c_str(), 1);
  }
  void TearDown() override { fs::remove_all(home_); }

  Outcome run(const std::string& arguments = "") {
    fs::path out = home_ / "out.txt";
    fs::path err = home_ / "err.txt";
    std::string command = std::string(TOLVEX_BINARY_DIR "/bin/conduit-cleanup ") + arguments + " >" +
                          out.string() + " 2>" + err.string();
    Outcome outcome;
    int status = std::system(command.c_str());
    if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
    outcome.out = slurp(out);
    outcome.err = slurp(err);
    fs::remove(out);
    fs::remove(err);
    return outcome;
  }

  static bool registered(const char* creator) {
    char library[1024];
    char folder[256];
    return CmGetConduitByCreator(creator, library, sizeof library, folder, sizeof folder) == CONDERR_NONE;
  }

  fs::path home_;
};

TEST_F(CleanupTest, WithoutHotSyncPathPrintsOneLineAndRemovesNothing) {
  ASSERT_EQ(CmInstallConduit("Wkdq", "/usr/lib/libTolvex2.so", "Tolvex"), CONDERR_NONE);
  for (int round = 0; round < 2; ++round) {
    Outcome outcome = run();
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.out, "Couldn't determine path to hotsync.exe!\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_TRUE(registered("Wkdq")) << "round " << round;
  }
}

TEST_F(CleanupTest, RemovesOnlyTheListCreatorsRegistrationSilently) {
  ASSERT_EQ(CmSetHotSyncExecPath("/usr/local/bin/hotsync"), CONDERR_NONE);
  ASSERT_EQ(CmInstallConduit("Wkdq", "/usr/lib/libTolvex2.so", "Tolvex"), CONDERR_NONE);
  ASSERT_EQ(CmInstallConduit("Qzvm", "/usr/lib/libTolvex2.so", "Tolvex"), CONDERR_NONE);

  Outcome first = run();
  EXPECT_EQ(first.exitCode, 0);
  EXPECT_EQ(first.out, "");
  EXPECT_FALSE(registered("Wkdq"));
  EXPECT_TRUE(registered("Qzvm"));

  // Nothing left to remove: the removal fails inside, and still nothing is said.
  Outcome second = run();
  EXPECT_EQ(second.exitCode, 0);
  EXPECT_EQ(second.out, "");
  EXPECT_TRUE(registered("Qzvm"));
}

TEST_F(CleanupTest, OtherArgumentsAreIgnored) {
  ASSERT_EQ(CmSetHotSyncExecPath("/usr/local/bin/hotsync"), CONDERR_NONE);
  ASSERT_EQ(CmInstallConduit("Wkdq", "/usr/lib/libTolvex2.so", "Tolvex"), CONDERR_NONE);
  Outcome outcome = run("--force -h Wkdq extra");
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.out, "");
  EXPECT_FALSE(registered("Wkdq"));
}

TEST_F(CleanupTest, HelpAndVersionAnswerWithoutTouchingRegistrations) {
  ASSERT_EQ(CmSetHotSyncExecPath("/usr/local/bin/hotsync"), CONDERR_NONE);
  ASSERT_EQ(CmInstallConduit("Wkdq", "/usr/lib/libTolvex2.so", "Tolvex"), CONDERR_NONE);

  Outcome help = run("--help");
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("Usage: conduit-cleanup"), std::string::npos) << help.out;

  Outcome version = run("--version");
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out.rfind("conduit-cleanup (Tolvex) ", 0), 0u) << version.out;

  EXPECT_TRUE(registered("Wkdq"));
}

}  // namespace
