// Runs against a read-only desktop folder, a desktop folder on a tiny
// filesystem that fills up mid-write, a read-only handheld image and a
// handheld that fails single Sync Manager calls: each run must end without a
// crash, say what went wrong and keep every item in the live files of its list.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include "ListFixtures.h"
#include "SafetyHarness.h"
#include "platform/syncmgr/PdbFile.h"

namespace tolvex::safety {
namespace {

// A mount made for one test, undone when it goes out of scope. Declare it
// after the World so that it is undone first.
class ScopedMount {
 public:
  explicit ScopedMount(std::string dir) : dir_(std::move(dir)) {}
  ~ScopedMount() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  bool tmpfs(const std::string& options) {
    mounted_ = mount("tmpfs", dir_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    return mounted_;
  }
  bool bindReadOnly() {
    if (mount(dir_.c_str(), dir_.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
    mounted_ = true;
    return mount(nullptr, dir_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
  }

 private:
  std::string dir_;
  bool mounted_ = false;
};

void expectCleanEnd(const RunResult& r) {
  EXPECT_FALSE(r.timedOut) << r.out;
  EXPECT_FALSE(r.signaled) << "signal " << r.signal << "\n" << r.out;
  EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 1) << r.exitCode << "\n" << r.out;
}

// Every list file left in the folder must parse.
void expectListFilesParse(const std::string& folder) {
  for (const auto& [name, content] : snapshot(folder)) {
    if (!hasSuffix(name, ".XML") || name.find('/') != std::string::npos) continue;
    std::string message;
    EXPECT_TRUE(ListFileReader().read(folder + "/" + name, message)) << name << ": " << message;
  }
}

void expectKept(const World& w, const ListTitles& expected, Where where) {
  std::string report;
  EXPECT_EQ(missingItems(w, expected, where, &report), 0) << "missing:" << report;
}

TEST(ReadOnlyDesktop, RunFailsAndLosesNothing) {
  World w;
  ListTitles expected;
  syncedAndEditedOnBothSides(w, expected, 2);
  writeList(w, 7, expected);  // desktop-only list still to upload
  auto before = snapshot(w.desktop);
  ScopedMount ro(w.desktop);
  if (!ro.bindReadOnly()) GTEST_SKIP() << "cannot mount here";
  RunResult r = w.sync();
  expectCleanEnd(r);
  EXPECT_EQ(snapshot(w.desktop), before);
  EXPECT_FALSE(r.out.empty()) << "the HotSync log says nothing";
  expectKept(w, expected, Where::kEitherSide);
}

// The handheld's list, copied over the desktop ("HH over DT"), is written on
// a filesystem too small for it, where a file named "Backup" also stands in
// the backup folder's place: the write fails midway, the backup ring does not
// turn, and the file it was to replace must stand whole.
TEST(FullDesktopDisk, WriteThatFailsMidwayLeavesTheFileItReplacesWhole) {
  World w;
  ListTitles onHandheld, onDesktop;
  ASSERT_EQ(w.initDevice().exitCode, 0);
  writeList(w, 0, onHandheld, 80);  // about 100 KB of list: more than the folder can hold
  ASSERT_EQ(w.sync().exitCode, 0);
  RunResult chosen = w.hotsync({"configure", "--conduit", TOLVEX_BINARY_DIR "/lib/libTolvex2.so", "--click", "406",
                                "--click", "415", "--ok"});
  ASSERT_EQ(chosen.exitCode, 0) << chosen.out;
  const std::string small = w.root() + "/small";
  mkdir(small.c_str(), 0755);
  ScopedMount tiny(small);
  if (!tiny.tmpfs("size=64k")) GTEST_SKIP() << "cannot mount here";
  writeList(w, 0, onDesktop, 2, small + "/Tolvk-Kill0.XML");
  writeFile(small + "/Backup", "not a folder");
  const auto before = snapshot(small);
  RunResult r = w.hotsync({"sync", "--device", w.device, "--desktop", small, "--type", "fast"});
  expectCleanEnd(r);
  const std::string log = readFile(small + "/lastsync.txt");
  ASSERT_NE(log.find("#   Strategy: Copy HH file over DT\n"), std::string::npos) << log;
  ASSERT_NE(log.find("#   ERROR: Couldn't write XML!"), std::string::npos) << log;
  // The backup ring turns only for a file written whole.
  EXPECT_EQ(log.find("Backup"), std::string::npos) << log;
  EXPECT_EQ(r.exitCode, 1) << "a desktop file that could not be written is reported as success:\n" << r.out;
  auto after = snapshot(small);
  EXPECT_EQ(after["Tolvk-Kill0.XML"], before.at("Tolvk-Kill0.XML"));
  for (const auto& [name, content] : after) {
    if (name == ".hotsync.lock") continue;  // the run lock stays, by design
    EXPECT_NE(name.rfind('.', 0), 0u) << "temporary file left: " << name;
  }
  // The handheld keeps the list whole.
  const LiveList live = liveList(w, "Tolvk-Kill0");
  for (const auto& t : onHandheld["Tolvk-Kill0"]) EXPECT_TRUE(live.handheld.count(t)) << t;
}

TEST(ReadOnlyImage, DesktopUploadSurvives) {
  World w;
  ListTitles expected;
  syncedAndEditedOnBothSides(w, expected, 1);
  writeList(w, 5, expected);
  std::string upload = readFile(w.desktop + "/Tolvk-Kill5.XML");
  auto imageBefore = snapshot(w.device);
  ScopedMount ro(w.device);
  if (!ro.bindReadOnly()) GTEST_SKIP() << "cannot mount here";
  RunResult r = w.sync({"--type", "slow"});
  expectCleanEnd(r);
  // The conduit's rules let a list that failed to reach the handheld end the
  // conduit's run as a success; the host still fails the HotSync, and both
  // the write that failed and the outcome are in the HotSync log.
  EXPECT_EQ(r.exitCode, 1) << r.out;
  const std::string hotsyncLog = readFile(w.home + "/hotsync.log");
  EXPECT_NE(hotsyncLog.find(".pdb: cannot be written"), std::string::npos) << hotsyncLog;
  EXPECT_NE(hotsyncLog.find("changes could not be written to the handheld image"), std::string::npos)
      << hotsyncLog;
  EXPECT_EQ(snapshot(w.device), imageBefore);
  // The upload request is kept for the next run.
  EXPECT_EQ(readFile(w.desktop + "/Tolvk-Kill5.XML"), upload);
  expectListFilesParse(w.desktop);
  expectKept(w, expected, Where::kEitherSide);
}

TEST(FullImageDisk, UploadThatDoesNotFitFailsTheRunAndLosesNothing) {
  World w;
  ScopedMount tiny(w.device);
  mkdir(w.device.c_str(), 0755);
  if (!tiny.tmpfs("size=64k")) GTEST_SKIP() << "cannot mount here";
  ASSERT_EQ(w.initDevice().exitCode, 0);
  ListTitles expected;
  writeList(w, 0, expected, 80);  // about 800 records: more than the image can hold
  const std::string upload = readFile(w.desktop + "/Tolvk-Kill0.XML");
  RunResult r = w.sync();
  expectCleanEnd(r);
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_NE(readFile(w.home + "/hotsync.log").find("cannot be written"), std::string::npos);
  EXPECT_EQ(readFile(w.desktop + "/Tolvk-Kill0.XML"), upload);
  for (const auto& [name, content] : snapshot(w.device)) {
    if (name == ".hotsync.lock") continue;  // the run lock stays, by design
    EXPECT_NE(name.rfind('.', 0), 0u) << "temporary file left: " << name;
    if (!hasSuffix(name, ".pdb")) continue;
    std::string error, bytes = content.substr(2);
    EXPECT_TRUE(PdbFile::parse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &error))
        << name << ": " << error;
  }
  expectKept(w, expected, Where::kEitherSide);
}

// One failing Sync Manager call at a time, in a run whose every list is
// edited on both sides, so that the reads, the rebuild, the rename and the
// desktop rewrite all run under it. Each fault must fire (the stand-in says
// so) and show in the log; afterwards every item is in the live files of its
// list, and a plain run brings each list onto both sides.
struct FaultCase {
  const char* fault;
  const char* proof;  // a line of lastsync.txt or of the run's output that shows the run met the failure
  int exitCode;       // of the faulted run: 1 when it left a list out of step, 0 when it recovered
};

// Lists Tolvk-Kill0 and Tolvk-Kill1 are merged and rebuilt in turn (calls
// 1 and 2 of the module are its version and encoding, 3 and 4 the renames),
// then the desktop-only Tolvk-Kill2 is uploaded (create 3, rename 5).
const FaultCase kFaults[] = {
    {"SyncRegisterConduit:1", "failed: it could not register with the Sync Manager", 1},
    {"SyncGetAPIVersion:1", "# SyncMgr API version: indeterminate\n", 0},
    {"SyncReadUserID:2", "# FAILED: Couldn't read hotsync ID!\n", 1},
    {"SyncCallRemoteModule:1", "# ERROR: CallModule GetVersion(0x40ff)\n", 1},
    {"SyncCallRemoteModule:2", "# ERROR: Couldn't get character encoding: 40ff\n", 0},
    {"SyncReadSingleCardInfo:1", "#   Couldn't get card info!\n", 1},
    // Without the handheld's lists every list would look desktop-only: the
    // run ends before any list.
    {"SyncReadDBList:1", "#   Couldn't read the list of databases on the handheld (16639 40ff)!\n", 1},
    // From here on a list left out of step fails the run; the next run
    // brings it in step.
    {"SyncOpenDB:3", "#   ERROR: Cannot Open DB (16639 40ff)\n", 1},
    {"SyncGetDBRecordCount:1", "#   ERROR: Cannot determine number of records!\n", 1},
    {"SyncReadRecordByIndex:3", "!   Handheld list could not be read whole. Leaving both sides as they are.\n", 1},
    // The list's database stays open, so it cannot be deleted: the new one is
    // dropped and both sides are left for the next run.
    {"SyncCloseDB:1", "#   ERROR: Couldn't delete original file (", 1},
    {"SyncCreateDB:1", "#   ERROR: Cannot create Tolvk-*Sync* DB! 16639 40ff\n", 1},
    // Without its date the new database could not be told from another.
    {"SyncReadOpenDbInfo:1", "#   ERROR: Couldn't pick up unique value. Continuing.\n", 1},
    {"SyncOpenDB:5", "#   ERROR: Couldn't re-open database for write (16639 40ff)\n", 1},
    {"SyncWriteRec:1", "#   ERROR: Couldn't add header record (16639 40ff)\n", 1},
    {"SyncWriteRec:40", "#   ERROR: Couldn't normalize rec 16639 40ff\n", 1},
    {"SyncGetDBRecordCount:40", "#   ERROR: Not every item could be written to Tolvk-*Sync*.\n", 1},
    {"SyncCloseDB:3", "#   ERROR: Couldn't save database Tolvk-*Sync* (16639 40ff)\n", 1},
    {"SyncDeleteDB:2", "#   ERROR: Couldn't delete original file (16639 40ff). Keeping it; the new one is dropped.\n", 1},
    // The list waits under the temporary name until the next run.
    {"SyncCallRemoteModule:3", "#   ERROR: CallModule RenameDB(0x40ff)\n", 1},
    {"SyncCreateDB:3", "!   Couldn't create the list on handheld. Desktop file left as it was.\n", 1},
    {"SyncCallRemoteModule:5", "#   ERROR: CallModule RenameDB(0x40ff)\n", 1},
    {"SyncHostSetLastDesktop:1", "the handheld image could not record this desktop", 0},
};

TEST(InjectedFaults, EachFiresAndLosesNothing) {
  World w;
  ListTitles expected;
  syncedAndEditedOnBothSides(w, expected, 2, 8);
  writeList(w, 2, expected, 8);
  Pristine pristine(w);
  int fired = 0;
  for (const FaultCase& c : kFaults) {
    SCOPED_TRACE(c.fault);
    pristine.restore();
    RunResult r = w.hotsync({"sync", "--device", w.device, "--desktop", w.desktop}, 120,
                            {{"SYNCMGR_FAULTS", c.fault}});
    expectCleanEnd(r);
    const bool fault = r.out.find(std::string("syncmgr: injected fault: ") + c.fault + "\n") != std::string::npos;
    fired += fault;
    EXPECT_TRUE(fault) << "the fault never fired:\n" << r.out;
    EXPECT_TRUE(w.lastLog().find(c.proof) != std::string::npos || r.out.find(c.proof) != std::string::npos)
        << "no \"" << c.proof << "\" in the log:\n" << w.lastLog() << r.out;
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
    expectKept(w, expected, Where::kEitherSide);
    RunResult next = w.sync();
    expectCleanEnd(next);
    EXPECT_EQ(next.exitCode, 0) << next.out << w.lastLog();
    expectListFilesParse(w.desktop);
    expectKept(w, expected, Where::kBothSides);
    if (HasFailure()) break;
  }
  std::printf("faults fired: %d of %zu\n", fired, std::size(kFaults));
  RecordProperty("faultsFired", fired);
  EXPECT_EQ(fired, int(std::size(kFaults)));
}

}  // namespace
}  // namespace tolvex::safety
