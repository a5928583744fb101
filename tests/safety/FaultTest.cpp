// Runs against a read-only desktop folder, a desktop folder on a tiny
// filesystem that fills up mid-write, a read-only handheld image and a
// handheld that fails single Sync Manager calls: each run must end without a
// crash, say what went wrong and lose nothing.
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
  bool readOnly() { return mount(nullptr, dir_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0; }

 private:
  std::string dir_;
  bool mounted_ = false;
};

void expectCleanEnd(const RunResult& r) {
  EXPECT_FALSE(r.timedOut) << r.out;
  EXPECT_FALSE(r.signaled) << "signal " << r.signal << "\n" << r.out;
  EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 1) << r.exitCode << "\n" << r.out;
}

// Every list file left in the desktop folder must parse.
void expectDesktopFilesParse(const World& w) {
  for (const auto& [name, content] : snapshot(w.desktop)) {
    if (name.size() < 4 || name.substr(name.size() - 4) != ".XML" || name.find('/') != std::string::npos) continue;
    std::string message;
    EXPECT_TRUE(ListFileReader().read(w.desktop + "/" + name, message)) << name << ": " << message;
  }
}

// Puts lists on both sides with a first, unhindered run.
bool syncedExample(const World& w, std::vector<std::set<std::string>>& items, int lists, int tops = kTop) {
  EXPECT_EQ(w.initDevice().exitCode, 0);
  for (int l = 0; l < lists; ++l) writeList(w, l, items, tops);
  RunResult r = w.sync();
  if (w.pipelinePlaceholder() || w.copiesPlaceholder()) return false;
  EXPECT_EQ(r.exitCode, 0) << r.out;
  return true;
}

TEST(ReadOnlyDesktop, RunFailsAndLosesNothing) {
  World w;
  std::vector<std::set<std::string>> items;
  if (!syncedExample(w, items, 2)) GTEST_SKIP() << "run driver or list copies not in yet";
  std::vector<std::set<std::string>> fresh;
  writeList(w, 7, fresh);  // desktop-only list still to upload
  items.insert(items.end(), fresh.begin(), fresh.end());
  auto before = snapshot(w.desktop);
  ScopedMount ro(w.desktop);
  if (!ro.bindReadOnly()) GTEST_SKIP() << "cannot mount here";
  RunResult r = w.sync();
  expectCleanEnd(r);
  EXPECT_EQ(snapshot(w.desktop), before);
  EXPECT_FALSE(r.out.empty()) << "the HotSync log says nothing";
  EXPECT_EQ(lostItems(items, everythingIn(w)), 0);
}

TEST(FullDesktopDisk, WriteFailsMidFileAndLosesNothing) {
  World w;
  std::vector<std::set<std::string>> items;
  // About 100 KB of list: more than the folder can ever hold.
  if (!syncedExample(w, items, 1, 80)) GTEST_SKIP() << "run driver or list copies not in yet";
  std::string small = w.root() + "/small";
  mkdir(small.c_str(), 0755);
  ScopedMount tiny(small);
  if (!tiny.tmpfs("size=64k")) GTEST_SKIP() << "cannot mount here";
  RunResult r = w.hotsync({"sync", "--device", w.device, "--desktop", small, "--type", "slow"});
  expectCleanEnd(r);
  EXPECT_EQ(r.exitCode, 1) << "a desktop file that could not be written is reported as success:\n" << r.out;
  World view;  // the small folder seen as a desktop, for the parse check
  view.desktop = small;
  expectDesktopFilesParse(view);
  // The handheld keeps every item.
  std::string corpus;
  allFilesIn(w.device, corpus);
  EXPECT_EQ(lostItems(items, corpus), 0);
}

TEST(ReadOnlyImage, DesktopUploadSurvives) {
  World w;
  std::vector<std::set<std::string>> items;
  if (!syncedExample(w, items, 1)) GTEST_SKIP() << "run driver or list copies not in yet";
  std::vector<std::set<std::string>> fresh;
  writeList(w, 5, fresh);
  items.insert(items.end(), fresh.begin(), fresh.end());
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
  expectDesktopFilesParse(w);
  EXPECT_EQ(lostItems(items, everythingIn(w)), 0);
}

TEST(FullImageDisk, UploadThatDoesNotFitFailsTheRunAndLosesNothing) {
  World w;
  ScopedMount tiny(w.device);
  mkdir(w.device.c_str(), 0755);
  if (!tiny.tmpfs("size=64k")) GTEST_SKIP() << "cannot mount here";
  ASSERT_EQ(w.initDevice().exitCode, 0);
  std::vector<std::set<std::string>> items;
  writeList(w, 0, items, 80);  // about 800 records: more than the image can hold
  const std::string upload = readFile(w.desktop + "/Tolvk-Kill0.XML");
  RunResult r = w.sync();
  expectCleanEnd(r);
  if (w.pipelinePlaceholder()) GTEST_SKIP() << "run driver not in yet";
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_NE(readFile(w.home + "/hotsync.log").find("cannot be written"), std::string::npos);
  EXPECT_EQ(readFile(w.desktop + "/Tolvk-Kill0.XML"), upload);
  for (const auto& [name, content] : snapshot(w.device)) {
    if (name == ".hotsync.lock") continue;  // the run lock stays, by design
    EXPECT_NE(name.rfind('.', 0), 0u) << "temporary file left: " << name;
    if (name.size() < 4 || name.substr(name.size() - 4) != ".pdb") continue;
    std::string error, bytes = content.substr(2);
    EXPECT_TRUE(PdbFile::parse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &error))
        << name << ": " << error;
  }
  EXPECT_EQ(lostItems(items, everythingIn(w)), 0);
}

// One failing Sync Manager call at a time, in the calls a sync with edits on
// both sides makes; each run is followed by a normal one.
TEST(InjectedFaults, EachFailedCallLosesNothing) {
  World w;
  std::vector<std::set<std::string>> items;
  if (!syncedExample(w, items, 2)) GTEST_SKIP() << "run driver or list copies not in yet";
  std::vector<std::set<std::string>> fresh;
  writeList(w, 6, fresh);
  items.insert(items.end(), fresh.begin(), fresh.end());
  const std::string pristine = w.root() + "/pristine";
  ASSERT_EQ(std::system(("mkdir '" + pristine + "' && cp -a '" + w.home + "' '" + w.device + "' '" +
                         w.desktop + "' '" + pristine + "/'").c_str()), 0);
  const char* faults[] = {"SyncOpenDB:1",  "SyncOpenDB:2",        "SyncCreateDB:1",        "SyncCloseDB:1",
                          "SyncCloseDB:2", "SyncDeleteDB:1",      "SyncDeleteDB:2",        "SyncWriteRec:1",
                          "SyncWriteRec:100", "SyncReadRecordByIndex:3", "SyncReadDBList:1", "SyncCallRemoteModule:1",
                          "SyncCallRemoteModule:2", "SyncGetDBRecordCount:1", "SyncReadOpenDbInfo:1"};
  int injected = 0;
  for (const char* fault : faults) {
    SCOPED_TRACE(fault);
    ASSERT_EQ(std::system(("rm -rf '" + w.home + "' '" + w.device + "' '" + w.desktop + "' && cp -a '" +
                           pristine + "/.' '" + w.root() + "/'").c_str()), 0);
    RunResult r = w.hotsync({"sync", "--device", w.device, "--desktop", w.desktop}, 120,
                            {{"SYNCMGR_FAULTS", fault}});
    expectCleanEnd(r);
    ++injected;
    RunResult next = w.sync();
    expectCleanEnd(next);
    EXPECT_EQ(next.exitCode, 0) << next.out;
    expectDesktopFilesParse(w);
    EXPECT_EQ(lostItems(items, everythingIn(w)), 0);
    if (HasFailure()) break;
  }
  std::printf("faults injected: %d\n", injected);
}

}  // namespace
}  // namespace tolvex::safety
