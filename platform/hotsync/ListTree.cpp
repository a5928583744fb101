#include "platform/hotsync/ListTree.h"

#include <cstdio>

#include "outline/ItemList.h"
#include "outline/ItemRecord.h"

namespace tolvex::host {

void ListTreePrinter::add(uint32_t uniqueID, const uint8_t* bytes, size_t size, bool deleted) {
  if (broken_) return;
  if (lines_.empty()) pendingSibling_.assign(1, true);  // the top row starts open
  if (pendingSibling_.empty()) {
    lines_.push_back("  ! more records than the tree flags announce");
    broken_ = true;
    return;
  }
  ItemList list;
  uint16_t flags = 0;
  std::unique_ptr<ListNode> item = unpackItemRecord(&list, uniqueID, bytes, size, deleted, &flags);
  size_t depth = pendingSibling_.size() - 1;
  std::string line = "    " + std::string(2 * depth, ' ');
  char id[32];
  std::snprintf(id, sizeof id, "[0x%06x] ", uniqueID);
  line += id;
  if (!item) {
    line += "(unreadable item record)";
    lines_.push_back(line);
    broken_ = true;
    return;
  }
  line += item->title();
  if (item->deleted()) line += "  (deleted)";
  if (item->checked()) line += "  (checked)";
  if (item->hasNote()) line += "  (note)";
  lines_.push_back(line);

  // This item used up the slot of its level; its flags open the next ones.
  pendingSibling_.back() = (flags & kHasNextSibling) != 0;
  if (flags & kHasFirstChild) {
    pendingSibling_.push_back(true);
  } else {
    while (!pendingSibling_.empty() && !pendingSibling_.back()) pendingSibling_.pop_back();
  }
}

void ListTreePrinter::print() const {
  if (lines_.empty()) return;
  std::printf("  item tree:\n");
  for (const std::string& line : lines_) std::printf("%s\n", line.c_str());
}

}  // namespace tolvex::host
