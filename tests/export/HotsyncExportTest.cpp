// One whole HotSync through the host program: the exports run early in the
// run, write their files into the desktop folder and log into lastsync.txt.
#include <expat.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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

std::string withDesktop(std::string text, const std::string& desktop) {
  const std::string mark = "@DESKTOP@";
  for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at))
    text.replace(at, mark.size(), desktop);
  return text;
}

// Whether expat takes the whole file as a well-formed document.
bool wellFormed(const std::string& text) {
  XML_Parser parser = XML_ParserCreate(nullptr);
  bool ok = XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
  XML_ParserFree(parser);
  return ok;
}

class HotsyncExportTest : public ::testing::Test {
 protected:
  void SetUp() override { SetUpWith({"tags", "filters"}); }
  void SetUpWith(std::initializer_list<const char*> databases) {
    char tmpl[] = "/tmp/tolvex-hotsync-export-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    image_ = root_ + "/image";
    desktop_ = root_ + "/desktop";
    std::filesystem::create_directories(desktop_);
    ASSERT_EQ(run(hotsync() + " device init '" + image_ + "' --user Ann"), 0);
    for (const char* which : databases)
      ASSERT_EQ(run("perl " TOLVEX_SOURCE_DIR "/tests/export/make_export_dbs.pl '" + image_ + "' " +
                    which),
                0);
  }
  void TearDown() override {
    if (!root_.empty()) std::filesystem::remove_all(root_);
  }

  static std::string hotsync() { return TOLVEX_BINARY_DIR "/bin/hotsync"; }
  int run(const std::string& command) {
    std::string full = "HOTSYNC_HOME='" + root_ + "/home' " + command + " >>'" + root_ +
                       "/output.txt' 2>&1";
    int status = std::system(full.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int sync(const std::string& faults = "") {
    std::string env = faults.empty() ? "" : "SYNCMGR_FAULTS='" + faults + "' ";
    return run(env + hotsync() + " sync --device '" + image_ + "' --desktop '" + desktop_ + "'");
  }
  std::string lastLog() { return readFile(desktop_ + "/lastsync.txt"); }
  std::string output() { return readFile(root_ + "/output.txt"); }

  std::string root_, image_, desktop_;
};

TEST_F(HotsyncExportTest, SyncWritesBothFilesAndLogsTheExports) {
  ASSERT_EQ(sync(), 0) << output();
  EXPECT_EQ(readFile(desktop_ + "/TolvanTags.XML"), dataFile("TolvanTags.XML"));
  EXPECT_EQ(readFile(desktop_ + "/TolvanFilters.XML"), dataFile("TolvanFilters.XML"));
  std::string expected = "# Downloading Tolvan Tags database.\n" +
                         withDesktop(dataFile("tags.log"), desktop_ + "/") +
                         "#   Successfully obtained tag database.\n\n"
                         "# Downloading Tolvan Filters database.\n" +
                         withDesktop(dataFile("filters.log"), desktop_ + "/") +
                         "#   Successfully obtained filter database.\n\n";
  EXPECT_NE(lastLog().find(expected), std::string::npos) << lastLog();
}

class ControlBytesExportTest : public HotsyncExportTest {
 protected:
  void SetUp() override { SetUpWith({"control-tags", "control-filters"}); }
};

// Control bytes in handheld tags and filters are left out of the files,
// which stay well-formed, and the log says how many and from which item.
TEST_F(ControlBytesExportTest, FilesStayWellFormedAndTheLogSaysWhatWasLeftOut) {
  ASSERT_EQ(sync(), 0) << output();
  std::string tags = readFile(desktop_ + "/TolvanTags.XML");
  std::string filters = readFile(desktop_ + "/TolvanFilters.XML");
  EXPECT_TRUE(wellFormed(tags)) << tags;
  EXPECT_TRUE(wellFormed(filters)) << filters;
  EXPECT_NE(tags.find("<title>EscCat</title>"), std::string::npos) << tags;
  EXPECT_NE(filters.find("<filter title=\"EscTitle\" uniqueID=\"4660\""), std::string::npos) << filters;
  EXPECT_NE(filters.find(" value=\"abc\" "), std::string::npos) << filters;
  std::string log = lastLog();
  EXPECT_NE(log.find("#   WARNING: Left out 2 characters that XML cannot hold, from 2 item(s); the first is 0 "
                     "'EscCat'.\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("#   WARNING: Left out 3 characters that XML cannot hold, from 1 item(s); the first is 4660 "
                     "'EscTitle'.\n"),
            std::string::npos)
      << log;
}

TEST_F(HotsyncExportTest, FailingRecordReadsKeepThePreviousFiles) {
  std::ofstream(desktop_ + "/TolvanTags.XML") << "previous tags";
  std::ofstream(desktop_ + "/TolvanFilters.XML") << "previous filters";
  // The tag export's third record read fails (call 3); the filter export
  // then reads from call 4, and its second record read (call 5) fails.
  ASSERT_EQ(sync("SyncReadRecordByIndex:3,SyncReadRecordByIndex:5"), 0) << output();
  EXPECT_EQ(readFile(desktop_ + "/TolvanTags.XML"), "previous tags");
  EXPECT_EQ(readFile(desktop_ + "/TolvanFilters.XML"), "previous filters");
  std::string log = lastLog();
  EXPECT_NE(log.find("#   Retrieved Unfiled/Phone (2)\n"
                     "#   ERROR: Couldn't retrieve record 2!\n"
                     "#   Failed to obtain tag database!\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("#   Reading 5 filters.\n"
                     "#   Fetching filter 'Work items'\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("#   ERROR: Couldn't retrieve record 1!\n"
                     "#   Failed to obtain filter database!\n"),
            std::string::npos)
      << log;
}

// A file that cannot be replaced (a folder in its place) keeps what it held;
// the run says so in its log and in the HotSync log instead of success.
TEST_F(HotsyncExportTest, UnwritableFilesAreReportedNotShownAsObtained) {
  for (const char* f : {"/TolvanTags.XML", "/TolvanFilters.XML"}) {
    std::filesystem::create_directory(desktop_ + f);
    std::ofstream(desktop_ + f + "/keep") << "kept";
  }
  ASSERT_EQ(sync(), 0) << output();
  EXPECT_EQ(readFile(desktop_ + "/TolvanTags.XML/keep"), "kept");
  EXPECT_EQ(readFile(desktop_ + "/TolvanFilters.XML/keep"), "kept");
  std::string log = lastLog();
  EXPECT_EQ(log.find("Successfully obtained"), std::string::npos) << log;
  for (const char* what : {"Tags", "Filters"}) {
    std::string file = std::string("Tolvan") + what + ".XML";
    std::string kind = what[0] == 'T' ? "tag" : "filter";
    EXPECT_NE(log.find("#   ERROR: Couldn't write " + desktop_ + "/" + file + "; it is left as it was.\n"
                       "#   Failed to save " + kind + " database!\n"),
              std::string::npos)
        << log;
    EXPECT_NE(output().find("Tolvan: " + file + " could not be written and was left as it was\n"), std::string::npos)
        << output();
  }
}

}  // namespace
