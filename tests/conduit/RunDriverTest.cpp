// Whole runs through OpenConduit against a handheld image: the log, the
// registry values consumed, the table of lists and the decision per list.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "conduit/RegistryStore.h"
#include "outline/ListCopy.h"
#include "platform/os/HostOs.h"
#include "tests/conduit/ConduitFixture.h"

namespace tolvex::test {
namespace {

const char* const kDefaultMethod =
    "# Lifespan: Permanent synch setting\n#   Collision method: 1 (HH over DT)\n";

// The lines from the API version to the end of the module checks, fresh registry.
std::string checkLines() {
  return "# SyncMgr API version: 2.2\n"
         "# Hotsync ID: Ann\n"
         "# Store user directory for later conveniance..\n"
         "#   Win32 UserDir registry entry not found (2). Creating.\n"
         "#     Created new registry entry.\n"
         "#     Stored to windows registry.\n"
         "# TolvanSync version on Handheld is OK\n"
         "# Character encoding: ISO-8859-1\n"
         "#\n"
         "\n"
         "# Downloading Tolvan Tags database.\n";
}

TEST_F(ConduitTest, FreshRunWritesHeaderChecksAndSummary) {
  EXPECT_EQ(runConduit(0), 0);
  const std::string log = normalizedLog();
  const std::string start = headerLines(0, "#   Fast default strategy used: 1 (sync)\n") +
                            kDefaultMethod + checkLines();
  EXPECT_EQ(log.substr(0, start.size()), start);
  EXPECT_EQ(logSection("# Enumerating databases on handheld.\n", "# Syncronizing 0 databases.\n\n"),
            "# Enumerating databases on handheld.\n\n# Enumerating databases on desktop (" +
                desktop_ + ").\n# Error or no files found when opening directory listing for " +
                desktop_ + "Tolvk-*.XML!\n\n# Syncronizing 0 databases.\n\n");
  EXPECT_TRUE(log.size() > std::strlen(kLogEnd) &&
              log.compare(log.size() - std::strlen(kLogEnd), std::string::npos, kLogEnd) == 0)
      << log;
  EXPECT_EQ(hotsyncLines_, std::vector<std::string>{"OK Tolvan (c2.2.0)\n"});

  // The second run finds the registry key it created.
  EXPECT_EQ(runConduit(0), 0);
  EXPECT_NE(log.find("#   Win32 UserDir registry entry not found"), std::string::npos);
  EXPECT_NE(this->log().find("# Store user directory for later conveniance..\n"
                             "#   Win32 UserDir registry entry found and opened.\n"
                             "#     Stored to windows registry.\n"),
            std::string::npos);
}

TEST_F(ConduitTest, EverySyncTypeNamesItselfAndOnlyFastAndSlowReadStrategies) {
  const struct { int type; const char* strategy; } cases[] = {
      {0, "#   Fast default strategy used: 1 (sync)\n"},
      {1, "#   Slow default strategy used: 1 (sync)\n"},
      {2, ""}, {3, ""}, {4, ""}, {5, ""}, {7, ""}};
  RegistryStore::writeValue("StrategyFastTemp", 0);
  for (const auto& c : cases) {
    EXPECT_EQ(runConduit(c.type), 0) << c.type;
    const std::string expected = headerLines(c.type, c.strategy) + kDefaultMethod;
    EXPECT_EQ(normalizedLog().substr(0, expected.size()), expected) << c.type;
  }
  EXPECT_EQ(runConduit(9), 0);
  EXPECT_NE(log().find("# Syncronization strategy: 9 (WTF)\n# Lifespan: Permanent synch setting\n"),
            std::string::npos);
}

TEST_F(ConduitTest, TemporaryStrategyIsUsedOnceAndClearsBothTemporaries) {
  RegistryStore::writeValue("StrategyFastTemp", 3);
  RegistryStore::writeValue("StrategySlowTemp", 2);
  RegistryStore::writeValue("StrategyFast", 2);
  EXPECT_EQ(runConduit(0), 0);
  EXPECT_NE(log().find("# Syncronization strategy: 0 (eFast)\n"
                       "#   Fast temporary strategy used: 3 (DT over HH)\n"),
            std::string::npos);
  EXPECT_EQ(RegistryStore::readValue("StrategyFastTemp"), 0);
  EXPECT_EQ(RegistryStore::readValue("StrategySlowTemp"), 0);
  EXPECT_EQ(runConduit(1), 0);
  EXPECT_NE(log().find("#   Slow default strategy used: 1 (sync)\n"), std::string::npos);
  EXPECT_EQ(runConduit(0), 0);
  EXPECT_NE(log().find("#   Fast permanent strategy used: 2 (HH over DT)\n"), std::string::npos);

  RegistryStore::writeValue("StrategySlowTemp", 3);
  RegistryStore::writeValue("StrategyFastTemp", 1);
  RegistryStore::writeValue("StrategySlow", 2);
  EXPECT_EQ(runConduit(1), 0);
  EXPECT_NE(log().find("#   Slow temporary strategy used: 3 (DT over HH)\n"), std::string::npos);
  EXPECT_EQ(RegistryStore::readValue("StrategyFastTemp"), 0);
  EXPECT_EQ(RegistryStore::readValue("StrategySlowTemp"), 0);
  EXPECT_EQ(runConduit(1), 0);
  EXPECT_NE(log().find("#   Slow permanent strategy used: 2 (HH over DT)\n"), std::string::npos);

  // A value without a name prints as nil and means no action (see the decision tests).
  RegistryStore::writeValue("StrategySlow", 7);
  EXPECT_EQ(runConduit(1), 0);
  EXPECT_NE(log().find("#   Slow permanent strategy used: 7 (nil)\n"), std::string::npos);
}

TEST_F(ConduitTest, MethodTemporaryPermanentAndOutOfTable) {
  RegistryStore::writeValue("MethodTemp", 4);
  RegistryStore::writeValue("MethodPerm", 2);
  EXPECT_EQ(runConduit(0), 0);
  EXPECT_NE(log().find("# Lifespan: Temporary synch setting. Clearing.\n"
                       "#   Collision method: 4 (Keep/Duplicate)\n"),
            std::string::npos);
  EXPECT_EQ(RegistryStore::readValue("MethodTemp"), 0);
  EXPECT_EQ(runConduit(0), 0);
  EXPECT_NE(log().find("# Lifespan: Permanent synch setting\n#   Collision method: 2 (DT over HH)\n"),
            std::string::npos);
  RegistryStore::writeValue("MethodPerm", 9);
  EXPECT_EQ(runConduit(0), 0);
  EXPECT_NE(log().find("#   Collision method: 9 (nil)\n"), std::string::npos);
}

// A one-time setting the run cannot clear would be used by every later run:
// the run refuses it and changes nothing, whichever kind it is.
TEST_F(ConduitTest, OneTimeSettingThatCannotBeClearedIsNotUsed) {
  createHandheldDatabase("Tolvk-Plan", "Qzvm");
  for (const char* name : {"StrategyFastTemp", "StrategySlowTemp", "MethodTemp"}) {
    RegistryStore::writeValue(name, 3);
    const std::string blocker = home_ + "/registry.ini.tmp" + std::to_string(::getpid());
    ASSERT_EQ(::mkdir(blocker.c_str(), 0755), 0);  // every save of the settings now fails
    EXPECT_EQ(runConduit(std::string(name) == "StrategySlowTemp" ? 1 : 0), kListNotInSync) << name;
    ::rmdir(blocker.c_str());
    EXPECT_NE(log().find(std::string("!   The one-time setting ") + name + " could not be cleared"), std::string::npos)
        << name;
    EXPECT_EQ(log().find("# Syncronizing"), std::string::npos) << name;
    EXPECT_FALSE(exists(desktop_ + "Tolvk-Plan.XML")) << name;
    EXPECT_EQ(hotsyncLines_.back(), "FAILED Tolvan (check logs)\n");
    RegistryStore::writeValue(name, 0);
  }
}

TEST_F(ConduitTest, DoNothingStopsAfterTheStrategyLine) {
  RegistryStore::writeValue("MethodTemp", 2);
  createHandheldDatabase("Tolvk-A");
  EXPECT_EQ(runConduit(6), 0);
  EXPECT_EQ(normalizedLog(), headerLines(6, "") + kLogEnd);
  EXPECT_EQ(hotsyncLines_, std::vector<std::string>{"OK Tolvan (c2.2.0)\n"});
  EXPECT_EQ(RegistryStore::readValue("MethodTemp"), 2);  // not consumed
}

TEST_F(ConduitTest, ForceSlowMarkerTurnsEveryRunSlow) {
  writeFile(desktop_ + "FORCESLOW", "");
  EXPECT_EQ(runConduit(6), 0);
  // The marker wins over "do nothing": the run goes on as a slow one.
  const std::string expected = std::string(
      "# Log started T\n# Conduit Build 2.2.0 Oct 14 2003 17:10:14\n"
      "# File FORCESLOW is forcing us to SLOW SYNC.\n"
      "# Syncronization strategy: 1 (eSlow)\n"
      "#   Slow default strategy used: 1 (sync)\n") + kDefaultMethod;
  EXPECT_EQ(normalizedLog().substr(0, expected.size()), expected);
  EXPECT_NE(log().find("# Syncronizing 0 databases.\n"), std::string::npos);
  createDesktopList("Tolvk-A");
  createHandheldDatabase("Tolvk-A");
  runConduit(0);
  EXPECT_NE(log().find("# [0] Tolvk-A: Synchronize (Config: Slow HH over DT)\n"),
            std::string::npos);
}

TEST_F(ConduitTest, ForceVerboseMarkerIsReported) {
  writeFile(desktop_ + "FORCEVERBOSE", "");
  EXPECT_EQ(runConduit(0), 0);
  EXPECT_NE(log().find("\n# Syncronizing 0 databases.\n"
                       "# File FORCEVERBOSE is forcing us to VERBOSE.\n\n"),
            std::string::npos);
}

TEST_F(ConduitTest, OldSyncManagerNeedsUpgrade) {
  DeviceIni ini;
  ini.api = "2.1";
  configureDevice(ini);
  EXPECT_EQ(runConduit(0), -1);
  EXPECT_EQ(normalizedLog(),
            headerLines(0, "#   Fast default strategy used: 1 (sync)\n") + kDefaultMethod +
                "# SyncMgr API version: 2.1\n"
                "#\n"
                "# --[ NEED UPGRADE! ]-----------------------------------\n"
                "# SyncMgr version 2.2 or greater is required. Please\n"
                "# upgrade to a more recent HotSync Manager at:\n"
                "#   http://www.example.org/\n"
                "# ------------------------------------------------------\n"
                "#\n" + kLogEnd);
  EXPECT_TRUE(hotsyncLines_.empty());
}

TEST_F(ConduitTest, MissingOrEmptyHotSyncId) {
  DeviceIni ini;
  ini.hasUser = false;
  configureDevice(ini);
  EXPECT_EQ(runConduit(0), -1);
  const std::string api = "# SyncMgr API version: 2.2\n";
  EXPECT_EQ(normalizedLog(),
            headerLines(0, "#   Fast default strategy used: 1 (sync)\n") + kDefaultMethod + api +
                "# FAILED: Couldn't read hotsync ID!\n"
                "#\n"
                "#   First sync this desktop? Hotsync Manager must be\n"
                "#   creating your account. Tolvan will sync correctly\n"
                "#   next hotsync, as it requires the desktop account.\n"
                "#\n" + kLogEnd);

  ini.hasUser = true;
  ini.userName = "";
  configureDevice(ini);
  EXPECT_EQ(runConduit(0), -1);
  EXPECT_EQ(normalizedLog(),
            headerLines(0, "#   Fast default strategy used: 1 (sync)\n") + kDefaultMethod + api +
                "# Hotsync ID: \n# FAILED: Hotsync ID is invalid!\n" + kLogEnd);
}

TEST_F(ConduitTest, MissingOrWrongHandheldModule) {
  DeviceIni ini;
  ini.moduleInstalled = false;
  configureDevice(ini);
  EXPECT_EQ(runConduit(0), -13);
  const std::string afterStore = "#     Stored to windows registry.\n";
  std::string rest = logSection(afterStore, "# Log open");
  EXPECT_EQ(rest.substr(0, afterStore.size() + 33), afterStore + "# ERROR: CallModule GetVersion(0x");
  EXPECT_NE(rest.find(")\n#        Wrong version of TolvanSync on handheld?\n"
                      "#        Perhaps it's on an inaccessible expansion card?\n# Log open"),
            std::string::npos)
      << rest;

  ini.moduleInstalled = true;
  ini.moduleVersion = "2.0";
  configureDevice(ini);
  EXPECT_EQ(runConduit(0), -13);
  EXPECT_EQ(logSection(afterStore, "# Log open"),
            afterStore +
                "# ERROR: TolvanSync version on Handheld is unsupported with this conduit version.\n"
                "#        Wrong/old version of TolvanSync on handheld?\n"
                "#        Perhaps it is on an inaccessible card?\n# Log open");

  for (const char* version : {"0.9", "1.0", "1.1b"}) {
    ini.moduleVersion = version;
    configureDevice(ini);
    EXPECT_EQ(runConduit(0), 0) << version;
    EXPECT_NE(log().find("# TolvanSync version on Handheld is OK\n"), std::string::npos);
  }
}

TEST_F(ConduitTest, EncodingReportedOrAssumed) {
  DeviceIni ini;
  ini.encoding = "";
  configureDevice(ini);
  EXPECT_EQ(runConduit(0), 0);
  EXPECT_NE(log().find("# TolvanSync version on Handheld is OK\n"
                       "# Assuming character encoding: utf-8\n#\n\n"),
            std::string::npos);
  ini.encoding = "Shift_JIS";
  configureDevice(ini);
  EXPECT_EQ(runConduit(0), 0);
  EXPECT_NE(log().find("# Character encoding: Shift_JIS\n#\n\n"), std::string::npos);
}

TEST_F(ConduitTest, SyncManagerFailuresInTheChecks) {
  injectFaults("SyncGetAPIVersion:1");
  EXPECT_EQ(runConduit(0), 0);  // an unknown version does not stop the run
  EXPECT_NE(log().find("#   Collision method: 1 (HH over DT)\n"
                       "# SyncMgr API version: indeterminate\n# Hotsync ID: Ann\n"),
            std::string::npos);

  injectFaults("SyncReadUserID:1");
  EXPECT_EQ(runConduit(0), -1);
  EXPECT_NE(log().find("# SyncMgr API version: 2.2\n# FAILED: Couldn't read hotsync ID!\n"),
            std::string::npos);

  injectFaults("SyncCallRemoteModule:1");
  EXPECT_EQ(runConduit(0), -13);
  EXPECT_NE(log().find("#     Stored to windows registry.\n"
                       "# ERROR: CallModule GetVersion(0x40ff)\n"
                       "#        Wrong version of TolvanSync on handheld?\n"
                       "#        Perhaps it's on an inaccessible expansion card?\n# Log open"),
            std::string::npos)
      << log();

  injectFaults("SyncCallRemoteModule:2");
  EXPECT_EQ(runConduit(0), 0);
  EXPECT_NE(log().find("# TolvanSync version on Handheld is OK\n"
                       "# ERROR: Couldn't get character encoding: 40ff\n"
                       "#        Wrong/old version of TolvanSync on handheld?\n"
                       "#        Perhaps it is on an inaccessible card?\n#\n\n"),
            std::string::npos)
      << log();
}

TEST_F(ConduitTest, CardInfoFailureEndsTheRun) {
  createHandheldDatabase("Tolvk-A");
  injectFaults("SyncReadSingleCardInfo:1");
  EXPECT_EQ(runConduit(0), -7);
  EXPECT_NE(log().find("\n\n# Enumerating databases on handheld.\n#   Couldn't get card info!\n"
                       "# Log open"),
            std::string::npos)
      << log();
  EXPECT_TRUE(hotsyncLines_.empty());
}

TEST_F(ConduitTest, BothEnumerationsPairNamesExactly) {
  createHandheldDatabase("Tolvk-A");
  createHandheldDatabase("Tolvk-*Sync*");
  createHandheldDatabase("Tolvk-Other", "Othr");
  createDesktopList("Tolvk-A");
  createDesktopList("Tolvk-a");
  createDesktopList("Tolvk-B");
  createDesktopList("Tolvk-ABCDEFGHIJKLMNOPQRSTU");   // 27 characters
  createDesktopList("Tolvk-ABCDEFGHIJKLMNOPQRST");    // 26 characters
  writeFile(desktop_ + "Tolvk-C.xml", "");              // pattern is case-sensitive
  std::filesystem::create_directory(desktop_ + "Tolvk-Dir.XML");
  const uint32_t created = handheldCreated("Tolvk-A");
  ASSERT_NE(created, 0u);
  runConduit(0);
  EXPECT_EQ(logSection("# Enumerating databases on handheld.\n", "# Syncronizing"),
            "# Enumerating databases on handheld.\n"
            "# Found 0:'Tolvk-A' (" + std::to_string(created) + ")\n"
            "\n"
            "# Enumerating databases on desktop (" + desktop_ + ").\n"
            "# Found Tolvk-ABCDEFGHIJKLMNOPQRST (not on handheld)\n"
            "# ERROR: Filename 'Tolvk-ABCDEFGHIJKLMNOPQRSTU.XML' is too long!\n"
            "# Found Tolvk-B (not on handheld)\n"
            "# Found Tolvk-a (not on handheld)\n"
            "\n"
            "# Syncronizing");
  EXPECT_NE(log().find("# Syncronizing 4 databases.\n\n# [0] Tolvk-A: Synchronize (Config: Fast "
                       "HH over DT)\n#   Strategy: Synchronize\n"),
            std::string::npos);
}

TEST_F(ConduitTest, UnsafeHandheldNamesAreSkipped) {
  createHandheldDatabase("..");
  createHandheldDatabase("Tolvk-../../evil");
  runConduit(0);
  const std::string log = this->log();
  EXPECT_NE(log.find("# ERROR: List name '..' is not a usable file name. Skipped.\n"),
            std::string::npos);
  EXPECT_NE(log.find("# ERROR: List name 'Tolvk-../../evil' is not a usable file name. Skipped.\n"),
            std::string::npos);
  EXPECT_NE(log.find("# Syncronizing 0 databases.\n"), std::string::npos);
  EXPECT_FALSE(exists(root_ + "/evil.XML"));
}

TEST_F(ConduitTest, DecisionPerPresence) {
  createDesktopList("Tolvk-D");
  runConduit(0);  // the line comes before the copy, whatever it answers
  EXPECT_NE(log().find("# Syncronizing 1 databases.\n\n# [0] Tolvk-D: Copy database from DT to HH.\n"),
            std::string::npos);
  std::filesystem::remove(desktop_ + "Tolvk-D.XML");

  createHandheldDatabase("Tolvk-H");
  runConduit(0);
  EXPECT_NE(log().find("# [0] Tolvk-H: Copy from HH to DT.\n"), std::string::npos);
}

// A list that cannot be brought in step fails the run, and the other lists
// are still processed.
TEST_F(ConduitTest, FailedListFailsTheRunAndTheLoopGoesOn) {
  createHandheldDatabase("Tolvk-A");  // no records: no list that can be read
  createDesktopList("Tolvk-B");
  EXPECT_EQ(runConduit(0), -12);
  EXPECT_NE(log().find("# [0] Tolvk-A: Copy from HH to DT.\n#   ERROR: Skipped DB; not enough records!\n"),
            std::string::npos)
      << log();
  EXPECT_NE(log().find("# [1] Tolvk-B: Copy database from DT to HH.\n"), std::string::npos) << log();
  EXPECT_EQ(hotsyncLines_, std::vector<std::string>{"FAILED Tolvan (check logs)\n"});
}

TEST_F(ConduitTest, DecisionPerStrategyForAListOnBothSides) {
  createHandheldDatabase("Tolvk-A");
  createDesktopList("Tolvk-A");
  const std::string head = "# Syncronizing 1 databases.\n\n# [0] Tolvk-A: Synchronize (Config: Fast HH over DT)\n";

  RegistryStore::writeValue("StrategyFast", 1);
  runConduit(0);
  EXPECT_NE(log().find(head + "#   Strategy: Synchronize\n"), std::string::npos);
  EXPECT_NE(log().find("# Done.\n"), std::string::npos);

  RegistryStore::writeValue("StrategyFast", 3);
  runConduit(0);
  EXPECT_NE(log().find(head + "#   Strategy: Copy DT file over HH\n"), std::string::npos);

  RegistryStore::writeValue("StrategyFast", 5);
  EXPECT_EQ(runConduit(0), 0);
  EXPECT_NE(log().find(head + "# Done.\n\n# Log open"), std::string::npos);

  // The ring turns once the new desktop file is written, just before it
  // replaces the old one.
  RegistryStore::writeValue("StrategyFast", 2);
  runConduit(0);
  const std::string live = desktop_ + "Tolvk-A.XML";
  const std::string backup = desktop_ + "Backup/Tolvk-A";
  EXPECT_NE(log().find("# Renamed new file to replace old file.\n"
                       "#   Created Backup directory.\n"
                       "#   WARN: Couldn't remove backup: " + backup + ".2 (2)\n"
                       "#   WARN: Couldn't roll backup: " + backup + ".1 to " + backup + ".2 (2)\n"
                       "#   WARN: Couldn't roll backup: " + backup + ".0 to " + backup + ".1 (2)\n"
                       "#   Backup: " + live + " to " + backup + ".0\n"
                       "#   Written to XML file"),
            std::string::npos)
      << log();
  EXPECT_NE(log().find(head + "#   Strategy: Copy HH file over DT\n"), std::string::npos);
  EXPECT_TRUE(exists(backup + ".0"));
  EXPECT_TRUE(exists(live));
}

// "HH over DT" when the handheld list cannot be copied (here it holds no
// records): the desktop file stays where it is and the ring does not turn.
TEST_F(ConduitTest, CopyThatWritesNothingLeavesTheDesktopFile) {
  createHandheldDatabase("Tolvk-A");
  createDesktopList("Tolvk-A");
  RegistryStore::writeValue("StrategyFast", 2);
  const std::string live = desktop_ + "Tolvk-A.XML";
  const std::string before = readFile(live);
  runConduit(0);
  EXPECT_NE(log().find("#   Strategy: Copy HH file over DT\n#   ERROR: Skipped DB; not enough records!\n"),
            std::string::npos)
      << log();
  EXPECT_EQ(readFile(live), before);
  EXPECT_FALSE(exists(desktop_ + "Backup"));
}

TEST_F(ConduitTest, ListWithOpenDesktopFileIsSkipped) {
  createHandheldDatabase("Tolvk-v1.2");
  createDesktopList("Tolvk-v1.2");
  writeFile(desktop_ + "Tolvk-v1._lk", "");  // cut at the file name's first "."
  EXPECT_EQ(runConduit(0), 0);
  EXPECT_NE(log().find("# Syncronizing 1 databases.\n\n"
                       "# Tolvk-v1.2: File is open in Tolvan Desktop. Skipped.\n"
                       "#   SKIPPING: Close the file and resync.\n"
                       "#   " + desktop_ + "Tolvk-v1.2.XML\n"
                       "\n# Log open"),
            std::string::npos)
      << log();
  // The window shows the skipped row; the last line echoed was the blank one.
  OsProgress window = OsProgressLast();
  ASSERT_NE(window, nullptr);
  EXPECT_STREQ(OsProgressText(window, 1018), "Tolvk-v1.2");
  EXPECT_STREQ(OsProgressText(window, 1019), "Thinking");
  EXPECT_STREQ(OsProgressText(window, 1020), "");
  EXPECT_STREQ(OsProgressText(window, 1022), "2.2.0");
}

TEST_F(ConduitTest, FourLogsAfterFiveRuns) {
  for (int type = 0; type < 5; ++type) runConduit(type);
  EXPECT_NE(readFile(desktop_ + "lastsync.txt").find("strategy: 4 "), std::string::npos);
  EXPECT_NE(readFile(desktop_ + "lastsync1.txt").find("strategy: 3 "), std::string::npos);
  EXPECT_NE(readFile(desktop_ + "lastsync2.txt").find("strategy: 2 "), std::string::npos);
  EXPECT_NE(readFile(desktop_ + "lastsync3.txt").find("strategy: 1 "), std::string::npos);
  EXPECT_FALSE(exists(desktop_ + "lastsync4.txt"));
}

// The viewer script records its argument and whether the log was finished.
TEST_F(ConduitTest, LogViewerOnlyAfterAFailedRun) {
  const std::string record = root_ + "/viewer.txt";
  const std::string script = root_ + "/viewer.sh";
  writeFile(script, "#!/bin/sh\ngrep -c '^# Log finished' \"$1\" >/dev/null && echo \"$1\" >> " +
                        record + "\n");
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  setenv("TOLVEX_LOG_VIEWER", script.c_str(), 1);

  EXPECT_EQ(runConduit(0), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(exists(record));

  DeviceIni ini;
  ini.moduleVersion = "3.0";
  configureDevice(ini);
  EXPECT_EQ(runConduit(0), -13);
  for (int i = 0; i < 50 && readFile(record).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(readFile(record), desktop_ + "lastsync.txt\n");
  unsetenv("TOLVEX_LOG_VIEWER");
}

}  // namespace
}  // namespace tolvex::test
