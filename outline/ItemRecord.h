// Byte layouts of the handheld list records: the list header (record 0) and
// the item records. Packed and unpacked explicitly, big-endian.
#ifndef TOLVEX_OUTLINE_ITEMRECORD_H
#define TOLVEX_OUTLINE_ITEMRECORD_H
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "outline/ItemList.h"

namespace tolvex {

constexpr size_t kListHeaderSize = 122;
constexpr size_t kReadBufferSize = 16384;
enum TreeFlags : uint16_t { kHasNextSibling = 0x0001, kHasFirstChild = 0x0002 };

std::vector<uint8_t> newListHeaderRecord();
std::vector<uint8_t> packItemRecord(const ListNode& item);

// The handheld's form of an item's texts, as its record holds them: one byte
// a character (utf8ToHandheld), cut to the field's limit.
std::string handheldTitle(const std::string& utf8);
std::string handheldNote(const std::string& utf8);
std::string handheldLinkFile(const std::string& utf8);
// How many of the item's linkEAB entries its record can hold beside its texts,
// override and alarm; packing leaves out the rest.
size_t linkEabCapacity(const ListNode& item);
// Never reads past `size` bytes. treeFlags (may be null) receives offset 86.
std::unique_ptr<ListNode> unpackItemRecord(ItemList* list, uint32_t uniqueID, const uint8_t* bytes,
                                           size_t size, bool deletedAttribute, uint16_t* treeFlags);

}  // namespace tolvex
#endif
