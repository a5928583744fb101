#include <gtest/gtest.h>

#include <set>

#include "libsync/SyncContext.h"
#include "tests/libsync/EngineTestSupport.h"
#include "libsync/EngineSteps.h"
#include "tests/libsync/RandomLists.h"

namespace tolvex {
namespace {

using testing::LogCapture;
using testing::RandomLists;
using testing::treeError;

bool anyFlagOrDeleted(const ItemList& list) { return list.hasChanges(); }

// Every kind and method, on random pairs: the outline stays a tree, and a
// merge that ran its passes leaves the desktop free of flags and deletions.
TEST(MergePropertyTest, RandomPairsStayWellFormed) {
  const int kCases = 3000;
  // Paths the random pairs must reach, or the test proves little.
  std::vector<std::pair<std::string, int>> reached = {
      {"Alive:", 0}, {"BAD REFERENT!", 0}, {"BAD REFERENT.", 0}, {"Becomes new head", 0},
      {"Bad referent. Copy to end", 0}, {"Clobber desktop", 0}, {"Keep and duplicate", 0},
      {"Relocate to child", 0}, {"Both sides moved", 0}, {"Target alive+mod. Swap", 0},
      {"File unique", 0}, {"Nothing is dirty", 0}, {"WARNING", 0}};
  for (int i = 0; i < kCases && !HasFailure(); ++i) {
    uint64_t seed = 0x70105eedULL + static_cast<uint64_t>(i);
    SCOPED_TRACE("seed " + std::to_string(seed));
    RandomLists random(seed);
    ItemList desktop, handheld;
    random.fill(desktop, handheld);
    ASSERT_EQ(treeError(desktop), "");
    ASSERT_EQ(treeError(handheld), "");

    SyncContext context;
    context.name = "Tolvk-Random";
    context.kind = static_cast<int32_t>(random.below(3));
    context.method = static_cast<int32_t>(random.below(7)) - 1;  // -1..5
    LogCapture log;
    if (random.chance(0.7)) context.log = log.file();

    bool fast = context.kind == kSyncFast;
    bool foreign = fast && desktop.uniqueTime() != handheld.uniqueTime();
    bool idle = fast && !foreign && !desktop.hasChanges() && !handheld.hasChanges();
    size_t sizeBefore = desktop.size();

    // Under a slow "HH over DT" every handheld item must reach the desktop,
    // unless it or an ancestor was deleted on either side (the deletion wins).
    std::vector<uint32_t> mustSurvive;
    if (context.kind == kSyncSlow && context.method == kHhOverDt) {
      std::set<uint32_t> deletedOnDesktop;
      ItemList::forEach(desktop.head(), WalkScope::kSubtree, [&](ListNode* item) {
        if (item->deleted()) deletedOnDesktop.insert(item->uniqueID());
        return true;
      });
      ItemList::forEach(handheld.head(), WalkScope::kSubtree, [&](ListNode* item) {
        bool live = true;
        for (const ListNode* up = item; up; up = up->parent())
          live = live && !up->deleted() && !deletedOnDesktop.count(up->uniqueID());
        if (live) mustSurvive.push_back(item->uniqueID());
        return true;
      });
    }

    EXPECT_EQ(synchronizeFile(desktop, handheld, context), 0);
    for (uint32_t id : mustSurvive) EXPECT_NE(desktop.findByUniqueId(id), nullptr) << "lost item " << id;
    ASSERT_NE(context.result, nullptr);
    EXPECT_EQ(treeError(desktop), "");
    EXPECT_EQ(treeError(handheld), "");
    if (desktop.head()) {
      EXPECT_EQ(desktop.head()->list(), &desktop);
    }
    if (foreign) {
      EXPECT_TRUE(context.changed);
      EXPECT_FALSE(desktop.firstDirtyContent() || desktop.firstDirtyPosition());
    } else if (idle) {
      EXPECT_FALSE(context.changed);
      EXPECT_EQ(desktop.size(), sizeBefore);
    } else {
      EXPECT_TRUE(context.changed);
      EXPECT_FALSE(anyFlagOrDeleted(desktop));
      EXPECT_EQ(handheld.firstDeleted(), nullptr);
      EXPECT_EQ(context.result, &desktop);
    }
    if (context.log) {
      std::string text = log.text();
      for (auto& [marker, count] : reached) count += text.find(marker) != std::string::npos;
    }
  }
  for (auto& [marker, count] : reached) EXPECT_GT(count, 0) << marker;
}

}  // namespace
}  // namespace tolvex

namespace tolvex {
namespace {

// The pass as first described: restart from the top after every move.
void restartingKeepAlive(ItemList& list, std::string& log) {
  for (bool moved = true; moved;) {
    moved = false;
    ItemList::forEach(list.head(), WalkScope::kSubtree, [&](ListNode* n) {
      if (n->deleted() || !n->parent()) return true;
      ListNode* top = nullptr;
      for (ListNode* p = n->parent(); p; p = p->parent())
        if (p->deleted()) top = p;
      if (!top) return true;
      log += "#       Alive: " + n->title() + " to move beside " + top->title() + "\n";
      top->insertAfter(n->unlink());
      moved = true;
      return false;
    });
  }
}

TEST(MergePropertyTest, KeepAliveMatchesRestartingWalk) {
  testing::RandomListOptions options;
  options.deleted = 0.3;
  for (uint64_t seed = 1; seed <= 400 && !HasFailure(); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    ItemList engineSide, referenceSide, unused1, unused2;
    RandomLists(seed, options).fill(engineSide, unused1);
    RandomLists(seed, options).fill(referenceSide, unused2);
    for (ItemList* list : {&engineSide, &referenceSide}) {  // short titles: no cut lines
      int n = 0;
      ItemList::forEach(list->head(), WalkScope::kSubtree, [&n](ListNode* item) {
        item->setTitle("N" + std::to_string(n++));
        return true;
      });
    }
    LogCapture log;
    SyncContext context;
    context.log = log.file();
    engine::keepAlivePass(engineSide, context);
    std::string expected;
    restartingKeepAlive(referenceSide, expected);
    EXPECT_EQ(testing::shape(engineSide), testing::shape(referenceSide));
    EXPECT_EQ(log.text(), expected);
  }
}

}  // namespace
}  // namespace tolvex
