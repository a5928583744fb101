// Runs through the hotsync program with the built conduit library.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>

#include "platform/syncmgr/SyncMgr.h"
#include "tests/conduit/ConduitFixture.h"

namespace tolvex::test {
namespace {

const std::string kHotsync = TOLVEX_BINARY_DIR "/bin/hotsync";
const std::string kConduit = TOLVEX_BINARY_DIR "/lib/libTolvex2.so";

struct Outcome {
  int status = -1;
  std::string output;
};

class HotsyncTest : public ConduitTest {
 protected:
  void SetUp() override {
    ConduitTest::SetUp();
    SyncHostDetach();  // the program attaches the image itself
    ASSERT_NE(run("--help", "").output.find("sync"), std::string::npos) << "the hotsync program is not built";
  }

  Outcome run(const std::string& arguments, const std::string& faults) {
    std::string command = "HOTSYNC_HOME='" + home_ + "' ";
    if (!faults.empty()) command += "SYNCMGR_FAULTS='" + faults + "' ";
    command += "'" + kHotsync + "' " + arguments + " 2>&1";
    Outcome outcome;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return outcome;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.output.append(buffer, n);
    const int status = pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
  }

  Outcome sync(const std::string& type, const std::string& faults = "") {
    return run("sync --device '" + image_ + "' --desktop '" + desktop_ + "' --type " + type +
                   " --conduit '" + kConduit + "'",
               faults);
  }
};

TEST_F(HotsyncTest, SyncTypesReachTheConduit) {
  const struct { const char* option; const char* line; } cases[] = {
      {"fast", "# Syncronization strategy: 0 (eFast)\n#   Fast default strategy used: 1 (sync)\n"},
      {"slow", "# Syncronization strategy: 1 (eSlow)\n#   Slow default strategy used: 1 (sync)\n"},
      {"hhtopc", "# Syncronization strategy: 2 (eHHtoPC)\n# Lifespan"},
      {"pctohh", "# Syncronization strategy: 3 (ePCtoHH)\n# Lifespan"},
      {"install", "# Syncronization strategy: 4 (eInstall)\n# Lifespan"},
      {"backup", "# Syncronization strategy: 5 (eBackup)\n# Lifespan"},
      {"nothing", "# Syncronization strategy: 6 (eDoNothing)\n# Log open"},
      {"profileinstall", "# Syncronization strategy: 7 (eProfileInstall)\n# Lifespan"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = sync(c.option);
    EXPECT_EQ(outcome.status, 0) << c.option << outcome.output;
    EXPECT_NE(outcome.output.find("OK Tolvan (c2.2.0)"), std::string::npos) << outcome.output;
    EXPECT_NE(log().find(c.line), std::string::npos) << c.option << "\n" << log();
  }
}

// Without the handheld's database list every list would look desktop-only
// and be copied over its handheld twin: the run ends before any list.
TEST_F(HotsyncTest, DatabaseListFailureEndsTheRunBeforeAnyList) {
  ASSERT_EQ(SyncHostAttach(image_.c_str()), 0);
  createHandheldDatabase("Tolvk-A");
  const uint32_t created = handheldCreated("Tolvk-A");
  SyncHostDetach();
  const std::string upload =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<TolvexFile uniqueTime=\"1\" uploadFile=\"1\">\n"
      "<item uniqueID=\"0\"><title>desktop</title></item>\n</TolvexFile>\n";
  writeFile(desktop_ + "Tolvk-A.XML", upload);
  const Outcome outcome = sync("fast", "SyncReadDBList:1");
  EXPECT_EQ(outcome.status, 1) << outcome.output;
  EXPECT_NE(log().find("# Enumerating databases on handheld.\n"
                       "#   Couldn't read the list of databases on the handheld ("),
            std::string::npos)
      << log();
  EXPECT_EQ(log().find("# Syncronizing"), std::string::npos) << log();
  EXPECT_EQ(readFile(desktop_ + "Tolvk-A.XML"), upload);
  ASSERT_EQ(SyncHostAttach(image_.c_str()), 0);
  EXPECT_EQ(handheldCreated("Tolvk-A"), created);
  SyncHostDetach();
}

}  // namespace
}  // namespace tolvex::test
