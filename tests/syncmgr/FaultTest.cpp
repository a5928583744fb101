// SYNCMGR_FAULTS fails exactly the named call, without side effects;
// SYNCMGR_TRACE records every call.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "platform/syncmgr/FaultPlan.h"
#include "tests/syncmgr/ImageFixture.h"

namespace tolvex::test {
namespace {

using Faults = ImageTest;

TEST(FaultList, ParsesEntriesAndIgnoresMalformedOnes) {
  testing::internal::CaptureStderr();
  auto plan = parseFaultList("SyncOpenDB:2,SyncWriteRec:1,,SyncOpenDB:5,bad,x:0,:3,y:1z");
  const std::string message = testing::internal::GetCapturedStderr();
  EXPECT_EQ(plan.size(), 2u);
  EXPECT_EQ(plan["SyncOpenDB"], (std::set<unsigned long>{2, 5}));
  EXPECT_EQ(plan["SyncWriteRec"], (std::set<unsigned long>{1}));
  EXPECT_NE(message.find("\"bad\""), std::string::npos);
  EXPECT_NE(message.find("\"y:1z\""), std::string::npos);
}

TEST_F(Faults, TheNthCallFailsAndOnlyThatOne) {
  EXPECT_EQ(SyncCloseDB(create("db")), 0);
  arm("SyncOpenDB:2");
  uint8_t h = 0;
  ASSERT_EQ(SyncOpenDB("db", 0, &h, 0x80), 0);
  EXPECT_EQ(SyncCloseDB(h), 0);
  h = 0;
  EXPECT_EQ(SyncOpenDB("db", 0, &h, 0x80), SYNCERR_FAULT);
  EXPECT_EQ(h, 0);
  ASSERT_EQ(SyncOpenDB("db", 0, &h, 0x80), 0);
  EXPECT_EQ(SyncCloseDB(h), 0);
  arm("SyncOpenDB:1");  // attaching re-reads the list and restarts the count
  EXPECT_EQ(SyncOpenDB("db", 0, &h, 0x80), SYNCERR_FAULT);
}

// A fault that fires says so; one never reached says nothing. A planned kill
// ends the process as its call begins, before the call acts.
TEST_F(Faults, FiredFaultsAreReportedAndAPlannedKillLandsOnItsCall) {
  EXPECT_EQ(SyncCloseDB(create("db")), 0);
  EXPECT_EQ(SyncCloseDB(create("db2")), 0);
  testing::internal::CaptureStderr();
  arm("SyncOpenDB:2,SyncReadUserID:1");
  uint8_t h = 0;
  ASSERT_EQ(SyncOpenDB("db", 0, &h, 0x80), 0);
  EXPECT_EQ(SyncCloseDB(h), 0);
  EXPECT_EQ(SyncOpenDB("db", 0, &h, 0x80), SYNCERR_FAULT);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "syncmgr: injected fault: SyncOpenDB:2\n");

  unsetenv("SYNCMGR_FAULTS");
  SyncHostDetach();
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    setenv("SYNCMGR_KILL", "SyncDeleteDB:2", 1);
    if (SyncHostAttach(dir_.c_str()) != 0) _exit(3);
    SyncDeleteDB("db", 0);
    SyncDeleteDB("db2", 0);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  struct stat st;
  EXPECT_NE(stat(path("db.pdb").c_str(), &st), 0) << "the call before the kill did not act";
  EXPECT_EQ(stat(path("db2.pdb").c_str(), &st), 0) << "the killed call acted";
  ASSERT_EQ(SyncHostAttach(dir_.c_str()), 0);
}

TEST_F(Faults, FailedWritesChangeNothing) {
  uint8_t h = create("db");
  write(h, "one");
  ASSERT_EQ(SyncCloseDB(h), 0);
  const auto before = readFile(path("db.pdb"));
  arm("SyncWriteRec:1,SyncWriteDBAppInfoBlock:1,SyncHostSetRecordAttributes:1,SyncCreateDB:1,SyncDeleteDB:1,"
      "SyncCloseDB:1");
  ASSERT_EQ(SyncOpenDB("db", 0, &h, 0xD0), 0);
  std::string data = "two";
  SyncRecordInfo info{};
  info.handle = h;
  info.recSize = info.bufSize = 3;
  info.buffer = reinterpret_cast<uint8_t*>(data.data());
  EXPECT_EQ(SyncWriteRec(&info), SYNCERR_FAULT);
  EXPECT_EQ(+info.recId, 0u);
  const uint8_t app[2] = {1, 2};
  EXPECT_EQ(SyncWriteDBAppInfoBlock(h, app, 2), SYNCERR_FAULT);
  EXPECT_EQ(SyncHostSetRecordAttributes(h, 0, SYNC_REC_DELETED, 1), SYNCERR_FAULT);
  uint16_t count = 0;
  ASSERT_EQ(SyncGetDBRecordCount(h, &count), 0);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(SyncCloseDB(h), SYNCERR_FAULT);  // still open afterwards
  EXPECT_EQ(SyncCloseDB(h), 0);

  SyncCreateRecord rec{};
  std::strcpy(rec.name, "other");
  EXPECT_EQ(SyncCreateDB(&rec), SYNCERR_FAULT);
  EXPECT_EQ(SyncDeleteDB("db", 0), SYNCERR_FAULT);
  SyncCardInfo card{};
  ASSERT_EQ(SyncReadSingleCardInfo(&card), 0);
  EXPECT_EQ(+card.ramDbCount, 1);  // neither created nor deleted
  SyncHostDetach();
  EXPECT_EQ(readFile(path("db.pdb")), before);
}

TEST_F(Faults, EveryOperationCanBeFailed) {
  uint8_t h = create("db");
  write(h, "x");
  const uint8_t app[1] = {7};
  ASSERT_EQ(SyncWriteDBAppInfoBlock(h, app, 1), 0);
  ASSERT_EQ(SyncCloseDB(h), 0);
  arm("SyncRegisterConduit:1,SyncUnRegisterConduit:1,SyncAddLogEntry:1,SyncGetAPIVersion:1,SyncReadUserID:1,"
      "SyncReadSingleCardInfo:1,SyncReadDBList:1,SyncOpenDB:1,SyncReadOpenDbInfo:1,SyncGetDBRecordCount:1,"
      "SyncReadRecordByIndex:1,SyncReadDBAppInfoBlock:1,SyncCallRemoteModule:1,SyncHostSetLastDesktop:1,"
      "SyncHostCreateImage:1");
  CONDHANDLE c = 0;
  EXPECT_EQ(SyncRegisterConduit(&c), SYNCERR_FAULT);
  EXPECT_EQ(c, 0u);
  ASSERT_EQ(SyncRegisterConduit(&c), 0);
  EXPECT_EQ(SyncUnRegisterConduit(c), SYNCERR_FAULT);
  EXPECT_EQ(SyncUnRegisterConduit(c), 0);
  std::string log;
  SyncHostSetLogSink([](const char* t, void* ctx) { *static_cast<std::string*>(ctx) += t; }, &log);
  EXPECT_EQ(SyncAddLogEntry("lost\n"), SYNCERR_FAULT);
  SyncHostSetLogSink(nullptr, nullptr);
  EXPECT_EQ(log, "");
  uint32_t major = 0, minor = 0;
  EXPECT_EQ(SyncGetAPIVersion(&major, &minor), SYNCERR_FAULT);
  SyncUserInfo user{};
  EXPECT_EQ(SyncReadUserID(&user), SYNCERR_FAULT);
  EXPECT_STREQ(user.name, "");
  SyncCardInfo card{};
  EXPECT_EQ(SyncReadSingleCardInfo(&card), SYNCERR_FAULT);
  SyncDbRecord list[2];
  int count = 2;
  EXPECT_EQ(SyncReadDBList(0, 0, 1, list, &count), SYNCERR_FAULT);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(SyncOpenDB("db", 0, &h, 0x80), SYNCERR_FAULT);
  ASSERT_EQ(SyncOpenDB("db", 0, &h, 0x80), 0);
  SyncOpenDbInfoRequest req{0x80, h};
  SyncDbRecord info{};
  EXPECT_EQ(SyncReadOpenDbInfo(&req, &info), SYNCERR_FAULT);
  uint16_t n = 0;
  EXPECT_EQ(SyncGetDBRecordCount(h, &n), SYNCERR_FAULT);
  SyncRecordInfo rec;
  long err = 0;
  read(h, 0, &rec, &err);
  EXPECT_EQ(err, SYNCERR_FAULT);
  uint8_t buffer[16];
  SyncAppInfoBlock block{};
  block.bufSize = sizeof buffer;
  block.buffer = buffer;
  EXPECT_EQ(SyncReadDBAppInfoBlock(h, &block), SYNCERR_FAULT);
  EXPECT_EQ(SyncReadDBAppInfoBlock(h, &block), 0);
  EXPECT_EQ(SyncCloseDB(h), 0);
  char reply[26];
  SyncCallModuleParams call{};
  call.creator = SYNC_FOURCC('Q', 'z', 'v', 'm');
  call.type = SYNC_FOURCC('a', 'p', 'p', 'l');
  call.function = SYNC_MODULE_VERSION;
  call.replySize = sizeof reply;
  call.reply = reply;
  EXPECT_EQ(SyncCallRemoteModule(&call), SYNCERR_FAULT);
  EXPECT_EQ(SyncCallRemoteModule(&call), 0);
  EXPECT_EQ(SyncHostSetLastDesktop(9), SYNCERR_FAULT);
  const std::string other = dir_ + "/other";
  EXPECT_EQ(SyncHostCreateImage(other.c_str(), "Bo"), SYNCERR_FAULT);
  struct stat st;
  EXPECT_NE(stat(other.c_str(), &st), 0);

  // Attaching is an operation too: its own count starts with the new list.
  SyncHostDetach();
  setenv("SYNCMGR_FAULTS", "SyncHostAttach:1", 1);
  EXPECT_EQ(SyncHostAttach(dir_.c_str()), SYNCERR_FAULT);
  unsetenv("SYNCMGR_FAULTS");
  EXPECT_EQ(SyncHostAttach(dir_.c_str()), 0);
}

TEST_F(Faults, TraceListsEveryCall) {
  const std::string trace = path("trace.txt");
  // Read when the image is attached, like the fault lists.
  setenv("SYNCMGR_TRACE", trace.c_str(), 1);
  ASSERT_EQ(SyncHostAttach(dir_.c_str()), 0);
  uint8_t h = create("db");
  SyncCloseDB(h);
  SyncOpenDB("missing", 0, &h, 0x80);
  unsetenv("SYNCMGR_TRACE");
  SyncOpenDB("missing", 0, &h, 0x80);  // still traced: the variable was read at attach
  ASSERT_EQ(SyncHostAttach(dir_.c_str()), 0);
  SyncOpenDB("missing", 0, &h, 0x80);
  const auto bytes = readFile(trace);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
            "SyncHostAttach\nSyncCreateDB\nSyncCloseDB\nSyncOpenDB\nSyncOpenDB\n");
}

// What the image skips or cannot write reaches the host's log as well as
// stderr, and detaching says whether every change reached the image.
TEST_F(Faults, SkippedAndUnwrittenFilesReachTheLogAndTheDetachResult) {
  std::string got;
  SyncHostSetLogSink([](const char* text, void* ctx) { *static_cast<std::string*>(ctx) += text; }, &got);
  uint8_t h = create("db");
  write(h, "one");
  ASSERT_EQ(SyncCloseDB(h), 0);
  EXPECT_EQ(SyncHostDetach(), SYNCERR_NONE);

  writeFile(path("broken.pdb"), std::vector<uint8_t>(20, 0));
  testing::internal::CaptureStderr();
  ASSERT_EQ(SyncHostAttach(dir_.c_str()), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("broken.pdb"), std::string::npos);
  EXPECT_NE(got.find("Handheld image: " + path("broken.pdb") + ": truncated header"), std::string::npos) << got;

  // A folder where the file was: the new contents cannot be renamed into place.
  ASSERT_EQ(SyncOpenDB("db", 0, &h, 0xC0), 0);
  write(h, "two");
  ASSERT_EQ(std::remove(path("db.pdb").c_str()), 0);
  ASSERT_EQ(mkdir(path("db.pdb").c_str(), 0755), 0);
  writeFile(path("db.pdb/in-the-way"), {1});
  got.clear();
  testing::internal::CaptureStderr();
  EXPECT_EQ(SyncCloseDB(h), SYNCERR_IO);
  EXPECT_EQ(SyncHostDetach(), SYNCERR_IO);  // tried again, failed again
  testing::internal::GetCapturedStderr();
  // Once at the close, once more at the detach.
  const std::string unwritten = path("db.pdb") + ": cannot be written";
  const size_t first = got.find(unwritten);
  ASSERT_NE(first, std::string::npos) << got;
  const size_t second = got.find(unwritten, first + 1);
  ASSERT_NE(second, std::string::npos) << got;
  EXPECT_EQ(got.find(unwritten, second + 1), std::string::npos) << got;
  SyncHostSetLogSink(nullptr, nullptr);
  removeFolder(path("db.pdb"));
  ASSERT_EQ(SyncHostAttach(dir_.c_str()), 0);
}

TEST_F(Faults, AWriteBackNeverFollowsALinkInPlaceOfItsTemporaryFile) {
  const std::string outside = makeTempFolder();
  writeFile(outside + "/target", {'k', 'e', 'e', 'p'});
  const std::string temp = path(".db.pdb.tmp" + std::to_string(getpid()));
  ASSERT_EQ(symlink((outside + "/target").c_str(), temp.c_str()), 0);
  uint8_t h = create("db");
  write(h, "record");
  EXPECT_EQ(SyncCloseDB(h), 0);
  EXPECT_EQ(readFile(outside + "/target"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
  struct stat st;
  EXPECT_NE(lstat(temp.c_str(), &st), 0);
  ASSERT_EQ(lstat(path("db.pdb").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  removeFolder(outside);
}

}  // namespace
}  // namespace tolvex::test
