// The lists of both folders read in two steps: files replaced or removed
// after the opening are read as they were, so a run may go on between.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "desktop/XmlFile.h"
#include "outline/ItemList.h"
#include "platform/hotsync/ListSnapshot.h"
#include "platform/hotsync/ListTree.h"
#include "platform/hotsync/RunSummary.h"

namespace tolvex::host {
namespace {

namespace fs = std::filesystem;

std::string describe(const FolderSnapshot& snapshot) {
  std::string out;
  for (const auto& [name, list] : snapshot.lists) {
    for (const SideView* side : {&list.handheld, &list.desktop}) {
      out += name + (side == &list.handheld ? " handheld" : " desktop") + (side->present ? "" : " absent") + " " +
             side->problem + ":";
      for (size_t i = 0; i < side->items.size(); ++i)
        out += " " + std::to_string(side->items[i].parent) + "/" + std::string(side->title(i)) + "/" +
               std::to_string(side->items[i].content);
      out += "\n";
    }
  }
  for (const auto& [file, hash] : snapshot.imageFiles) out += file + " " + std::to_string(hash) + "\n";
  return out;
}

// A fresh copy of the example's handheld image and desktop folder; empty on failure.
fs::path exampleCopy() {
  char pattern[] = "/tmp/tolvex-snapshot-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return {};
  const fs::path root = pattern;
  for (const char* part : {"handheld", "desktop"})
    fs::copy(fs::path(TOLVEX_SOURCE_DIR "/examples") / part, root / part, fs::copy_options::recursive);
  return root;
}

TEST(FolderSnapshot, FilesReplacedAfterTheOpeningAreReadAsTheyWere) {
  const fs::path root = exampleCopy();
  ASSERT_FALSE(root.empty());
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

// A desktop file rewritten in place after the opening (the desktop
// application saving over it during a run) is neither version whole: it is
// read as a problem, and the summary gives that side no figures rather than
// counting every item of the file as added.
TEST(FolderSnapshot, AFileRewrittenInPlaceIsNotReadAsItWas) {
  const fs::path root = exampleCopy();
  ASSERT_FALSE(root.empty());
  const std::string image = (root / "handheld").string(), desktop = (root / "desktop").string();
  auto opened = FolderSnapshot::open(image, desktop);
  std::stringstream trip;
  trip << std::ifstream(root / "desktop" / "Tolvk-Trip.XML").rdbuf();
  std::ofstream(root / "desktop" / "Tolvk-Garden.XML", std::ios::trunc) << trip.str();
  FolderSnapshot before = FolderSnapshot::read(*opened);
  EXPECT_EQ(before.lists["Tolvk-Garden"].desktop.problem, "changed while it was read");
  EXPECT_TRUE(before.lists["Tolvk-Trip"].desktop.problem.empty());
  RunSummary summary = summarizeRun(std::move(before), FolderSnapshot::take(image, desktop), "", false);
  for (const ListOutcome& o : summary.lists) EXPECT_FALSE(o.desktop.any()) << o.name;
  fs::remove_all(root);
}

// A handheld list whose name has a byte from 0x80 up meets its desktop file
// under the name the conduit gives that file (each byte read as Latin-1), so
// the summary has one line for it; such a byte in the C1 range is not shown
// raw to a terminal.
TEST(FolderSnapshot, ANameBeyondAsciiIsOneListOnBothSides) {
  const fs::path root = exampleCopy();
  ASSERT_FALSE(root.empty());
  std::stringstream pdb;
  pdb << std::ifstream(root / "handheld" / "Tolvk-Reading.pdb", std::ios::binary).rdbuf();
  std::string bytes = pdb.str();
  const std::string name = "Tolvk-Caf\xE9";
  bytes.replace(0, 32, name + std::string(32 - name.size(), '\0'));
  std::ofstream(root / "handheld" / "Tolvk-Caf%E9.pdb", std::ios::binary) << bytes;
  fs::copy_file(root / "desktop" / "Tolvk-Trip.XML", root / "desktop" / "Tolvk-Caf\u00e9.XML");
  FolderSnapshot snapshot = FolderSnapshot::take((root / "handheld").string(), (root / "desktop").string());
  ASSERT_EQ(snapshot.lists.count("Tolvk-Caf\u00e9"), 1u);
  EXPECT_TRUE(snapshot.lists["Tolvk-Caf\u00e9"].handheld.present);
  EXPECT_TRUE(snapshot.lists["Tolvk-Caf\u00e9"].desktop.present);
  EXPECT_EQ(snapshot.lists.count(name), 0u);
  EXPECT_EQ(terminalLine("Tolvk-\u0080uro\u00e9", 20), "Tolvk-?uro\u00e9");
  fs::remove_all(root);
}

// The views a snapshot keeps while it reads a desktop file are those of the
// whole outline read first, whichever reader reads the file.
TEST(FolderSnapshot, DesktopViewsAreThoseOfTheOutline) {
  char pattern[] = "/tmp/tolvex-snapshot-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path root = pattern;
  fs::create_directories(root / "image");
  const std::string path = (root / "Tolvk-Random.XML").string();
  for (unsigned seed = 1; seed <= 60; ++seed) {
    std::mt19937 rng(seed);
    ItemList list;
    std::vector<ListNode*> placed;
    for (int i = 0, n = 1 + static_cast<int>(rng() % 40); i < n; ++i) {
      auto item = std::make_unique<ListNode>(rng() % 50, &list);
      if (rng() % 4) item->setTitle("t" + std::to_string(rng() % 7) + (rng() % 3 ? "" : " & <x>"));
      if (rng() % 2) item->setNote(std::string(rng() % 30, 'n'));
      item->setChecked(rng() % 2);
      item->setDirtyContent(rng() % 2);
      item->setDeleted(rng() % 5 == 0);
      ListNode* raw = item.get();
      if (placed.empty()) list.setHead(std::move(item));
      else if (rng() % 2) placed[rng() % placed.size()]->insertFirstChild(std::move(item));
      else placed[rng() % placed.size()]->insertAfter(std::move(item));
      placed.push_back(raw);
    }
    std::string message;
    ASSERT_EQ(ListFileWriter().write(list, path, message), 0);
    if (seed % 3 == 0) {  // a comment: the plain reader gives way to expat part way
      std::ifstream in(path);
      std::stringstream text;
      text << in.rdbuf();
      std::string bytes = text.str();
      bytes.insert(bytes.rfind("</TolvexFile>"), "<!-- x -->");
      std::ofstream(path) << bytes;
    }
    auto back = ListFileReader().read(path, message);
    ASSERT_TRUE(back) << message;
    FolderSnapshot snapshot = FolderSnapshot::take((root / "image").string(), root.string());
    const SideView& side = snapshot.lists["Tolvk-Random"].desktop;
    const SideView outline = viewOf(*back);
    const std::vector<ItemView>& views = side.items;
    const std::vector<ItemView>& expected = outline.items;
    ASSERT_EQ(views.size(), expected.size()) << "seed " << seed;
    for (size_t i = 0; i < views.size(); ++i) {
      EXPECT_EQ(views[i].parent, expected[i].parent);
      EXPECT_EQ(side.title(i), outline.title(i));
      EXPECT_EQ(views[i].titleHash, expected[i].titleHash);
      EXPECT_EQ(views[i].content, expected[i].content);
      EXPECT_EQ(views[i].id, expected[i].id);
      EXPECT_EQ(views[i].deleted, expected[i].deleted);
      EXPECT_EQ(views[i].edited, expected[i].edited);
    }
  }
  fs::remove_all(root);
}

}  // namespace
}  // namespace tolvex::host
