// The before/after matching of one side of a list, held against what random
// edits really did: the views carry no IDs, as after a handheld rebuild, so
// the matching has only content and place to go by.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/hotsync/ItemMatch.h"

namespace tolvex::host {
namespace {

// An outline whose items carry a hidden identity, so the truth is known.
struct Node {
  int id;
  int parent;  // -1: top row
  std::string title;
  uint64_t content;
  uint32_t created;
};

struct Outline {
  std::vector<Node> nodes;  // in no order; children keep their order by position here

  std::vector<int> children(int parent) const {
    std::vector<int> out;
    for (size_t i = 0; i < nodes.size(); ++i)
      if (nodes[i].parent == parent) out.push_back(static_cast<int>(i));
    return out;
  }
  // Pre-order view and the hidden id of every entry.
  std::vector<ItemView> view(std::vector<int>* ids) const {
    std::vector<ItemView> items;
    std::vector<std::pair<int, uint32_t>> stack;  // node index, parent view index
    std::vector<int> top = children(-1);
    for (auto it = top.rbegin(); it != top.rend(); ++it) stack.push_back({*it, kNoParent});
    while (!stack.empty()) {
      auto [n, parent] = stack.back();
      stack.pop_back();
      ItemView v;
      v.parent = parent;
      v.titleHash = titleHashOf(nodes[n].title);
      v.content = nodes[n].content;
      v.createTime = nodes[n].created;
      const auto self = static_cast<uint32_t>(items.size());
      items.push_back(v);
      ids->push_back(nodes[n].id);
      std::vector<int> kids = children(nodes[n].id);
      for (auto it = kids.rbegin(); it != kids.rend(); ++it) stack.push_back({*it, self});
    }
    return items;
  }
  int index(int id) const {
    for (size_t i = 0; i < nodes.size(); ++i)
      if (nodes[i].id == id) return static_cast<int>(i);
    return -1;
  }
  bool within(int id, int ancestor) const {
    for (int at = id; at != -1; at = nodes[index(at)].parent)
      if (at == ancestor) return true;
    return false;
  }
};

TEST(ItemMatchTest, CountsWhatRandomEditsDidOnEachSide) {
  std::mt19937 random(20031014);
  int nextId = 0, renamedOrMoved = 0;
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
  for (int round = 0; round < 500; ++round) {
    Outline before;
    const size_t size = 1 + pick(30);
    for (size_t i = 0; i < size; ++i) {
      int parent = before.nodes.empty() || pick(3) == 0 ? -1 : before.nodes[pick(before.nodes.size())].id;
      int id = nextId++;
      before.nodes.push_back({id, parent, "item " + std::to_string(id), uint64_t(id) * 7919, uint32_t(1000 + id)});
    }
    Outline after = before;
    std::set<int> renamed, moved;
    for (size_t edits = pick(8); edits > 0; --edits) {
      if (after.nodes.empty()) break;
      const int victim = after.nodes[pick(after.nodes.size())].id;
      Node& node = after.nodes[after.index(victim)];
      switch (pick(5)) {
        case 0: {  // delete with its subtree
          std::vector<Node> kept;
          for (const Node& n : after.nodes)
            if (!after.within(n.id, victim)) kept.push_back(n);
          after.nodes = kept;
          break;
        }
        case 1:  // edit the note: same title, new content
          node.content += 1000003;
          break;
        case 2:  // rename in place
          if (moved.count(victim)) break;
          node.title += " (renamed)";
          node.content += 1000033;
          renamed.insert(victim);
          break;
        case 3: {  // move under another parent, at the end of its row
          if (renamed.count(victim)) break;
          int target = pick(4) == 0 ? -1 : after.nodes[pick(after.nodes.size())].id;
          if (target == node.parent || (target != -1 && after.within(target, victim))) break;
          node.parent = target;
          Node taken = node;
          after.nodes.erase(after.nodes.begin() + after.index(victim));
          after.nodes.push_back(taken);
          moved.insert(victim);
          break;
        }
        default: {  // add a new item
          int parent = pick(3) == 0 ? -1 : after.nodes[pick(after.nodes.size())].id;
          int id = nextId++;
          after.nodes.push_back({id, parent, "item " + std::to_string(id), uint64_t(id) * 7919, 0});
        }
      }
    }
    renamedOrMoved += static_cast<int>(renamed.size() + moved.size());

    std::vector<int> idsBefore, idsAfter;
    std::vector<ItemView> viewBefore = before.view(&idsBefore), viewAfter = after.view(&idsAfter);
    std::map<int, const Node*> was, is;
    for (const Node& n : before.nodes) was[n.id] = &n;
    for (const Node& n : after.nodes) is[n.id] = &n;
    size_t added = 0, changed = 0, movedCount = 0, deleted = 0;
    for (const auto& [id, n] : is) {
      auto b = was.find(id);
      if (b == was.end()) {
        ++added;
        continue;
      }
      changed += b->second->content != n->content;
      movedCount += b->second->parent != n->parent;
    }
    for (const auto& [id, n] : was) deleted += !is.count(id);

    SideChanges c = compareSides(viewBefore, viewAfter);
    ASSERT_EQ(c.added, added) << "round " << round;
    ASSERT_EQ(c.deleted, deleted) << "round " << round;
    ASSERT_EQ(c.changed, changed) << "round " << round;
    ASSERT_EQ(c.moved, movedCount) << "round " << round;
    // Every pair is the same item.
    for (size_t a = 0; a < viewAfter.size(); ++a) {
      if (c.pairOf[a] != kUnpaired) {
        ASSERT_EQ(idsBefore[c.pairOf[a]], idsAfter[a]) << "round " << round;
      }
    }
    // Nothing changed when compared with itself.
    ASSERT_FALSE(compareSides(viewAfter, viewAfter).any());
  }
  EXPECT_GT(renamedOrMoved, 200);
}

TEST(ItemMatchTest, ReorderingCountsTheFewestMovesAndPathsNameTheItem) {
  auto row = [](std::vector<std::string> titles) {
    SideView side;
    ItemView top;
    top.titleHash = titleHashOf("Garden");
    side.add(top, "Garden");
    for (const std::string& t : titles) {
      ItemView v;
      v.parent = 0;
      v.titleHash = titleHashOf(t);
      v.content = std::hash<std::string>()(t);
      side.add(v, t);
    }
    return side;
  };
  // One item taken from the front to the back: one move, not three.
  const SideView after = row({"b", "c", "d", "a"});
  SideChanges c = compareSides(row({"a", "b", "c", "d"}).items, after.items);
  EXPECT_EQ(c.moved, 1u);
  EXPECT_EQ(c.added + c.deleted + c.changed, 0u);
  ASSERT_EQ(c.items.size(), 1u);
  EXPECT_EQ(titlePath(after, c.items[0].after), "Garden \u203A a");
  // Twins pair in outline order.
  c = compareSides(row({"x", "x"}).items, row({"x", "x", "x"}).items);
  EXPECT_EQ(c.added, 1u);
  EXPECT_EQ(c.pairOf, (std::vector<size_t>{0, 1, 2, kUnpaired}));
  // Items made on the desktop have no creation time: one renamed between
  // the same neighbours (none before it, first in its row) is changed, not deleted
  // and added; two renamed side by side have no paired neighbour to go by.
  c = compareSides(row({"a", "b", "c", "d", "e", "f"}).items, row({"A", "b", "C", "d", "E", "F"}).items);
  EXPECT_EQ(c.changed, 2u);
  EXPECT_EQ(c.added, 2u);
  EXPECT_EQ(c.deleted, 2u);
  EXPECT_EQ(c.pairOf, (std::vector<size_t>{0, 1, 2, 3, 4, kUnpaired, kUnpaired}));
}

}  // namespace
}  // namespace tolvex::host
