#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/syncmgr/PdbFile.h"
#include "tests/hotsync/Shell.h"
#include "tests/hotsync/Terminal.h"
#include "tests/os/TempHome.h"

namespace {

namespace fs = std::filesystem;

struct Result {
  int code = -1;
  std::string out, err;
};

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

Result hotsync(const std::string& args) {
  char errName[] = "/tmp/tolvex-stderr-XXXXXX";
  ::close(::mkstemp(errName));
  tolvex::testing::ShellResult run =
      tolvex::testing::shell(TOLVEX_BINARY_DIR "/bin/hotsync " + args + " 2>" + errName + " </dev/null");
  Result result{run.code, run.out, readBytes(errName)};
  ::unlink(errName);
  return result;
}

void writeBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A record database as a backup holds it, with dates of its own.
std::vector<uint8_t> database(const std::string& name, int records = 2) {
  tolvex::PdbFile pdb;
  pdb.name = name;
  pdb.type = 0x44415441;     // DATA
  pdb.creator = 0x6D656D6F;  // memo
  pdb.createDate = 3000000000u;
  pdb.modDate = 3100000000u;
  pdb.modNumber = 7;
  pdb.uniqueIdSeed = 0x1000;
  for (int i = 0; i < records; ++i) {
    tolvex::PdbRecord record;
    record.uniqueId = 0x100 + static_cast<uint32_t>(i);
    record.data = {'r', static_cast<uint8_t>('0' + i)};
    pdb.appendRecord(record);
  }
  return pdb.serialize();
}

class DeviceInitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = home.path();
    backup = root / "backup";
    image = root / "palm";
    fs::create_directories(backup);
  }
  tolvex::testing::TempHome home;
  fs::path root, backup, image;
};

TEST_F(DeviceInitTest, CopiesTheSoundDatabasesOfABackupAndReportsTheRest) {
  const std::vector<uint8_t> memo = database("MemoDB");
  writeBytes(backup / "MemoDB.PDB", memo);  // as Windows backups name them
  writeBytes(backup / "Tolvk-Garden.pdb", database("Tolvk-Garden"));
  std::vector<uint8_t> whole = database("Cut", 3);
  writeBytes(backup / "Header.pdb", std::vector<uint8_t>(whole.begin(), whole.begin() + 40));
  writeBytes(backup / "Cut.pdb", std::vector<uint8_t>(whole.begin(), whole.begin() + 90));
  writeBytes(backup / "ZSameName.pdb", database("MemoDB", 1));
  // A header name that would climb out of the image if it were used as a path.
  writeBytes(backup / "Climb.pdb", database("../../outside"));
  writeBytes(root / "elsewhere.pdb", database("Elsewhere"));
  fs::create_symlink(root / "elsewhere.pdb", backup / "Link.pdb");
  ASSERT_EQ(::mkfifo((backup / "Pipe.pdb").c_str(), 0644), 0);
  writeBytes(backup / "Saved_Preferences.prc", {1, 2, 3});

  Result r = hotsync("device init " + image.string() + " --from " + backup.string() + " --user Ann");
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("Created handheld image " + image.string() + " for Ann"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Copied 3 of 8 .pdb files from " + backup.string() + "; 1 other files"), std::string::npos)
      << r.out;
  for (const char* refused : {"Header.pdb: truncated header", "Cut.pdb: record count 3 does not fit",
                              "Link.pdb: is a symbolic link", "Pipe.pdb: is not a regular file",
                              "ZSameName.pdb: the image already holds database \"MemoDB\""}) {
    EXPECT_NE(r.err.find(std::string(refused)), std::string::npos) << refused << "\n" << r.err;
  }
  EXPECT_NE(r.err.find("5 .pdb files were not copied"), std::string::npos) << r.err;

  // Copied unchanged (dates, modification number and seed are the backup's),
  // under the image's own file names, and nothing outside the image.
  EXPECT_EQ(readBytes(image / "MemoDB.pdb"), std::string(memo.begin(), memo.end()));
  EXPECT_TRUE(fs::exists(image / "%2E.%2F..%2Foutside.pdb"));
  EXPECT_FALSE(fs::exists(root / "outside.pdb"));
  EXPECT_FALSE(fs::exists(image / "Elsewhere.pdb"));
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(image)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"%2E.%2F..%2Foutside.pdb", ".hotsync.lock", "MemoDB.pdb",
                                             "Tolvk-Garden.pdb", "device.ini"}));

  Result dump = hotsync("device dump " + image.string());
  EXPECT_EQ(dump.code, 0) << dump.err;
  EXPECT_NE(dump.out.find("user \"Ann\""), std::string::npos) << dump.out;
  EXPECT_NE(dump.out.find("Database \"../../outside\""), std::string::npos) << dump.out;
  EXPECT_NE(dump.out.find("Database \"MemoDB\" type DATA creator memo version 0 created 1999-01-24"),
            std::string::npos)
      << dump.out;
  EXPECT_EQ(dump.err, "");
}

TEST_F(DeviceInitTest, AnExistingImageIsNeverOverwritten) {
  writeBytes(backup / "MemoDB.pdb", database("MemoDB"));
  ASSERT_EQ(hotsync("device init " + image.string() + " --user Ann").code, 0);
  const std::string before = readBytes(image / "device.ini");
  for (const std::string& again : std::vector<std::string>{" --user Bob", " --from " + backup.string() + " --user Bob"}) {
    Result r = hotsync("device init " + image.string() + again);
    EXPECT_EQ(r.code, 1) << again;
    EXPECT_NE(r.err.find("is already a handheld image"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("nothing changed"), std::string::npos) << r.err;
  }
  EXPECT_EQ(readBytes(image / "device.ini"), before);
  EXPECT_FALSE(fs::exists(image / "MemoDB.pdb"));

  // A folder that holds databases but no device.ini yet can still become one;
  // a database already there is kept and the backup's copy reported.
  fs::path other = root / "other";
  fs::create_directories(other);
  const std::vector<uint8_t> mine = database("MemoDB", 1);
  writeBytes(other / "MemoDB.pdb", mine);
  Result r = hotsync("device init " + other.string() + " --from " + backup.string() + " --user Ann");
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("already holds database \"MemoDB\""), std::string::npos) << r.err;
  EXPECT_EQ(readBytes(other / "MemoDB.pdb"), std::string(mine.begin(), mine.end()));
}

TEST_F(DeviceInitTest, BadBackupFoldersMakeNothing) {
  Result r = hotsync("device init " + image.string() + " --from " + (root / "none").string() + " --user Ann");
  EXPECT_EQ(r.code, 2) << r.err;
  r = hotsync("device init " + backup.string() + " --from " + backup.string() + " --user Ann");
  EXPECT_EQ(r.code, 2) << r.err;
  EXPECT_NE(r.err.find("cannot be the backup folder"), std::string::npos) << r.err;
  writeBytes(backup / "notes.txt", {'x'});
  r = hotsync("device init " + image.string() + " --from " + backup.string() + " --user Ann");
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_NE(r.err.find("no .pdb files in"), std::string::npos) << r.err;
  r = hotsync("device init " + image.string() + " --user \"$(printf 'A\\tB')\"");
  EXPECT_EQ(r.code, 2) << r.err;
  EXPECT_FALSE(fs::exists(image));
  EXPECT_FALSE(fs::exists(backup / "device.ini"));
}

TEST_F(DeviceInitTest, TheUserNameIsAskedForOnlyOnATerminal) {
  writeBytes(backup / "MemoDB.pdb", database("MemoDB"));
  Result r = hotsync("device init " + image.string() + " --from " + backup.string());
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("do not record the HotSync user name; give it with --user NAME"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_FALSE(fs::exists(image));

  int code = -1;
  std::string screen = tolvex::testing::hotsyncOnTerminal(
      {"device", "init", image.string(), "--from", backup.string()}, "user name of this handheld: ",
      "Zo\xc3\xab\r", &code);
  EXPECT_EQ(code, 0) << screen;
  EXPECT_NE(screen.find("Created handheld image " + image.string() + " for Zo\xc3\xab"), std::string::npos) << screen;
  EXPECT_NE(readBytes(image / "device.ini").find("name=Zo\xc3\xab"), std::string::npos);
  EXPECT_TRUE(fs::exists(image / "MemoDB.pdb"));

  // An empty answer makes nothing.
  fs::path second = root / "second";
  screen = tolvex::testing::hotsyncOnTerminal({"device", "init", second.string(), "--from", backup.string()},
                                              "user name of this handheld: ", "\r", &code);
  EXPECT_EQ(code, 1) << screen;
  EXPECT_NE(screen.find("no user name given; nothing made"), std::string::npos) << screen;
  EXPECT_FALSE(fs::exists(second));
}

}  // namespace
