// Example lists for the safety tests, edits on either side, and the check
// that every item, in its latest version, is still in the live files of its
// own list: the desktop list file and the handheld database of that name
// (backups, temporary databases and logs do not count).
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ExampleFixtures.h"
#include "SafetyHarness.h"
#include "desktop/XmlFile.h"
#include "outline/ItemList.h"
#include "outline/ListNode.h"
#include "platform/syncmgr/PdbFile.h"

namespace tolvex::safety {

inline constexpr int kTop = 25, kChildren = 9;  // 250 items a list

// List name -> the titles its items must carry.
using ListTitles = std::map<std::string, std::set<std::string>>;

inline std::string listName(int list) { return "Tolvk-Kill" + std::to_string(list); }
inline std::string listFile(const World& w, int list) { return w.desktop + "/" + listName(list) + ".XML"; }

inline std::string itemTitle(int list, int top, int child) {
  return "L" + std::to_string(list) + "-t" + std::to_string(top) + "-c" + std::to_string(child) + "#";
}

// Writes a two-level desktop list of `tops` items with nine children each,
// all new (to be uploaded), and records its titles.
inline void writeList(const World& w, int list, ListTitles& expected, int tops = kTop,
                      const std::string& path = "") {
  ItemList l;
  l.setUploadFile(1);
  std::set<std::string>& titles = expected[listName(list)];
  auto add = [&](const std::string& title) {
    auto node = std::make_unique<ListNode>(0, &l);
    node->setTitle(title);
    node->setDirtyContent(true);
    node->setDirtyPosition(true);
    titles.insert(title);
    return node;
  };
  for (int t = 0; t < tops; ++t) {
    auto owned = add(itemTitle(list, t, -1));
    ListNode* top = owned.get();
    l.pushBack(std::move(owned));
    ListNode* last = nullptr;
    for (int c = 0; c < kChildren; ++c) {
      auto child = add(itemTitle(list, t, c));
      ListNode* raw = child.get();
      if (last) last->insertAfter(std::move(child));
      else top->insertFirstChild(std::move(child));
      last = raw;
    }
  }
  std::string message;
  ASSERT_EQ(ListFileWriter().write(l, path.empty() ? listFile(w, list) : path, message), 0) << message;
}

inline void retitle(ListTitles& expected, const std::string& list, const std::string& from, const std::string& to) {
  expected[list].erase(from);
  expected[list].insert(to);
}

// Desktop edits after a sync: every sixth item in pre-order (from the first)
// gets "-edited" added to its title, and `added` new top-level items follow.
inline void editDesktop(const World& w, int list, ListTitles& expected, int added = 5) {
  const std::string path = listFile(w, list);
  std::string message;
  auto l = ListFileReader().read(path, message);
  ASSERT_TRUE(l) << message;
  int n = 0;
  ItemList::forEach(l->head(), WalkScope::kSubtree, [&](ListNode* node) {
    if (n++ % 6 == 0) {
      retitle(expected, listName(list), node->title(), node->title() + "-edited");
      node->setTitle(node->title() + "-edited");
      node->setDirtyContent(true);
    }
    return true;
  });
  for (int i = 0; i < added; ++i) {
    auto node = std::make_unique<ListNode>(0, l.get());
    const std::string t = "L" + std::to_string(list) + "-new-" + std::to_string(i) + "#";
    node->setTitle(t);
    node->setDirtyContent(true);
    node->setDirtyPosition(true);
    expected[listName(list)].insert(t);
    l->pushBack(std::move(node));
  }
  ASSERT_EQ(ListFileWriter().write(*l, path, message), 0) << message;
}

// Handheld edits after a sync, on other items than the desktop's: every
// sixth item record from the fourth gets its closing '#' turned into '!' and
// is marked changed in its own flags, as the handheld does.
inline void editHandheld(const World& w, int list, ListTitles& expected) {
  constexpr size_t kItemFlags = 2, kTitleLength = 78, kTitle = 88;
  constexpr uint8_t kDirtyContent = 0x20;
  const std::string file = w.device + "/" + listName(list) + ".pdb";
  std::string bytes = readFile(file), error;
  auto pdb = PdbFile::parse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &error);
  ASSERT_TRUE(pdb) << error;
  int edited = 0;
  for (size_t i = 4; i < pdb->recordCount(); i += 6) {
    std::vector<uint8_t>& data = pdb->record(i).data;
    ASSERT_GT(data.size(), kTitle);
    const size_t length = size_t(data[kTitleLength]) << 8 | data[kTitleLength + 1];
    ASSERT_LE(kTitle + length, data.size());
    const std::string title(data.begin() + kTitle, data.begin() + long(kTitle + length));
    ASSERT_TRUE(!title.empty() && title.back() == '#') << title;
    retitle(expected, listName(list), title, title.substr(0, title.size() - 1) + "!");
    data[kTitle + length - 1] = '!';
    data[kItemFlags + 3] |= kDirtyContent;
    ++edited;
  }
  ASSERT_GT(edited, 0);
  auto out = pdb->serialize();
  writeFile(file, std::string(out.begin(), out.end()));
}

// Titles of the undeleted items of a list's live desktop file and live
// handheld database.
struct LiveList {
  std::set<std::string> desktop, handheld;
};

inline LiveList liveList(const World& w, const std::string& list) {
  LiveList out;
  for (const FoundItem& i : desktopItems(w.desktop + "/" + list + ".XML")) out.desktop.insert(i.title);
  for (const FoundItem& i : handheldItems(readFile(w.device + "/" + list + ".pdb"))) out.handheld.insert(i.title);
  return out;
}

enum class Where { kEitherSide, kBothSides };

// Items whose expected title is missing from the live files of their list
// (from either side, or from one of the two); the first few go to `report`.
inline int missingItems(const World& w, const ListTitles& expected, Where where, std::string* report) {
  int missing = 0;
  for (const auto& [list, titles] : expected) {
    const LiveList live = liveList(w, list);
    for (const std::string& t : titles) {
      const bool onDesktop = live.desktop.count(t) != 0, onHandheld = live.handheld.count(t) != 0;
      const bool kept = where == Where::kEitherSide ? onDesktop || onHandheld : onDesktop && onHandheld;
      if (kept) continue;
      if (++missing <= 5 && report)
        *report += " " + list + ":\"" + t + "\"" + (onDesktop ? " (desktop only)" : onHandheld ? " (handheld only)" : "");
    }
  }
  return missing;
}

// Live items of the lists whose title is not expected there: an older
// version beside the latest, say; the first few go to `report`.
inline int unexpectedItems(const World& w, const ListTitles& expected, std::string* report) {
  int unexpected = 0;
  for (const auto& [list, titles] : expected) {
    const LiveList live = liveList(w, list);
    for (const std::set<std::string>* side : {&live.desktop, &live.handheld})
      for (const std::string& t : *side)
        if (!titles.count(t) && ++unexpected <= 5 && report) *report += " " + list + ":\"" + t + "\"";
  }
  return unexpected;
}

// Lists synced once by an unhindered run, then edited on both sides.
inline void syncedAndEditedOnBothSides(const World& w, ListTitles& expected, int lists, int tops = kTop) {
  ASSERT_EQ(w.initDevice().exitCode, 0);
  for (int l = 0; l < lists; ++l) writeList(w, l, expected, tops);
  RunResult first = w.sync();
  ASSERT_EQ(first.exitCode, 0) << first.out;
  for (int l = 0; l < lists; ++l) {
    editDesktop(w, l, expected);
    editHandheld(w, l, expected);
  }
}

// Saves the world's folders once and puts them back as saved on each call.
class Pristine {
 public:
  explicit Pristine(const World& w) : w_(w), saved_(w.root() + "/pristine") {
    EXPECT_EQ(std::system(("mkdir '" + saved_ + "' && cp -a '" + w.home + "' '" + w.device + "' '" + w.desktop +
                           "' '" + saved_ + "/'").c_str()), 0);
  }
  void restore() const {
    ASSERT_EQ(std::system(("rm -rf '" + w_.home + "' '" + w_.device + "' '" + w_.desktop + "' && cp -a '" + saved_ +
                           "/.' '" + w_.root() + "/'").c_str()), 0);
  }

 private:
  const World& w_;
  std::string saved_;
};

}  // namespace tolvex::safety
