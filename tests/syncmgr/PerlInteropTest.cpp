// Databases cross between the stand-in and an independent reader and writer
// (Perl's Palm::PDB with Palm::Raw) with every field intact.
#include <cstdio>

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

TEST_F(PerlInterop, PerlReadsWhatTheStandInWrote) {
  const std::string name = "Tolvk-Caf\xe9/1";  // a Latin-1 byte and a slash
  uint8_t h = create(name.c_str());
  const std::string app("\x00\x01TAGS\xff", 7);
  ASSERT_EQ(SyncWriteDBAppInfoBlock(h, reinterpret_cast<const uint8_t*>(app.data()),
                                    static_cast<uint16_t>(app.size())), 0);
  const uint32_t id0 = write(h, std::string("head\0er", 7));
  const uint32_t id1 = write(h, "\x80\x01item");
  const uint32_t id2 = write(h, "");
  ASSERT_EQ(SyncHostSetRecordAttributes(h, 1, 0x40, 5), 0);
  ASSERT_EQ(SyncHostSetRecordAttributes(h, 2, SYNC_REC_DELETED, 0), 0);
  ASSERT_EQ(SyncCloseDB(h), 0);
  SyncHostDetach();

  const std::string file = path("Tolvk-Caf%E9%2F1.pdb");
  const auto bytes = readFile(file);
  auto mine = PdbFile::parse(bytes.data(), bytes.size(), nullptr);
  ASSERT_TRUE(mine);
  const std::string expected =
      "name=" + name + "\ntype=Wkdq\ncreator=Wkdq\nattributes=0x0008\nversion=1\n"
      "ctime=" + std::to_string(mine->createDate) + "\nmtime=" + std::to_string(mine->modDate) +
      "\nbaktime=0\nmodnum=" + std::to_string(mine->modNumber) + "\nappinfo=" + hex(app) +
      "\nrecords=3\n"
      "record id=" + std::to_string(id0) + " attributes=0x00 category=0 data=" + hex(std::string("head\0er", 7)) + "\n"
      "record id=" + std::to_string(id1) + " attributes=0x40 category=5 data=" + hex("\x80\x01item") + "\n"
      "record id=" + std::to_string(id2) + " attributes=0x80 category=- data=\n";  // Perl keeps no category for deleted records
  EXPECT_EQ(run("perl '" + script("dump_pdb.pl") + "' '" + file + "' 2>/dev/null"), expected);
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
  const uint32_t fresh = write(h, "new");
  EXPECT_NE(fresh, 0u);
  EXPECT_LE(fresh, 0xFFFFFFu);
  EXPECT_TRUE(fresh < 0x101 || fresh > 0x103) << fresh;
  ASSERT_EQ(SyncCloseDB(h), 0);
  SyncHostDetach();
  const std::string dump = run("perl '" + script("dump_pdb.pl") + "' '" + path("Tolvk-Perl list.pdb") + "' 2>/dev/null");
  EXPECT_NE(dump.find("records=4\n"), std::string::npos) << dump;
  EXPECT_NE(dump.find("record id=" + std::to_string(fresh) + " attributes=0x00 category=0 data=" + hex("new")), std::string::npos) << dump;
}

}  // namespace
}  // namespace tolvex::test
