// Runs that could not do everything say so (exit 1, "FAILED", a log line),
// finish the other lists, and leave no list file missing; nothing in the
// desktop folder stalls a run; killed runs' temporaries go.
#include <sys/stat.h>

#include "RunFixture.h"
#include "outline/HandheldList.h"
#include "outline/PendingRebuilds.h"

namespace tolvex::testing {
namespace {

class HonestRunTest : public RunFixture {
 protected:
  // Tolvk-A (60 items) and Tolvk-B (3 items) in step, then an edit of each
  // on both sides.
  void twoListsEditedOnBothSides() {
    makeList("Tolvk-A", "a", 60);
    makeList("Tolvk-B", "b", 3);
    ASSERT_EQ(sync(), 0) << lastLog();
    editHandheld("Tolvk-A", 1, "a 0 handheld");
    editHandheld("Tolvk-B", 1, "b 0 handheld");
    editDesktop("Tolvk-A", [](ItemList& l) { retitle(l, "a 1", "a 1 desktop"); });
    editDesktop("Tolvk-B", [](ItemList& l) { retitle(l, "b 1", "b 1 desktop"); });
  }
  static std::vector<std::string> edited(const std::string& prefix, int count) {
    std::vector<std::string> out{prefix + " 0 handheld", prefix + " 1 desktop"};
    for (int i = 2; i < count; ++i) out.push_back(prefix + " " + std::to_string(i));
    return out;
  }
  void expectInStep(const std::string& name, const std::vector<std::string>& titles) {
    EXPECT_EQ(this->titles(name), titles) << name;
    EXPECT_EQ(desktopTitles(name), titles) << name;
  }
  static bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
};

struct FailureCase {
  const char* id;
  std::string faults;
  size_t fileLimit;  // the list file of Tolvk-A does not fit, that of Tolvk-B does
  const char* line;
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.id; }

class FailedListTest : public HonestRunTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailedListTest, FailsTheRunWhileTheOtherListsSync) {
  const FailureCase& c = GetParam();
  twoListsEditedOnBothSides();
  HotsyncOptions options;
  options.faults = c.faults;
  options.fileLimit = c.fileLimit;
  const HotsyncOutcome run = syncWith(options);
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_TRUE(has(run.output, "FAILED Tolvan (check logs)")) << run.output;
  EXPECT_TRUE(has(lastLog(), c.line)) << lastLog();
  expectInStep("Tolvk-B", edited("b", 3));
  EXPECT_TRUE(fs::exists(desktopFile("Tolvk-A")));
  // Nothing was lost: the next run brings Tolvk-A in step.
  ASSERT_EQ(sync(), 0) << lastLog();
  expectInStep("Tolvk-A", edited("a", 60));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FailedListTest,
    ::testing::Values(FailureCase{"DesktopSave", "", 12000, "# ERROR: Couldn't save updated list to desktop!\n"},
                      FailureCase{"HandheldRebuild", "SyncCreateDB:1", 0,
                                  "!   Couldn't update handheld. Skipping desktop save.\n"},
                      FailureCase{"HandheldReadWhole", "SyncReadRecordByIndex:3", 0,
                                  "!   Handheld list could not be read whole. Leaving both sides as they are.\n"}),
    [](const auto& info) { return std::string(info.param.id); });

TEST_F(HonestRunTest, UploadWhoseDesktopSaveFailsFailsTheRun) {
  std::vector<std::string> titles;
  newDesktop("Tolvk-C", [&](ItemList& l) {
    l.setUploadFile(1);
    for (int i = 0; i < 60; ++i) add(l, "c " + std::to_string(i)), titles.push_back("c " + std::to_string(i));
  });
  HotsyncOptions options;
  options.fileLimit = 12000;
  const HotsyncOutcome run = syncWith(options);
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_TRUE(has(lastLog(), "#   ERROR: Couldn't save record info to desktop.\n")) << lastLog();
  EXPECT_EQ(desktopList("Tolvk-C")->uploadFile(), 1);
  ASSERT_EQ(sync(), 0) << lastLog();
  expectInStep("Tolvk-C", titles);
}

// A list the handheld cannot hold is said so in plain words, and neither side
// changes.
TEST_F(HonestRunTest, ListTooLargeForTheHandheldChangesNothing) {
  const uint32_t created = makeList("Tolvk-L", "l", 2);
  auto list = std::make_unique<ItemList>();
  list->setHead(std::make_unique<ListNode>(0, list.get()));
  ListNode* last = list->head();
  for (int i = 1; i < 65535; ++i, last = last->next()) last->insertAfter(std::make_unique<ListNode>(0, list.get()));
  EXPECT_FALSE(rebuildHandheldList(env_, *list, entry("Tolvk-L")));
  EXPECT_TRUE(logHas("!   List too large for the handheld: 65535 items, the limit is 65,534 "
                     "(65,535 records with the list header).\n"))
      << log_.text();
  EXPECT_EQ(createDate("Tolvk-L"), created);
  EXPECT_FALSE(databaseExists(kTempDatabaseName));
  EXPECT_TRUE(readPendingRebuilds(desktop_).empty());
}

// Ctrl-C in the progress display: the lists not reached are named in the log
// and counted on the terminal, and the run fails.
TEST_F(HonestRunTest, CancelIsReportedWithTheListsNotSynchronized) {
  for (const char* name : {"Tolvk-A", "Tolvk-B", "Tolvk-C"}) {
    newDesktop(name, [](ItemList& l) {
      l.setUploadFile(1);
      for (int i = 0; i < 3000; ++i) add(l, "item " + std::to_string(i));
    });
  }
  bool sent = false;
  HotsyncOptions options;
  options.whileRunning = [&](pid_t pid) {
    if (!sent && has(slurp(desktop_ + "lastsync.txt"), "# [0] Tolvk-A:")) sent = kill(pid, SIGINT) == 0;
  };
  const HotsyncOutcome run = syncWith(options);
  ASSERT_TRUE(sent);
  EXPECT_EQ(run.exitCode, 1) << run.output;
  const std::string log = lastLog();
  const size_t at = log.find("# Cancelled by the user. ");
  ASSERT_NE(at, std::string::npos) << log;
  const int left = std::atoi(log.c_str() + at + 25);
  ASSERT_GE(left, 1);
  EXPECT_TRUE(has(run.output, "Tolvan: cancelled; " + std::to_string(left) + " lists not synchronized")) << run.output;
  EXPECT_TRUE(has(log, left == 2 ? "lists not synchronized:\n#   Tolvk-B\n#   Tolvk-C\n"
                                 : "lists not synchronized:\n#   Tolvk-C\n"))
      << log;
  EXPECT_FALSE(databaseExists("Tolvk-C"));
}

// Out of memory at any point of a run, in the conduit or in the host: the
// run says so and exits 1 (or finishes without its summary), and never dies
// of it; the next run brings both sides in step with every edit. The limit
// climbs from too little to load the program until runs finish again.
TEST_F(HonestRunTest, OutOfMemoryAnywhereIsReportedAndLosesNothing) {
  if (std::getenv("TOLVEX_SANITIZED")) GTEST_SKIP() << "the sanitizers take more address space than any limit here";
  constexpr int kItems = 5000;
  makeList("Tolvk-A", "a", kItems);
  ASSERT_EQ(sync(), 0) << lastLog();
  editHandheld("Tolvk-A", 1, "a 0 handheld");
  editDesktop("Tolvk-A", [](ItemList& l) { retitle(l, "a 1", "a 1 desktop"); });
  SyncHostDetach();
  const std::vector<fs::path> parts{image_, root_ / "home", desktop_};
  const fs::path saved = root_ / "saved";
  fs::create_directories(saved);
  for (size_t i = 0; i < parts.size(); ++i) fs::copy(parts[i], saved / std::to_string(i), fs::copy_options::recursive);
  int failed = 0, finishedInARow = 0;
  for (size_t kilobytes = 8 << 10; kilobytes < 512 << 10 && finishedInARow < 3; kilobytes += 512) {
    for (size_t i = 0; i < parts.size(); ++i) {
      fs::remove_all(parts[i]);
      fs::copy(saved / std::to_string(i), parts[i], fs::copy_options::recursive);
    }
    ASSERT_EQ(SyncHostAttach(image_.c_str()), 0);
    HotsyncOptions options;
    options.memoryLimit = kilobytes << 10;
    const HotsyncOutcome run = syncWith(options);
    // 127: the program could not even be loaded.
    ASSERT_TRUE(run.exitCode == 0 || run.exitCode == 1 || run.exitCode == 127) << kilobytes << " KB\n" << run.output;
    EXPECT_FALSE(has(run.output, "terminate called")) << run.output;
    failed += run.exitCode == 1;
    finishedInARow = run.exitCode == 0 ? finishedInARow + 1 : 0;
    ASSERT_EQ(sync(), 0) << kilobytes << " KB\n" << lastLog();
    expectInStep("Tolvk-A", edited("a", kItems));
    SyncHostDetach();
  }
  EXPECT_GT(failed, 0);
  EXPECT_EQ(finishedInARow, 3);
  ASSERT_EQ(SyncHostAttach(image_.c_str()), 0);
}

// Temporary files of runs that were killed are removed with a line; files of
// a running process and files not of this program stay.
TEST_F(HonestRunTest, TemporariesOfKilledRunsAreRemoved) {
  makeList("Tolvk-A", "a", 2);
  std::fflush(nullptr);
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  const std::string dead = std::to_string(gone), alive = std::to_string(getpid());
  const std::vector<std::string> removed{desktop_ + ".Tolvk-A.XML.tmp" + dead + ".0",
                                         desktop_ + ".TolvanPending.txt.tmp" + dead + ".3",
                                         image_ + "/.Tolvk-A.pdb.tmp" + dead};
  const std::vector<std::string> kept{desktop_ + ".Tolvk-A.XML.tmp" + alive + ".0",
                                      desktop_ + ".notes.txt.tmp" + dead + ".0", image_ + "/.other.tmp" + dead};
  for (const auto& path : removed) writeFile(path, "partial");
  for (const auto& path : kept) writeFile(path, "partial");
  const HotsyncOutcome run = syncWith({});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  for (const auto& path : removed) EXPECT_FALSE(fs::exists(path)) << path;
  for (const auto& path : kept) EXPECT_TRUE(fs::exists(path)) << path;
  EXPECT_TRUE(has(lastLog(), "# Removed .Tolvk-A.XML.tmp" + dead + ".0, left by an interrupted run.\n")) << lastLog();
  EXPECT_TRUE(has(run.output, ".Tolvk-A.pdb.tmp" + dead + ": removed, left by an interrupted run")) << run.output;
}

// Names and files in the desktop folder that must not stall or derail a run.
TEST_F(HonestRunTest, DesktopFolderCannotStallTheRun) {
  makeList("Tolvk-A", "a", 2);
  ASSERT_EQ(mkfifo((desktop_ + "TolvanConfig.XML").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo((desktop_ + kPendingRebuildsFile).c_str(), 0644), 0);
  newDesktop("Tolvk-*Sync*", [](ItemList& l) {
    l.setUploadFile(1);
    add(l, "no list");
  });
  HotsyncOptions options;
  options.timeoutSeconds = 60;
  const HotsyncOutcome run = syncWith(options);
  EXPECT_EQ(run.exitCode, 0) << run.output << lastLog();
  EXPECT_TRUE(has(lastLog(), "# WARNING: Settings file TolvanConfig.XML not used; the defaults apply.\n"
                             "#   >> Couldn't open file '" + desktop_ + "TolvanConfig.XML': not a regular file\n"))
      << lastLog();
  EXPECT_TRUE(has(lastLog(), "# ERROR: List name 'Tolvk-*Sync*' holds a \"*\", kept for the conduit's temporary "
                             "database. Skipped.\n"))
      << lastLog();
  expectInStep("Tolvk-A", {"a 0", "a 1"});
  EXPECT_FALSE(databaseExists(kTempDatabaseName));
}

}  // namespace
}  // namespace tolvex::testing
