// The merge after an interrupted rebuild, on random lists: a merge runs and
// its result is "written" with new IDs (the handheld side), its desktop save
// never happens, the desktop file may be edited since, and the replay merges
// the two. Without edits the outcome is exactly what the interrupted run
// would have saved; with edits every one of them is kept and nothing of that
// outcome is lost or doubled.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>

#include "desktop/XmlFile.h"
#include "libsync/SyncContext.h"
#include "outline/RebuildRecord.h"
#include "tests/libsync/RandomLists.h"

namespace tolvex::testing {
namespace {

namespace fs = std::filesystem;

void forEachItem(const ItemList& list, const std::function<void(ListNode&)>& visit) {
  ItemList::forEach(list.head(), WalkScope::kSubtree, [&](ListNode* item) {
    visit(*item);
    return true;
  });
}

// Pre-order "depth title" of the live items.
std::vector<std::string> outline(const ItemList& list) {
  std::vector<std::string> out;
  forEachItem(list, [&](ListNode& item) {
    if (!item.deleted()) out.push_back(std::to_string(item.depth()) + " " + item.title());
  });
  return out;
}

// The "<id>:" prefix the test gives every title.
std::string idOf(const std::string& title) { return title.substr(0, title.find(':')); }

std::map<std::string, int> titleCounts(const ItemList& list) {
  std::map<std::string, int> out;
  forEachItem(list, [&](ListNode& item) {
    if (!item.deleted()) ++out[item.title()];
  });
  return out;
}

class RebuildReplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Thousands of small files are written and synced: memory-backed where there is such a folder.
    const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    folder_ = base / ("tolvex-replay-" + std::to_string(getpid()));
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }
  // The list as a desktop file holds it, read back.
  std::unique_ptr<ItemList> throughFile(const ItemList& list) {
    const std::string path = (folder_ / "Tolvk-R.XML").string();
    std::string message;
    EXPECT_EQ(ListFileWriter().write(list, path, message), 0);
    auto read = ListFileReader().read(path, message);
    EXPECT_TRUE(read && message.empty()) << message;
    return read;
  }
  fs::path folder_;
};

TEST_F(RebuildReplayTest, RandomInterruptionsKeepEveryEdit) {
  int replayed = 0, edited = 0;
  for (uint64_t seed = 1; seed <= 500 && !HasFailure(); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    RandomLists random(seed * 7919);
    ItemList d0, h0;
    random.fill(d0, h0);
    // Titles that tell items apart, equal where the contents were equal.
    for (ItemList* list : {&d0, &h0})
      forEachItem(*list, [](ListNode& item) { item.setTitle(std::to_string(item.uniqueID()) + ":" + item.title()); });
    h0.setUniqueTime(d0.uniqueTime());
    SyncContext context;
    context.kind = random.chance(0.5) ? kSyncFast : kSyncSlow;
    context.method = static_cast<int32_t>(1 + random.below(4));

    // The interrupted run: it read the desktop file, merged, and wrote the
    // result to the handheld with new IDs.
    auto file = throughFile(d0);
    auto desktop = throughFile(*file);
    DesktopSnapshot snapshot(*desktop);
    synchronizeFile(*desktop, h0, context);
    if (!context.changed) continue;
    ItemList& result = *context.result;
    RebuildRecord record{snapshot.items(), describeWritten(snapshot, result)};
    uint32_t nextId = 0x100000;
    forEachItem(result, [&](ListNode& item) {
      item.setUniqueID(nextId++);
      item.setDirtyContent(false);
      item.setDirtyPosition(false);
    });
    fillNewIds(record.written, result);
    auto handheld = throughFile(result);

    // The desktop file since: as it was, or edited.
    auto now = throughFile(*file);
    std::vector<std::string> added;
    std::map<std::string, std::string> retitled;  // new title -> the item's ID prefix
    std::set<std::string> editedIds;
    if (random.chance(0.6)) {
      ++edited;
      std::vector<ListNode*> items;
      forEachItem(*now, [&](ListNode& item) {
        if (!item.deleted()) items.push_back(&item);
      });
      for (size_t i = 0; i < items.size(); ++i) {
        const std::string id = idOf(items[i]->title());
        if (random.chance(0.15)) {
          const std::string title = "after " + std::to_string(i);
          items[i]->setTitle(title);
          items[i]->setDirtyContent(true);
          retitled[title] = id;
          editedIds.insert(id);
        } else if (random.chance(0.05)) {
          items[i]->setDeleted(true);
          items[i]->setDirtyContent(true);
          editedIds.insert(id);
        }
      }
      for (int i = 0; i < 3; ++i) {
        auto item = std::make_unique<ListNode>(0, now.get());
        item->setTitle("new " + std::to_string(i));
        item->setDirtyContent(true);
        if (items.empty() || random.chance(0.3)) {
          now->pushBack(std::move(item));
        } else {
          items[random.below(items.size())]->insertAfter(std::move(item));
        }
        added.push_back("new " + std::to_string(i));
      }
    }
    const std::vector<std::string> saved = outline(*handheld);
    const std::map<std::string, int> savedCounts = titleCounts(*handheld);

    prepareReplay(record, *now, *handheld);
    SyncContext replay;
    replay.kind = kSyncFast;
    replay.method = context.method;
    synchronizeFile(*now, *handheld, replay);
    ASSERT_NE(replay.result, nullptr);
    ++replayed;
    if (added.empty()) {
      EXPECT_EQ(outline(*replay.result), saved);
      continue;
    }
    std::map<std::string, int> counts = titleCounts(*replay.result);
    std::set<std::string> idsLeft;
    for (const auto& [title, n] : counts) idsLeft.insert(idOf(title));
    for (const std::string& title : added) EXPECT_EQ(counts[title], 1) << title;
    // An edit since survives, unless the interrupted run's handheld edit of
    // the same item wins the collision under "HH over DT".
    for (const auto& [title, id] : retitled)
      EXPECT_TRUE(counts[title] == 1 || (replay.method == kHhOverDt && idsLeft.count(id))) << title;
    // Everything else the interrupted run would have saved is there once.
    for (const auto& [title, n] : savedCounts) {
      if (!editedIds.count(idOf(title))) {
        EXPECT_EQ(counts[title], n) << title;
      }
    }
  }
  EXPECT_GT(replayed, 300);
  EXPECT_GT(edited, 150);
}

}  // namespace
}  // namespace tolvex::testing
