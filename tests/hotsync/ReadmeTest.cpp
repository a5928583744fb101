// The README's "Getting started" steps, run as written: every command of the
// section in order, in a scratch home, with the example's .pdb files as the
// backup. Between steps 2 and 3 an item is deleted on the handheld, as a user
// would, so that step 5's restore has something to bring back. The dry run
// before the first HotSync names what that HotSync then does.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "outline/ItemList.h"
#include "outline/ItemRecord.h"
#include "platform/syncmgr/SyncMgr.h"
#include "tests/hotsync/Shell.h"

namespace {

namespace fs = std::filesystem;

using tolvex::testing::slurp;

// The commands of the README's "Getting started" section, in order.
std::vector<std::string> gettingStartedCommands() {
  const std::string readme = slurp(TOLVEX_SOURCE_DIR "/README.md");
  size_t start = readme.find("\n## Getting started");
  size_t end = readme.find("\n## ", start + 1);
  std::istringstream section(readme.substr(start, end == std::string::npos ? end : end - start));
  std::vector<std::string> commands;
  std::regex command("^ {4,}((hotsync|mkdir|cp) .*?)( +#.*)?$");
  std::smatch m;
  for (std::string line; std::getline(section, line);) {
    if (std::regex_match(line, m, command)) commands.push_back(m[1]);
  }
  return commands;
}

// Marks the handheld item titled `title` deleted, as the handheld does.
void deleteOnHandheld(const std::string& image, const std::string& list, const std::string& title) {
  ASSERT_EQ(SyncHostAttach(image.c_str()), 0);
  uint8_t handle = 0;
  ASSERT_EQ(SyncOpenDB(list.c_str(), 0, &handle, SYNC_MODE_READ | SYNC_MODE_WRITE), 0);
  uint16_t count = 0;
  ASSERT_EQ(SyncGetDBRecordCount(handle, &count), 0);
  bool found = false;
  std::vector<uint8_t> buffer(tolvex::kReadBufferSize);
  for (uint16_t i = 1; i < count && !found; ++i) {
    SyncRecordInfo record;
    std::memset(&record, 0, sizeof record);
    record.handle = handle;
    record.recIndex = i;
    record.bufSize = static_cast<uint16_t>(buffer.size());
    record.buffer = buffer.data();
    ASSERT_EQ(SyncReadRecordByIndex(&record), 0);
    tolvex::ItemList scratch;
    auto item = tolvex::unpackItemRecord(&scratch, record.recId, buffer.data(), record.recSize, false, nullptr);
    if (item && item->title() == title) {
      found = true;
      ASSERT_EQ(SyncHostSetRecordAttributes(handle, i, SYNC_REC_DELETED, 0), 0);
    }
  }
  SyncCloseDB(handle);
  SyncHostDetach();
  ASSERT_TRUE(found) << title;
}

TEST(ReadmeTest, GettingStartedStepsWorkAsWritten) {
  char pattern[] = "/tmp/tolvex-readme-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path root = pattern;
  const fs::path home = root / "home", backup = root / "backup";
  fs::create_directories(home);
  fs::create_directories(backup);
  for (const auto& entry : fs::directory_iterator(TOLVEX_SOURCE_DIR "/examples/handheld"))
    if (entry.path().extension() == ".pdb") fs::copy(entry.path(), backup / entry.path().filename());

  const std::vector<std::string> commands = gettingStartedCommands();
  ASSERT_GE(commands.size(), 7u);
  fs::create_directories(root / "tmp");
  const std::string env = "HOME=" + home.string() + " HOTSYNC_HOME=" + (root / "state").string() +
                          " TMPDIR=" + (root / "tmp").string() + " PATH=" TOLVEX_BINARY_DIR "/bin:$PATH ";
  int syncs = 0;
  std::string lastOutput, preview;
  for (std::string command : commands) {
    SCOPED_TRACE(command);
    command = std::regex_replace(command, std::regex("/path/to/backup"), backup.string());
    const bool dryRun = command.find(" --dry-run") != std::string::npos;
    if (command.rfind("hotsync sync", 0) == 0 && !dryRun && ++syncs == 2) {
      deleteOnHandheld((home / "palm").string(), "Tolvk-Garden", "Beans");
    }
    auto r = tolvex::testing::shell(env + "bash -c '" + command + "' 2>&1 </dev/null");
    ASSERT_EQ(r.code, 0) << r.out;
    lastOutput = r.out;
    if (dryRun) {
      EXPECT_FALSE(fs::exists(home / "tolvan" / "Tolvk-Garden.XML"));
      // Its list lines; the item lines under them come with --verbose only.
      preview = std::regex_replace(r.out.substr(r.out.find("\nTolvk-")), std::regex("\n  [^\n]*"), "");
      preview = preview.substr(0, preview.find("\nHandheld image files"));
    } else if (!preview.empty()) {
      EXPECT_NE(r.out.find(preview), std::string::npos) << preview << "\n---\n" << r.out;
      preview.clear();
    }
    if (syncs == 2 && command.rfind("hotsync sync", 0) == 0) {
      EXPECT_NE(r.out.find("Tolvk-Garden: merged; desktop 1 deleted"), std::string::npos) << r.out;
    }
  }
  EXPECT_EQ(syncs, 3);
  // The restored list went to the handheld whole, with the deleted item back.
  EXPECT_NE(lastOutput.find("Tolvk-Garden: copied to the handheld; handheld 1 added"), std::string::npos) << lastOutput;
  auto dump = tolvex::testing::shell(TOLVEX_BINARY_DIR "/bin/hotsync device dump " + (home / "palm").string() +
                                     " Tolvk-Garden 2>&1");
  EXPECT_NE(dump.out.find("[ ] Beans"), std::string::npos) << dump.out;
  fs::remove_all(root);
}

}  // namespace
