// The .pdb reader and writer: exact layout, and damaged files that must be
// refused by name, held unreadable or skipped by the image, and left byte for
// byte as they were.
#include "platform/syncmgr/HandheldImage.h"
#include "platform/syncmgr/PdbFile.h"
#include "tests/syncmgr/ImageFixture.h"

namespace tolvex::test {
namespace {

PdbFile sample() {
  PdbFile db;
  db.name = "Tolvk-Sample";
  db.attributes = 0x0008;
  db.version = 1;
  db.createDate = 3000000000u;
  db.modDate = 3000000001u;
  db.type = SYNC_FOURCC('W', 'k', 'd', 'q');
  db.creator = db.type;
  db.appInfo = {1, 2, 3, 4};
  for (int i = 0; i < 3; ++i) {
    PdbRecord r;
    r.data.assign(5 + i, static_cast<uint8_t>('a' + i));
    r.category = static_cast<uint8_t>(i);
    db.appendRecord(std::move(r));
  }
  return db;
}

TEST(PdbFile, LayoutOfAWrittenFile) {
  const auto bytes = sample().serialize();
  ASSERT_EQ(bytes.size(), 78u + 3 * 8 + 2 + 4 + 5 + 6 + 7);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data())), "Tolvk-Sample");
  EXPECT_EQ(readBe16(&bytes[32]), 0x0008);
  EXPECT_EQ(readBe32(&bytes[36]), 3000000000u);
  EXPECT_EQ(readBe32(&bytes[52]), 78u + 24 + 2);  // app-info right after the pad bytes
  EXPECT_EQ(readBe32(&bytes[60]), SYNC_FOURCC('W', 'k', 'd', 'q'));
  EXPECT_EQ(readBe16(&bytes[76]), 3);
  EXPECT_EQ(readBe32(&bytes[78]), 78u + 24 + 2 + 4);  // first record after app-info
  EXPECT_EQ(bytes[78 + 8 + 4], 0x01);                // category of record 1
  const uint32_t id = (bytes[78 + 5] << 16) | (bytes[78 + 6] << 8) | bytes[78 + 7];
  EXPECT_NE(id, 0u);
}

TEST(PdbFile, ParseThenSerializeIsIdentity) {
  const auto bytes = sample().serialize();
  std::string error;
  auto db = PdbFile::parse(bytes.data(), bytes.size(), &error);
  ASSERT_TRUE(db) << error;
  EXPECT_EQ(db->serialize(), bytes);
  EXPECT_EQ(db->records()[2].data, std::vector<uint8_t>(7, 'c'));
}

TEST(PdbFile, ZeroIdsGetFreshOnesAndDuplicatesAreRefused) {
  auto bytes = sample().serialize();
  for (int i = 0; i < 3; ++i) bytes[78 + 8 * i + 5] = bytes[78 + 8 * i + 6] = bytes[78 + 8 * i + 7] = 0;
  auto db = PdbFile::parse(bytes.data(), bytes.size(), nullptr);
  ASSERT_TRUE(db);
  std::set<uint32_t> ids;
  for (const auto& r : db->records()) ids.insert(r.uniqueId);
  EXPECT_EQ(ids.size(), 3u);
  EXPECT_EQ(ids.count(0), 0u);
  // Read in place, the records are the same, fresh IDs included.
  std::vector<PdbRecordView> views;
  ASSERT_TRUE(PdbFile::parseInPlace(bytes.data(), bytes.size(), nullptr, &views));
  ASSERT_EQ(views.size(), db->recordCount());
  for (size_t i = 0; i < views.size(); ++i) {
    EXPECT_EQ(views[i].uniqueId, db->records()[i].uniqueId);
    EXPECT_EQ(std::vector<uint8_t>(views[i].data, views[i].data + views[i].size), db->records()[i].data);
  }

  bytes = sample().serialize();
  std::memcpy(&bytes[78 + 8 + 5], &bytes[78 + 5], 3);
  std::string error;
  EXPECT_FALSE(PdbFile::parse(bytes.data(), bytes.size(), &error));
  EXPECT_NE(error.find("unique ID"), std::string::npos) << error;
}

TEST(PdbFile, IdsWrapWithinTwentyFourBitsAndSkipZero) {
  PdbFile db;
  db.uniqueIdSeed = 0xFFFFFE;
  EXPECT_EQ(db.assignUniqueId(), 0xFFFFFFu);
  EXPECT_EQ(db.assignUniqueId(), 1u);
}

struct Damage {
  const char* what;
  const char* fault;  // expected in the message
  void (*apply)(std::vector<uint8_t>&);
  bool named = true;  // the header still names the database
};

const Damage kDamage[] = {
    {"truncated header", "truncated header", [](std::vector<uint8_t>& b) { b.resize(50); }, false},
    {"empty file", "truncated header", [](std::vector<uint8_t>& b) { b.clear(); }, false},
    {"unterminated name", "not terminated", [](std::vector<uint8_t>& b) { std::memset(b.data(), 'N', 32); }, false},
    {"empty name", "empty", [](std::vector<uint8_t>& b) { b[0] = 0; }, false},
    {"repeated unique ID", "repeats unique ID", [](std::vector<uint8_t>& b) { std::memcpy(&b[78 + 13], &b[78 + 5], 3); }},
    {"lying record count", "record count", [](std::vector<uint8_t>& b) { writeBe16(&b[76], 500); }},
    {"record past the end", "past the end", [](std::vector<uint8_t>& b) { writeBe32(&b[78 + 16], 100000); }},
    {"records out of order", "out of order",
     [](std::vector<uint8_t>& b) {
       const uint32_t first = readBe32(&b[78]);
       writeBe32(&b[78], readBe32(&b[78 + 8]));
       writeBe32(&b[78 + 8], first);
     }},
    {"record inside the record list", "inside the record list", [](std::vector<uint8_t>& b) { writeBe32(&b[78], 80); }},
    {"app-info inside the record list", "app-info", [](std::vector<uint8_t>& b) { writeBe32(&b[52], 90); }},
    {"app-info past the end", "app-info", [](std::vector<uint8_t>& b) { writeBe32(&b[52], 0x7FFFFFFF); }},
    {"app-info after the records", "app-info",
     [](std::vector<uint8_t>& b) { writeBe32(&b[52], static_cast<uint32_t>(b.size() - 1)); }},
    {"chained record list", "chained", [](std::vector<uint8_t>& b) { writeBe32(&b[72], 200); }},
    {"resource database", "resource", [](std::vector<uint8_t>& b) { writeBe16(&b[32], 0x0001); }},
};

using HostileFiles = ImageTest;

TEST_F(HostileFiles, AreReportedAndNeverTouched) {
  for (const Damage& d : kDamage) {
    SCOPED_TRACE(d.what);
    SyncHostDetach();
    auto bytes = sample().serialize();
    d.apply(bytes);
    std::string error;
    EXPECT_FALSE(PdbFile::parse(bytes.data(), bytes.size(), &error));
    EXPECT_NE(error.find(d.fault), std::string::npos) << error;

    const std::string file = path("Tolvk-Sample.pdb");
    writeFile(file, bytes);
    testing::internal::CaptureStderr();
    ASSERT_EQ(SyncHostAttach(dir_.c_str()), 0);
    const std::string message = testing::internal::GetCapturedStderr();
    EXPECT_NE(message.find(file), std::string::npos) << message;
    EXPECT_NE(message.find(d.fault), std::string::npos) << message;

    // A file whose header names its database stays on the image under that
    // name, as a damaged database stays on a handheld: listed, but it cannot
    // be opened, deleted, renamed or replaced. Any other file is not listed,
    // and a database of the same name lands in another file.
    SyncCardInfo card{};
    ASSERT_EQ(SyncReadSingleCardInfo(&card), 0);
    EXPECT_EQ(+card.ramDbCount, d.named ? 1 : 0);
    SyncDbRecord listed{};
    int count = 1;
    if (d.named) {
      ASSERT_EQ(SyncReadDBList(0, 0, 1, &listed, &count), 0);
      EXPECT_STREQ(listed.name, "Tolvk-Sample");
    }
    uint8_t h = 0;
    EXPECT_EQ(SyncOpenDB("Tolvk-Sample", 0, &h, 0xD0), d.named ? SYNCERR_IO : SYNCERR_NOT_FOUND);
    EXPECT_EQ(SyncDeleteDB("Tolvk-Sample", 0), d.named ? SYNCERR_IO : SYNCERR_NOT_FOUND);
    if (d.named) {
      SyncCreateRecord rec{};
      std::strcpy(rec.name, "Tolvk-Sample");
      EXPECT_EQ(SyncCreateDB(&rec), SYNCERR_EXISTS);
      EXPECT_NE(renameDb("Tolvk-Sample", "Tolvk-Moved"), 0u);
      ASSERT_EQ(SyncCloseDB(create("Tolvk-Other")), 0);
      EXPECT_NE(renameDb("Tolvk-Other", "Tolvk-Sample"), 0u);
      ASSERT_EQ(SyncDeleteDB("Tolvk-Other", 0), 0);
    } else {
      h = create("Tolvk-Sample");
      write(h, "fresh");
      ASSERT_EQ(SyncCloseDB(h), 0);
      ASSERT_EQ(SyncDeleteDB("Tolvk-Sample", 0), 0);
    }
    SyncHostDetach();
    EXPECT_EQ(readFile(file), bytes);
    std::remove(file.c_str());
  }
}

// Which of two files naming one database holds the user's latest is unknown:
// the database is used from neither, and neither file changes.
TEST_F(HostileFiles, TwoFilesWithTheSameNameAreBothLeftAlone) {
  SyncHostDetach();
  const auto bytes = sample().serialize();
  writeFile(path("Tolvk-Sample.pdb"), bytes);
  writeFile(path("copy.pdb"), bytes);
  testing::internal::CaptureStderr();
  ASSERT_EQ(SyncHostAttach(dir_.c_str()), 0);
  const std::string message = testing::internal::GetCapturedStderr();
  EXPECT_NE(message.find("copy.pdb: database \"Tolvk-Sample\" is already in"), std::string::npos)
      << message;
  SyncCardInfo card{};
  ASSERT_EQ(SyncReadSingleCardInfo(&card), 0);
  EXPECT_EQ(+card.ramDbCount, 1);
  uint8_t h = 0;
  EXPECT_EQ(SyncOpenDB("Tolvk-Sample", 0, &h, 0xD0), SYNCERR_IO);
  EXPECT_EQ(SyncDeleteDB("Tolvk-Sample", 0), SYNCERR_IO);
  EXPECT_NE(renameDb("Tolvk-Sample", "Tolvk-Moved"), 0u);
  SyncHostDetach();
  EXPECT_EQ(readFile(path("Tolvk-Sample.pdb")), bytes);
  EXPECT_EQ(readFile(path("copy.pdb")), bytes);
}

// A backup copied in from another system may name its files "*.PDB"; one
// passed over would look deleted from the handheld.
TEST_F(HostileFiles, AFileNamedInCapitalsIsADatabaseToo) {
  SyncHostDetach();
  writeFile(path("Tolvk-Sample.PDB"), sample().serialize());
  ASSERT_EQ(SyncHostAttach(dir_.c_str()), 0);
  uint8_t h = 0;
  ASSERT_EQ(SyncOpenDB("Tolvk-Sample", 0, &h, 0xC0), 0);
  EXPECT_EQ(SyncCloseDB(h), 0);
}

TEST(DatabaseFileName, EncodesWhatAFileNameCannotHold) {
  EXPECT_EQ(databaseFileName("Tolvk-Shop"), "Tolvk-Shop.pdb");
  EXPECT_EQ(databaseFileName("a/b%c"), "a%2Fb%25c.pdb");
  EXPECT_EQ(databaseFileName(std::string("x\x01\x7f\xe9", 4)), "x%01%7F%E9.pdb");
  // Never a hidden file, which the image would pass over when it loads.
  EXPECT_EQ(databaseFileName(".."), "%2E..pdb");
  EXPECT_EQ(databaseFileName(".profile"), "%2Eprofile.pdb");
}

TEST_F(ImageTest, DatabasesNamedWithALeadingDotSurviveAReattach) {
  for (const char* name : {".hidden", ".."}) {
    uint8_t h = create(name);
    write(h, "kept");
    ASSERT_EQ(SyncCloseDB(h), 0);
  }
  reattach();
  for (const char* name : {".hidden", ".."}) {
    uint8_t h = 0;
    EXPECT_EQ(SyncOpenDB(name, 0, &h, SYNC_MODE_READ), 0) << name;
    if (h) SyncCloseDB(h);
  }
}

}  // namespace
}  // namespace tolvex::test
