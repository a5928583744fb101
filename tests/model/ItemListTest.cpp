#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "outline/ItemList.h"
#include "tests/model/TreeShape.h"

namespace tolvex {
namespace {

using testing::shape;
using testing::treeError;

std::unique_ptr<ListNode> item(ItemList& l, uint32_t id) { return std::make_unique<ListNode>(id, &l); }

// Builds 1(2,3(4)),5 and answers the items by ID.
struct Sample {
  ItemList list;
  ListNode* n[6] = {};
  Sample() {
    list.setHead(item(list, 1));
    n[1] = list.head();
    n[1]->insertAfter(item(list, 5));
    n[5] = n[1]->next();
    n[1]->insertFirstChild(item(list, 2));
    n[2] = n[1]->firstChild();
    n[2]->insertAfter(item(list, 3));
    n[3] = n[2]->next();
    n[3]->insertFirstChild(item(list, 4));
    n[4] = n[3]->firstChild();
  }
};

TEST(ItemListTest, EmptyList) {
  ItemList l;
  EXPECT_EQ(l.head(), nullptr);
  int visits = 0;
  EXPECT_TRUE(ItemList::forEach(l.head(), WalkScope::kSubtree, [&](ListNode*) { return ++visits, true; }));
  EXPECT_EQ(visits, 0);
  EXPECT_EQ(l.findByUniqueId(0), nullptr);
  EXPECT_FALSE(l.hasChanges());
  EXPECT_EQ(l.size(), 0u);
  l.purgeDeleted();
}

TEST(ItemListTest, BuildAndQueries) {
  Sample s;
  EXPECT_EQ(shape(s.list), "1(2,3(4)),5");
  EXPECT_EQ(treeError(s.list), "");
  EXPECT_EQ(s.n[3]->parent(), s.n[1]);
  EXPECT_EQ(s.n[3]->parentLink(), nullptr);
  EXPECT_EQ(s.n[4]->depth(), 2);
  EXPECT_EQ(s.n[5]->depth(), 0);
  EXPECT_EQ(s.n[3]->firstSibling(), s.n[2]);
  EXPECT_EQ(s.n[1]->lastSibling(), s.n[5]);
  EXPECT_TRUE(s.n[4]->isWithinSubtreeOf(s.n[1]));
  EXPECT_TRUE(s.n[4]->isWithinSubtreeOf(s.n[4]));
  EXPECT_FALSE(s.n[1]->isWithinSubtreeOf(s.n[4]));
  EXPECT_EQ(s.list.size(), 5u);
}

TEST(ItemListTest, UnlinkHeadFirstChildAndOnlyItem) {
  Sample s;
  auto two = s.n[2]->unlink();
  EXPECT_EQ(s.n[1]->firstChild(), s.n[3]);
  EXPECT_EQ(s.n[3]->parentLink(), s.n[1]);
  EXPECT_EQ(two->next(), nullptr);
  auto one = s.n[1]->unlink();
  EXPECT_EQ(s.list.head(), s.n[5]);
  EXPECT_EQ(shape(s.list), "5");
  EXPECT_EQ(one->firstChild(), s.n[3]);  // subtree goes along
  auto five = s.n[5]->unlink();
  EXPECT_EQ(s.list.head(), nullptr);
  // An item in no tree already has an owner.
  EXPECT_EQ(five->unlink(), nullptr);
}

TEST(ItemListTest, InsertFirstChildInFrontOfChildren) {
  Sample s;
  auto chain = item(s.list, 7);
  chain->insertAfter(item(s.list, 8));  // free chain 7,8
  s.n[1]->insertFirstChild(std::move(chain));
  EXPECT_EQ(shape(s.list), "1(7,8,2,3(4)),5");
  EXPECT_EQ(s.n[2]->parentLink(), nullptr);
  EXPECT_EQ(s.n[2]->depth(), 1);
  EXPECT_EQ(treeError(s.list), "");
}

TEST(ItemListTest, NewHeadTakesWholeTopRow) {
  Sample s;
  auto four = s.n[4]->unlink();
  s.list.pushFront(std::move(four));
  EXPECT_EQ(shape(s.list), "4,1(2,3),5");
  EXPECT_EQ(treeError(s.list), "");
  // Same result by hand: release the row, hang it after the item, set head.
  auto three = s.n[3]->unlink();
  auto row = s.list.releaseHead();
  three->setList(nullptr);
  three->insertAfter(std::move(row));
  s.list.setHead(std::move(three));
  EXPECT_EQ(shape(s.list), "3,4,1(2),5");
  EXPECT_EQ(treeError(s.list), "");
  EXPECT_EQ(s.n[5]->list(), &s.list);
}

TEST(ItemListTest, InsertAfterIntoEmptyListMakesHead) {
  ItemList l;
  auto referent = item(l, 1);
  referent->insertAfter(item(l, 2));
  EXPECT_EQ(l.head()->uniqueID(), 2u);
  EXPECT_EQ(referent->next(), nullptr);
  l.pushBack(item(l, 3));
  EXPECT_EQ(shape(l), "2,3");
}

TEST(ItemListTest, ReplaceWithTakesPlaceAndChildren) {
  Sample s;
  auto r = item(s.list, 9);
  r->insertFirstChild(item(s.list, 10));  // carried below the replacement
  auto old = s.n[3]->replaceWith(std::move(r));
  EXPECT_EQ(shape(s.list), "1(2,9(4)),5");
  EXPECT_EQ(old.get(), s.n[3]);
  ASSERT_NE(old->firstChild(), nullptr);
  EXPECT_EQ(old->firstChild()->uniqueID(), 10u);
  EXPECT_EQ(old->next(), nullptr);
  EXPECT_EQ(treeError(s.list), "");
  auto oldHead = s.n[1]->replaceWith(item(s.list, 11));
  EXPECT_EQ(shape(s.list), "11(2,9(4)),5");
  EXPECT_EQ(oldHead->firstChild(), nullptr);
}

TEST(ItemListTest, SearchesFindFirstInPreOrder) {
  Sample s;
  s.n[4]->setUniqueID(5);
  EXPECT_EQ(s.list.findByUniqueId(5), s.n[4]);
  s.n[5]->setDirtyPosition(true);
  s.n[3]->setDeleted(true);
  EXPECT_EQ(s.list.firstDirtyPosition(), s.n[5]);
  EXPECT_EQ(s.list.firstDeleted(), s.n[3]);
  EXPECT_EQ(s.list.firstDirtyContent(), nullptr);
  EXPECT_TRUE(s.list.hasChanges());
  s.n[2]->setDirtyContent(true);
  s.list.clearAllDirtyContent();
  s.list.clearAllDirtyPosition();
  EXPECT_EQ(s.list.firstDirtyContent(), nullptr);
  EXPECT_EQ(s.list.firstDirtyPosition(), nullptr);
}

TEST(ItemListTest, PurgeTakesSubtreeKeepsFollowingSiblings) {
  Sample s;
  s.n[3]->setDeleted(true);
  s.n[1]->insertAfter(item(s.list, 6));
  s.list.head()->next()->setDeleted(true);  // 6, a top-level item
  s.list.purgeDeleted();
  EXPECT_EQ(shape(s.list), "1(2),5");
  s.list.head()->setDeleted(true);
  s.list.purgeDeleted();
  EXPECT_EQ(shape(s.list), "5");
  EXPECT_EQ(treeError(s.list), "");
}

TEST(ItemListTest, ForEachWalkRules) {
  Sample s;
  std::vector<uint32_t> seen;
  // Moving the visited item under a later sibling: the walk goes on with the
  // taken next sibling and later meets the moved item again below 5.
  ItemList::forEach(s.list.head(), WalkScope::kSubtree, [&](ListNode* n) {
    seen.push_back(n->uniqueID());
    if (n->uniqueID() == 2) s.n[5]->insertFirstChild(n->unlink());
    return true;
  });
  EXPECT_EQ(seen, (std::vector<uint32_t>{1, 2, 3, 4, 5, 2}));
  EXPECT_EQ(shape(s.list), "1(3(4)),5(2)");
  seen.clear();
  EXPECT_TRUE(ItemList::forEach(s.n[3], WalkScope::kSiblings, [&](ListNode* n) {
    seen.push_back(n->uniqueID());
    return true;
  }));
  EXPECT_EQ(seen, (std::vector<uint32_t>{3}));
  EXPECT_FALSE(ItemList::forEach(s.list.head(), WalkScope::kSubtree,
                                 [](ListNode* n) { return n->uniqueID() != 4; }));
}

TEST(ItemListTest, LongRowsAndDeepTreesDoNotUseTheStack) {
  ItemList l;
  l.setHead(item(l, 0));
  ListNode* last = l.head();
  for (uint32_t i = 1; i < 65000; ++i) {
    last->insertAfter(item(l, i));
    last = last->next();
  }
  ListNode* deep = l.head();
  for (uint32_t i = 0; i < 200000; ++i) {
    deep->insertFirstChild(item(l, 100000 + i));
    deep = deep->firstChild();
  }
  EXPECT_EQ(l.size(), 265000u);
  EXPECT_EQ(l.findByUniqueId(64999), last);
  l.head()->firstChild()->setDeleted(true);
  l.purgeDeleted();
  EXPECT_EQ(l.size(), 65000u);
  deep = l.head();
  for (uint32_t i = 0; i < 200000; ++i) {
    deep->insertFirstChild(item(l, i));
    deep = deep->firstChild();
  }
  auto chain = l.releaseHead();  // a released chain frees its row too
}

TEST(ListNodeTest, TextsCutAtWholeCharacters) {
  ItemList l;
  ListNode n(1, &l);
  EXPECT_FALSE(n.hasTitle());
  EXPECT_EQ(n.title(), "");
  // The handheld's limits apply when a record is packed; memory keeps far more.
  const size_t max = ListNode::kMaxTextBytes;
  n.setTitle(std::string(max + 1, 'a'));
  EXPECT_EQ(n.title().size(), max);
  n.setTitle(std::string(max - 1, 'a') + "\xC3\xA9");  // é would straddle the cut
  EXPECT_EQ(n.title(), std::string(max - 1, 'a'));
  n.setTitle(std::string(max - 2, 'a') + "\xE2\x82\xAC");  // € straddles too
  EXPECT_EQ(n.title(), std::string(max - 2, 'a'));
  n.setTitle(std::string(max - 3, 'a') + "\xE2\x82\xAC");  // exactly fits
  EXPECT_EQ(n.title().size(), max);
  n.setNote(std::string(5000, 'b'));
  EXPECT_EQ(n.note().size(), 5000u);
  n.setLinkFile(std::string(max, 'c') + "\xC3\xA9");
  EXPECT_EQ(n.linkFile()->size(), max);
  n.setTitle(std::nullopt);
  EXPECT_FALSE(n.hasTitle());
  n.setTitle("");
  EXPECT_TRUE(n.hasTitle());
}

TEST(ListNodeTest, DefaultsCloneAndCompare) {
  ItemList l;
  ListNode a(7, &l);
  EXPECT_EQ(a.dispOverride().kind, -1);
  EXPECT_EQ(a.dispOverride().value, 0u);
  a.setDirtyContent(true);
  a.setDirtyPosition(true);
  a.setDeleted(true);
  a.setAlarmID(3);
  a.setAutoNumber(2);
  a.addLinkEAB(1, 10);
  a.addLinkEAB(2, 20);
  a.setTitle("t");
  a.setLocalID("L");
  auto c = a.clone(true);
  EXPECT_FALSE(c->dirtyContent());
  EXPECT_FALSE(c->dirtyPosition());
  EXPECT_TRUE(c->deleted());
  EXPECT_EQ(c->alarmID(), 3u);
  EXPECT_EQ(c->autoNumber(), 2u);
  ASSERT_EQ(c->linkEAB().size(), 2u);
  EXPECT_EQ(c->linkEAB()[1].eabID, 20u);
  EXPECT_EQ(c->list(), &l);
  EXPECT_EQ(a.compareContent(*c), 0);
  c->setExpanded(true);
  c->addLinkEAB(3, 30);
  c->setDirtyContent(true);
  EXPECT_EQ(a.compareContent(*c), 0);
  c->setDispOverride(-1, 5);
  EXPECT_EQ(a.compareContent(*c), 16);
  c->setDispOverride(-1, 0);
  c->clearTitle();
  EXPECT_EQ(a.compareContent(*c), 16);
  c->setTitle("t");
  c->setNote("");
  EXPECT_EQ(a.compareContent(*c), 17);  // absent differs from empty
  c->setPriority(4);
  EXPECT_EQ(a.compareContent(*c), 4);

  ListNode b(8, &l);
  b.copyLocalIdFrom(a);
  EXPECT_EQ(b.localID(), "L");
  ListNode none(9, &l);
  b.copyLocalIdFrom(none);
  EXPECT_EQ(b.localID(), "L");
}

TEST(ListNodeTest, FindSiblingByTitle) {
  Sample s;
  s.n[5]->setTitle("x");
  EXPECT_EQ(ListNode::findSiblingByTitle(s.n[1], "x"), s.n[5]);
  EXPECT_EQ(ListNode::findSiblingByTitle(s.n[1], ""), s.n[1]);
  EXPECT_EQ(ListNode::findSiblingByTitle(s.n[2], "x"), nullptr);
}

}  // namespace
}  // namespace tolvex

namespace tolvex {
namespace {

std::vector<ListNode*> preorderOf(const ItemList& list) {
  std::vector<ListNode*> out;
  ItemList::forEach(list.head(), WalkScope::kSubtree, [&](ListNode* n) {
    out.push_back(n);
    return true;
  });
  return out;
}

// A random tree of up to 30 items with IDs from 1..12 (twins now and then);
// with `newItems` about a third of them have ID 0.
void randomTree(ItemList& list, std::mt19937& rng, bool newItems = false) {
  std::vector<ListNode*> placed;
  const int count = 1 + static_cast<int>(rng() % 30);
  for (int i = 0; i < count; ++i) {
    auto n = item(list, newItems && rng() % 3 == 0 ? 0 : 1 + rng() % 12);
    ListNode* raw = n.get();
    if (placed.empty()) list.setHead(std::move(n));
    else if (rng() % 2) placed[rng() % placed.size()]->insertFirstChild(std::move(n));
    else placed[rng() % placed.size()]->insertAfter(std::move(n));
    placed.push_back(raw);
  }
}

// The cheap moves leave the tree, every item's list and the ID index exactly
// as unlinking the item and inserting it there does, with and without twins,
// with the index built or not.
TEST(ItemListTest, PlacingMatchesUnlinkAndInsert) {
  for (unsigned seed = 1; seed <= 400; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 shapeRng(seed), rng(seed * 7919);
    ItemList placed, inserted;
    randomTree(placed, shapeRng);
    shapeRng.seed(seed);
    randomTree(inserted, shapeRng);
    for (int step = 0; step < 20; ++step) {
      if (rng() % 3 == 0) {
        placed.findByUniqueId(1);   // builds the index the edits then keep
        inserted.findByUniqueId(1);
      }
      std::vector<ListNode*> a = preorderOf(placed), b = preorderOf(inserted);
      const size_t moving = rng() % a.size(), referent = rng() % a.size();
      const int how = static_cast<int>(rng() % 3);
      if (how < 2 && a[referent]->isWithinSubtreeOf(a[moving])) continue;
      if (how == 0) {
        a[referent]->placeAfter(a[moving]);
        b[referent]->insertAfter(b[moving]->unlink());
      } else if (how == 1) {
        a[referent]->placeAsFirstChild(a[moving]);
        b[referent]->insertFirstChild(b[moving]->unlink());
      } else {
        placed.placeFirst(a[moving]);
        inserted.pushFront(b[moving]->unlink());
      }
      ASSERT_EQ(shape(placed), shape(inserted));
      ASSERT_EQ(treeError(placed), "");
      a = preorderOf(placed);
      b = preorderOf(inserted);
      for (size_t i = 0; i < a.size(); ++i) ASSERT_EQ(a[i]->list(), &placed);
      auto indexOf = [](const std::vector<ListNode*>& items, const ListNode* n) {
        return std::find(items.begin(), items.end(), n) - items.begin();
      };
      for (uint32_t id = 0; id <= 13; ++id)
        ASSERT_EQ(indexOf(a, placed.findByUniqueId(id)), indexOf(b, inserted.findByUniqueId(id))) << "id " << id;
    }
  }
}

// Every kind of edit, in the tree and on chains set aside (which still name
// the list), with many new items (ID 0): the index answers as a plain walk.
TEST(ItemListTest, IndexAnswersAsAWalkUnderEveryEdit) {
  for (unsigned seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    ItemList list;
    std::vector<std::unique_ptr<ListNode>> aside;   // roots of chains out of the tree
    randomTree(list, rng, true);
    auto newId = [&] { return rng() % 3 == 0 ? 0u : 1 + static_cast<uint32_t>(rng() % 12); };
    auto pick = [&](const std::vector<ListNode*>& items) { return items[rng() % items.size()]; };
    auto asideItems = [&](bool withRoots) {
      std::vector<ListNode*> out;
      for (auto& root : aside)
        ItemList::forEach(root.get(), WalkScope::kSubtree, [&](ListNode* n) {
          if (withRoots || n != root.get()) out.push_back(n);
          return true;
        });
      return out;
    };
    // A new chain of one to three items, the first with a child now and then,
    // now and then a long row of new items (longer than the index looks back
    // over), or a chain taken back from aside.
    auto chain = [&](bool mayTakeAside = true) -> std::unique_ptr<ListNode> {
      if (mayTakeAside && !aside.empty() && rng() % 2) {
        size_t at = rng() % aside.size();
        auto taken = std::move(aside[at]);
        aside.erase(aside.begin() + static_cast<long>(at));
        return taken;
      }
      auto first = item(list, newId());
      if (rng() % 3 == 0) first->insertFirstChild(item(list, newId()));
      if (rng() % 8 == 0) {
        for (int more = 0; more < 40; ++more) first->lastSibling()->insertAfter(item(list, 0));
        return first;
      }
      for (unsigned more = rng() % 3; more > 0; --more) first->lastSibling()->insertAfter(item(list, newId()));
      return first;
    };
    auto keep = [&](std::unique_ptr<ListNode> n) {
      if (n) aside.push_back(std::move(n));
    };
    for (int step = 0; step < 40; ++step) {
      std::vector<ListNode*> tree = preorderOf(list);
      if (tree.empty()) {
        list.setHead(chain());
        continue;
      }
      std::vector<ListNode*> anywhere = tree, placed = asideItems(false);
      anywhere.insert(anywhere.end(), placed.begin(), placed.end());
      switch (rng() % 13) {
        case 0: {
          auto c = chain();
          std::vector<ListNode*> anchors = tree, loose = asideItems(true);
          anchors.insert(anchors.end(), loose.begin(), loose.end());
          pick(anchors)->insertAfter(std::move(c));
          break;
        }
        case 1: {
          auto c = chain();
          pick(preorderOf(list))->insertFirstChild(std::move(c));
          break;
        }
        case 2: list.pushFront(chain()); break;
        case 3: list.pushBack(chain()); break;
        case 4: keep(pick(anywhere)->unlink()); break;
        case 5: {
          const bool inTree = rng() % 4;
          ListNode* leaving = pick(inTree ? tree : anywhere);
          keep(leaving->replaceWith(chain(inTree)));
          break;
        }
        case 6:
        case 7: {
          ListNode* to = pick(tree);
          ListNode* moving = pick(tree);
          if (to->isWithinSubtreeOf(moving)) break;
          if (rng() % 2) to->placeAfter(moving);
          else to->placeAsFirstChild(moving);
          break;
        }
        case 8: list.placeFirst(pick(tree)); break;
        case 9: pick(anywhere)->setUniqueID(newId()); break;
        case 10:
          for (int n = 0; n < 3; ++n) pick(tree)->setDeleted(true);
          list.purgeDeleted();
          break;
        case 11: list.setHead(chain()); break;
        case 12: keep(list.releaseHead()); break;
      }
      ASSERT_EQ(treeError(list), "");
      for (uint32_t id = 0; id <= 13; ++id) {
        ListNode* walked = nullptr;
        ItemList::forEach(list.head(), WalkScope::kSubtree, [&](ListNode* n) {
          if (n->uniqueID() == id) walked = n;
          return walked == nullptr;
        });
        ASSERT_EQ(list.findByUniqueId(id), walked) << "id " << id << " after " << shape(list);
      }
    }
  }
}

}  // namespace
}  // namespace tolvex
