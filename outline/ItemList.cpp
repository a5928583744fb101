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

void ItemList::recycle(std::unique_ptr<ListNode> chain) { ListNode::dismantle(std::move(chain), recycled_); }

std::unique_ptr<ListNode> ItemList::copyOf(const ListNode& source, bool clearDirty) {
  if (nextRecycled_ == recycled_.size()) {
    dropRecycled();
    auto copy = source.clone(clearDirty);
    copy->setList(this);
    return copy;
  }
  std::unique_ptr<ListNode> copy = std::move(recycled_[nextRecycled_++]);
  copy->assignContent(source, clearDirty);
  copy->setList(this);
  return copy;
}

void ItemList::dropRecycled() {
  recycled_.clear();
  nextRecycled_ = 0;
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
  firstNewKnown_ = false;
  if (!indexed_) return;
  indexed_ = false;
  first_.clear();
}

void ItemList::buildIndex() const {
  first_.clear();
  duplicates_ = false;
  forEach(head_, WalkScope::kSubtree, [this](ListNode* item) {
    if (item->uniqueID() != 0 && !first_.try_emplace(item->uniqueID(), item).second) duplicates_ = true;
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

// The links are kept two-way (an item's previous sibling names it as its
// next, a row's parent names its first item as first child), so an item
// stands in the tree exactly when the walk back along them reaches an item
// that does, or the head. Without twins a nonzero ID answers at once; items
// with ID 0 are passed over for a few steps, then the answer is unknown.
ItemList::Standing ItemList::standing(const ListNode* item) const {
  constexpr int kMaxSteps = 16;
  for (int step = 0; step < kMaxSteps; ++step) {
    if (item->uniqueID() != 0) {
      if (indexedFirst(item)) return Standing::kIn;
      if (!duplicates_) return Standing::kOut;
    }
    if (item->prev_) {
      item = item->prev_;
    } else if (item->parent_) {
      item = item->parent_;
    } else {
      return item == head_ ? Standing::kIn : Standing::kOut;
    }
  }
  return Standing::kUnknown;
}

namespace {

// The items with a nonzero ID in the row `first`..`last` and below it.
std::vector<ListNode*> indexableItems(ListNode* first, const ListNode* last) {
  std::vector<ListNode*> found;
  std::vector<ListNode*> rows{first};
  bool topRow = true;
  while (!rows.empty()) {
    ListNode* row = rows.back();
    rows.pop_back();
    for (; row; row = row->next()) {
      if (row->uniqueID() != 0) found.push_back(row);
      if (row->firstChild()) rows.push_back(row->firstChild());
      if (topRow && row == last) break;
    }
    topRow = false;
  }
  return found;
}

}  // namespace

// Without twins every entry is an item of the tree and every indexed item of
// the tree is its ID's entry, so erasing the entries the subtree holds is
// right whether the subtree stands in the tree or not; with twins a later
// twin may become first, which only a walk finds.
void ItemList::noteUnlinking(const ListNode* item) {
  firstNewKnown_ = false;
  if (!indexed_) return;
  if (duplicates_) {
    if (standing(item) != Standing::kOut) dropIndex();
    return;
  }
  if (item->uniqueID() != 0 && !indexedFirst(item)) return;   // elsewhere
  auto eraseHeld = [this](const ListNode* held) {
    auto found = first_.find(held->uniqueID());
    if (found != first_.end() && found->second == held) first_.erase(found);
  };
  eraseHeld(item);
  std::vector<const ListNode*> rows;
  if (item->firstChild_) rows.push_back(item->firstChild_);
  while (!rows.empty()) {
    const ListNode* row = rows.back();
    rows.pop_back();
    for (; row; row = row->next_) {
      eraseHeld(row);
      if (row->firstChild_) rows.push_back(row->firstChild_);
    }
  }
}

// New IDs become their own first entry. A single item put right after a
// holder of its ID (a duplicate) comes later in pre-order and changes
// nothing; any other arrival of a known ID needs a walk.
void ItemList::noteInserted(const ListNode* anchor, ListNode* first, ListNode* last, Place place) {
  firstNewKnown_ = false;
  if (!indexed_) return;
  std::vector<ListNode*> arriving = indexableItems(first, last);
  if (arriving.empty()) return;
  Standing where = place == Place::kTopLevel ? Standing::kIn : standing(anchor);
  if (where == Standing::kOut) return;
  if (where == Standing::kUnknown) {
    dropIndex();
    return;
  }
  if (place == Place::kAfter && first == last && !first->firstChild_ &&
      first->uniqueID() == anchor->uniqueID()) {
    duplicates_ = true;
    return;
  }
  for (ListNode* item : arriving) {
    if (!first_.try_emplace(item->uniqueID(), item).second) {
      dropIndex();
      return;
    }
  }
}

// The arriving item takes the leaving one's place and children: with the
// same ID it inherits the leaving item's standing in the index.
void ItemList::noteReplacing(const ListNode* leaving, ListNode* arriving) {
  firstNewKnown_ = false;
  if (!indexed_) return;
  const uint32_t leavingId = leaving->uniqueID(), arrivingId = arriving->uniqueID();
  if (arrivingId == leavingId) {
    if (indexedFirst(leaving)) first_[leavingId] = arriving;
    return;
  }
  Standing where = standing(leaving);
  if (where == Standing::kOut) return;
  if (duplicates_) {
    dropIndex();
    return;
  }
  if (leavingId != 0) first_.erase(leavingId);   // without twins a nonzero ID proved it in
  if (arrivingId == 0) return;
  if (where == Standing::kUnknown || !first_.try_emplace(arrivingId, arriving).second) dropIndex();
}

void ItemList::noteMoved() {
  firstNewKnown_ = false;
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
  if (id == 0) {
    if (!firstNewKnown_) firstNew_ = findFirst(head_, [](const ListNode* n) { return n->uniqueID() == 0; });
    firstNewKnown_ = true;
    return firstNew_;
  }
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
