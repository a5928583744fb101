#include "outline/ItemList.h"

namespace tolvex {

ItemList::ItemList() = default;

ItemList::~ItemList() { releaseHead().reset(); }

void ItemList::setHead(std::unique_ptr<ListNode> item) {
  dropIndex();
  ListNode* old = head_;
  head_ = item.release();
  if (head_) ListNode::adoptRow(head_, nullptr, this, nullptr);
  if (!old || old == head_) return;
  for (ListNode* row = head_; row; row = row->next_)
    if (row == old) return;   // the new chain took the old row along
  if (old->prev_ || old->parent_) return;  // the old head now sits elsewhere in a tree
  ListNode::releaseRows(old);
}

void ItemList::setHeadLinked(ListNode* item) {
  head_ = item;
  if (item) item->list_ = this;
}

void ItemList::pushFront(std::unique_ptr<ListNode> chain) {
  if (!chain) return;
  ListNode* first = chain.release();
  ListNode* last = first->lastSibling();
  ListNode::adoptRow(first, last, this, nullptr);
  first->parent_ = nullptr;
  first->prev_ = nullptr;
  last->next_ = head_;
  if (head_) head_->prev_ = last;
  head_ = first;
  noteInserted(nullptr, first, last, Place::kTopLevel);
}

void ItemList::pushBack(std::unique_ptr<ListNode> chain) {
  if (!chain) return;
  if (!head_) {
    chain->parent_ = nullptr;
    chain->prev_ = nullptr;
    ListNode* first = chain.release();
    ListNode* last = first->lastSibling();
    ListNode::adoptRow(first, last, this, nullptr);
    head_ = first;
    noteInserted(nullptr, first, last, Place::kTopLevel);
    return;
  }
  head_->lastSibling()->insertAfter(std::move(chain));
}

void ItemList::placeFirst(ListNode* item) {
  if (head_ == item) return;
  noteMoved();
  item->detach();
  item->next_ = head_;
  if (head_) head_->prev_ = item;
  head_ = item;
}

std::unique_ptr<ListNode> ItemList::releaseHead() {
  dropIndex();
  ListNode* first = head_;
  head_ = nullptr;
  return std::unique_ptr<ListNode>(first);
}

// Clearing a large table costs its whole bucket array, so a dropped index is
// not cleared again (renumbering every item drops it once per item).
void ItemList::dropIndex() const {
  if (!indexed_) return;
  indexed_ = false;
  first_.clear();
}

void ItemList::buildIndex() const {
  first_.clear();
  duplicates_ = false;
  forEach(head_, WalkScope::kSubtree, [this](ListNode* item) {
    if (!first_.try_emplace(item->uniqueID(), item).second) duplicates_ = true;
    return true;
  });
  indexed_ = true;
}

// With a valid index, true proves the item is in the tree.
bool ItemList::indexedFirst(const ListNode* item) const {
  if (!indexed_) return false;
  auto found = first_.find(item->uniqueID());
  return found != first_.end() && found->second == item;
}

// Without duplicates the leaving items are exactly the entries of the
// subtree; with them, a later twin may become first, which only a walk finds.
void ItemList::noteUnlinking(const ListNode* item) {
  if (!indexed_) return;
  bool inTree = indexedFirst(item);
  if (duplicates_) {
    dropIndex();
    return;
  }
  if (!inTree) return;   // every item of the tree is indexed: this one is elsewhere
  first_.erase(item->uniqueID());
  std::vector<const ListNode*> rows;
  if (item->firstChild_) rows.push_back(item->firstChild_);
  while (!rows.empty()) {
    const ListNode* row = rows.back();
    rows.pop_back();
    for (; row; row = row->next_) {
      first_.erase(row->uniqueID());
      if (row->firstChild_) rows.push_back(row->firstChild_);
    }
  }
}

// New IDs become their own first entry. A single item put right after the
// first holder of its ID (a duplicate) comes later in pre-order and changes
// nothing; any other arrival of a known ID needs a walk.
void ItemList::noteInserted(const ListNode* anchor, ListNode* first, ListNode* last, Place place) {
  if (!indexed_) return;
  bool inTree = place == Place::kTopLevel || indexedFirst(anchor);
  if (!inTree) {
    if (duplicates_) dropIndex();   // the anchor may be a later twin inside the tree
    return;
  }
  if (place == Place::kAfter && first == last && !first->firstChild_ &&
      first->uniqueID() == anchor->uniqueID()) {
    duplicates_ = true;
    return;
  }
  std::vector<ListNode*> rows{first};
  bool topRow = true;
  while (!rows.empty()) {
    ListNode* row = rows.back();
    rows.pop_back();
    for (; row; row = row->next_) {
      if (!first_.try_emplace(row->uniqueID(), row).second) {
        dropIndex();
        return;
      }
      if (row->firstChild_) rows.push_back(row->firstChild_);
      if (topRow && row == last) break;
    }
    topRow = false;
  }
}

// The arriving item takes the leaving one's place and children: with the
// same ID it inherits the leaving item's standing in the index.
void ItemList::noteReplacing(const ListNode* leaving, ListNode* arriving) {
  if (!indexed_) return;
  bool inTree = indexedFirst(leaving);
  if (arriving->uniqueID() == leaving->uniqueID()) {
    if (inTree) first_[leaving->uniqueID()] = arriving;
    return;
  }
  if (duplicates_) {
    dropIndex();
    return;
  }
  if (!inTree) return;
  first_.erase(leaving->uniqueID());
  if (!first_.try_emplace(arriving->uniqueID(), arriving).second) dropIndex();
}

void ItemList::noteMoved() {
  if (indexed_ && duplicates_) dropIndex();
}

void ItemList::setHeaderRecord(const uint8_t* bytes, size_t length) {
  if (!bytes || length == 0) {
    headerRecord_.clear();
    return;
  }
  headerRecord_.assign(bytes, bytes + length);
}

void ItemList::copyHeaderRecordFrom(const ItemList& other) { headerRecord_ = other.headerRecord_; }

// Walk rules: the next sibling is taken before the visitor runs, so the
// visitor may unlink or move the visited item; the first child is read after
// the visit, so children are visited wherever the item now stands. Each level
// keeps the taken next sibling on an explicit stack, so depth costs no stack.
// The visitor must not release the visited item.
bool ItemList::forEach(ListNode* start, WalkScope scope, const Visitor& visitor) {
  std::vector<ListNode*> pending;
  if (start) pending.push_back(start);
  while (!pending.empty()) {
    ListNode* item = pending.back();
    if (!item) {
      pending.pop_back();
      continue;
    }
    pending.back() = item->next();
    if (!visitor(item)) return false;
    if (scope == WalkScope::kSubtree && item->firstChild()) pending.push_back(item->firstChild());
  }
  return true;
}

namespace {

ListNode* findFirst(ListNode* head, const std::function<bool(const ListNode*)>& match) {
  ListNode* found = nullptr;
  ItemList::forEach(head, WalkScope::kSubtree, [&](ListNode* item) {
    if (!match(item)) return true;
    found = item;
    return false;
  });
  return found;
}

}  // namespace

ListNode* ItemList::findByUniqueId(uint32_t id) const {
  if (!indexed_) buildIndex();
  auto found = first_.find(id);
  return found == first_.end() ? nullptr : found->second;
}
ListNode* ItemList::firstDirtyContent() const {
  return findFirst(head_, [](const ListNode* n) { return n->dirtyContent(); });
}
ListNode* ItemList::firstDirtyPosition() const {
  return findFirst(head_, [](const ListNode* n) { return n->dirtyPosition(); });
}
ListNode* ItemList::firstDeleted() const {
  return findFirst(head_, [](const ListNode* n) { return n->deleted(); });
}

bool ItemList::hasChanges() const {
  return firstDirtyContent() || firstDeleted() || firstDirtyPosition();
}

void ItemList::clearAllDirtyContent() {
  forEach(head_, WalkScope::kSubtree, [](ListNode* n) {
    n->setDirtyContent(false);
    return true;
  });
}

void ItemList::clearAllDirtyPosition() {
  forEach(head_, WalkScope::kSubtree, [](ListNode* n) {
    n->setDirtyPosition(false);
    return true;
  });
}

// Pre-order walk that releases each deleted item with its subtree and does
// not descend into it.
void ItemList::purgeDeleted() {
  std::vector<ListNode*> pending;
  if (head_) pending.push_back(head_);
  while (!pending.empty()) {
    ListNode* item = pending.back();
    if (!item) {
      pending.pop_back();
      continue;
    }
    pending.back() = item->next();
    if (item->deleted()) {
      item->unlink().reset();
      continue;
    }
    if (item->firstChild()) pending.push_back(item->firstChild());
  }
}

size_t ItemList::size() const {
  size_t count = 0;
  forEach(head_, WalkScope::kSubtree, [&count](ListNode*) {
    ++count;
    return true;
  });
  return count;
}

}  // namespace tolvex
