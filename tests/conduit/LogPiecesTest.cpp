// The run log, its echo in the progress window, the backup ring and the
// lock file and list-name rules, each on its own.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "common/RunLog.h"
#include "conduit/Backups.h"
#include "conduit/DatabaseTable.h"
#include "conduit/ProgressWindow.h"
#include "conduit/RunDriver.h"
#include "conduit/SyncLog.h"
#include "desktop/XmlFile.h"
#include "platform/os/HostOs.h"
#include "tests/conduit/ConduitFixture.h"

namespace tolvex::test {
namespace {

TEST_F(ConduitTest, LogLinesAreCutAndEchoedWithoutTheirPrefix) {
  ProgressWindow window;
  window.create("2.2.0");
  SyncLog log;
  log.setProgressWindow(&window);
  log.open(desktop_);
  ASSERT_NE(log.file(), nullptr);
  log.line("#   Found %u records.\n", 3u);
  OsProgress shown = OsProgressLast();
  EXPECT_STREQ(OsProgressText(shown, ProgressWindow::kLogLine), "  Found 3 records.\n");
  log.line("x");
  EXPECT_STREQ(OsProgressText(shown, ProgressWindow::kLogLine), "");
  // A cut line keeps its line end, without splitting a character before it.
  log.line("# %s\n", std::string(600, 'a').c_str());
  log.line("# %s%s\n", std::string(507, 'b').c_str(), "\xC3\xA9\xC3\xA9");
  log.line("# %s", std::string(600, 'c').c_str());
  log.line("\n");
  log.line("#   WARNING: Item '%s' has links\n", "a\r\n#   ERROR: b");  // one line, whatever the title
  log.line("#   Two\n#   lines.\n");
  window.destroy();
  log.close();
  const std::string text = normalizeTimes(readFile(desktop_ + "lastsync.txt"));
  const std::string expected = "# Log started T\n# Conduit Build 2.2.0 Oct 14 2003 17:10:14\n"
                               "#   Found 3 records.\nx# " + std::string(508, 'a') + "\n# " +
                               std::string(507, 'b') + "\n# " + std::string(509, 'c') + "\n" +
                               "#   WARNING: Item 'a  #   ERROR: b' has links\n#   Two\n#   lines.\n" + kLogEnd;
  EXPECT_EQ(text, expected);
}

TEST_F(ConduitTest, LogThatCannotBeCreatedDropsLines) {
  SyncLog log;
  log.open(root_ + "/no/such/folder/");
  EXPECT_EQ(log.file(), nullptr);
  log.line("# dropped\n");
  log.close();
  EXPECT_EQ(log.path(), root_ + "/no/such/folder/lastsync.txt");
}

TEST_F(ConduitTest, ProgressWindowKeepsItsTextsAndIgnoresBadNumbers) {
  ProgressWindow window;
  window.setTexts("ignored", "ignored", "ignored");  // no window yet
  window.create("2.2.0");
  ASSERT_TRUE(window.exists());
  OsProgress shown = OsProgressLast();
  window.setTexts("Tolvk-A", "Synchronize", "");
  window.setTexts(nullptr, "Thinking", nullptr);
  EXPECT_STREQ(OsProgressText(shown, ProgressWindow::kLine1), "Tolvk-A");
  EXPECT_STREQ(OsProgressText(shown, ProgressWindow::kLine2), "Thinking");
  EXPECT_STREQ(OsProgressText(shown, ProgressWindow::kVersion), "2.2.0");
  window.setRange(-1);
  window.setPosition(-3);
  EXPECT_FALSE(window.cancelRequested());
  window.destroy();
  EXPECT_FALSE(window.exists());
  window.setTexts("after", nullptr, nullptr);  // does nothing
  EXPECT_STREQ(OsProgressText(shown, ProgressWindow::kLine1), "Tolvk-A");
}

// Ctrl-C is the window's Cancel button: it closes the window and the request
// stays set until the next run clears it.
TEST_F(ConduitTest, CancelClosesTheWindowAndStays) {
  ProgressWindow window;
  window.create("2.2.0");
  OsProgress shown = OsProgressLast();
  EXPECT_FALSE(window.cancelRequested());
  std::raise(SIGINT);
  EXPECT_TRUE(window.cancelRequested());
  EXPECT_FALSE(window.exists());
  EXPECT_EQ(OsProgressIsOpen(shown), 0);
  EXPECT_TRUE(window.cancelRequested());
  window.clearCancel();
  EXPECT_FALSE(window.cancelRequested());
}

// The roll runs once the replacement is written whole, just before it is
// renamed over the live file: the live name never goes missing.
TEST_F(ConduitTest, FirstBackupAndFullRing) {
  MemoryRunLog log;
  const std::string live = desktop_ + "Tolvk-Garden.XML";
  const std::string b = desktop_ + "Backup/Tolvk-Garden";
  auto save = [&](const std::string& text) {
    writeFile(live + ".new", text);
    rollBackups(log, desktop_, "Tolvk-Garden");
    EXPECT_TRUE(exists(live));
    ASSERT_EQ(std::rename((live + ".new").c_str(), live.c_str()), 0);
  };
  writeFile(live, "first");
  save("second");
  EXPECT_EQ(log.text(), "#   Created Backup directory.\n"
                        "#   WARN: Couldn't remove backup: " + b + ".2 (2)\n"
                        "#   WARN: Couldn't roll backup: " + b + ".1 to " + b + ".2 (2)\n"
                        "#   WARN: Couldn't roll backup: " + b + ".0 to " + b + ".1 (2)\n"
                        "#   Backup: " + live + " to " + b + ".0\n");
  EXPECT_EQ(readFile(live), "second");
  EXPECT_EQ(readFile(b + ".0"), "first");

  for (const char* text : {"third", "fourth", "fifth"}) {
    log.clear();
    save(text);
  }
  EXPECT_EQ(log.text(), "#   Backup remove: " + b + ".2\n"
                        "#   Backup roll: " + b + ".1 to " + b + ".2\n"
                        "#   Backup roll: " + b + ".0 to " + b + ".1\n"
                        "#   Backup: " + live + " to " + b + ".0\n");
  EXPECT_EQ(readFile(live), "fifth");
  EXPECT_EQ(readFile(b + ".0"), "fourth");
  EXPECT_EQ(readFile(b + ".1"), "third");
  EXPECT_EQ(readFile(b + ".2"), "second");

  // Without a live file only the last step complains; the ring still turns.
  ASSERT_EQ(std::remove(live.c_str()), 0);
  log.clear();
  rollBackups(log, desktop_, "Tolvk-Garden");
  EXPECT_NE(log.text().find("#   ERROR: Couldn't backup: " + live + " to " + b + ".0 (2)\n"),
            std::string::npos);
  EXPECT_EQ(readFile(b + ".2"), "third");
}

// A Backup that is a link is replaced by a folder of its own, as a list file
// that is a link is replaced when saved; where it pointed stays untouched.
TEST_F(ConduitTest, BackupFolderThatIsALinkIsReplaced) {
  MemoryRunLog log;
  const std::string elsewhere = root_ + "/elsewhere";
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
  writeFile(elsewhere + "/Tolvk-A.2", "kept");
  ASSERT_EQ(symlink(elsewhere.c_str(), (desktop_ + "Backup").c_str()), 0);
  writeFile(desktop_ + "Tolvk-A.XML", "live");
  rollBackups(log, desktop_, "Tolvk-A");
  EXPECT_EQ(log.text().substr(0, 101), "#   WARN: Backup was a symbolic link; replaced by a folder of its own.\n"
                                       "#   Created Backup directory.\n");
  struct stat info;
  ASSERT_EQ(lstat((desktop_ + "Backup").c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(readFile(desktop_ + "Backup/Tolvk-A.0"), "live");
  EXPECT_EQ(readFile(elsewhere + "/Tolvk-A.2"), "kept");
  EXPECT_FALSE(exists(elsewhere + "/Tolvk-A.0"));
}

TEST_F(ConduitTest, BackupFolderThatCannotBeMade) {
  MemoryRunLog log;
  writeFile(desktop_ + "Backup", "a file in the way");
  writeFile(desktop_ + "Tolvk-A.XML", "live");
  rollBackups(log, desktop_, "Tolvk-A");
  EXPECT_EQ(log.text().substr(0, 47), "#   ERROR: Couldn't create Backup directory (17");
  EXPECT_NE(log.text().find("#   ERROR: Couldn't backup: "), std::string::npos);
  EXPECT_EQ(readFile(desktop_ + "Tolvk-A.XML"), "live");  // left where it was
}

TEST(ConduitRules, LockFileIsCutAtTheFileNamesFirstDot) {
  EXPECT_EQ(lockFilePath("/home/a.b/desk/Tolvk-A.XML"), "/home/a.b/desk/Tolvk-A._lk");
  EXPECT_EQ(lockFilePath("/home/a.b/Tolvk-v1.2.XML"), "/home/a.b/Tolvk-v1._lk");
  EXPECT_EQ(lockFilePath("/home/a.b/Tolvk-A"), "/home/a.b/Tolvk-A._lk");
  EXPECT_EQ(lockFilePath("Tolvk-A.XML"), "Tolvk-A._lk");
}

TEST(ConduitRules, UnsafeListNamesAndNameTables) {
  EXPECT_TRUE(isSafeListName("Tolvk-Garden"));
  EXPECT_TRUE(isSafeListName("Tolvk-.."));
  EXPECT_FALSE(isSafeListName("."));
  EXPECT_FALSE(isSafeListName(".."));
  EXPECT_FALSE(isSafeListName("Tolvk-a/b"));
  EXPECT_FALSE(isSafeListName(""));
  EXPECT_STREQ(strategyName(4), "nil");
  EXPECT_STREQ(strategyName(-1), "nil");
  EXPECT_STREQ(methodName(5), "nil");
  EXPECT_STREQ(methodName(3), "By Time");
  EXPECT_STREQ(syncTypeName(8), "WTF");
  EXPECT_STREQ(syncKindName(1), "Slow");
}

TEST(ConduitRules, TableStopsAt2048RowsButKeepsPairing) {
  DatabaseTable table;
  for (size_t i = 0; i < DatabaseTable::kMaxRows; ++i)
    EXPECT_TRUE(table.add(DatabaseEntry{kOnHandheld, "Tolvk-" + std::to_string(i), 0, 1}));
  EXPECT_TRUE(table.full());
  EXPECT_FALSE(table.add(DatabaseEntry{kOnHandheld, "Tolvk-more", 0, 1}));

  char pattern[] = "/tmp/tolvex.table.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string folder = std::string(pattern) + "/";
  writeFile(folder + "Tolvk-2047.XML", "");
  writeFile(folder + "Tolvk-new.XML", "");
  MemoryRunLog log;
  enumerateDesktopLists(log, folder, table);
  EXPECT_EQ(table.size(), DatabaseTable::kMaxRows);
  EXPECT_EQ(table.find("Tolvk-2047")->presence, kOnBoth);
  EXPECT_EQ(log.text(), "# ERROR: More than 2048 lists; only the first 2048 are synchronized.\n");
  std::filesystem::remove_all(pattern);
}

TEST(ConduitRules, ADesktopLinkToNothingIsNamedInTheLog) {
  char pattern[] = "/tmp/tolvex.links.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string folder = std::string(pattern) + "/";
  writeFile(folder + "Tolvk-Real.XML", "");
  ASSERT_EQ(symlink((folder + "Tolvk-Real.XML").c_str(), (folder + "Tolvk-Alias.XML").c_str()), 0);
  ASSERT_EQ(symlink((folder + "nowhere/x").c_str(), (folder + "Tolvk-Gone.XML").c_str()), 0);
  ASSERT_EQ(symlink(folder.c_str(), (folder + "Tolvk-Dir.XML").c_str()), 0);
  std::filesystem::create_directory(folder + "Tolvk-Folder.XML");
  DatabaseTable table;
  MemoryRunLog log;
  enumerateDesktopLists(log, folder, table);
  EXPECT_EQ(table.size(), 2u);  // the file and the link to it
  EXPECT_NE(table.find("Tolvk-Alias"), nullptr);
  // Folders, and links to them, are passed over as before.
  EXPECT_EQ(log.text(),
            "# ERROR: File 'Tolvk-Gone.XML' is a link to nothing. Skipped.\n"
            "# Found Tolvk-Alias (not on handheld)\n"
            "# Found Tolvk-Real (not on handheld)\n");
  std::filesystem::remove_all(pattern);
}

}  // namespace
}  // namespace tolvex::test
