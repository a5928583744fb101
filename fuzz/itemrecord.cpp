// Unpacks arbitrary bytes as an item record; the item packs again into a
// record the handheld reader can take, and that record unpacks to the same
// content.
#include <cstdint>
#include <cstdlib>

#include "outline/ItemRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tolvex;
  ItemList list;
  uint16_t tree = 0;
  bool deleted = size > 0 && (data[size - 1] & 1);
  std::unique_ptr<ListNode> item = unpackItemRecord(&list, 7, data, size, deleted, &tree);
  if (!item) std::abort();
  // Only an override kind of 0 or more is stored, and an empty text is stored
  // as none; anything else must come back as it was.
  if (item->dispOverride().kind < 0) item->setDispOverride(-1, 0);
  if (item->hasTitle() && item->title().empty()) item->clearTitle();
  if (item->hasNote() && item->note().empty()) item->clearNote();
  std::vector<uint8_t> packed = packItemRecord(*item);
  if (packed.size() > kReadBufferSize) std::abort();
  std::unique_ptr<ListNode> again = unpackItemRecord(&list, 7, packed.data(), packed.size(), false, nullptr);
  if (!again || again->compareContent(*item) != 0 || again->linkEAB().size() != item->linkEAB().size())
    std::abort();
  return 0;
}
