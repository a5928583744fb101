// The example through the hotsync program: every path of a run, then a
// second run that finds nothing to do.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(HotsyncRun, ExampleSynchronizesAndSettles) {
  fs::path work = fs::temp_directory_path() / ("tolvex-run-" + std::to_string(::getpid()));
  fs::remove_all(work);
  fs::create_directories(work / "home");
  fs::copy(TOLVEX_SOURCE_DIR "/examples/handheld", work / "handheld", fs::copy_options::recursive);
  fs::copy(TOLVEX_SOURCE_DIR "/examples/desktop", work / "desktop", fs::copy_options::recursive);
  std::string sync = "HOTSYNC_HOME=" + (work / "home").string() + " " TOLVEX_BINARY_DIR "/bin/hotsync sync --device " +
                     (work / "handheld").string() + " --desktop " + (work / "desktop").string() + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(sync.c_str()), 0);
  std::string log = slurp(work / "desktop/lastsync.txt");
  EXPECT_NE(log.find("# Saved updated list to desktop.\n"), std::string::npos) << log;
  EXPECT_NE(log.find("#   Written to XML file ("), std::string::npos);
  EXPECT_NE(log.find("#   Saved updated record info to desktop.\n"), std::string::npos);
  EXPECT_NE(log.find("#   SKIPPING: Sync request flag not set. (2 recs)\n"), std::string::npos);
  EXPECT_TRUE(fs::exists(work / "desktop/Backup/Tolvk-Garden.0"));
  EXPECT_TRUE(fs::exists(work / "desktop/Tolvk-Reading.XML"));
  EXPECT_FALSE(fs::exists(work / "desktop/Tolvk-Archive.XML"));
  EXPECT_NE(slurp(work / "desktop/Tolvk-Trip.XML").find("uploadFile=\"0\""), std::string::npos);

  // An independent reader sees the uploaded list: the header, then items in pre-order.
  std::string perl = "perl -MPalm::PDB -MPalm::Raw -e '$p=Palm::PDB->new; $p->Load(shift); "
                     "print join(\",\", map { length $_->{data} } @{$p->{records}})' " +
                     (work / "handheld/Tolvk-Trip.pdb").string() + " > " + (work / "perl.txt").string();
  ASSERT_EQ(std::system(perl.c_str()), 0);
  std::string sizes = slurp(work / "perl.txt");
  EXPECT_EQ(sizes.substr(0, 4), "122,") << sizes;
  EXPECT_EQ(std::count(sizes.begin(), sizes.end(), ','), 4);  // header + four items

  ASSERT_EQ(std::system((sync + "").c_str()), 0);
  log = slurp(work / "desktop/lastsync.txt");
  EXPECT_NE(log.find("# No changes were made. Natch.\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("# Some changes were made."), std::string::npos);
  fs::remove_all(work);
}

}  // namespace
