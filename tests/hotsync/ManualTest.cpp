// hotsync's --help texts and its manual page must tell the same: the same
// synopsis for every command and every option named in both.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/hotsync/Shell.h"

namespace {

std::string output(const std::string& command, int* code = nullptr) {
  tolvex::testing::ShellResult result = tolvex::testing::shell(command);
  if (code) *code = result.code;
  return result.out;
}

std::string collapsed(const std::string& text) {
  std::istringstream words(text);
  std::string word, out;
  while (words >> word) out += (out.empty() ? "" : " ") + word;
  return out;
}

// The commands of a "Usage:" block, continuation lines joined to theirs.
std::vector<std::string> usageLines(const std::string& help) {
  std::vector<std::string> commands;
  std::istringstream lines(help);
  std::string line;
  bool inUsage = false;
  while (std::getline(lines, line)) {
    if (line.rfind("Usage:", 0) == 0) {
      inUsage = true;
      line = line.substr(6);
    }
    if (!inUsage) continue;
    if (collapsed(line).empty()) break;
    if (collapsed(line).rfind("hotsync ", 0) == 0 || commands.empty()) {
      commands.push_back(collapsed(line));
    } else {
      commands.back() += " " + collapsed(line);
    }
  }
  return commands;
}

std::set<std::string> options(const std::string& text) {
  std::set<std::string> found;
  std::regex option("--[a-z][a-z-]*");
  for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it) found.insert(it->str());
  return found;
}

TEST(ManualTest, EveryHelpAgreesWithTheManualPage) {
  const std::string page = TOLVEX_SOURCE_DIR "/man/hotsync.1";
  if (output("command -v man >/dev/null && echo yes") != "yes\n") GTEST_SKIP() << "man is not installed";
  int code = -1;
  std::string warnings = output("MANWIDTH=250 man --warnings -E ascii -l " + page + " 2>&1 >/dev/null", &code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(warnings, "");
  std::string manual = output("MANWIDTH=250 man -E ascii -l " + page + " 2>/dev/null", &code);
  ASSERT_EQ(code, 0);

  std::set<std::string> synopsis;
  size_t start = manual.find("\nSYNOPSIS\n");
  ASSERT_NE(start, std::string::npos) << manual;
  std::istringstream lines(manual.substr(start + 10));
  std::string line;
  while (std::getline(lines, line) && !line.empty() && line[0] == ' ') synopsis.insert(collapsed(line));

  std::set<std::string> allHelpOptions, topLevel;
  for (const char* command : {"", "sync ", "configure ", "device ", "device init ", "device dump "}) {
    std::string help = output(TOLVEX_BINARY_DIR "/bin/hotsync " + std::string(command) + "--help", &code);
    ASSERT_EQ(code, 0) << command;
    std::vector<std::string> usage = usageLines(help);
    EXPECT_FALSE(usage.empty()) << command << help;
    for (const std::string& form : usage) {
      EXPECT_EQ(synopsis.count(form), 1u) << "'" << form << "' (hotsync " << command << "--help) is not in the manual";
      if (*command == '\0') topLevel.insert(form);
    }
    for (const std::string& option : options(help)) {
      allHelpOptions.insert(option);
      EXPECT_NE(manual.find(option), std::string::npos) << option << " (hotsync " << command << "--help) is not in the manual";
    }
  }
  EXPECT_EQ(topLevel, synopsis);
  for (const std::string& option : options(manual)) {
    EXPECT_EQ(allHelpOptions.count(option), 1u) << option << " is in the manual but in no --help";
  }
}

}  // namespace
