// The exports against a handheld image holding tag and filter databases made
// by an independent Palm database writer (Perl's Palm::PDB).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "export/Export.h"
#include "platform/syncmgr/SyncMgr.h"

namespace tolvex {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string dataFile(const std::string& name) {
  return readFile(std::string(TOLVEX_SOURCE_DIR) + "/tests/export/data/" + name);
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

class HandheldExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tolvex-export-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    image_ = root_ + "/image";
    desktop_ = root_ + "/desktop/";
    std::filesystem::create_directories(desktop_);
    ASSERT_EQ(SyncHostCreateImage(image_.c_str(), "Ann"), 0);
    env_.log = &log_;
    env_.desktopFolder = desktop_;
  }
  void TearDown() override {
    if (attached_) SyncHostDetach();
    std::filesystem::remove_all(root_);
  }
  void makeDatabases(const std::string& which) {
    std::string command = "perl " TOLVEX_SOURCE_DIR "/tests/export/make_export_dbs.pl '" +
                          image_ + "' " + which;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }
  // `faults` as SYNCMGR_FAULTS; the stand-in reads it when attaching.
  void attach(const char* faults = nullptr) {
    if (faults) setenv("SYNCMGR_FAULTS", faults, 1);
    long err = SyncHostAttach(image_.c_str());
    unsetenv("SYNCMGR_FAULTS");
    ASSERT_EQ(err, 0);
    attached_ = true;
  }
  std::string expectedLog(const std::string& name) {
    return replaceAll(dataFile(name), "@DESKTOP@", desktop_);
  }

  std::string root_, image_, desktop_;
  bool attached_ = false;
  MemoryRunLog log_;
  RunEnv env_;
};

TEST_F(HandheldExportTest, TagsAsTheExpectedFileAndLog) {
  makeDatabases("tags");
  attach();
  EXPECT_EQ(exportTagDatabase(env_, "TolvanTags.XML"), ExportResult::kSaved);
  EXPECT_EQ(log_.text(), expectedLog("tags.log"));
  EXPECT_EQ(readFile(desktop_ + "TolvanTags.XML"), dataFile("TolvanTags.XML"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(desktop_),
                          std::filesystem::directory_iterator()), 1);
}

TEST_F(HandheldExportTest, FiltersAsTheExpectedFileAndLog) {
  makeDatabases("filters");
  attach();
  EXPECT_EQ(exportFilterDatabase(env_, "TolvanFilters.XML"), ExportResult::kSaved);
  EXPECT_EQ(log_.text(), expectedLog("filters.log"));
  EXPECT_EQ(readFile(desktop_ + "TolvanFilters.XML"), dataFile("TolvanFilters.XML"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(desktop_),
                          std::filesystem::directory_iterator()), 1);
}

TEST_F(HandheldExportTest, EmptyFilterDatabaseLeavesTheFileAlone) {
  makeDatabases("empty-filters");
  attach();
  EXPECT_EQ(exportFilterDatabase(env_, "TolvanFilters.XML"), ExportResult::kSaved);
  EXPECT_EQ(log_.text(), "#   Reading 0 filters.\n#   Write tag database out to " + desktop_ +
                             "TolvanFilters.XML\n");
  EXPECT_FALSE(std::filesystem::exists(desktop_ + "TolvanFilters.XML"));
}

TEST_F(HandheldExportTest, MissingDatabasesFailWithoutWriting) {
  attach();
  std::ofstream(desktop_ + "TolvanTags.XML") << "previous";
  EXPECT_EQ(exportTagDatabase(env_, "TolvanTags.XML"), ExportResult::kNotRead);
  EXPECT_EQ(exportFilterDatabase(env_, "TolvanFilters.XML"), ExportResult::kNotRead);
  EXPECT_EQ(log_.text(),
            "#   ERROR: Couldn't open tag database!\n#   ERROR: Couldn't open filter database!\n");
  EXPECT_EQ(readFile(desktop_ + "TolvanTags.XML"), "previous");
  EXPECT_FALSE(std::filesystem::exists(desktop_ + "TolvanFilters.XML"));
}

TEST_F(HandheldExportTest, FailingReadsWriteNothingAndCloseTheDatabase) {
  makeDatabases("tags");
  makeDatabases("filters");
  std::ofstream(desktop_ + "TolvanTags.XML") << "previous tags";
  std::ofstream(desktop_ + "TolvanFilters.XML") << "previous filters";
  attach("SyncReadRecordByIndex:3,SyncReadRecordByIndex:5,SyncGetDBRecordCount:3,"
         "SyncReadDBAppInfoBlock:2");
  // Tags: the third record read fails; filters: the second (call 5).
  EXPECT_EQ(exportTagDatabase(env_, "TolvanTags.XML"), ExportResult::kNotRead);
  EXPECT_EQ(exportFilterDatabase(env_, "TolvanFilters.XML"), ExportResult::kNotRead);
  std::string log = log_.text();
  EXPECT_EQ(log.substr(log.find("#   Reading 10 tags.\n")),
            "#   Reading 10 tags.\n"
            "#   Retrieved Work/Urgent (1)\n"
            "#   Retrieved Unfiled/Phone (2)\n"
            "#   ERROR: Couldn't retrieve record 2!\n"
            "#   Reading 5 filters.\n"
            "#   Fetching filter 'Work items'\n"
            "#     Added rule: op=1(Title Matches) r=0 f=0 g=0 v=1(Smith & Sons)\n"
            "#     Added rule: op=10(Priority) r=7 f=1 g=2 v=2(3)\n"
            "#     Added rule: op=11(Progress) r=2 f=0 g=1 v=2(0)\n"
            "#     Added rule: op=8((error!)) r=1 f=1 g=0 v=999(12)\n"
            "#     Added rule: op=19(Indent level) r=3 f=0 g=3 v=2(4294967295)\n"
            "#   ERROR: Couldn't retrieve record 1!\n");
  EXPECT_EQ(readFile(desktop_ + "TolvanTags.XML"), "previous tags");
  EXPECT_EQ(readFile(desktop_ + "TolvanFilters.XML"), "previous filters");

  // The third record count fails, then the second app-info read.
  log_.clear();
  EXPECT_EQ(exportTagDatabase(env_, "TolvanTags.XML"), ExportResult::kNotRead);
  EXPECT_EQ(exportTagDatabase(env_, "TolvanTags.XML"), ExportResult::kNotRead);
  EXPECT_EQ(log_.text(),
            "#   ERROR: Couldn't get record count!\n"
            "#   Trying to get appinfo block\n"
            "#   ERROR: Couldn't fetch appinfo block!\n");

  // Every failing path closed its database: both export whole now.
  log_.clear();
  EXPECT_EQ(exportTagDatabase(env_, "TolvanTags.XML"), ExportResult::kSaved);
  EXPECT_EQ(exportFilterDatabase(env_, "TolvanFilters.XML"), ExportResult::kSaved);
  EXPECT_EQ(readFile(desktop_ + "TolvanTags.XML"), dataFile("TolvanTags.XML"));
  EXPECT_EQ(readFile(desktop_ + "TolvanFilters.XML"), dataFile("TolvanFilters.XML"));
}

TEST_F(HandheldExportTest, TheHandheldIsOnlyRead) {
  makeDatabases("tags");
  makeDatabases("filters");
  std::string tags = readFile(image_ + "/TolvTags.pdb");
  std::string filters = readFile(image_ + "/TolvFilters.pdb");
  attach();
  EXPECT_EQ(exportTagDatabase(env_, "TolvanTags.XML"), ExportResult::kSaved);
  EXPECT_EQ(exportFilterDatabase(env_, "TolvanFilters.XML"), ExportResult::kSaved);
  SyncHostDetach();
  attached_ = false;
  EXPECT_EQ(readFile(image_ + "/TolvTags.pdb"), tags);
  EXPECT_EQ(readFile(image_ + "/TolvFilters.pdb"), filters);
}

}  // namespace
}  // namespace tolvex
