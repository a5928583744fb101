// Prints the item records of a list database as an indented tree. Records
// come in pre-order; each item's tree flags say whether its first child and
// its next sibling follow, which gives every record its depth.
#ifndef TOLVEX_PLATFORM_HOTSYNC_LISTTREE_H
#define TOLVEX_PLATFORM_HOTSYNC_LISTTREE_H
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tolvex::host {

class ListTreePrinter {
 public:
  // One item record (record 1 onward), in record order.
  void add(uint32_t uniqueID, const uint8_t* bytes, size_t size, bool deleted);
  void print() const;

 private:
  std::vector<std::string> lines_;
  // One entry per open level: true when a next sibling is still to come there.
  std::vector<bool> pendingSibling_;
  bool broken_ = false;
};

}  // namespace tolvex::host
#endif
