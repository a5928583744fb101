// Test helpers: a compact text form of an outline and a structural check.
#ifndef TOLVEX_TESTS_MODEL_TREESHAPE_H
#define TOLVEX_TESTS_MODEL_TREESHAPE_H
#include <string>
#include <unordered_set>
#include <vector>

#include "outline/ItemList.h"

namespace tolvex::testing {

// "1(2,3(4)),5": unique IDs in pre-order, children in parentheses.
inline std::string shape(const ItemList& list) {
  std::string out;
  std::vector<const ListNode*> pending{list.head()};
  bool first = true;
  while (!pending.empty()) {
    const ListNode* item = pending.back();
    if (!item) {
      pending.pop_back();
      if (!pending.empty()) out += ")";
      first = false;
      continue;
    }
    if (!first) out += ",";
    first = false;
    out += std::to_string(item->uniqueID());
    pending.back() = item->next();
    if (item->firstChild()) {
      out += "(";
      first = true;
      pending.push_back(item->firstChild());
    }
  }
  return out;
}

// Empty when the list is a well-formed tree: row links agree both ways,
// only first items carry (the right) parent link, no item is reached twice.
inline std::string treeError(const ItemList& list) {
  if (list.head() && (list.head()->prev() || list.head()->parentLink())) return "head has prev or parent";
  std::unordered_set<const ListNode*> seen;
  std::vector<std::pair<const ListNode*, const ListNode*>> rows{{list.head(), nullptr}};
  while (!rows.empty()) {
    auto [item, parent] = rows.back();
    rows.pop_back();
    const ListNode* prev = nullptr;
    for (; item; prev = item, item = item->next()) {
      if (!seen.insert(item).second) return "item " + std::to_string(item->uniqueID()) + " reached twice";
      if (item->prev() != prev) return "prev link broken at " + std::to_string(item->uniqueID());
      if (item->parentLink() != (prev ? nullptr : parent))
        return "parent link wrong at " + std::to_string(item->uniqueID());
      if (item->parent() != parent) return "parent wrong at " + std::to_string(item->uniqueID());
      if (item->firstChild()) rows.push_back({item->firstChild(), item});
    }
  }
  return "";
}

}  // namespace tolvex::testing
#endif
