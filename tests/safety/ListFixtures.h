// Example lists for the safety tests: written with the desktop writer, with
// titles unique enough to be found by a plain byte search in any file.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "SafetyHarness.h"
#include "desktop/XmlFile.h"
#include "outline/ItemList.h"
#include "outline/ListNode.h"

namespace tolvex::safety {

inline constexpr int kTop = 25, kChildren = 9;  // 250 items a list

inline std::string itemTitle(int list, int top, int child) {
  return "L" + std::to_string(list) + "-t" + std::to_string(top) + "-c" + std::to_string(child) + "#";
}

// Writes a two-level list and records each item's acceptable titles.
inline void writeList(const World& w, int list, std::vector<std::set<std::string>>& items,
                      int tops = kTop) {
  ItemList l;
  l.setUploadFile(1);
  uint32_t id = 0;
  for (int t = 0; t < tops; ++t) {
    auto top = std::make_unique<ListNode>(id, &l);
    top->setTitle(itemTitle(list, t, -1));
    top->setDirtyContent(true);
    top->setDirtyPosition(true);
    items.push_back({itemTitle(list, t, -1)});
    ListNode* topRaw = top.get();
    l.pushBack(std::move(top));
    ListNode* last = nullptr;
    for (int c = 0; c < kChildren; ++c) {
      auto child = std::make_unique<ListNode>(id, &l);
      child->setTitle(itemTitle(list, t, c));
      child->setDirtyContent(true);
      child->setDirtyPosition(true);
      items.push_back({itemTitle(list, t, c)});
      ListNode* raw = child.get();
      if (last) last->insertAfter(std::move(child));
      else topRaw->insertFirstChild(std::move(child));
      last = raw;
    }
  }
  std::string message;
  ASSERT_EQ(ListFileWriter().write(l, w.desktop + "/Tolvk-Kill" + std::to_string(list) + ".XML", message), 0)
      << message;
}

inline void allFilesIn(const std::string& dir, std::string& corpus) {
  for (const auto& [path, content] : snapshot(dir))
    if (content.rfind("F:", 0) == 0) corpus += content;
}

// Number of items none of whose titles occur in the corpus.
inline int lostItems(const std::vector<std::set<std::string>>& items, const std::string& corpus) {
  int lost = 0;
  for (const auto& titles : items) {
    bool found = false;
    for (const auto& t : titles) found = found || corpus.find(t) != std::string::npos;
    if (!found && ++lost <= 5) ADD_FAILURE() << "lost item " << *titles.begin();
  }
  return lost;
}

inline std::string everythingIn(const World& w) {
  std::string corpus;
  allFilesIn(w.device, corpus);
  allFilesIn(w.desktop, corpus);
  return corpus;
}

}  // namespace tolvex::safety
