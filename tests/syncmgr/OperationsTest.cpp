// The Sync Manager operations over a handheld image: what each answers, and
// what survives a close, a detach and a fresh attach.
#include <sys/stat.h>

#include <ctime>
#include <set>

#include "platform/syncmgr/PdbFile.h"
#include "tests/syncmgr/ImageFixture.h"

namespace tolvex::test {
namespace {

using Operations = ImageTest;

TEST_F(Operations, RegisterHandsOutDistinctNonZeroHandles) {
  CONDHANDLE a = 0, b = 0;
  ASSERT_EQ(SyncRegisterConduit(&a), 0);
  ASSERT_EQ(SyncRegisterConduit(&b), 0);
  EXPECT_NE(a, 0u);
  EXPECT_NE(b, 0u);
  EXPECT_NE(a, b);
  EXPECT_EQ(SyncUnRegisterConduit(a), 0);
  EXPECT_NE(SyncUnRegisterConduit(a), 0);  // twice
  EXPECT_EQ(SyncUnRegisterConduit(b), 0);
  EXPECT_NE(SyncRegisterConduit(nullptr), 0);
}

TEST_F(Operations, LogLinesGoToTheSink) {
  std::string got;
  SyncHostSetLogSink([](const char* text, void* ctx) { *static_cast<std::string*>(ctx) += text; }, &got);
  EXPECT_EQ(SyncAddLogEntry("OK Tolvan\n"), 0);
  EXPECT_NE(SyncAddLogEntry(nullptr), 0);
  SyncHostSetLogSink(nullptr, nullptr);
  EXPECT_EQ(got, "OK Tolvan\n");
}

TEST_F(Operations, DeviceIniDrivesVersionUserAndModule) {
  uint32_t major = 0, minor = 0;
  ASSERT_EQ(SyncGetAPIVersion(&major, &minor), 0);
  EXPECT_EQ(major, 2u);
  EXPECT_EQ(minor, 2u);

  SyncUserInfo user{};
  ASSERT_EQ(SyncReadUserID(&user), 0);
  EXPECT_STREQ(user.name, "Ann");
  EXPECT_EQ(+user.lastSyncPC, 0u);

  ASSERT_EQ(SyncHostSetLastDesktop(4711), 0);
  reattach();
  ASSERT_EQ(SyncReadUserID(&user), 0);
  EXPECT_EQ(+user.lastSyncPC, 4711u);

  // An image without a [user] group cannot report one; an empty name is fine.
  SyncHostDetach();
  ASSERT_EQ(SyncHostCreateImage(dir_.c_str(), nullptr), 0);
  ASSERT_EQ(SyncHostAttach(dir_.c_str()), 0);
  EXPECT_EQ(SyncReadUserID(&user), SYNCERR_NOT_FOUND);
  SyncHostDetach();
  ASSERT_EQ(SyncHostCreateImage(dir_.c_str(), ""), 0);
  ASSERT_EQ(SyncHostAttach(dir_.c_str()), 0);
  ASSERT_EQ(SyncReadUserID(&user), 0);
  EXPECT_STREQ(user.name, "");
}

TEST_F(Operations, UserNameReachesTheHandheldAsOneBytePerCharacter) {
  SyncHostDetach();
  ASSERT_EQ(SyncHostCreateImage(dir_.c_str(), "J\xc3\xb6rg \xe2\x80\xa2"), 0);  // Jörg •
  ASSERT_EQ(SyncHostAttach(dir_.c_str()), 0);
  SyncUserInfo user{};
  ASSERT_EQ(SyncReadUserID(&user), 0);
  EXPECT_STREQ(user.name, "J\xf6rg ?");
}

TEST_F(Operations, NothingWorksWithoutAnImage) {
  SyncHostDetach();
  uint32_t a, b;
  uint8_t h;
  SyncUserInfo user{};
  EXPECT_EQ(SyncGetAPIVersion(&a, &b), SYNCERR_NOT_OPEN);
  EXPECT_EQ(SyncReadUserID(&user), SYNCERR_NOT_OPEN);
  EXPECT_EQ(SyncOpenDB("x", 0, &h, 0x80), SYNCERR_NOT_OPEN);
  EXPECT_NE(SyncHostAttach((dir_ + "/missing").c_str()), 0);
  const std::string plain = makeTempFolder();  // no device.ini
  EXPECT_NE(SyncHostAttach(plain.c_str()), 0);
  removeFolder(plain);
}

TEST_F(Operations, DatabaseListAndCardInfo) {
  for (const char* name : {"Tolvk-B", "Tolvk-A", "TolvTags"}) EXPECT_EQ(SyncCloseDB(create(name)), 0);
  SyncCardInfo card{};
  ASSERT_EQ(SyncReadSingleCardInfo(&card), 0);
  EXPECT_EQ(+card.ramDbCount, 3);
  card.cardNo = 1;
  EXPECT_NE(SyncReadSingleCardInfo(&card), 0);

  SyncDbRecord recs[8];
  int count = 8;
  ASSERT_EQ(SyncReadDBList(0, 0, 1, recs, &count), 0);
  ASSERT_EQ(count, 3);
  std::set<std::string> names;
  for (int i = 0; i < count; ++i) {
    names.insert(recs[i].name);
    EXPECT_EQ(+recs[i].creator, SYNC_FOURCC('W', 'k', 'd', 'q'));
    EXPECT_EQ(+recs[i].dbFlags, 0x0008);
    EXPECT_NE(+recs[i].createDate, 0u);
  }
  EXPECT_EQ(names, (std::set<std::string>{"Tolvk-A", "Tolvk-B", "TolvTags"}));

  count = 2;  // fewer slots than databases, then the rest
  ASSERT_EQ(SyncReadDBList(0, 0, 1, recs, &count), 0);
  EXPECT_EQ(count, 2);
  count = 8;
  ASSERT_EQ(SyncReadDBList(0, 2, 1, recs, &count), 0);
  EXPECT_EQ(count, 1);
  count = 8;
  EXPECT_NE(SyncReadDBList(0, 3, 1, recs, &count), 0);
  EXPECT_EQ(count, 0);
  count = 8;
  EXPECT_NE(SyncReadDBList(1, 0, 1, recs, &count), 0);
}

TEST_F(Operations, CreateOpenCloseDelete) {
  uint8_t h = create("Tolvk-Shop");
  ASSERT_NE(h, 0);
  SyncCreateRecord again{};
  std::strcpy(again.name, "Tolvk-Shop");
  EXPECT_EQ(SyncCreateDB(&again), SYNCERR_EXISTS);
  SyncCreateRecord unterminated{};
  std::memset(unterminated.name, 'x', sizeof unterminated.name);
  EXPECT_EQ(SyncCreateDB(&unterminated), SYNCERR_BAD_ARG);
  SyncCreateRecord otherCard{};
  std::strcpy(otherCard.name, "x");
  otherCard.cardNo = 1;
  EXPECT_NE(SyncCreateDB(&otherCard), 0);

  EXPECT_EQ(SyncDeleteDB("Tolvk-Shop", 0), SYNCERR_BAD_ARG);  // still open
  ASSERT_EQ(SyncCloseDB(h), 0);
  EXPECT_NE(SyncCloseDB(h), 0);
  struct stat st;
  EXPECT_EQ(stat(path("Tolvk-Shop.pdb").c_str(), &st), 0);

  uint8_t r = 0;
  EXPECT_EQ(SyncOpenDB("Tolvk-Shop", 0, &r, 0x80), 0);
  EXPECT_EQ(SyncCloseDB(r), 0);
  EXPECT_EQ(SyncOpenDB("Tolvk-None", 0, &r, 0xD0), SYNCERR_NOT_FOUND);
  EXPECT_NE(SyncOpenDB("Tolvk-Shop", 1, &r, 0xD0), 0);

  EXPECT_EQ(SyncDeleteDB("Tolvk-Shop", 0), 0);
  EXPECT_NE(stat(path("Tolvk-Shop.pdb").c_str(), &st), 0);
  EXPECT_EQ(SyncDeleteDB("Tolvk-Shop", 0), SYNCERR_NOT_FOUND);
}

TEST_F(Operations, OpenHandlesAreLimited) {
  EXPECT_EQ(SyncCloseDB(create("db")), 0);
  std::vector<uint8_t> handles;
  uint8_t h = 0;
  long err = 0;
  while ((err = SyncOpenDB("db", 0, &h, 0x80)) == 0 && handles.size() < 300) handles.push_back(h);
  EXPECT_EQ(err, SYNCERR_TOO_MANY);
  EXPECT_LT(handles.size(), 256u);
  EXPECT_EQ(std::set<uint8_t>(handles.begin(), handles.end()).size(), handles.size());
  for (uint8_t x : handles) EXPECT_EQ(SyncCloseDB(x), 0);
}

TEST_F(Operations, RecordsRoundTripThroughTheFile) {
  uint8_t h = create("Tolvk-List");
  const uint32_t a = write(h, "header");
  const uint32_t b = write(h, std::string("item\0one", 8));
  EXPECT_NE(a, 0u);
  EXPECT_NE(b, 0u);
  EXPECT_NE(a, b);
  EXPECT_LE(a, 0xFFFFFFu);
  uint16_t count = 0;
  ASSERT_EQ(SyncGetDBRecordCount(h, &count), 0);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(SyncHostSetRecordAttributes(h, 1, SYNC_REC_DELETED, 3), 0);
  EXPECT_NE(SyncHostSetRecordAttributes(h, 2, 0, 0), 0);
  ASSERT_EQ(SyncCloseDB(h), 0);
  reattach();

  ASSERT_EQ(SyncOpenDB("Tolvk-List", 0, &h, 0x80), 0);
  SyncRecordInfo info;
  EXPECT_EQ(read(h, 0, &info), "header");
  EXPECT_EQ(+info.recId, a);
  EXPECT_EQ(+info.attribs, 0);
  EXPECT_EQ(read(h, 1, &info), std::string("item\0one", 8));
  EXPECT_EQ(+info.recId, b);
  EXPECT_EQ(+info.attribs, SYNC_REC_DELETED);
  EXPECT_EQ(+info.category, 3);
  long err = 0;
  read(h, 2, &info, &err);
  EXPECT_EQ(err, SYNCERR_NOT_FOUND);

  // Read-only handles refuse every write.
  EXPECT_EQ(SyncHostSetRecordAttributes(h, 0, 0, 0), SYNCERR_READ_ONLY);
  SyncRecordInfo w{};
  w.handle = h;
  EXPECT_EQ(SyncWriteRec(&w), SYNCERR_READ_ONLY);
  EXPECT_EQ(SyncWriteDBAppInfoBlock(h, nullptr, 0), SYNCERR_READ_ONLY);
  EXPECT_EQ(SyncCloseDB(h), 0);
  EXPECT_EQ(SyncGetDBRecordCount(h, &count), SYNCERR_NOT_OPEN);
}

TEST_F(Operations, WriteWithAnExistingIdReplacesThatRecord) {
  uint8_t h = create("db");
  const uint32_t a = write(h, "one");
  write(h, "two");
  EXPECT_EQ(write(h, "uno", a), a);
  uint16_t count = 0;
  ASSERT_EQ(SyncGetDBRecordCount(h, &count), 0);
  EXPECT_EQ(count, 2);
  SyncRecordInfo info;
  EXPECT_EQ(read(h, 0, &info), "uno");

  SyncRecordInfo unknown{};
  unknown.handle = h;
  unknown.recId = 0x123456;
  EXPECT_EQ(SyncWriteRec(&unknown), SYNCERR_NOT_FOUND);
  SyncRecordInfo lying{};  // claims more bytes than its buffer holds
  uint8_t byte = 0;
  lying.handle = h;
  lying.recSize = 10;
  lying.bufSize = 1;
  lying.buffer = &byte;
  EXPECT_EQ(SyncWriteRec(&lying), SYNCERR_BAD_ARG);
  EXPECT_EQ(SyncCloseDB(h), 0);
}

TEST_F(Operations, ARecordLargerThanTheBufferIsRefusedNotOverrun) {
  uint8_t h = create("db");
  write(h, std::string(100, 'x'));
  uint8_t buffer[64];
  std::memset(buffer, 0xEE, sizeof buffer);
  SyncRecordInfo info{};
  info.handle = h;
  info.bufSize = 50;
  info.buffer = buffer;
  EXPECT_EQ(SyncReadRecordByIndex(&info), SYNCERR_TOO_BIG);
  EXPECT_EQ(+info.recSize, 100u);
  for (uint8_t b : buffer) ASSERT_EQ(b, 0xEE);
  EXPECT_EQ(SyncCloseDB(h), 0);
}

TEST_F(Operations, AppInfoBlockCopiesTheHeadOfALargerBlock) {
  uint8_t h = create("db");
  std::vector<uint8_t> app(1500);
  for (size_t i = 0; i < app.size(); ++i) app[i] = static_cast<uint8_t>(i);
  uint8_t buffer[1024];
  SyncAppInfoBlock block{};
  block.bufSize = sizeof buffer;
  block.buffer = buffer;
  EXPECT_EQ(SyncReadDBAppInfoBlock(h, &block), SYNCERR_NOT_FOUND);  // none yet
  ASSERT_EQ(SyncWriteDBAppInfoBlock(h, app.data(), static_cast<uint16_t>(app.size())), 0);
  ASSERT_EQ(SyncCloseDB(h), 0);
  reattach();
  ASSERT_EQ(SyncOpenDB("db", 0, &h, 0x80), 0);
  ASSERT_EQ(SyncReadDBAppInfoBlock(h, &block), 0);
  EXPECT_EQ(+block.bytesRead, 1024);
  EXPECT_EQ(0, std::memcmp(buffer, app.data(), 1024));
  EXPECT_EQ(SyncReadDBAppInfoBlock(99, &block), SYNCERR_NOT_OPEN);
  EXPECT_EQ(SyncCloseDB(h), 0);
}

TEST_F(Operations, OpenDbInfoReportsTheCreationDate) {
  uint8_t h = create("Tolvk-New");
  SyncOpenDbInfoRequest req{0x80, h};
  SyncDbRecord info{};
  ASSERT_EQ(SyncReadOpenDbInfo(&req, &info), 0);
  EXPECT_STREQ(info.name, "Tolvk-New");
  EXPECT_EQ(+info.dbType, SYNC_FOURCC('W', 'k', 'd', 'q'));
  const uint32_t now1904 = static_cast<uint32_t>(time(nullptr) + 2082844800u);
  EXPECT_GE(+info.createDate + 5, now1904);
  EXPECT_LE(+info.createDate, now1904 + 60);
  req.handle = 77;
  EXPECT_EQ(SyncReadOpenDbInfo(&req, &info), SYNCERR_NOT_OPEN);
  EXPECT_EQ(SyncCloseDB(h), 0);
}

TEST_F(Operations, AReplacementNeverSharesTheCreationDateOfWhatItReplaces) {
  // A rebuild: the temporary copy is made, the original deleted, the copy renamed.
  std::set<uint32_t> dates;
  for (int round = 0; round < 4; ++round) {
    SyncDeleteDB("Tolvk-*Sync*", 0);
    uint8_t h = create("Tolvk-*Sync*");
    SyncOpenDbInfoRequest req{0x80, h};
    SyncDbRecord info{};
    ASSERT_EQ(SyncReadOpenDbInfo(&req, &info), 0);
    EXPECT_TRUE(dates.insert(+info.createDate).second) << "round " << round;
    ASSERT_EQ(SyncCloseDB(h), 0);
    SyncDeleteDB("Tolvk-L", 0);
    EXPECT_EQ(renameDb("Tolvk-*Sync*", "Tolvk-L"), 0u);
  }
  // Nor across runs with the clock set back: Tolvk-L made "an hour from
  // now" (big-endian creation date at offset 36 of the file).
  SyncHostDetach();
  std::vector<uint8_t> bytes = readFile(dir_ + "/Tolvk-L.pdb");
  const uint32_t later = static_cast<uint32_t>(time(nullptr) + 2082844800u + 3600);
  for (int i = 0; i < 4; ++i) bytes[36 + i] = static_cast<uint8_t>(later >> (24 - 8 * i));
  writeFile(dir_ + "/Tolvk-L.pdb", bytes);
  reattach();
  uint8_t h = create("Tolvk-*Sync*");
  SyncOpenDbInfoRequest req{0x80, h};
  SyncDbRecord info{};
  ASSERT_EQ(SyncReadOpenDbInfo(&req, &info), 0);
  EXPECT_GT(+info.createDate, later);
  ASSERT_EQ(SyncCloseDB(h), 0);
}

SyncCallModuleParams moduleCall(uint16_t function, void* param, uint32_t paramSize, void* reply,
                                uint32_t replySize) {
  SyncCallModuleParams call{};
  call.creator = SYNC_FOURCC('Q', 'z', 'v', 'm');
  call.type = SYNC_FOURCC('a', 'p', 'p', 'l');
  call.function = function;
  call.paramSize = paramSize;
  call.param = param;
  call.replySize = replySize;
  call.reply = reply;
  return call;
}

TEST_F(Operations, ModuleAnswersVersionAndEncoding) {
  char param[26] = {}, reply[26];
  auto call = moduleCall(SYNC_MODULE_VERSION, param, 26, reply, 26);
  ASSERT_EQ(SyncCallRemoteModule(&call), 0);
  EXPECT_EQ(+call.resultCode, 0u);
  EXPECT_STREQ(reply, "1.1");
  char enc[20];
  call = moduleCall(SYNC_MODULE_GET_ENCODING, param, 20, enc, 20);
  ASSERT_EQ(SyncCallRemoteModule(&call), 0);
  EXPECT_STREQ(enc, "ISO-8859-1");

  call = moduleCall(SYNC_MODULE_VERSION, param, 26, reply, 26);
  call.creator = SYNC_FOURCC('W', 'k', 'd', 'q');
  EXPECT_EQ(SyncCallRemoteModule(&call), SYNCERR_NO_MODULE);
  call = moduleCall(99, param, 26, reply, 26);
  ASSERT_EQ(SyncCallRemoteModule(&call), 0);
  EXPECT_NE(+call.resultCode, 0u);

  // installed=no: the handheld has no module to call.
  SyncHostDetach();
  {
    std::ofstream ini(path("device.ini"));
    ini << "[user]\nname=Ann\nid=1\n[module]\ninstalled=no\n";
  }
  ASSERT_EQ(SyncHostAttach(dir_.c_str()), 0);
  call = moduleCall(SYNC_MODULE_VERSION, param, 26, reply, 26);
  EXPECT_EQ(SyncCallRemoteModule(&call), SYNCERR_NO_MODULE);
}

TEST_F(Operations, RenameDbRenamesHeaderAndFile) {
  EXPECT_EQ(SyncCloseDB(create("Tolvk-*Sync*")), 0);
  EXPECT_EQ(SyncCloseDB(create("Tolvk-Taken")), 0);
  EXPECT_NE(renameDb("Tolvk-Missing", "Tolvk-X"), 0u);
  EXPECT_NE(renameDb("Tolvk-*Sync*", "Tolvk-Taken"), 0u);
  EXPECT_EQ(renameDb("Tolvk-*Sync*", "Tolvk-Trip/2"), 0u);

  struct stat st;
  EXPECT_NE(stat(path("Tolvk-*Sync*.pdb").c_str(), &st), 0);
  const auto bytes = readFile(path("Tolvk-Trip%2F2.pdb"));
  auto pdb = PdbFile::parse(bytes.data(), bytes.size(), nullptr);
  ASSERT_TRUE(pdb);
  EXPECT_EQ(pdb->name, "Tolvk-Trip/2");
  reattach();
  uint8_t h = 0;
  EXPECT_EQ(SyncOpenDB("Tolvk-Trip/2", 0, &h, 0x80), 0);
  EXPECT_EQ(SyncCloseDB(h), 0);
  EXPECT_EQ(SyncOpenDB("Tolvk-*Sync*", 0, &h, 0x80), SYNCERR_NOT_FOUND);

  // An old file that cannot be removed (a folder in its place here) fails the
  // rename, and no second copy stays under the new name.
  h = create("Tolvk-*Sync*");
  write(h, "kept");
  std::remove(path("Tolvk-*Sync*.pdb").c_str());
  ASSERT_EQ(mkdir(path("Tolvk-*Sync*.pdb").c_str(), 0755), 0);
  writeFile(path("Tolvk-*Sync*.pdb/in-the-way"), {1});
  EXPECT_NE(renameDb("Tolvk-*Sync*", "Tolvk-New"), 0u);
  EXPECT_NE(stat(path("Tolvk-New.pdb").c_str(), &st), 0);
  SyncRecordInfo info;
  EXPECT_EQ(read(h, 0, &info), "kept");
  SyncCloseDB(h);
}

// A closed database lets go of its records and reads them back when opened;
// renamed meanwhile, its file is the same but for the header's name and
// modification stamps, and it reads back whole under the new name.
TEST_F(Operations, ReleasedDatabasesReadBackAndRenameWhole) {
  uint8_t h = create("Tolvk-*Sync*");
  const uint8_t app[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(SyncWriteDBAppInfoBlock(h, app, sizeof app), 0);
  std::vector<std::string> records;
  for (int i = 0; i < 300; ++i) records.push_back(std::string(static_cast<size_t>(i % 37), static_cast<char>('a' + i % 26)));
  for (const std::string& r : records) write(h, r);
  ASSERT_EQ(SyncCloseDB(h), 0);
  const auto before = readFile(path("Tolvk-*Sync*.pdb"));
  auto was = PdbFile::parse(before.data(), before.size(), nullptr);
  ASSERT_TRUE(was);

  ASSERT_EQ(renameDb("Tolvk-*Sync*", "Tolvk-Renamed"), 0u);
  const auto after = readFile(path("Tolvk-Renamed.pdb"));
  auto is = PdbFile::parse(after.data(), after.size(), nullptr);
  ASSERT_TRUE(is);
  EXPECT_EQ(is->name, "Tolvk-Renamed");
  EXPECT_EQ(is->modNumber, was->modNumber + 1);
  EXPECT_EQ(is->serialize(), after);  // the standard layout
  is->name = was->name;
  is->modNumber = was->modNumber;
  is->modDate = was->modDate;
  EXPECT_EQ(is->serialize(), before);

  ASSERT_EQ(SyncOpenDB("Tolvk-Renamed", 0, &h, 0x80), 0);
  uint16_t count = 0;
  ASSERT_EQ(SyncGetDBRecordCount(h, &count), 0);
  ASSERT_EQ(count, records.size());
  SyncRecordInfo info;
  for (uint16_t i = 0; i < count; ++i) EXPECT_EQ(read(h, i, &info), records[i]);
  EXPECT_EQ(SyncCloseDB(h), 0);
}

TEST_F(Operations, ByteOrderHelpersReadHandheldBytes) {
  const uint8_t word[2] = {0x12, 0x34};
  const uint8_t dword[4] = {0x12, 0x34, 0x56, 0x78};
  uint16_t w;
  uint32_t d;
  std::memcpy(&w, word, 2);
  std::memcpy(&d, dword, 4);
  EXPECT_EQ(SyncHHToHostWord(w), 0x1234);
  EXPECT_EQ(SyncHHToHostDWord(d), 0x12345678u);
}

TEST_F(Operations, UnchangedDatabasesAreNotRewritten) {
  EXPECT_EQ(SyncCloseDB(create("db")), 0);
  struct stat before, after;
  ASSERT_EQ(stat(path("db.pdb").c_str(), &before), 0);
  const auto bytes = readFile(path("db.pdb"));
  reattach();
  uint8_t h = 0;
  ASSERT_EQ(SyncOpenDB("db", 0, &h, 0xD0), 0);
  SyncRecordInfo info;
  long err;
  read(h, 0, &info, &err);
  ASSERT_EQ(SyncCloseDB(h), 0);
  SyncHostDetach();
  ASSERT_EQ(stat(path("db.pdb").c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);  // a rewrite renames a new file into place
  EXPECT_EQ(readFile(path("db.pdb")), bytes);
}

TEST_F(Operations, SixtyFiveThousandRecordsLoadAndSaveWithoutRescans) {
  PdbFile big;
  big.name = "Tolvk-Big";
  for (int i = 0; i < 65000; ++i) {
    PdbRecord r;
    r.data.assign(40, static_cast<uint8_t>(i));
    big.appendRecord(std::move(r));
  }
  SyncHostDetach();
  writeFile(path("Tolvk-Big.pdb"), big.serialize());
  // Processor time with a wide bound: this catches per-record rescans (which
  // take minutes at this size), not a speed target.
  const std::clock_t start = std::clock();
  ASSERT_EQ(SyncHostAttach(dir_.c_str()), 0);
  uint8_t h = 0;
  ASSERT_EQ(SyncOpenDB("Tolvk-Big", 0, &h, 0xD0), 0);
  SyncRecordInfo info;
  read(h, 64999, &info);
  EXPECT_EQ(write(h, "changed", info.recId), +info.recId);  // a lookup by ID near the end
  write(h, "appended");
  ASSERT_EQ(SyncCloseDB(h), 0);
  const long ms = static_cast<long>((std::clock() - start) * 1000 / CLOCKS_PER_SEC);
#if defined(__SANITIZE_ADDRESS__)
  const long limit = 30000;  // instrumented build
#else
  const long limit = 3000;
#endif
  EXPECT_LT(ms, limit);
  reattach();
  ASSERT_EQ(SyncOpenDB("Tolvk-Big", 0, &h, 0x80), 0);
  uint16_t count = 0;
  ASSERT_EQ(SyncGetDBRecordCount(h, &count), 0);
  EXPECT_EQ(count, 65001);
  EXPECT_EQ(read(h, 64999, &info), "changed");
  EXPECT_EQ(SyncCloseDB(h), 0);
}

}  // namespace
}  // namespace tolvex::test
