#include "tests/conduit/ConduitFixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "platform/syncmgr/SyncMgr.h"

namespace tolvex::test {

namespace fs = std::filesystem;

const char* const kLogEnd = "# Log open for T seconds.\n# Log finished T\n";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

std::string normalizeTimes(const std::string& log) {
  static const std::regex times("(# Log started |# Log open for |# Log finished )[0-9]+");
  return std::regex_replace(log, times, "$1T");
}

std::string headerLines(int syncType, const std::string& strategyLine) {
  static const char* const names[] = {"eFast",   "eSlow",   "eHHtoPC",    "ePCtoHH",
                                      "eInstall", "eBackup", "eDoNothing", "eProfileInstall"};
  return std::string("# Log started T\n# Conduit Build 2.2.0 Oct 14 2003 17:10:14\n") +
         "# Syncronization strategy: " + std::to_string(syncType) + " (" + names[syncType] +
         ")\n" + strategyLine;
}

namespace {
void collectLine(const char* text, void* context) {
  static_cast<std::vector<std::string>*>(context)->push_back(text);
}
void noCallback() {}
}  // namespace

void ConduitTest::SetUp() {
  char pattern[] = "/tmp/tolvex.conduit.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  root_ = pattern;
  home_ = root_ + "/home";
  image_ = root_ + "/image";
  desktop_ = root_ + "/desk.top/";
  fs::create_directories(home_);
  fs::create_directories(desktop_);
  setenv("HOTSYNC_HOME", home_.c_str(), 1);
  unsetenv("SYNCMGR_FAULTS");
  setenv("TOLVEX_LOG_VIEWER", "true", 1);  // keeps the log path off stderr
  ASSERT_EQ(SyncHostCreateImage(image_.c_str(), "Ann"), 0);
  ASSERT_EQ(SyncHostAttach(image_.c_str()), 0);
  SyncHostSetLogSink(collectLine, &hotsyncLines_);
}

void ConduitTest::TearDown() {
  SyncHostSetLogSink(nullptr, nullptr);
  SyncHostDetach();
  unsetenv("SYNCMGR_FAULTS");
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

void ConduitTest::configureDevice(const DeviceIni& ini) {
  SyncHostDetach();
  std::string text;
  if (ini.hasUser) text += "[user]\nname=" + ini.userName + "\nid=1\n";
  text += "[syncmgr]\napi=" + ini.api + "\n";
  text += std::string("[module]\ninstalled=") + (ini.moduleInstalled ? "yes" : "no") +
          "\nversion=" + ini.moduleVersion + "\nencoding=" + ini.encoding + "\n";
  text += "[sync]\nlast_desktop=\n";
  writeFile(image_ + "/device.ini", text);
  ASSERT_EQ(SyncHostAttach(image_.c_str()), 0);
}

void ConduitTest::injectFaults(const std::string& faults) {
  SyncHostDetach();
  setenv("SYNCMGR_FAULTS", faults.c_str(), 1);
  ASSERT_EQ(SyncHostAttach(image_.c_str()), 0);
}

void ConduitTest::createHandheldDatabase(const std::string& name, const char* creator) {
  SyncCreateRecord record;
  std::memset(&record, 0, sizeof record);
  record.creator = SYNC_FOURCC(creator[0], creator[1], creator[2], creator[3]);
  record.dbType = SYNC_FOURCC('W', 'k', 'd', 'q');
  record.cardNo = 0;
  std::strncpy(record.name, name.c_str(), sizeof record.name - 1);
  ASSERT_EQ(SyncCreateDB(&record), 0) << name;
  SyncCloseDB(record.handle);
}

uint32_t ConduitTest::handheldCreated(const std::string& name) {
  SyncCardInfo card;
  std::memset(&card, 0, sizeof card);
  if (SyncReadSingleCardInfo(&card) != 0) return 0;
  std::vector<SyncDbRecord> records(card.ramDbCount + 1);
  int count = static_cast<int>(records.size());
  SyncReadDBList(0, 0, 1, records.data(), &count);
  for (int i = 0; i < count; ++i) {
    if (name == records[i].name) return records[i].createDate;
  }
  return 0;
}

void ConduitTest::createDesktopList(const std::string& name) {
  writeFile(desktop_ + name + ".XML",
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<TolvanList></TolvanList>\n");
}

long ConduitTest::runConduit(int syncType) {
  RunProperties properties;
  std::memset(&properties, 0, sizeof properties);
  properties.syncType = syncType;
  std::strncpy(properties.desktopFolder, desktop_.c_str(), sizeof properties.desktopFolder - 1);
  properties.creator = SYNC_FOURCC('Q', 'z', 'v', 'm');
  hotsyncLines_.clear();
  return OpenConduit(noCallback, &properties);
}

std::string ConduitTest::logSection(const std::string& from, const std::string& to) const {
  const std::string text = log();
  const size_t start = text.find(from);
  if (start == std::string::npos) return "<missing: " + from + ">";
  const size_t end = text.find(to, start + from.size());
  if (end == std::string::npos) return "<missing: " + to + ">";
  return text.substr(start, end + to.size() - start);
}

}  // namespace tolvex::test
