#include <gtest/gtest.h>

#include <algorithm>
#include <map>
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

// What a merge must do with the items of one random pair, by unique ID,
// whatever the kind and method: work that one side edited or added stays;
// items both sides deleted stay gone; an item both sides hold, live, keeps
// the version that its edits and the method choose; and each method keeps
// the items it keeps by its table.
class Expectations {
 public:
  // `foreign`: a slow merge of lists with different identities, where a
  // desktop item without an ID twin may take a handheld ID (checked by content).
  Expectations(const ItemList& desktop, const ItemList& handheld, int32_t kind, int32_t method, bool foreign) {
    std::map<uint32_t, int> dtCount, hhCount;
    std::map<uint32_t, const ListNode*> dtItem, hhItem;
    count(desktop, dtCount, dtItem);
    count(handheld, hhCount, hhItem);
    bool slow = kind != kSyncFast;
    // Slow methods other than "HH over DT" keep every desktop item that the
    // desktop did not delete; "HH over DT" and "Keep/Duplicate" copy every
    // handheld item that neither side deleted along its handheld path.
    bool keepsDesktop = slow && method != kHhOverDt;
    bool copiesHandheld = slow && (method == kHhOverDt || method == kKeepDuplicate);
    for (auto [id, d] : dtItem) {
      if (foreign && !hhCount.count(id)) continue;
      // A new desktop item has ID 0, unless the handheld uses 0 as test data.
      bool work = !d->deleted() && (d->dirtyContent() || (id == 0 && !hhCount.count(0)));
      if (work || (keepsDesktop && !gone(d))) mustStay_.insert(id);
    }
    for (auto [id, h] : hhItem) {
      bool deletedOnPath = false;
      for (const ListNode* up = h; up; up = up->parent()) {
        auto twin = dtItem.find(up->uniqueID());
        deletedOnPath = deletedOnPath || up->deleted() || (twin != dtItem.end() && twin->second->deleted());
      }
      if ((!h->deleted() && h->dirtyContent()) || (copiesHandheld && !deletedOnPath)) mustStay_.insert(id);
      auto twin = dtItem.find(id);
      if (id == 0 || twin == dtItem.end() || dtCount[id] > 1 || hhCount[id] > 1) continue;
      const ListNode* d = twin->second;
      bool dtEdit = !d->deleted() && d->dirtyContent(), hhEdit = !h->deleted() && h->dirtyContent();
      if (h->deleted() && gone(d) && !dtEdit) mustGo_.insert(id);
      if (gone(d) || gone(h) || d->compareContent(*h) == 0) continue;
      char keep = method == kHhOverDt ? 'h' : method == kKeepDuplicate ? 'b' : 'd';
      if (!slow && !dtEdit && !hhEdit) keep = 'd';
      if (dtEdit != hhEdit) keep = dtEdit ? 'd' : 'h';
      versions_[id] = {d->clone(true), h->clone(true), keep};
    }
  }

  void check(const ItemList& desktop) const {
    for (uint32_t id : mustStay_) EXPECT_NE(desktop.findByUniqueId(id), nullptr) << "lost item " << id;
    for (uint32_t id : mustGo_) EXPECT_EQ(desktop.findByUniqueId(id), nullptr) << "deleted on both sides: " << id;
    for (const auto& [id, v] : versions_) {
      int desktopVersions = 0, handheldVersions = 0, others = 0;
      ItemList::forEach(desktop.head(), WalkScope::kSubtree, [&](ListNode* item) {
        if (item->uniqueID() != id) return true;
        bool isDt = item->compareContent(*v.desktop) == 0, isHh = item->compareContent(*v.handheld) == 0;
        desktopVersions += isDt;
        handheldVersions += isHh;
        others += !isDt && !isHh;
        return true;
      });
      EXPECT_EQ(others, 0) << "item " << id;
      EXPECT_EQ(desktopVersions > 0, v.keep != 'h') << "item " << id << " keeps " << v.keep;
      EXPECT_EQ(handheldVersions > 0, v.keep != 'd') << "item " << id << " keeps " << v.keep;
    }
  }

 private:
  struct Versions {
    std::unique_ptr<ListNode> desktop, handheld;
    char keep;  // 'd' desktop version, 'h' handheld version, 'b' both
  };
  static void count(const ItemList& list, std::map<uint32_t, int>& counts, std::map<uint32_t, const ListNode*>& first) {
    ItemList::forEach(list.head(), WalkScope::kSubtree, [&](ListNode* item) {
      if (counts[item->uniqueID()]++ == 0) first[item->uniqueID()] = item;
      return true;
    });
  }
  // Deleted, itself or with an ancestor.
  static bool gone(const ListNode* item) {
    for (; item; item = item->parent())
      if (item->deleted()) return true;
    return false;
  }
  std::set<uint32_t> mustStay_, mustGo_;
  std::map<uint32_t, Versions> versions_;
};

// Copies, with ID 0, of the live items of `list` below no deleted item whose
// ID `other` does not hold (every one when `other` is null); with `gone`, of
// the others instead.
std::vector<std::unique_ptr<ListNode>> liveItems(const ItemList& list, const ItemList* other, bool gone = false) {
  std::vector<std::unique_ptr<ListNode>> items;
  ItemList::forEach(list.head(), WalkScope::kSubtree, [&](ListNode* item) {
    bool deleted = false;
    for (const ListNode* up = item; up; up = up->parent()) deleted = deleted || up->deleted();
    if (deleted != gone || (other && other->findByUniqueId(item->uniqueID()))) return true;
    items.push_back(item->clone(true));
    items.back()->setUniqueID(0);
    return true;
  });
  return items;
}

// By content and links: an item kept without its links is not held.
bool holds(const std::vector<std::unique_ptr<ListNode>>& items, const ListNode& item) {
  return std::any_of(items.begin(), items.end(), [&](const auto& h) {
    return h->compareContent(item) == 0 && h->linkFile() == item.linkFile() && h->linkEAB() == item.linkEAB() &&
           h->linkToDo() == item.linkToDo() && h->linkDatebook() == item.linkDatebook();
  });
}

// Every item of `items` is in `list` by content (any ID), but those of
// `deletedThere` (by content too).
void expectHeld(const ItemList& list, const std::vector<std::unique_ptr<ListNode>>& items, const char* side,
                const std::vector<std::unique_ptr<ListNode>>& deletedThere = {}) {
  std::vector<std::unique_ptr<ListNode>> held = liveItems(list, nullptr);
  for (const auto& item : items)
    EXPECT_TRUE(holds(held, *item) || holds(deletedThere, *item)) << "lost the " << side << "'s item " << item->title();
}

// Every kind and method, on random pairs: the outline stays a tree, a merge
// that ran its passes leaves the desktop free of flags and deletions, and
// the merge keeps what Expectations says.
TEST(MergePropertyTest, RandomPairsStayWellFormed) {
  const int kCases = 3000;
  // Paths the random pairs must reach, or the test proves little.
  std::vector<std::pair<std::string, int>> reached = {
      {"Alive:", 0}, {"BAD REFERENT!", 0}, {"BAD REFERENT.", 0}, {"Becomes new head", 0},
      {"Bad referent. Copy to end", 0}, {"Clobber desktop", 0}, {"Keep and duplicate", 0},
      {"Relocate to child", 0}, {"Both sides moved", 0}, {"Target alive+mod. Swap", 0},
      {"File unique", 0}, {"Nothing is dirty", 0}, {"WARNING", 0}, {"Retain handheld-only", 0},
      {"#       Keep new or edited", 0}, {"#           Keep new or edited", 0}, {"Edited on desktop only", 0},
      {"Edited on handheld only", 0}, {"Deleted on desktop, edited", 0}, {"Keep moved-out", 0},
      {"synced together. Retain desktop-only", 0}, {"synced together. Retain handheld-only", 0},
      {"Keep item the other side does not hold", 0}, {"Keep handheld-only item", 0},
      {"Keep desktop-only item", 0}, {"paired by content: 1", 0}};
  for (int i = 0; i < kCases && !HasFailure(); ++i) {
    uint64_t seed = 0x70105eedULL + static_cast<uint64_t>(i);
    SCOPED_TRACE("seed " + std::to_string(seed));
    RandomLists random(seed);
    ItemList desktop, handheld;
    random.fill(desktop, handheld);
    ASSERT_EQ(treeError(desktop), "");
    ASSERT_EQ(treeError(handheld), "");
    // As the handheld reader gives them: a deleted record is content-dirty.
    ItemList::forEach(handheld.head(), WalkScope::kSubtree, [](ListNode* item) {
      if (item->deleted()) item->setDirtyContent(true);
      return true;
    });

    SyncContext context;
    context.name = "Tolvk-Random";
    context.kind = static_cast<int32_t>(random.below(3));
    context.method = static_cast<int32_t>(random.below(7)) - 1;  // -1..5
    LogCapture log;
    if (random.chance(0.7)) context.log = log.file();

    bool fast = context.kind == kSyncFast;
    bool apart = desktop.uniqueTime() != handheld.uniqueTime();
    bool foreign = fast && apart;
    bool idle = fast && !foreign && !desktop.hasChanges() && !handheld.hasChanges();
    size_t sizeBefore = desktop.size();
    Expectations expected(desktop, handheld, context.kind, engine::effectiveMethod(context), apart && !fast);
    // Lists with different identities lose no live item (below no deleted
    // one) of either side: after a pairing collision none of the losing
    // side; after a slow merge none without an ID twin, by content.
    // What the winner of a collision deleted stays deleted.
    std::vector<std::unique_ptr<ListNode>> desktopLive, handheldLive, desktopGone, handheldGone;
    if (apart) {
      desktopLive = liveItems(desktop, foreign ? nullptr : &handheld);
      handheldLive = liveItems(handheld, foreign ? nullptr : &desktop);
    }
    if (foreign) {
      desktopGone = liveItems(desktop, nullptr, true);
      handheldGone = liveItems(handheld, nullptr, true);
    }

    EXPECT_EQ(synchronizeFile(desktop, handheld, context), 0);
    ASSERT_NE(context.result, nullptr);
    EXPECT_EQ(treeError(desktop), "");
    EXPECT_EQ(treeError(handheld), "");
    if (desktop.head()) {
      EXPECT_EQ(desktop.head()->list(), &desktop);
    }
    if (foreign) {
      EXPECT_TRUE(context.changed);
      EXPECT_FALSE(desktop.firstDirtyContent() || desktop.firstDirtyPosition());
      EXPECT_EQ(context.result->firstDeleted(), nullptr);
      if (context.result == &desktop) expectHeld(desktop, handheldLive, "handheld", desktopGone);
      else expectHeld(handheld, desktopLive, "desktop", handheldGone);
    } else if (idle) {
      EXPECT_FALSE(context.changed);
      EXPECT_EQ(desktop.size(), sizeBefore);
    } else {
      expected.check(desktop);
      expectHeld(desktop, desktopLive, "desktop");
      expectHeld(desktop, handheldLive, "handheld");
      EXPECT_TRUE(context.changed);
      EXPECT_FALSE(desktop.hasChanges());
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
