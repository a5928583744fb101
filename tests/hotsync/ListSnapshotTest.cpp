// The lists of both folders read in two steps: files replaced or removed
// after the opening are read as they were, so a run may go on between.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/hotsync/ListSnapshot.h"

namespace tolvex::host {
namespace {

namespace fs = std::filesystem;

std::string describe(const FolderSnapshot& snapshot) {
  std::string out;
  for (const auto& [name, list] : snapshot.lists) {
    for (const SideView* side : {&list.handheld, &list.desktop}) {
      out += name + (side == &list.handheld ? " handheld" : " desktop") + (side->present ? "" : " absent") + " " +
             side->problem + ":";
      for (const ItemView& item : side->items)
        out += " " + std::to_string(item.parent) + "/" + item.title + "/" + std::to_string(item.content);
      out += "\n";
    }
  }
  for (const auto& [file, hash] : snapshot.imageFiles) out += file + " " + std::to_string(hash) + "\n";
  return out;
}

TEST(FolderSnapshot, FilesReplacedAfterTheOpeningAreReadAsTheyWere) {
  char pattern[] = "/tmp/tolvex-snapshot-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path root = pattern;
  for (const char* part : {"handheld", "desktop"})
    fs::copy(fs::path(TOLVEX_SOURCE_DIR "/examples") / part, root / part, fs::copy_options::recursive);
  const std::string image = (root / "handheld").string(), desktop = (root / "desktop").string();
  const std::string expected = describe(FolderSnapshot::take(image, desktop));
  EXPECT_NE(expected.find("Tolvk-Garden desktop :"), std::string::npos) << expected;

  auto opened = FolderSnapshot::open(image, desktop);
  // As a run writes: new files renamed over the old ones, and removals.
  fs::copy_file(root / "desktop" / "Tolvk-Trip.XML", root / "desktop" / "new.tmp");
  fs::rename(root / "desktop" / "new.tmp", root / "desktop" / "Tolvk-Garden.XML");
  fs::copy_file(root / "handheld" / "Tolvk-Reading.pdb", root / "handheld" / "new.tmp");
  fs::rename(root / "handheld" / "new.tmp", root / "handheld" / "Tolvk-Garden.pdb");
  fs::remove(root / "handheld" / "Tolvk-Archive.pdb");
  fs::remove(root / "desktop" / "Tolvk-Trip.XML");
  EXPECT_EQ(describe(FolderSnapshot::read(*opened)), expected);
  EXPECT_NE(describe(FolderSnapshot::take(image, desktop)), expected);
  fs::remove_all(root);
}

}  // namespace
}  // namespace tolvex::host
