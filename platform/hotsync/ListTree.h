// The item records of a list database as an outline. Records come in
// pre-order; each item's tree flags say whether its first child and its next
// sibling follow, which gives every record its level. Records after the tree
// are deleted items of the top row. Printed as an indented outline, or
// written as nested JSON.
#ifndef TOLVEX_PLATFORM_HOTSYNC_LISTTREE_H
#define TOLVEX_PLATFORM_HOTSYNC_LISTTREE_H
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvex::host {

class JsonWriter;

struct OutlineItem {
  uint32_t id = 0;
  size_t level = 0;  // 0: top row
  bool deleted = false;
  bool checked = false;
  uint8_t priority = 0;  // 0: none
  std::string title;     // UTF-8, as the handheld shows it
  std::optional<std::string> note;
};

class ListTree {
 public:
  // One item record (record 1 onward), in record order.
  void add(uint32_t uniqueID, const uint8_t* bytes, size_t size, bool deleted);
  const std::vector<OutlineItem>& items() const { return items_; }
  // Empty, or why the records do not make a whole tree.
  std::string fault() const;
  // One line per item, indented by level; deleted items marked.
  void print() const;
  // The items as an array of objects, each with its "children" array.
  void writeJson(JsonWriter& json) const;

 private:
  std::vector<OutlineItem> items_;
  // One entry per open level: true when a next sibling is still to come there.
  std::vector<bool> pendingSibling_;
  std::string fault_;
};

// Text of the outline model (one character per handheld byte) as the handheld
// shows it: Windows-1252.
std::string handheldShown(const std::string& modelText);
// The first line of `utf8`, cut to `maxChars` characters ("…" when anything
// was left out), tabs as spaces and other control characters as '?', so it
// cannot move the cursor or change a terminal's state.
std::string terminalLine(std::string_view utf8, size_t maxChars);

}  // namespace tolvex::host
#endif
