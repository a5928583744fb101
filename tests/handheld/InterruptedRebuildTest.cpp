// A run cut short while a rebuilt list waits under the temporary name, its
// old database already deleted and its desktop file not yet saved: the list
// must come back, whether another rebuild or the next run meets it first.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <functional>

#include "RunFixture.h"
#include "desktop/XmlFile.h"
#include "conduit/RegistryStore.h"
#include "outline/HandheldList.h"
#include "outline/ListCopy.h"
#include "outline/PendingRebuilds.h"

namespace tolvex::testing {
namespace {

class InterruptedRebuildTest : public ImageFixture {
 protected:
  // Tolvk-W on both sides in step, then a rebuild holding an item that
  // exists nowhere else, stopped between the delete and the rename.
  void interruptedRebuild() {
    makeDatabase("Tolvk-W", {headerRecord(), itemRecord("A", kHasNextSibling), itemRecord("B", 0)});
    ASSERT_EQ(copyHandheldToDesktop(env_, entry("Tolvk-W"), desktop_), 0);
    desktopBefore_ = slurp(desktopFile("Tolvk-W"));
    auto list = desktopList("Tolvk-W");
    list->setHeaderRecord(headerRecord().bytes.data(), kListHeaderSize);
    auto added = std::make_unique<ListNode>(0, list.get());
    added->setTitle("only in the rebuild");
    list->head()->next()->insertAfter(std::move(added));
    faults("SyncCallRemoteModule:1");  // the rename stands for the moment the run ended
    ASSERT_TRUE(rebuildHandheldList(env_, *list, entry("Tolvk-W")));
    ::unsetenv("SYNCMGR_FAULTS");
    ASSERT_EQ(SyncHostAttach(image_.c_str()), 0);
    ASSERT_FALSE(databaseExists("Tolvk-W"));
    ASSERT_EQ(readPendingRebuilds(desktop_).size(), 1u);
    log_.clear();
  }
  const std::vector<std::string> rebuilt_{"A", "B", "only in the rebuild"};
  std::string desktopBefore_;
};

TEST_F(InterruptedRebuildTest, AnotherRebuildPutsTheListBackFirst) {
  interruptedRebuild();
  makeDatabase("Tolvk-Other", {headerRecord(), itemRecord("X", 0)});
  auto other = std::make_unique<ItemList>();
  other->setHeaderRecord(headerRecord().bytes.data(), kListHeaderSize);
  other->setHead(std::make_unique<ListNode>(0, other.get()));
  other->head()->setTitle("Y");
  ASSERT_TRUE(rebuildHandheldList(env_, *other, entry("Tolvk-Other")));
  EXPECT_TRUE(logHas("# Put the list left by an interrupted rebuild back as Tolvk-W.\n")) << log_.text();
  EXPECT_EQ(titles("Tolvk-W"), rebuilt_);
  EXPECT_EQ(titles("Tolvk-Other"), std::vector<std::string>{"Y"});
  EXPECT_FALSE(databaseExists(kTempDatabaseName));
}

// The user made Tolvk-W anew on the handheld before the next run: that is
// not the database the rebuild replaced, and the temporary, which holds the
// only copy of the old list, stays until the new one is out of the way.
TEST_F(InterruptedRebuildTest, AListMadeAnewMeanwhileDoesNotCostTheRebuiltOne) {
  interruptedRebuild();
  makeDatabase("Tolvk-W", {headerRecord(), itemRecord("made anew", 0)});
  for (const char* unread : {"SyncReadOpenDbInfo:1", "SyncReadOpenDbInfo:2"}) {  // either date, unread
    faults(unread);
    EXPECT_FALSE(restoreLeftoverTemporary(env_, nullptr)) << unread;
    ::unsetenv("SYNCMGR_FAULTS");
    ASSERT_EQ(SyncHostAttach(image_.c_str()), 0);
    EXPECT_EQ(titles(kTempDatabaseName), rebuilt_) << unread;
  }
  EXPECT_FALSE(restoreLeftoverTemporary(env_, nullptr));
  EXPECT_TRUE(logHas("!   Tolvk-W was made on the handheld after a rebuild of that list was cut short; the rebuilt "
                     "list stays as Tolvk-*Sync* and no list is rebuilt until the new Tolvk-W is renamed or moved off "
                     "the handheld.\n"))
      << log_.text();
  EXPECT_EQ(titles(kTempDatabaseName), rebuilt_);
  ASSERT_EQ(SyncDeleteDB("Tolvk-W", 0), SYNCERR_NONE);  // the user moves it away
  EXPECT_TRUE(restoreLeftoverTemporary(env_, nullptr));
  EXPECT_EQ(titles("Tolvk-W"), rebuilt_);
}

TEST_F(InterruptedRebuildTest, NextRunPutsTheListBackAndFinishesIt) {
  interruptedRebuild();
  SyncHostDetach();
  const std::string sync = "HOTSYNC_HOME=" + (root_ / "home").string() + " " TOLVEX_BINARY_DIR "/bin/hotsync sync --device " +
                           image_ + " --desktop " + desktop_ + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(sync.c_str()), 0);
  const std::string log = slurp(desktop_ + "lastsync.txt");
  EXPECT_NE(log.find("# Put the list left by an interrupted rebuild back as Tolvk-W.\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Tolvk-W: Rebuild was interrupted. Copy from HH to DT.\n"), std::string::npos) << log;
  ASSERT_EQ(SyncHostAttach(image_.c_str()), 0);
  EXPECT_EQ(titles("Tolvk-W"), rebuilt_);
  EXPECT_FALSE(databaseExists(kTempDatabaseName));
  auto saved = desktopList("Tolvk-W");
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->head()->next()->next()->title(), "only in the rebuild");
  EXPECT_EQ(saved->uniqueTime(), createDate("Tolvk-W"));
  EXPECT_EQ(slurp(desktop_ + "Backup/Tolvk-W.0"), desktopBefore_);
  EXPECT_FALSE(fs::exists(desktop_ + kPendingRebuildsFile));

  // Both sides are one list again.
  SyncHostDetach();
  ASSERT_EQ(std::system(sync.c_str()), 0);
  EXPECT_NE(slurp(desktop_ + "lastsync.txt").find("# No changes were made. Natch.\n"), std::string::npos);
}

// The rename failed and then the note that keeps the temporary as this
// conduit's own could not be written (a full disk): the list's own note must
// stay, or the next run takes the temporary for a stranger's and the list is
// gone from the handheld.
TEST_F(InterruptedRebuildTest, ListNoteStaysWhenTheTemporarysNoteCannotBeWritten) {
  interruptedRebuild();
  auto list = desktopList("Tolvk-W");
  ASSERT_TRUE(list);
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit none{1, 1};  // no file can be written; one can still be removed
    setrlimit(RLIMIT_FSIZE, &none);
    _exit(settleRebuildNote(env_, "Tolvk-W", *list, false) ? 1 : 0);
  }
  int status = -1;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const std::vector<PendingRebuild> notes = readPendingRebuilds(desktop_);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].name, "Tolvk-W");
  SyncHostDetach();
  const std::string sync = "HOTSYNC_HOME=" + (root_ / "home").string() + " " TOLVEX_BINARY_DIR "/bin/hotsync sync --device " +
                           image_ + " --desktop " + desktop_ + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(sync.c_str()), 0);
  ASSERT_EQ(SyncHostAttach(image_.c_str()), 0);
  EXPECT_EQ(titles("Tolvk-W"), rebuilt_);
  EXPECT_FALSE(databaseExists(kTempDatabaseName));
}

// The desktop holds a title the handheld cannot (a snowman it shows as
// "?"); a run cut short at the rename, the desktop file untouched since: the
// next run copies the rebuilt list over the desktop file, and the title stays
// whole although the rebuild gave the item a new ID.
TEST_F(InterruptedRebuildTest, TheDesktopsFullTextsOutliveTheRebuildsNewIds) {
  makeDatabase("Tolvk-T", {headerRecord(), itemRecord("Snow ?", 0)});
  ASSERT_EQ(copyHandheldToDesktop(env_, entry("Tolvk-T"), desktop_), 0);
  auto list = desktopList("Tolvk-T");
  list->head()->setTitle("Snow \u2603");
  std::string message;
  ASSERT_EQ(ListFileWriter().write(*list, desktopFile("Tolvk-T"), message), 0);
  list = desktopList("Tolvk-T");
  list->setHeaderRecord(headerRecord().bytes.data(), kListHeaderSize);
  auto added = std::make_unique<ListNode>(0, list.get());
  added->setTitle("new");
  list->head()->insertAfter(std::move(added));
  DesktopBefore before{stampOf(desktopFile("Tolvk-T")), DesktopSnapshot(*list)};
  faults("SyncCallRemoteModule:1");  // the rename stands for the moment the run ended
  ASSERT_TRUE(rebuildHandheldList(env_, *list, entry("Tolvk-T"), nullptr, &before));
  ::unsetenv("SYNCMGR_FAULTS");
  SyncHostDetach();
  const std::string sync = "HOTSYNC_HOME=" + (root_ / "home").string() + " " TOLVEX_BINARY_DIR "/bin/hotsync sync --device " +
                           image_ + " --desktop " + desktop_ + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(sync.c_str()), 0);
  EXPECT_NE(slurp(desktop_ + "lastsync.txt").find("Tolvk-T: Rebuild was interrupted. Copy from HH to DT.\n"),
            std::string::npos);
  auto saved = desktopList("Tolvk-T");
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->head()->title(), "Snow \u2603");
  ASSERT_TRUE(saved->head()->next());
  EXPECT_EQ(saved->head()->next()->title(), "new");
}

TEST_F(InterruptedRebuildTest, StaleNotesAreDroppedAndAFinishedRunLeavesNone) {
  // A list whose rebuild stopped before its old database was deleted: the
  // note names a database the handheld still holds under another date.
  makeDatabase("Tolvk-S", {headerRecord(), itemRecord("A", 0)});
  ASSERT_EQ(copyHandheldToDesktop(env_, entry("Tolvk-S"), desktop_), 0);
  EXPECT_FALSE(fs::exists(desktop_ + kPendingRebuildsFile));
  // In the form notes had before they kept the desktop file's stamp.
  writeFile(desktop_ + kPendingRebuildsFile, std::to_string(createDate("Tolvk-S") + 1) + " Tolvk-S\n0 Tolvk-Gone\n");
  ASSERT_EQ(readPendingRebuilds(desktop_).size(), 2u);
  const std::string before = slurp(desktopFile("Tolvk-S"));
  SyncHostDetach();
  const std::string sync = "HOTSYNC_HOME=" + (root_ / "home").string() + " " TOLVEX_BINARY_DIR "/bin/hotsync sync --device " +
                           image_ + " --desktop " + desktop_ + " --type fast >/dev/null 2>&1";
  ASSERT_EQ(std::system(sync.c_str()), 0);
  const std::string log = slurp(desktop_ + "lastsync.txt");
  EXPECT_EQ(log.find("Rebuild was interrupted"), std::string::npos) << log;
  EXPECT_NE(log.find("# No changes were made. Natch.\n"), std::string::npos) << log;
  EXPECT_EQ(slurp(desktopFile("Tolvk-S")), before);
  EXPECT_FALSE(fs::exists(desktop_ + kPendingRebuildsFile));
}

// A run whose desktop save fails after the handheld was rebuilt leaves what a
// crash at that moment leaves: the merged list on the handheld under a new
// identity and new IDs, the old desktop file, and the note. The user then
// edits the desktop file; the next run must keep every edit of both runs.
class EditedAfterInterruptionTest : public RunFixture {
 protected:
  // Tolvk-W in step on both sides, edits on each, then a run that rebuilds
  // the handheld and cannot save the desktop file.
  void interruptedMerge() {
    makeList("Tolvk-W", "item", 40);
    ASSERT_EQ(sync(), 0) << lastLog();
    editHandheld("Tolvk-W", 1, "item 0 handheld");
    editDesktop("Tolvk-W", [](ItemList& l) {
      retitle(l, "item 1", "item 1 desktop");
      add(l, "desktop before");
    });
    desktopBefore_ = slurp(desktopFile("Tolvk-W"));
    EXPECT_EQ(sync(12000), 1);
    // A save that failed turned no backup and left the desktop file in place.
    ASSERT_EQ(slurp(desktopFile("Tolvk-W")), desktopBefore_) << lastLog();
    EXPECT_FALSE(fs::exists(desktop_ + "Backup/Tolvk-W.0"));
    ASSERT_EQ(readPendingRebuilds(desktop_).size(), 1u) << lastLog();
    ASSERT_EQ(titles("Tolvk-W").size(), 41u);
  }
  std::string desktopBefore_;
};

TEST_F(EditedAfterInterruptionTest, DesktopEditsAfterTheInterruptionAreMergedNotOverwritten) {
  interruptedMerge();
  editDesktop("Tolvk-W", [](ItemList& l) {
    retitle(l, "item 2", "item 2 after");
    retitle(l, "item 3", "item 3 after");
    l.findByUniqueId(l.head()->next()->next()->next()->next()->uniqueID())->setDeleted(true);  // item 4
    add(l, "desktop after");
  });
  ASSERT_EQ(sync(), 0) << lastLog();
  EXPECT_NE(lastLog().find("Tolvk-W: Rebuild was interrupted and the desktop file was edited since. Merge.\n"),
            std::string::npos)
      << lastLog();
  std::vector<std::string> expected{"item 0 handheld", "item 1 desktop", "item 2 after", "item 3 after"};
  for (int i = 5; i < 40; ++i) expected.push_back("item " + std::to_string(i));
  expected.push_back("desktop before");
  expected.push_back("desktop after");
  EXPECT_EQ(titles("Tolvk-W"), expected);
  EXPECT_EQ(desktopTitles("Tolvk-W"), expected);
  EXPECT_TRUE(readPendingRebuilds(desktop_).empty());
  EXPECT_EQ(desktopList("Tolvk-W")->uniqueTime(), createDate("Tolvk-W"));

  ASSERT_EQ(sync(), 0);
  EXPECT_NE(lastLog().find("# No changes were made. Natch.\n"), std::string::npos) << lastLog();
}

// The note never overrides a copy the user chose for the run.
TEST_F(EditedAfterInterruptionTest, ChosenCopyOfTheDesktopStillWins) {
  interruptedMerge();
  editDesktop("Tolvk-W", [](ItemList& l) { add(l, "desktop after"); });
  ::setenv("HOTSYNC_HOME", (root_ / "home").c_str(), 1);
  RegistryStore::writeValue("StrategyFastTemp", 3);
  ::unsetenv("HOTSYNC_HOME");
  ASSERT_EQ(sync(), 0) << lastLog();
  EXPECT_NE(lastLog().find("#   Strategy: Copy DT file over HH\n"), std::string::npos) << lastLog();
  std::vector<std::string> expected{"item 0", "item 1 desktop"};
  for (int i = 2; i < 40; ++i) expected.push_back("item " + std::to_string(i));
  expected.push_back("desktop before");
  expected.push_back("desktop after");
  EXPECT_EQ(titles("Tolvk-W"), expected);
  EXPECT_EQ(desktopTitles("Tolvk-W"), expected);
  EXPECT_TRUE(readPendingRebuilds(desktop_).empty());
}

}  // namespace
}  // namespace tolvex::testing
