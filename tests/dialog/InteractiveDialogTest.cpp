// The action dialog answered by a person at a terminal: `hotsync configure`
// runs inside tmux, keys are sent to it and its screen is read back.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

const std::string kHotsync = TOLVEX_BINARY_DIR "/bin/hotsync";
const std::string kConduit = TOLVEX_BINARY_DIR "/lib/libTolvex2.so";

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

class InteractiveDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v tmux >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
    ASSERT_TRUE(fs::exists(kHotsync) && fs::exists(kConduit)) << "hotsync or the conduit is not built";
    char pattern[] = "/tmp/tolvex-tty-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    home_ = root_ / "home";
    fs::create_directories(home_);
    fs::create_directories(root_ / "desktop");
    socket_ = root_ / "tmux.sock";
    ASSERT_EQ(run(kHotsync + " device init " + shellQuoted((root_ / "image").string()) + " --user Ann"), 0);
  }
  void TearDown() override {
    if (root_.empty()) return;
    if (started_) run("tmux -S " + shellQuoted(socket_.string()) + " kill-server");
    fs::remove_all(root_);
  }

  int run(const std::string& command) {
    std::string line = "HOTSYNC_HOME=" + shellQuoted(home_.string()) + " " + command + " </dev/null >" +
                       shellQuoted((root_ / "out.txt").string()) + " 2>&1";
    int status = std::system(line.c_str());
    output_ = slurp(root_ / "out.txt");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string sync() {
    EXPECT_EQ(run(kHotsync + " sync --device " + shellQuoted((root_ / "image").string()) + " --desktop " +
                  shellQuoted((root_ / "desktop").string()) + " --conduit " + shellQuoted(kConduit)),
              0)
        << output_;
    return slurp(root_ / "desktop" / "lastsync.txt");
  }
  std::string tmux(const std::string& arguments) { return "tmux -S " + shellQuoted(socket_.string()) + " " + arguments; }
  void sendKeys(const std::string& keys) { ASSERT_EQ(std::system(tmux("send-keys -t dlg " + keys).c_str()), 0); }
  std::string screen() {
    fs::path shot = root_ / "screen.txt";
    std::system((tmux("capture-pane -p -t dlg") + " >" + shellQuoted(shot.string()) + " 2>/dev/null").c_str());
    return slurp(shot);
  }
  // The screen once it shows `text`; empty after five seconds without.
  std::string waitFor(const std::string& text) {
    for (int i = 0; i < 100; ++i) {
      std::string now = screen();
      if (now.find(text) != std::string::npos) return now;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::string();
  }

  fs::path root_, home_, socket_;
  std::string output_;
  bool started_ = false;
};

// The line of `screen` that holds `text` first.
std::string lineWith(const std::string& screen, const std::string& text) {
  std::istringstream lines(screen);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(text) != std::string::npos) return line;
  }
  return std::string();
}

TEST_F(InteractiveDialogTest, ChosenPermanentStrategyReachesTheNextFastSync) {
  sync();  // the first run with this desktop is slow; the one after configure is fast
  // Without --device the dialog names the user of the last HotSync.
  std::string command = "env HOTSYNC_HOME=" + shellQuoted(home_.string()) + " " + kHotsync + " configure --conduit " +
                        shellQuoted(kConduit) + "; echo configure-exit-$?; sleep 60";
  ASSERT_EQ(std::system(tmux("new-session -d -s dlg -x 120 -y 60 " + shellQuoted(command)).c_str()), 0);
  started_ = true;

  std::string first = waitFor("Set as default");
  ASSERT_FALSE(first.empty()) << screen();
  EXPECT_NE(first.find("== Tolvex =="), std::string::npos) << first;
  EXPECT_NE(first.find("Ann's Current Settings:"), std::string::npos) << first;
  EXPECT_NE(first.find("(*) Synchronize"), std::string::npos) << first;  // nothing stored: 404

  // Focus starts on "Do not synchronize"; two steps down is the first
  // "Copy desktop file over handheld", the one for the same computer.
  sendKeys("Down Down");
  std::string focused = waitFor("> ( ) Copy desktop file over handheld");
  ASSERT_FALSE(focused.empty()) << screen();
  EXPECT_EQ(lineWith(focused, "Copy desktop file over handheld").rfind("> ", 0), 0u) << focused;
  sendKeys("Space");
  ASSERT_FALSE(waitFor("> (*) Copy desktop file over handheld").empty()) << screen();
  sendKeys("a");  // the "&as" shortcut of "Set &as default"
  ASSERT_FALSE(waitFor("[x] Set as default").empty()) << screen();
  sendKeys("Enter");
  std::string done = waitFor("configure-exit-");
  ASSERT_FALSE(done.empty()) << screen();
  EXPECT_NE(done.find("configure-exit-0"), std::string::npos) << done;
  EXPECT_NE(done.find("HotSync action: Synchronize (always)"), std::string::npos) << done;
  EXPECT_NE(done.find("Synching at same computer as last synch: Copy desktop file over handheld"), std::string::npos)
      << done;

  std::string log = sync();
  EXPECT_NE(log.find("#   Fast permanent strategy used: 3 (DT over HH)\n"), std::string::npos) << log;
}

}  // namespace
