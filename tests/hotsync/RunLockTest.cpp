// Two hotsync commands on the same folders: the second one, which cannot get
// the run lock, changes nothing and exits 3.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "tests/hotsync/Shell.h"

namespace {

namespace fs = std::filesystem;

const std::string kHotsync = TOLVEX_BINARY_DIR "/bin/hotsync";
const std::string kTolvex = TOLVEX_BINARY_DIR "/lib/libTolvex2.so";
const std::string kTestConduit = TOLVEX_BINARY_DIR "/testlib/libtest_conduit.so";
constexpr int kBusy = 3;

using tolvex::testing::slurp;

// Every file under `root` with its bytes, lock files aside (a command that
// stops at a held lock may have made the lock file of a folder it got first).
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file() && entry.path().filename() != ".hotsync.lock")
      files[fs::relative(entry.path(), root).string()] = slurp(entry.path());
  }
  return files;
}

// Holds the run lock of `folder` as another hotsync would.
class ForeignHold {
 public:
  explicit ForeignHold(const fs::path& folder) {
    fd_ = ::open((folder / ".hotsync.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    held_ = fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
  }
  ~ForeignHold() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool held() const { return held_; }

 private:
  int fd_ = -1;
  bool held_ = false;
};

class RunLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tolvex-lock-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  // A handheld image and a desktop folder copied from the shipped example.
  void example(const std::string& image, const std::string& desktop) {
    fs::copy(TOLVEX_SOURCE_DIR "/examples/handheld", root_ / image, fs::copy_options::recursive);
    fs::copy(TOLVEX_SOURCE_DIR "/examples/desktop", root_ / desktop, fs::copy_options::recursive);
  }
  std::string env(const std::string& home) const { return "HOTSYNC_HOME=" + (root_ / home).string() + " "; }
  std::string sync(const std::string& home, const std::string& image, const std::string& desktop,
                   const std::string& conduit) const {
    return env(home) + kHotsync + " sync --device " + (root_ / image).string() + " --desktop " +
           (root_ / desktop).string() + " --conduit " + conduit + " 2>&1 </dev/null";
  }

  fs::path root_;
};

TEST_F(RunLockTest, CommandsStopAtAHeldLockAndChangeNothing) {
  example("image", "desktop");
  fs::create_directories(root_ / "home");
  // Registers the conduit, so that the commands below have nothing of their own to record.
  ASSERT_EQ(tolvex::testing::shell(env("home") + kHotsync + " device dump " + (root_ / "image").string()).code, 0);

  for (const char* held : {"home", "image", "desktop"}) {
    SCOPED_TRACE(held);
    ForeignHold hold(root_ / held);
    ASSERT_TRUE(hold.held());
    const auto before = snapshot(root_);
    auto r = tolvex::testing::shell(sync("home", "image", "desktop", kTolvex));
    EXPECT_EQ(r.code, kBusy) << r.out;
    EXPECT_NE(r.out.find("is in use by another hotsync"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("nothing was changed"), std::string::npos) << r.out;
    EXPECT_EQ(snapshot(root_), before);
  }

  // configure writes the host state; device init the image.
  {
    ForeignHold hold(root_ / "home");
    const auto before = snapshot(root_);
    auto r = tolvex::testing::shell(env("home") + kHotsync + " configure --conduit " + kTolvex +
                                    " --click 405 --click 415 --ok 2>&1");
    EXPECT_EQ(r.code, kBusy) << r.out;
    EXPECT_NE(r.out.find("the HotSync state folder"), std::string::npos) << r.out;
    EXPECT_EQ(snapshot(root_), before);
  }
  {
    fs::create_directories(root_ / "new");
    ForeignHold hold(root_ / "new");
    auto r = tolvex::testing::shell(env("home") + kHotsync + " device init " + (root_ / "new").string() +
                                    " --user Ann 2>&1");
    EXPECT_EQ(r.code, kBusy) << r.out;
    EXPECT_FALSE(fs::exists(root_ / "new" / "device.ini"));
  }
  // Once the hold is gone the same run goes through.
  auto r = tolvex::testing::shell(sync("home", "image", "desktop", kTolvex));
  EXPECT_EQ(r.code, 0) << r.out;
}

// Two real runs: the first is held inside its conduit while the second
// starts on a shared image, a shared desktop folder or a shared host state.
TEST_F(RunLockTest, SecondOfTwoRunsStartedTogetherStopsOnTheSharedFolder) {
  struct Case {
    const char* shared;
    const char *homeB, *imageB, *desktopB;
  };
  const Case cases[] = {
      {"the handheld image", "homeB", "imageA", "desktopB"},
      {"the desktop folder", "homeB", "imageB", "desktopA"},
      {"the HotSync state folder", "homeA", "imageB", "desktopB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shared);
    for (const char* dir : {"homeA", "homeB", "desktopA", "desktopB"}) fs::create_directories(root_ / dir);
    for (const char* ab : {"A", "B"}) {  // registers the conduit in each home, too
      auto r = tolvex::testing::shell(env(std::string("home") + ab) + kHotsync + " device init " +
                                      (root_ / ("image" + std::string(ab))).string() + " --user Ann 2>&1");
      ASSERT_EQ(r.code, 0) << r.out;
    }
    const fs::path release = root_ / "release";
    const std::string first = "TEST_CONDUIT_HOLD=" + release.string() + " " +
                              sync("homeA", "imageA", "desktopA", kTestConduit);
    FILE* running = ::popen(first.c_str(), "r");
    ASSERT_NE(running, nullptr);
    for (int i = 0; i < 2000 && !fs::exists(release.string() + ".inside"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(fs::exists(release.string() + ".inside"));

    const auto before = snapshot(root_);
    auto second = tolvex::testing::shell(sync(c.homeB, c.imageB, c.desktopB, kTestConduit));
    EXPECT_EQ(second.code, kBusy) << second.out;
    EXPECT_NE(second.out.find(std::string(c.shared) + " "), std::string::npos) << second.out;
    EXPECT_EQ(snapshot(root_), before);

    std::ofstream(release.string()) << "go";
    std::string out;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, running)) > 0;) out.append(buffer, n);
    int status = ::pclose(running);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
    EXPECT_EQ(slurp(root_ / "desktopA" / "run.txt").substr(0, 7), "type=1 ") << out;
    for (const auto& entry : fs::directory_iterator(root_)) fs::remove_all(entry.path());
  }
}

}  // namespace
