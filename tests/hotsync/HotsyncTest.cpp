#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/condmgr/CondMgr.h"
#include "platform/hotsync/HostState.h"
#include "platform/syncmgr/SyncMgr.h"
#include "tests/hotsync/Shell.h"
#include "tests/os/TempHome.h"

namespace {

const std::string kHotsync = TOLVEX_BINARY_DIR "/bin/hotsync";
const std::string kConduit = TOLVEX_BINARY_DIR "/testlib/libtest_conduit.so";
const std::string kNotConduit = TOLVEX_BINARY_DIR "/testlib/libtest_not_conduit.so";

using Result = tolvex::testing::ShellResult;  // stdout and stderr together

Result hotsync(const std::string& args) { return tolvex::testing::shell(kHotsync + " " + args + " 2>&1 </dev/null"); }

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

size_t lineCount(const std::string& text) {
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

class HotsyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("TEST_CONDUIT_RESULT");
    device = home.file("device");
    desktop = home.file("desktop");
    std::filesystem::create_directories(desktop);
  }
  // One sync with the test conduit; answers the conduit's last "run.txt" line.
  std::string syncOnce(const std::string& extra = "", int expectedCode = 0) {
    Result r = hotsync("sync --device " + device + " --desktop " + desktop + " --conduit " + kConduit + " " + extra);
    EXPECT_EQ(r.code, expectedCode) << r.out;
    std::istringstream runs(readFile(desktop + "/run.txt"));
    std::string line, last;
    while (std::getline(runs, line)) last = line;
    return last;
  }
  void makeDevice() {
    Result r = hotsync("device init " + device + " --user Ann");
    ASSERT_EQ(r.code, 0) << r.out;
  }
  tolvex::testing::TempHome home;
  std::string device, desktop;
};

TEST_F(HotsyncTest, UsageErrorsGetOneLineAndExitTwo) {
  makeDevice();
  const char* bad[] = {
      "",
      "frobnicate",
      "sync --bogus",
      "sync --device",
      "sync --desktop /tmp",
      "sync --device /no/such/image --desktop /tmp",
      "configure --click abc",
      "configure --ok --cancel",
      "configure --device /no/such/image",
      "device",
      "device format /tmp",
      "device init",
      "device dump",
      "device dump /no/such/image",
  };
  for (const char* args : bad) {
    Result r = hotsync(args);
    EXPECT_EQ(r.code, 2) << args << ": " << r.out;
    EXPECT_EQ(lineCount(r.out), 1u) << args << ": " << r.out;
  }
  Result r = hotsync("sync --device " + device + " --desktop " + home.file("missing"));
  EXPECT_EQ(r.code, 2) << r.out;
  EXPECT_NE(r.out.find("missing"), std::string::npos);
  r = hotsync("sync --device " + device + " --desktop " + desktop + " --type sideways");
  EXPECT_EQ(r.code, 2) << r.out;
}

TEST_F(HotsyncTest, HelpAndVersionOnEveryCommand) {
  for (const char* command : {"", "sync ", "configure ", "device ", "device init ", "device dump "}) {
    Result help = hotsync(std::string(command) + "--help");
    EXPECT_EQ(help.code, 0) << command;
    EXPECT_NE(help.out.find("Usage: hotsync"), std::string::npos) << command << help.out;
    Result version = hotsync(std::string(command) + "--version");
    EXPECT_EQ(version.code, 0) << command;
    EXPECT_EQ(version.out.rfind("hotsync (Tolvex) ", 0), 0u) << command << version.out;
  }
}

TEST_F(HotsyncTest, DeviceInitThenDumpShowsDatabasesAndRecords) {
  makeDevice();
  ASSERT_EQ(SyncHostAttach(device.c_str()), 0);
  SyncCreateRecord create;
  std::memset(&create, 0, sizeof create);
  create.creator = SYNC_FOURCC('m', 'e', 'm', 'o');
  create.dbType = SYNC_FOURCC('D', 'A', 'T', 'A');
  std::strcpy(create.name, "MemoDB");
  ASSERT_EQ(SyncCreateDB(&create), 0);
  uint8_t bytes[] = {'h', 'e', 'l', 'l', 'o', 0x00, 0xFF};
  SyncRecordInfo record;
  std::memset(&record, 0, sizeof record);
  record.handle = create.handle;
  record.recSize = sizeof bytes;
  record.bufSize = sizeof bytes;
  record.buffer = bytes;
  ASSERT_EQ(SyncWriteRec(&record), 0);
  ASSERT_EQ(SyncCloseDB(create.handle), 0);
  SyncHostDetach();

  Result r = hotsync("device dump " + device);
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("user \"Ann\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Database \"MemoDB\" type DATA creator memo"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  1 record\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("68 65 6c 6c 6f 00 ff"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("hello.."), std::string::npos) << r.out;

  Result one = hotsync("device dump " + device + " MemoDB");
  EXPECT_EQ(one.code, 0) << one.out;
  Result none = hotsync("device dump " + device + " Nothing");
  EXPECT_EQ(none.code, 1) << none.out;
}

TEST_F(HotsyncTest, FirstRunRecordsTheHostAndRegistersTheDefaultConduit) {
  makeDevice();
  Result r = hotsync("device dump " + device);
  ASSERT_EQ(r.code, 0);
  char path[1024];
  int size = sizeof path;
  ASSERT_EQ(CmGetHotSyncExecPath(path, &size), CONDERR_NONE);
  EXPECT_TRUE(std::filesystem::equivalent(path, kHotsync)) << path;
  char library[1024], folder[64];
  ASSERT_EQ(CmGetConduitByCreator("Qzvm", library, sizeof library, folder, sizeof folder), CONDERR_NONE);
  EXPECT_EQ(std::string(library), std::filesystem::weakly_canonical(TOLVEX_BINARY_DIR "/lib/libTolvex2.so").string());

  // A removed registration is not forced back on the next start.
  ASSERT_EQ(CmRemoveConduitByCreatorID("Qzvm"), CONDERR_NONE);
  hotsync("device dump " + device);
  EXPECT_EQ(CmGetConduitByCreator("Qzvm", library, sizeof library, folder, sizeof folder), CONDERR_NOT_FOUND);
}

// State files that are not regular files (a FIFO stalls whoever opens it,
// a huge file fills memory) are neither read nor written, and stay. A run
// that would have to replace the settings they hold by defaults does not
// start; with --type, hotsync.ini decides nothing and the run only says that
// this desktop could not be noted.
TEST_F(HotsyncTest, StateFilesThatCannotBeUsedStallNothingAndStay) {
  makeDevice();
  syncOnce();
  const std::string deviceIni = readFile(device + "/device.ini");
  const std::vector<std::string> fifos{home.file("registry.ini"), home.file("conduits.ini"),
                                       home.file("hotsync.log"), device + "/device.ini"};
  for (const std::string& f : fifos) {
    std::filesystem::remove(f);
    ASSERT_EQ(::mkfifo(f.c_str(), 0600), 0) << f;
  }
  std::filesystem::resize_file(home.file("hotsync.ini"), 1ull << 32);
  const std::string sync = "timeout 30 " + kHotsync + " sync --device " + device + " --desktop " + desktop +
                           " --conduit " + kConduit;
  std::string runs = readFile(desktop + "/run.txt");
  Result r = tolvex::testing::shell(sync + " 2>&1 </dev/null");
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find(home.file("registry.ini") + " is not a regular file; it holds the conduit's settings"),
            std::string::npos) << r.out;
  EXPECT_EQ(readFile(desktop + "/run.txt"), runs);
  r = tolvex::testing::shell("timeout 30 " + kHotsync + " configure --conduit " + kConduit +
                             " --click 407 --ok 2>&1 </dev/null");
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find(home.file("registry.ini") + " is not a regular file;"), std::string::npos) << r.out;
  for (const std::string& f : fifos) EXPECT_TRUE(std::filesystem::is_fifo(f)) << f;

  std::filesystem::remove(home.file("registry.ini"));
  r = tolvex::testing::shell(sync + " --type fast 2>&1 </dev/null");
  EXPECT_NE(r.code, 124) << "stalled";
  EXPECT_TRUE(std::filesystem::is_fifo(device + "/device.ini"));
  std::filesystem::remove(device + "/device.ini");
  std::ofstream(device + "/device.ini") << deviceIni;
  runs = readFile(desktop + "/run.txt");
  r = tolvex::testing::shell(sync + " 2>&1 </dev/null");
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find(home.file("hotsync.ini") + " is larger than 4 MB; it holds this desktop's id"),
            std::string::npos) << r.out;
  EXPECT_EQ(readFile(desktop + "/run.txt"), runs);
  r = tolvex::testing::shell("timeout 30 " + kHotsync + " configure --ok 2>&1 </dev/null");
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find(home.file("conduits.ini") + " is not a regular file; the conduit registrations"),
            std::string::npos) << r.out;
  r = tolvex::testing::shell(sync + " --type fast 2>&1 </dev/null");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("this desktop's id could not be read or kept in " + home.file("hotsync.ini")),
            std::string::npos) << r.out;
  EXPECT_NE(readFile(desktop + "/run.txt"), runs);
  EXPECT_EQ(std::filesystem::file_size(home.file("hotsync.ini")), 1ull << 32);
}

TEST_F(HotsyncTest, SyncChoosesSlowThenFastAndLogsTheRun) {
  makeDevice();
  std::string first = syncOnce();
  EXPECT_EQ(first, "type=1 folder=" + desktop + "/ creator=Qzvm callback=1 user=Ann");
  std::string second = syncOnce();
  EXPECT_EQ(second.substr(0, 7), "type=0 ");

  // Another desktop synchronized the handheld meanwhile.
  ASSERT_EQ(SyncHostAttach(device.c_str()), 0);
  ASSERT_EQ(SyncHostSetLastDesktop(12345), 0);
  SyncHostDetach();
  EXPECT_EQ(syncOnce().substr(0, 7), "type=1 ");
  EXPECT_EQ(syncOnce("--type pctohh").substr(0, 7), "type=3 ");

  std::string log = home.read("hotsync.log");
  EXPECT_NE(log.find("--- HotSync "), std::string::npos);
  EXPECT_NE(log.find(" Test conduit: synchronized\n"), std::string::npos) << log;
  EXPECT_EQ(lineCount(log), 8u) << log;
}

TEST_F(HotsyncTest, ExitCodeFollowsTheConduitResult) {
  makeDevice();
  Result r = hotsync("sync --device " + device + " --desktop " + desktop + " --conduit " + kConduit);
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("Test conduit: synchronized"), std::string::npos) << r.out;
  ::setenv("TEST_CONDUIT_RESULT", "-13", 1);
  syncOnce("", 1);
  ::setenv("TEST_CONDUIT_RESULT", "5", 1);
  syncOnce("", 0);

  // An earlier run's log, left in the folder, says nothing of this one.
  std::ofstream(desktop + "/lastsync.txt") << "OK Tolvan (c2.2.0)\n";
  r = hotsync("sync --device " + device + " --desktop " + desktop + " --conduit " + kNotConduit);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("no OpenConduit"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("lastsync.txt"), std::string::npos) << r.out;
  r = hotsync("sync --device " + device + " --desktop " + desktop + " --conduit " + home.file("none.so"));
  EXPECT_EQ(r.code, 1) << r.out;
}

// A reader that has gone away (hotsync sync | head) takes what the run would
// print, not the run: it ends as its conduit answered.
TEST_F(HotsyncTest, RunOutlivesTheReaderOfItsOutput) {
  makeDevice();
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ::close(ends[0]);
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(ends[1], STDOUT_FILENO);
    ::dup2(ends[1], STDERR_FILENO);
    ::execl(kHotsync.c_str(), kHotsync.c_str(), "sync", "--device", device.c_str(), "--desktop", desktop.c_str(),
            "--conduit", kConduit.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(ends[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(home.read("hotsync.log").find(" Test conduit: synchronized\n"), std::string::npos);
}

TEST_F(HotsyncTest, ConfiguredActionDecidesDoNothingOnceOrAlways) {
  makeDevice();
  Result r = hotsync("configure --device " + device + " --conduit " + kConduit + " --click 407 --ok");
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("CfgConduit creator=Qzvm user=Ann permanent=0 temporary=0"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("HotSync action: Do nothing (next HotSync only)"), std::string::npos) << r.out;
  EXPECT_EQ(syncOnce().substr(0, 7), "type=6 ");
  EXPECT_EQ(syncOnce().substr(0, 7), "type=0 ");  // consumed; same desktop now

  r = hotsync("configure --conduit " + kConduit + " --click 407 --click 415 --ok");
  EXPECT_NE(r.out.find("HotSync action: Do nothing (always)"), std::string::npos) << r.out;
  EXPECT_EQ(syncOnce().substr(0, 7), "type=6 ");
  EXPECT_EQ(syncOnce().substr(0, 7), "type=6 ");

  // The dialog starts from the stored action; Cancel keeps it.
  r = hotsync("configure --conduit " + kConduit + " --click 407 --cancel");
  EXPECT_NE(r.out.find("permanent=6 temporary=6"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Cancelled"), std::string::npos) << r.out;
  EXPECT_EQ(syncOnce().substr(0, 7), "type=6 ");

  // The older entry: unticking "Do not synchronize" as the default.
  r = hotsync("configure --legacy --conduit " + kConduit + " --click 407 --click 415 --ok");
  EXPECT_NE(r.out.find("ConfigureConduit type=6"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("HotSync action: Synchronize (always)"), std::string::npos) << r.out;
  EXPECT_EQ(syncOnce().substr(0, 7), "type=0 ");

  // Without a script or a terminal the dialog is cancelled.
  r = hotsync("configure --conduit " + kConduit);
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("Cancelled"), std::string::npos) << r.out;
  r = hotsync("configure --conduit " + kNotConduit + " --ok");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("no CfgConduit"), std::string::npos) << r.out;
}

// A next-time-only action that stays stored would apply at every HotSync:
// one that cannot be cleared is not answered, and stays for a later try.
TEST_F(HotsyncTest, NextTimeOnlyActionIsUsedOnlyOnceCleared) {
  using tolvex::host::HostState;
  ASSERT_TRUE(HostState::setAction("Qzvm", {0, 6}));
  const std::string blocker = home.file("hotsync.ini.tmp" + std::to_string(::getpid()));
  std::filesystem::create_directories(blocker + "/x");  // the state file's save cannot go through
  EXPECT_FALSE(HostState::takeAction("Qzvm").has_value());
  EXPECT_EQ(HostState::action("Qzvm").nextTimeOnly, 6);
  std::filesystem::remove_all(blocker);
  EXPECT_EQ(HostState::takeAction("Qzvm"), 6);
  EXPECT_EQ(HostState::takeAction("Qzvm"), 0);
}

}  // namespace
