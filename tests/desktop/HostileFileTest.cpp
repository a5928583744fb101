// Desktop files that must not stall or swamp the reader: things that are not
// regular files, files larger than any list, and one enormous piece of markup.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include "desktop/XmlFile.h"
#include "tests/desktop/DesktopFixtures.h"

namespace tolvex {
namespace {

// Reads `path` in a child process that may take at most five seconds, so a
// reader that blocks fails the test instead of hanging it. The child's exit
// code: 0 refused with `expected` in its message, 1 read, 2 other message.
int readInChild(const std::string& path, const std::string& expected) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(5);
    std::string message;
    ListFileReader reader;
    auto list = reader.read(path, message);
    _exit(list ? 1 : message.find(expected) != std::string::npos && reader.parserCalls() == 0 ? 0 : 2);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(HostileDesktopFile, OnlyRegularFilesAreRead) {
  testing::TempFolder folder;
  const std::string fifo = folder.file("Tolvk-Fifo.XML");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  ASSERT_EQ(symlink(fifo.c_str(), folder.file("Tolvk-Link.XML").c_str()), 0);
  ASSERT_EQ(symlink("/dev/zero", folder.file("Tolvk-Zero.XML").c_str()), 0);
  for (const char* name : {"Tolvk-Fifo.XML", "Tolvk-Link.XML", "Tolvk-Zero.XML"})
    EXPECT_EQ(readInChild(folder.file(name), "': not a regular file\n"), 0) << name;
}

TEST(HostileDesktopFile, FileLargerThanAnyListIsRefusedUnread) {
  testing::TempFolder folder;
  const std::string path = folder.file("Tolvk-Huge.XML");
  std::ofstream(path) << "<?xml version=\"1.0\"?>\n";
  ASSERT_EQ(truncate(path.c_str(), 5LL << 30), 0);  // sparse: no disk space used
  EXPECT_EQ(readInChild(path, "': 5368709120 bytes, larger than any list the handheld can hold\n"), 0);
}

// One enormous attribute: the parser scans an unfinished piece of markup
// again with every block, so the reader must hand it ever larger blocks.
// Four times the size may cost only a couple more parser calls.
TEST(HostileDesktopFile, HugeTokenIsParsedInFewCalls) {
  testing::TempFolder folder;
  auto callsFor = [&](size_t bytes) {
    const std::string path = folder.file("Tolvk-Token.XML");
    std::ofstream(path, std::ios::binary) << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<TolvexFile>\n"
                                          << "<item uniqueID=\"7\" localID=\"" << std::string(bytes, 'x')
                                          << "\"><title>t</title></item>\n</TolvexFile>\n";
    std::string message;
    ListFileReader reader;
    auto list = reader.read(path, message);
    EXPECT_TRUE(list && list->head() && list->head()->title() == "t") << message;
    return reader.parserCalls();
  };
  const size_t small = callsFor(4u << 20), large = callsFor(16u << 20);
  EXPECT_LE(small, 10u);
  EXPECT_LE(large, small + 3);
}

}  // namespace
}  // namespace tolvex
