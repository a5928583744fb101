// Databases cross between the stand-in and an independent reader and writer
// (Perl's Palm::PDB with Palm::Raw) with every field intact.
#include <cstdio>
#include <ctime>

#include "platform/syncmgr/PdbFile.h"
#include "tests/syncmgr/ImageFixture.h"

namespace tolvex::test {
namespace {

std::string run(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  EXPECT_EQ(pclose(p), 0) << command;
  return out;
}

std::string script(const char* name) { return std::string(TOLVEX_SOURCE_DIR "/tests/syncmgr/") + name; }

std::string hex(const std::string& bytes) {
  static const char k[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += k[c >> 4];
    out += k[c & 15];
  }
  return out;
}

using PerlInterop = ImageTest;

// Seconds since 1904-01-01, the handheld's clock.
uint32_t now1904() { return static_cast<uint32_t>(std::time(nullptr) + 2082844800LL); }

// The value of "key=" in a dump, as a number.
uint64_t field(const std::string& dump, const std::string& key) {
  const size_t at = dump.find("\n" + key + "=");
  return at == std::string::npos ? 0 : std::stoull(dump.substr(at + key.size() + 2));
}

TEST_F(PerlInterop, PerlReadsWhatTheStandInWrote) {
  const std::string name = "Tolvk-Caf\xe9/1";  // a Latin-1 byte and a slash
  const uint32_t before = now1904();
  uint8_t h = create(name.c_str());
  // The creation date as the Sync Manager reports it to the conduit.
  SyncOpenDbInfoRequest request{0x80, h};
  SyncDbRecord info{};
  ASSERT_EQ(SyncReadOpenDbInfo(&request, &info), 0);
  const uint32_t created = info.createDate;
  EXPECT_GE(created, before);
  const std::string app("\x00\x01TAGS\xff", 7);
  ASSERT_EQ(SyncWriteDBAppInfoBlock(h, reinterpret_cast<const uint8_t*>(app.data()),
                                    static_cast<uint16_t>(app.size())), 0);
  const uint32_t id0 = write(h, std::string("head\0er", 7));
  const uint32_t id1 = write(h, "\x80\x01item");
  const uint32_t id2 = write(h, "");
  ASSERT_EQ(SyncHostSetRecordAttributes(h, 1, 0x40, 5), 0);
  ASSERT_EQ(SyncHostSetRecordAttributes(h, 2, SYNC_REC_DELETED, 0), 0);
  const uint32_t closing = now1904();
  ASSERT_EQ(SyncCloseDB(h), 0);
  SyncHostDetach();
  const uint32_t closed = now1904();

  const std::string file = path("Tolvk-Caf%E9%2F1.pdb");
  const std::string dump = run("perl '" + script("dump_pdb.pl") + "' '" + file + "' 2>/dev/null");
  // Written once, at the close, no earlier than the creation.
  const uint64_t modified = field(dump, "mtime");
  EXPECT_GE(modified, std::max(closing, created)) << dump;
  EXPECT_LE(modified, std::max(closed, created)) << dump;
  const std::string expected =
      "name=" + name + "\ntype=Wkdq\ncreator=Wkdq\nattributes=0x0008\nversion=1\n"
      "ctime=" + std::to_string(created) + "\nmtime=" + std::to_string(modified) +
      "\nbaktime=0\nmodnum=1\nappinfo=" + hex(app) +
      "\nrecords=3\n"
      "record id=" + std::to_string(id0) + " attributes=0x00 category=0 data=" + hex(std::string("head\0er", 7)) + "\n"
      "record id=" + std::to_string(id1) + " attributes=0x40 category=5 data=" + hex("\x80\x01item") + "\n"
      "record id=" + std::to_string(id2) + " attributes=0x80 category=- data=\n";  // Perl keeps no category for deleted records
  EXPECT_EQ(dump, expected);
}

TEST_F(PerlInterop, TheStandInReadsWhatPerlWrote) {
  SyncHostDetach();
  run("perl '" + script("write_pdb.pl") + "' '" + path("Tolvk-Perl list.pdb") + "' 2>/dev/null");
  ASSERT_EQ(SyncHostAttach(dir_.c_str()), 0);

  SyncDbRecord list[4];
  int count = 4;
  ASSERT_EQ(SyncReadDBList(0, 0, 1, list, &count), 0);
  ASSERT_EQ(count, 1);
  EXPECT_STREQ(list[0].name, "Tolvk-Perl list");
  EXPECT_EQ(+list[0].dbType, SYNC_FOURCC('W', 'k', 'd', 'q'));
  EXPECT_EQ(+list[0].creator, SYNC_FOURCC('W', 'k', 'd', 'q'));
  EXPECT_EQ(+list[0].createDate, 3000000000u);
  EXPECT_EQ(+list[0].modDate, 3000000100u);
  EXPECT_EQ(+list[0].dbFlags, 0x0008);
  EXPECT_EQ(+list[0].recCount, 3u);
  EXPECT_EQ(+list[0].modNumber, 7u);

  uint8_t h = 0;
  ASSERT_EQ(SyncOpenDB("Tolvk-Perl list", 0, &h, 0xD0), 0);
  uint8_t buffer[1024];
  SyncAppInfoBlock block{};
  block.bufSize = sizeof buffer;
  block.buffer = buffer;
  ASSERT_EQ(SyncReadDBAppInfoBlock(h, &block), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), +block.bytesRead), std::string("APPINFO\x00\x01\x02", 10));

  SyncRecordInfo info;
  EXPECT_EQ(read(h, 0, &info), std::string("header\0", 7));
  EXPECT_EQ(+info.recId, 0x101u);
  EXPECT_EQ(+info.attribs, 0);
  EXPECT_EQ(+info.category, 2);
  EXPECT_EQ(read(h, 1, &info), "item \xe9t\xe9");
  EXPECT_EQ(+info.recId, 0x102u);
  EXPECT_EQ(+info.attribs, 0x40);
  EXPECT_EQ(+info.category, 5);
  EXPECT_EQ(read(h, 2, &info), "gone");
  EXPECT_EQ(+info.recId, 0x103u);
  EXPECT_EQ(+info.attribs, SYNC_REC_DELETED);

  // A new record gets a fresh id, clear of the ids in use.
  const uint32_t writing = now1904();
  const uint32_t fresh = write(h, "new");
  EXPECT_NE(fresh, 0u);
  EXPECT_LE(fresh, 0xFFFFFFu);
  EXPECT_TRUE(fresh < 0x101 || fresh > 0x103) << fresh;
  ASSERT_EQ(SyncCloseDB(h), 0);
  SyncHostDetach();
  const uint32_t closed = now1904();
  const std::string dump = run("perl '" + script("dump_pdb.pl") + "' '" + path("Tolvk-Perl list.pdb") + "' 2>/dev/null");
  // Perl's dates and count survive; the write-back counts and dates itself.
  EXPECT_EQ(field(dump, "ctime"), 3000000000u) << dump;
  EXPECT_GE(field(dump, "mtime"), writing) << dump;
  EXPECT_LE(field(dump, "mtime"), closed) << dump;
  EXPECT_EQ(field(dump, "modnum"), 8u) << dump;
  EXPECT_NE(dump.find("records=4\n"), std::string::npos) << dump;
  EXPECT_NE(dump.find("record id=" + std::to_string(fresh) + " attributes=0x00 category=0 data=" + hex("new")), std::string::npos) << dump;
}

}  // namespace
}  // namespace tolvex::test
