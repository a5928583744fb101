// What `hotsync sync` says a run did, on the shipped example: one line per
// list with its figures, the changed image files and the log, as text, as
// JSON and not at all (--quiet); and a failed run told in words.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/hotsync/RunSummary.h"
#include "tests/hotsync/Shell.h"

namespace {

namespace fs = std::filesystem;

const std::string kHotsync = TOLVEX_BINARY_DIR "/bin/hotsync";

using tolvex::testing::slurp;

class RunSummaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tolvex-summary-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    for (const char* part : {"handheld", "desktop", "home"})
      fs::copy(fs::path(TOLVEX_SOURCE_DIR "/examples") / part, root_ / part, fs::copy_options::recursive);
  }
  void TearDown() override { fs::remove_all(root_); }
  // stdout only, unless `stderrToo`.
  tolvex::testing::ShellResult sync(const std::string& options, bool stderrToo = false) {
    return tolvex::testing::shell("HOTSYNC_HOME=" + (root_ / "home").string() + " " + kHotsync +
                                  " sync --device=" + (root_ / "handheld").string() + " --desktop " +
                                  (root_ / "desktop").string() + " " + options + (stderrToo ? " 2>&1" : " 2>/dev/null") +
                                  " </dev/null");
  }
  fs::path root_;
};

TEST_F(RunSummaryTest, TheExampleIsAFastMergeAndEachListSaysWhatItDid) {
  auto r = sync("");
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(slurp(root_ / "desktop" / "lastsync.txt").find("Synchronize (Config: Fast"), std::string::npos);
  const std::string expected =
      "\nTolvk-Archive: skipped: the handheld list does not ask to be synchronized (its sync request flag is clear)\n"
      "Tolvk-Garden: merged; handheld 1 added, 1 changed, 2 moved; desktop 1 added, 1 changed, 1 deleted\n"
      "Tolvk-Reading: copied to the desktop; desktop 4 added\n"
      "Tolvk-Trip: copied to the handheld; handheld 4 added\n"
      "Handheld image files changed: Tolvk-Garden.pdb, Tolvk-Reading.pdb, Tolvk-Trip.pdb (added)\n"
      "Log: " + (root_ / "desktop" / "lastsync.txt").string() + "\n";
  EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;

  // A second run finds nothing to do; --quiet says nothing at all.
  r = sync("--quiet", true);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "");
  r = sync("--json");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out.rfind("{\"result\":\"ok\",\"exitCode\":0,\"dryRun\":false,\"lists\":[", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("{\"name\":\"Tolvk-Garden\",\"action\":\"merged\",\"reason\":null,"
                       "\"handheld\":{\"added\":0,\"changed\":0,\"moved\":0,\"deleted\":0},"
                       "\"desktop\":{\"added\":0,\"changed\":0,\"moved\":0,\"deleted\":0}}"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"imageFiles\":[],"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"hotsyncLog\":[\"OK Tolvan (c2.2.0)\"],\"errors\":[]}\n"), std::string::npos) << r.out;
}

// The desktop's Garden was deleted and made anew under the same name: the
// handheld's list wins by default, every desktop item it does not hold comes
// along, and the merge engine's warnings about it are no failure.
TEST_F(RunSummaryTest, TwoListsUnderOneNameAreMergedKeepingTheLosersWork) {
  const fs::path garden = root_ / "desktop" / "Tolvk-Garden.XML";
  std::string text = slurp(garden);
  const std::string stamp = "uniqueTime=\"3782844800\"";
  ASSERT_NE(text.find(stamp), std::string::npos);
  text.replace(text.find(stamp), stamp.size(), "uniqueTime=\"3782844900\"");
  std::ofstream(garden, std::ios::binary) << text;
  auto r = sync("");
  ASSERT_EQ(r.code, 0) << r.out;
  // Weeding too (deleted on the handheld, its record left without data),
  // and the desktop's Tomatoes beside the handheld's renamed one.
  EXPECT_NE(r.out.find("Tolvk-Garden: merged; handheld 5 added;"), std::string::npos) << r.out;
  const std::string log = slurp(root_ / "desktop" / "lastsync.txt");
  EXPECT_NE(log.find("Keep new or edited item: Garlic\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Keep item the other side does not hold: Weeding\n"), std::string::npos) << log;
  auto dump = tolvex::testing::shell(kHotsync + " device dump " + (root_ / "handheld").string() + " Tolvk-Garden");
  EXPECT_NE(dump.out.find("Garlic"), std::string::npos) << dump.out;
}

TEST_F(RunSummaryTest, AFailedRunSaysWhatFailedInWordsAndWhereTheLogIs) {
  std::string ini = slurp(root_ / "handheld" / "device.ini");
  ini.replace(ini.find("installed=yes"), 13, "installed=no");
  std::ofstream(root_ / "handheld" / "device.ini") << ini;
  auto r = sync("", true);
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_EQ(r.out.find("ended with"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("failed: the handheld sync module could not be called"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("its log: " + (root_ / "desktop" / "lastsync.txt").string()), std::string::npos) << r.out;
  const std::string hotsyncLog = slurp(root_ / "home" / "hotsync.log");
  EXPECT_NE(hotsyncLog.find("HotSync: FAILED: the conduit "), std::string::npos) << hotsyncLog;
  // The lists the run never reached are said to be so, and nothing changed.
  EXPECT_NE(r.out.find("Tolvk-Garden: not synchronized: the HotSync stopped before this list"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Handheld image files changed: none"), std::string::npos) << r.out;
}

// A rebuilt list whose rename fails waits under a temporary name for the
// next run: the list fails, and its items are not counted as deleted.
TEST_F(RunSummaryTest, AListLeftUnderItsTemporaryNameIsNotCountedAsDeleted) {
  ASSERT_EQ(sync("--quiet").code, 0);
  std::string garden = slurp(root_ / "desktop" / "Tolvk-Garden.XML");
  garden.insert(garden.find("</TolvexFile>"), "<item uniqueID=\"0\" dirtyContent=\"1\"><title>New</title></item>\n");
  std::ofstream(root_ / "desktop" / "Tolvk-Garden.XML") << garden;
  // Calls 1 and 2 ask the module's version; call 3 renames the rebuilt Garden.
  setenv("SYNCMGR_FAULTS", "SyncCallRemoteModule:3", 1);
  auto r = sync("");
  unsetenv("SYNCMGR_FAULTS");
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find("Tolvk-Garden: failed: CallModule RenameDB(0x40ff)\n"), std::string::npos) << r.out;
  // The words of the failure name it, not an export that failed before it.
  fs::remove(root_ / "handheld" / "TolvTags.pdb");
  garden = slurp(root_ / "desktop" / "Tolvk-Garden.XML");
  garden.insert(garden.find("</TolvexFile>"), "<item uniqueID=\"0\" dirtyContent=\"1\"><title>Newer</title></item>\n");
  std::ofstream(root_ / "desktop" / "Tolvk-Garden.XML") << garden;
  setenv("SYNCMGR_FAULTS", "SyncCallRemoteModule:3", 1);
  r = sync("", true);
  unsetenv("SYNCMGR_FAULTS");
  EXPECT_NE(r.out.find("a list could not be brought in sync (CallModule RenameDB(0x40ff))"), std::string::npos)
      << r.out;
}

// The handheld's Garden is damaged (two records share one unique ID) but its
// header still names it: whichever way the list would go, it fails in words,
// its two files stay as they were (no second database beside the damaged
// one), and the other lists are synchronized all the same.
TEST_F(RunSummaryTest, ADamagedHandheldListFailsAndBothItsFilesStay) {
  struct Case {
    const char* name;
    const char* click;     // of `hotsync configure`, or ""
    bool upload;           // the desktop file asks to be put on the handheld
    const char* summary;   // of the list
    const char* proof;     // in the conduit's log
  };
  const Case cases[] = {
      {"merge", "", false, "Tolvk-Garden: failed: its handheld database is damaged or unreadable; both sides left",
       "!   Handheld database Tolvk-Garden cannot be read. Leaving both sides as they are.\n"},
      {"upload", "", true, "Tolvk-Garden: failed: its handheld database is damaged or unreadable; both sides left",
       "!   Handheld database Tolvk-Garden cannot be read. Leaving both sides as they are.\n"},
      {"desktop copied over", "405", false, "Tolvk-Garden: failed: Couldn't delete original file (16393 4009)",
       "!   Couldn't create the list on handheld. Desktop file left as it was.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    const fs::path damaged = root_ / "handheld" / "Tolvk-Garden.pdb", desktop = root_ / "desktop" / "Tolvk-Garden.XML";
    std::string bytes = slurp(damaged);
    bytes.replace(78 + 2 * 8 + 5, 3, bytes.substr(78 + 8 + 5, 3));  // record 2 takes record 1's ID
    std::ofstream(damaged, std::ios::binary) << bytes;
    std::string text = slurp(desktop);
    if (c.upload) text.replace(text.find("uploadFile=\"0\""), 14, "uploadFile=\"1\"");
    std::ofstream(desktop, std::ios::binary) << text;
    const std::string configure = std::string(" configure --click ") + c.click + " --ok >/dev/null 2>&1 </dev/null";
    if (*c.click) {
      ASSERT_EQ(tolvex::testing::shell("HOTSYNC_HOME=" + (root_ / "home").string() + " " + kHotsync + configure).code, 0);
    }

    auto r = sync("");
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find(c.summary), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Tolvk-Trip: copied to the handheld; handheld 4 added"), std::string::npos) << r.out;
    EXPECT_EQ(slurp(damaged), bytes);
    EXPECT_EQ(slurp(desktop), text);
    for (const auto& entry : fs::directory_iterator(root_ / "handheld")) {
      const std::string file = entry.path().filename().string();
      EXPECT_TRUE(file.find("Garden") == std::string::npos || file == "Tolvk-Garden.pdb") << file;
      EXPECT_EQ(file.find("*Sync*"), std::string::npos);
    }
    EXPECT_NE(slurp(root_ / "home" / "hotsync.log").find("Tolvk-Garden.pdb: record 2 repeats unique ID"),
              std::string::npos);
    EXPECT_NE(slurp(root_ / "desktop" / "lastsync.txt").find(c.proof), std::string::npos);
  }
}

// A damaged "Tolvk-*Sync*" can be neither deleted nor renamed: each list
// that needs a rebuild fails and names it, and its file stays.
TEST_F(RunSummaryTest, ADamagedTemporaryDatabaseIsNamedAndStays) {
  std::string bytes = slurp(root_ / "handheld" / "Tolvk-Garden.pdb");
  bytes.replace(0, 32, std::string("Tolvk-*Sync*").append(20, '\0'));
  bytes.replace(78 + 2 * 8 + 5, 3, bytes.substr(78 + 8 + 5, 3));  // record 2 takes record 1's ID
  const fs::path temporary = root_ / "handheld" / "Tolvk-*Sync*.pdb";
  std::ofstream(temporary, std::ios::binary) << bytes;
  auto r = sync("");
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find("Tolvk-Trip: failed: Handheld database Tolvk-*Sync* cannot be opened (16393 4009); no list "
                       "can be rebuilt on the handheld while it is there."),
            std::string::npos)
      << r.out;
  EXPECT_EQ(slurp(temporary), bytes);
}

TEST_F(RunSummaryTest, ARelativeDesktopFolderIsKeptAsAnAbsolutePath) {
  auto r = tolvex::testing::shell("cd " + root_.string() + " && HOTSYNC_HOME=home " + kHotsync +
                                  " sync --device handheld --desktop=./desktop --quiet 2>&1");
  ASSERT_EQ(r.code, 0) << r.out;
  const std::string registry = slurp(root_ / "home" / "registry.ini");
  EXPECT_NE(registry.find("Flathead=" + (root_ / "desktop").string() + "/\n"), std::string::npos) << registry;
}

TEST_F(RunSummaryTest, AFolderOfPdbFilesIsNotTakenForAnImage) {
  fs::remove(root_ / "handheld" / "device.ini");
  auto r = sync("", true);
  EXPECT_EQ(r.code, 2) << r.out;
  EXPECT_NE(r.out.find("to make one from its .pdb files: hotsync device init IMAGE --from " +
                       (root_ / "handheld").string()),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("syncmgr"), std::string::npos) << r.out;
}

}  // namespace

namespace tolvex::host {
namespace {

// The log is read in blocks: what it says of each list holds wherever its
// lines fall, however long they are, with "\r\n" endings and no last "\n".
TEST(RunLogReading, WhatTheLogSaysOfEachListHoldsAcrossBlocksAndLongLines) {
  char pattern[] = "/tmp/tolvex-runlog-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string path = std::string(pattern) + "/lastsync.txt";
  FolderSnapshot before;
  for (const char* name : {"Tolvk-A", "Tolvk-B", "Tolvk-C", "Tolvk-D", "Tolvk-E", "Tolvk-F", "Tolvk-G", "Tolvk-H"})
    before.lists[name];
  // Titles and paths in a list's lines hold any words; the merge engine's own
  // lines, and a backup that could not be kept, neither skip nor fail a list.
  const std::string quoting =
      "#   Backup: /home/ann/Skipper/ERRORS/Tolvk-F.XML to /home/ann/Skipper/ERRORS/Backup/Tolvk-F.0\n"
      "#     Found dirty item: Skipping rope\n#       Item on handheld only: ERROR in the invoice\n"
      "#   WARNING: Left out 1 characters that XML cannot hold, from 1 item(s); the first is 7 'ERROR Skipped.'\n"
      "#       ERROR: Bad referent. Copy to end.\n#       Configured settings don't assist. Skipping.\n"
      "#   ERROR: Couldn't create Backup directory (17).\n#   ERROR: Couldn't backup: /a/Tolvk-F.XML to /a/Backup/x (20)\n";
  for (size_t filler : {0u, 1000u, 9000u, 70000u}) {
    const std::string fill(filler % 300 + 10, 'x'), lines(filler * 40, '#');
    std::string log = "# Log started 1\r\n# ERROR: Filename 'Tolvk-H.XML' is too long!\n"
                      "# [0] Tolvk-A: Synchronize (Config: Slow HH over DT)\r\n";
    for (size_t i = 0; i < filler; ++i) log += "#     Found dirty item: Sync " + fill + "\n";
    log += "#   SKIPPING " + lines + "\n";  // longer than a block once the filler is large
    log += "# [1] Tolvk-B: Synchronize (Config: Fast HH over DT)\n#   Strategy: Copy DT file over HH\n";
    log += "# Tolvk-C: File is open in Tolvan Desktop. Skipped.\n";
    log += "# [2] Tolvk-D: Synchronize (Config: Slow HH over DT)\n# Log open for x\n!  not in a list\n";
    log += "# [3] Tolvk-F: Synchronize (Config: Slow Keep/Duplicate)\n" + quoting;
    log += "# [4] Tolvk-G: Synchronize (Config: Slow Keep/Duplicate)\n" + quoting +
           (filler / 1000 % 2 ? "#   ERROR: Cannot create X\n" : "#   ERROR: Skipped DB; not enough records!\n");
    log += "# [5] Tolvk-E: Synchronize (Config: Fast HH over DT)\n#   ERROR: the disk is full";
    std::ofstream(path, std::ios::binary) << log;
    RunSummary s = summarizeRun(before, FolderSnapshot(), path, false);
    ASSERT_EQ(s.lists.size(), 8u);
    const std::string at = "filler " + std::to_string(filler);
    EXPECT_EQ(s.lists[0].action, ListOutcome::kSkipped) << at;
    EXPECT_EQ(s.lists[1].action, ListOutcome::kCopiedToHandheld) << at;
    EXPECT_EQ(s.lists[2].action, ListOutcome::kSkipped) << at;
    EXPECT_EQ(s.lists[3].action, ListOutcome::kMerged) << at;
    EXPECT_TRUE(s.lists[3].slowMerge) << at;
    EXPECT_EQ(s.lists[4].action, ListOutcome::kFailed) << at;
    EXPECT_EQ(s.lists[4].reason, "the disk is full") << at;
    EXPECT_EQ(s.lists[5].action, ListOutcome::kMerged) << at;
    EXPECT_EQ(s.lists[6].action, ListOutcome::kFailed) << at;
    EXPECT_EQ(s.lists[6].reason, filler / 1000 % 2 ? "Cannot create X" : "the handheld database holds no list header") << at;
    EXPECT_EQ(s.lists[7].action, ListOutcome::kSkipped) << at;  // refused while pairing
    EXPECT_EQ(s.lists[7].reason, "its name is too long for a handheld list") << at;
  }
  fs::remove_all(pattern);
}

}  // namespace
}  // namespace tolvex::host
