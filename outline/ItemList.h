// One outline in memory: the tree of items plus the list-wide values.
// Owns its header record buffer and every item in its tree.
// Single-threaded.
#ifndef TOLVEX_OUTLINE_ITEMLIST_H
#define TOLVEX_OUTLINE_ITEMLIST_H
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "outline/ListNode.h"

namespace tolvex {

enum class WalkScope { kSiblings, kSubtree };

class ItemList {
 public:
  ItemList();
  ~ItemList();
  ItemList(const ItemList&) = delete;
  ItemList& operator=(const ItemList&) = delete;

  ListNode* head() const { return head_; }
  // Makes the chain `item` (not yet in this tree) the top-level row and this
  // list its owner; changes no sibling link. A former top-level row that the
  // new chain does not contain is released.
  void setHead(std::unique_ptr<ListNode> item);
  // Re-points head at an item already owned within this tree (the edits use it).
  void setHeadLinked(ListNode* item);
  // Puts the chain in front of the top-level row; it becomes the head.
  void pushFront(std::unique_ptr<ListNode> chain);
  // Appends the chain after the last top-level item (or makes it the head).
  void pushBack(std::unique_ptr<ListNode> chain);
  // Moves `item`, an item of this tree, to the front of the top-level row,
  // as ListNode::placeAfter moves an item.
  void placeFirst(ListNode* item);
  // Hands the whole top-level row to the caller; the list is then empty.
  std::unique_ptr<ListNode> releaseHead();

  uint32_t uniqueTime() const { return uniqueTime_; }
  void setUniqueTime(uint32_t v) { uniqueTime_ = v; }
  uint8_t uploadFile() const { return uploadFile_; }
  void setUploadFile(uint8_t v) { uploadFile_ = v; }

  // Empty when absent.
  const std::vector<uint8_t>& headerRecord() const { return headerRecord_; }
  bool hasHeaderRecord() const { return !headerRecord_.empty(); }
  void setHeaderRecord(const uint8_t* bytes, size_t length);
  void copyHeaderRecordFrom(const ItemList& other);

  // First match in pre-order over the whole tree, deleted items included.
  // Answered from an index that the tree edits keep current where they can
  // do so cheaply and drop otherwise; a dropped index is rebuilt by one walk.
  // ID 0 (an item not yet on the handheld, often many) is not indexed: its
  // answer comes from one walk, kept until the next edit.
  ListNode* findByUniqueId(uint32_t id) const;
  ListNode* firstDirtyContent() const;
  ListNode* firstDirtyPosition() const;
  ListNode* firstDeleted() const;
  bool hasChanges() const;
  void clearAllDirtyContent();
  void clearAllDirtyPosition();
  void purgeDeleted();

  // Visits from `start` (see the walk rules in ItemList.cpp). The visitor
  // answers false to stop; forEach answers false when stopped.
  using Visitor = std::function<bool(ListNode*)>;
  static bool forEach(ListNode* start, WalkScope scope, const Visitor& visitor);

  // Number of items in the tree.
  size_t size() const;

  // Items the list let go of can serve the copies made into it later. A
  // copy then lies where a released item lay, so a subtree replaced whole by
  // copies keeps the memory order the list was read in, and the walks after
  // the merge stay fast (copies in freshly freed memory land scattered).
  // `recycle` keeps an unlinked chain (with everything below it), in
  // pre-order; `copyOf` answers an unlinked copy of `source` belonging to
  // this list, as ListNode::clone; `dropRecycled` frees what was kept and
  // not used. Nothing may keep a pointer to a recycled item: its address
  // will name another item (ListNode::generation tells them apart).
  void recycle(std::unique_ptr<ListNode> chain);
  std::unique_ptr<ListNode> copyOf(const ListNode& source, bool clearDirty);
  void dropRecycled();

 private:
  friend class ListNode;
  enum class Place { kAfter, kFirstChild, kTopLevel };
  // What the index can prove cheaply about an item standing in the tree.
  enum class Standing { kIn, kOut, kUnknown };
  // Index upkeep, called by the edits. While valid, `first_` maps every
  // nonzero ID in the tree to its first item in pre-order and holds nothing
  // else; `duplicates_` is false only when no two items of the tree share a
  // nonzero ID.
  void dropIndex() const;
  void buildIndex() const;
  bool indexedFirst(const ListNode* item) const;
  Standing standing(const ListNode* item) const;
  void noteUnlinking(const ListNode* item);
  void noteInserted(const ListNode* anchor, ListNode* first, ListNode* last, Place place);
  void noteReplacing(const ListNode* leaving, ListNode* arriving);
  // An item moved within the tree: only which of two twins comes first in
  // pre-order can change.
  void noteMoved();
  mutable std::unordered_map<uint32_t, ListNode*> first_;
  mutable bool indexed_ = false;
  mutable bool duplicates_ = false;
  mutable ListNode* firstNew_ = nullptr;   // the answer for ID 0 while firstNewKnown_
  mutable bool firstNewKnown_ = false;
  std::vector<uint8_t> headerRecord_;
  ListNode* head_ = nullptr;   // owned: the top-level row and everything below
  std::vector<std::unique_ptr<ListNode>> recycled_;   // used from `nextRecycled_` on
  size_t nextRecycled_ = 0;
  uint8_t uploadFile_ = 0;
  uint32_t uniqueTime_ = 0;
};

}  // namespace tolvex
#endif
