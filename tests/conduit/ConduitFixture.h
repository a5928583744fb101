// Shared set-up for the conduit tests: a fresh HOTSYNC_HOME, a handheld image
// and a desktop folder (whose path holds a "."), and helpers that run one
// HotSync through OpenConduit and read the log back.
#ifndef TOLVEX_TESTS_CONDUIT_CONDUITFIXTURE_H
#define TOLVEX_TESTS_CONDUIT_CONDUITFIXTURE_H
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conduit/Entry.h"
#include "platform/hotsync/ConduitApi.h"

namespace tolvex::test {

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);
bool exists(const std::string& path);
// The log with its times replaced by "T" so it can be compared.
std::string normalizeTimes(const std::string& log);

struct DeviceIni {
  bool hasUser = true;
  std::string userName = "Ann";
  std::string api = "2.2";
  bool moduleInstalled = true;
  std::string moduleVersion = "1.1";
  std::string encoding = "ISO-8859-1";
};

class ConduitTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Rewrites device.ini and attaches the image again.
  void configureDevice(const DeviceIni& ini);
  // Attaches again with SYNCMGR_FAULTS set (the call counts start over).
  void injectFaults(const std::string& faults);
  // Creates a database of creator and type "Wkdq" (or `creator`) on the handheld.
  void createHandheldDatabase(const std::string& name, const char* creator = "Wkdq");
  uint32_t handheldCreated(const std::string& name);
  void createDesktopList(const std::string& name);

  // One run through OpenConduit; the HotSync log lines are kept in hotsyncLines_.
  long runConduit(int syncType);
  std::string log() const { return readFile(desktop_ + "lastsync.txt"); }
  std::string normalizedLog() const { return normalizeTimes(log()); }
  // The log's text between the first line `from` and the first `to` after it, both included.
  std::string logSection(const std::string& from, const std::string& to) const;

  std::string root_;
  std::string home_;
  std::string image_;
  std::string desktop_;   // ends in "/"
  std::vector<std::string> hotsyncLines_;
};

// The lines a run of a fresh image writes up to the end of the module checks.
std::string headerLines(int syncType, const std::string& strategyLine);
extern const char* const kLogEnd;  // the close lines after normalizeTimes

}  // namespace tolvex::test
#endif
