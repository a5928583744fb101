// A run cut short while a rebuilt list waits under the temporary name, its
// old database already deleted and its desktop file not yet saved: the list
// must come back, whether another rebuild or the next run meets it first.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdlib>
#include <functional>

#include "ImageFixture.h"
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

TEST_F(InterruptedRebuildTest, StaleNotesAreDroppedAndAFinishedRunLeavesNone) {
  // A list whose rebuild stopped before its old database was deleted: the
  // note names a database the handheld still holds under another date.
  makeDatabase("Tolvk-S", {headerRecord(), itemRecord("A", 0)});
  ASSERT_EQ(copyHandheldToDesktop(env_, entry("Tolvk-S"), desktop_), 0);
  EXPECT_FALSE(fs::exists(desktop_ + kPendingRebuildsFile));
  ASSERT_TRUE(notePendingRebuild(desktop_, {"Tolvk-S", createDate("Tolvk-S") + 1, std::nullopt}));
  ASSERT_TRUE(notePendingRebuild(desktop_, {"Tolvk-Gone", 0, std::nullopt}));
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
class EditedAfterInterruptionTest : public ImageFixture {
 protected:
  // One `hotsync sync` in its own process; `fileLimit` caps every file it
  // writes (a list file larger than that cannot be saved). Its exit code.
  int sync(size_t fileLimit = 0) {
    SyncHostDetach();
    const std::string home = (root_ / "home").string(), program = TOLVEX_BINARY_DIR "/bin/hotsync";
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      setenv("HOTSYNC_HOME", home.c_str(), 1);
      if (fileLimit) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{fileLimit, fileLimit};
        setrlimit(RLIMIT_FSIZE, &limit);
      }
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      execl(program.c_str(), program.c_str(), "sync", "--device", image_.c_str(), "--desktop", desktop_.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(SyncHostAttach(image_.c_str()), 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string lastLog() { return slurp(desktop_ + "lastsync.txt"); }

  void editHandheld(const std::string& name, size_t index, const std::string& title) {
    std::vector<StoredRecord> stored = records(name);
    ASSERT_LT(index, stored.size());
    ItemList scratch;
    auto item = unpackItemRecord(&scratch, stored[index].id, stored[index].bytes.data(), stored[index].bytes.size(),
                                 false, nullptr);
    ASSERT_TRUE(item);
    item->setTitle(title);
    item->setDirtyContent(true);
    std::vector<uint8_t> bytes = packItemRecord(*item);
    bytes[86] = stored[index].bytes[86];  // the tree flags stay
    bytes[87] = stored[index].bytes[87];
    uint8_t handle = 0;
    ASSERT_EQ(SyncOpenDB(name.c_str(), 0, &handle, SYNC_MODE_READ | SYNC_MODE_WRITE), 0);
    SyncRecordInfo rec;
    std::memset(&rec, 0, sizeof rec);
    rec.handle = handle;
    rec.recId = stored[index].id;
    rec.recSize = uint32_t(bytes.size());
    rec.bufSize = uint16_t(bytes.size());
    rec.buffer = bytes.data();
    EXPECT_EQ(SyncWriteRec(&rec), 0);
    EXPECT_EQ(SyncCloseDB(handle), 0);
  }
  // Edits the desktop file as the desktop application does.
  void editDesktop(const std::string& name, const std::function<void(ItemList&)>& edit) {
    auto list = desktopList(name);
    ASSERT_TRUE(list);
    edit(*list);
    std::string message;
    ASSERT_EQ(ListFileWriter().write(*list, desktopFile(name), message), 0);
  }
  static void retitle(ItemList& list, const std::string& from, const std::string& to) {
    ItemList::forEach(list.head(), WalkScope::kSubtree, [&](ListNode* item) {
      if (item->title() != from) return true;
      item->setTitle(to);
      item->setDirtyContent(true);
      return false;
    });
  }
  static void add(ItemList& list, const std::string& title) {
    auto item = std::make_unique<ListNode>(0, &list);
    item->setTitle(title);
    item->setDirtyContent(true);
    item->setDirtyPosition(true);
    list.pushBack(std::move(item));
  }
  std::vector<std::string> desktopTitles(const std::string& name) {
    std::vector<std::string> out;
    auto list = desktopList(name);
    if (list) ItemList::forEach(list->head(), WalkScope::kSubtree, [&](ListNode* item) {
      out.push_back(item->title());
      return true;
    });
    return out;
  }

  // Tolvk-W in step on both sides, edits on each, then a run that rebuilds
  // the handheld and cannot save the desktop file.
  void interruptedMerge() {
    std::vector<RawRecord> recs{headerRecord()};
    for (int i = 0; i < 40; ++i) recs.push_back(itemRecord("item " + std::to_string(i), i < 39 ? kHasNextSibling : 0));
    makeDatabase("Tolvk-W", recs);
    ASSERT_EQ(sync(), 0) << lastLog();
    editHandheld("Tolvk-W", 1, "item 0 handheld");
    editDesktop("Tolvk-W", [](ItemList& l) {
      retitle(l, "item 1", "item 1 desktop");
      add(l, "desktop before");
    });
    desktopBefore_ = slurp(desktopFile("Tolvk-W"));
    sync(12000);
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
