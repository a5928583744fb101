// `hotsync sync --dry-run`: on every way a list can go, the preview leaves
// the image, the desktop folder and $HOTSYNC_HOME as they were (modes, links
// and odd files included), exits as the real run then does, and names item
// for item what the real run then changes. And the folder copies it stands
// on keep every kind of entry as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/hotsync/FolderCopy.h"
#include "tests/hotsync/Shell.h"

namespace {

namespace fs = std::filesystem;

const std::string kHotsync = TOLVEX_BINARY_DIR "/bin/hotsync";

using tolvex::testing::slurp;

void replaceIn(const fs::path& file, const std::string& from, const std::string& to) {
  std::string text = slurp(file);
  size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  std::ofstream(file, std::ios::binary) << text.replace(at, from.size(), to);
}

// Every entry under `root` as it stands: kind, mode, and the bytes and
// modification time of a file or the target of a link. The run lock's file
// is left out: taking the lock writes the holder's process id into it.
std::map<std::string, std::string> entries(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    if (it->path().filename() == ".hotsync.lock") continue;
    struct stat st;
    ::lstat(it->path().c_str(), &st);
    std::string& line = out[it->path().lexically_relative(root).string()];
    line = std::to_string(st.st_mode);
    if (S_ISLNK(st.st_mode)) line += " -> " + fs::read_symlink(it->path()).string();
    if (S_ISREG(st.st_mode)) {
      line += " " + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + " " + slurp(it->path());
    }
  }
  return out;
}

// The lines of a summary that name lists and items, and the image files.
std::vector<std::string> changeLines(const std::string& output) {
  std::vector<std::string> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Tolvk-", 0) == 0 || line.rfind("  Tolvk-", 0) == 0) lines.push_back(line);
    if (line.rfind("Handheld image files", 0) == 0) lines.push_back(line.substr(line.find(": ")));
  }
  return lines;
}

class DryRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tolvex-dryrun-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  // The shipped example, and beside it what a real folder may hold: a list
  // file that is a link out of the folder, a FIFO named like a list, a
  // read-only list file, a damaged database and a link to a missing one.
  void example(const fs::path& at) {
    fs::create_directories(at / "tmp");
    for (const char* part : {"handheld", "desktop", "home"})
      fs::copy(fs::path(TOLVEX_SOURCE_DIR "/examples") / part, at / part, fs::copy_options::recursive);
    fs::create_directories(at / "elsewhere");
    fs::copy(at / "desktop" / "Tolvk-Trip.XML", at / "elsewhere" / "Tolvk-Elsewhere.XML");
    fs::create_symlink("../elsewhere/Tolvk-Elsewhere.XML", at / "desktop" / "Tolvk-Elsewhere.XML");
    ASSERT_EQ(::mkfifo((at / "desktop" / "Tolvk-Pipe.XML").c_str(), 0640), 0);
    fs::permissions(at / "desktop" / "Tolvk-Trip.XML", fs::perms::owner_read | fs::perms::group_read);
    std::ofstream(at / "handheld" / "Tolvk-Broken.pdb") << "not a database";
    fs::create_symlink("../elsewhere/Memo.pdb", at / "handheld" / "Memo.pdb");
  }
  tolvex::testing::ShellResult hotsync(const fs::path& at, const std::string& args) {
    return tolvex::testing::shell("HOTSYNC_HOME=" + (at / "home").string() + " TMPDIR=" + (at / "tmp").string() +
                                  " " + kHotsync + " " + args + " 2>/dev/null </dev/null");
  }
  tolvex::testing::ShellResult sync(const fs::path& at, const std::string& options) {
    return hotsync(at, "sync --device " + (at / "handheld").string() + " --desktop " + (at / "desktop").string() +
                           " --verbose " + options);
  }
  std::map<std::string, std::string> state(const fs::path& at) {
    std::map<std::string, std::string> all;
    for (const char* part : {"handheld", "desktop", "home", "elsewhere"})
      for (const auto& [name, line] : entries(at / part)) all[std::string(part) + "/" + name] = line;
    return all;
  }

  fs::path root_;
};

TEST_F(DryRunTest, PreviewChangesNothingAndNamesWhatTheRealRunThenDoes) {
  const std::string tomatoes = "<item uniqueID=\"2562\" dirtyContent=";
  struct Case {
    const char* name;
    const char* configure;  // clicks of `hotsync configure`, or ""
    const char* options;
    const char* expected;   // in the preview
    bool collision = false; // Tomatoes edited on the desktop too
    std::string setup = ""; // "unmarked": Beans renamed on the desktop, not marked edited; "slow": the handheld
                            // last synchronized elsewhere; "open": the list file is open in the desktop
                            // application; "by time": that collision method; "no module"
  };
  const Case cases[] = {
      // no collision
      {"example", "", "", "Tolvk-Garden: desktop: changed: Vegetables \u203A Cherry tomatoes (was: Tomatoes)\n"},
      {"handheld wins", "--click 411", "",
       "Cherry tomatoes (was: Roma tomatoes) (collision: the handheld's version wins)", true},
      {"desktop wins", "--click 410", "",
       "Roma tomatoes (was: Cherry tomatoes) (collision: the desktop's version wins)", true},
      {"both kept", "--click 412", "", "handheld: duplicated: Vegetables \u203A Roma tomatoes", true},
      {"by time", "", "", "Roma tomatoes (was: Cherry tomatoes) (collision: the desktop's version wins)", true,
       "by time"},
      {"desktop copied over", "--click 405", "", "Tolvk-Garden: copied to the handheld"},
      {"handheld copied over", "--click 406", "", "Tolvk-Garden: copied to the desktop"},
      {"slow merge", "", "--type slow",
       "Vegetables \u203A Beans (was: Broad beans) (collision: the handheld's version wins)", false, "unmarked"},
      {"slow, desktop copied over", "--click 408", "", "Tolvk-Garden: copied to the handheld", false, "slow"},
      {"open on the desktop", "", "", "Tolvk-Garden: skipped: its desktop file is open", false, "open"},
      {"do nothing once", "--click 407", "", "Tolvk-Garden: unchanged"},
      {"failing", "", "", "Tolvk-Garden: not synchronized", false, "no module"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string folder = c.name;
    std::replace(folder.begin(), folder.end(), ' ', '-');
    const fs::path at = root_ / folder;
    example(at);
    if (c.setup == "unmarked") replaceIn(at / "desktop" / "Tolvk-Garden.XML", "<title>Beans<", "<title>Broad beans<");
    if (c.collision) {
      replaceIn(at / "desktop" / "Tolvk-Garden.XML", tomatoes + "\"0\"", tomatoes + "\"1\"");
      replaceIn(at / "desktop" / "Tolvk-Garden.XML", "<title>Tomatoes</title>", "<title>Roma tomatoes</title>");
    }
    if (c.setup == "slow") replaceIn(at / "handheld" / "device.ini", "last_desktop=20031014", "last_desktop=7");
    if (c.setup == "open") std::ofstream(at / "desktop" / "Tolvk-Garden._lk") << "";
    if (c.setup == "no module") replaceIn(at / "handheld" / "device.ini", "installed=yes", "installed=no");
    if (*c.configure) {
      ASSERT_EQ(hotsync(at, std::string("configure ") + c.configure + " --ok").code, 0);
    }
    if (c.setup == "by time")
      std::ofstream(at / "home" / "registry.ini")
          << "[HKEY_LOCAL_MACHINE/Software/Marrowind/Tolvex/RegBool]\nMethodTemp=3\n";

    const auto before = state(at);
    auto preview = sync(at, c.options + std::string(" --dry-run"));
    EXPECT_EQ(state(at), before) << "the dry run changed something";
    EXPECT_NE(preview.out.find(c.expected), std::string::npos) << preview.out;
    // Only the dry run's log is left of its copies, where it says.
    const size_t logAt = preview.out.find("Log of the dry run: ");
    ASSERT_NE(logAt, std::string::npos) << preview.out;
    const std::string log = preview.out.substr(logAt + 20, preview.out.find('\n', logAt) - logAt - 20);
    EXPECT_NE(slurp(log).find("# Syncronization strategy"), std::string::npos) << log;
    EXPECT_EQ(entries(at / "tmp").size(), 3u) << "copies left in " << (at / "tmp");
    if (c.name == std::string("example")) {  // scripts get the same
      auto json = sync(at, c.options + std::string(" --dry-run --json"));
      EXPECT_EQ(json.code, preview.code);
      EXPECT_NE(json.out.find("\"dryRun\":true,\"lists\":["), std::string::npos) << json.out;
      EXPECT_NE(json.out.find("{\"side\":\"desktop\",\"change\":\"deleted\",\"path\":[\"Weeding\"],"
                              "\"collision\":null,\"formerTitle\":null}"),
                std::string::npos)
          << json.out;
      EXPECT_EQ(state(at), before);
    }

    auto real = sync(at, c.options);
    EXPECT_EQ(preview.code, real.code) << real.out;
    EXPECT_EQ(changeLines(preview.out), changeLines(real.out)) << preview.out << "\n---\n" << real.out;
    if (c.setup != "no module") {
      EXPECT_NE(state(at), before) << "the real run changed nothing";
    }
  }
}

TEST(FolderCopyTest, CopyKeepsEveryKindOfEntryAndRemovalKeepsOnlyTheLog) {
  char pattern[] = "/tmp/tolvex-copy-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path root = pattern, from = root / "from", to = root / "to";
  fs::create_directories(from / "sub" / "deeper");
  fs::create_directories(root / "outside");
  std::ofstream(root / "outside" / "target") << "outside";
  std::ofstream(from / "file") << std::string("bytes\0more", 10);
  std::ofstream(from / "sub" / "readonly") << "read only";
  fs::permissions(from / "sub" / "readonly", fs::perms::owner_read);
  fs::create_hard_link(from / "file", from / "sub" / "same");
  fs::create_symlink("sub/readonly", from / "inside");
  fs::create_symlink("../file", from / "sub" / "up");
  fs::create_symlink("../outside/target", from / "out");
  fs::create_symlink("../../outside/target", from / "sub" / "outToo");
  fs::create_symlink("/nonexistent", from / "dangling");
  ASSERT_EQ(::mkfifo((from / "sub" / "fifo").c_str(), 0604), 0);
  fs::permissions(from / "sub", fs::perms::owner_read | fs::perms::owner_exec);

  tolvex::host::FolderCopier copier;
  std::string error;
  ASSERT_TRUE(copier.copy(from.string(), to.string(), &error)) << error;
  auto original = entries(from), copy = entries(to);
  // A link that climbs out of the folder names the same file from the copy.
  for (const char* link : {"out", "sub/outToo"}) {
    EXPECT_TRUE(fs::equivalent(to / link, from / link)) << link;
    EXPECT_EQ(fs::read_symlink(to / link), from / fs::path(link).parent_path() / fs::read_symlink(from / link));
    original.erase(link);
    copy.erase(link);
  }
  EXPECT_EQ(copy, original);
  struct stat a, b;
  ASSERT_EQ(::stat((to / "file").c_str(), &a), 0);
  ASSERT_EQ(::stat((to / "sub" / "same").c_str(), &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino);

  EXPECT_FALSE(tolvex::host::removeTreeExcept(to.string(), (to / "sub" / "deeper").string()));
  EXPECT_EQ(entries(to).size(), 2u);  // sub and sub/deeper
  EXPECT_TRUE(tolvex::host::removeTreeExcept(to.string(), ""));
  EXPECT_FALSE(fs::exists(to));
  fs::permissions(from / "sub", fs::perms::owner_all);
  fs::remove_all(root);
}

}  // namespace
