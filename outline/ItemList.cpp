#include "outline/ItemList.h"

namespace tolvex {

ItemList::ItemList() = default;

ItemList::~ItemList() { releaseHead().reset(); }

void ItemList::setHead(std::unique_ptr<ListNode> item) {
  ListNode* old = head_;
  head_ = item.release();
  if (head_) {
    head_->list_ = this;
    head_->adoptChain(nullptr);
  }
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
  first->list_ = this;
  first->adoptChain(last);
  first->parent_ = nullptr;
  first->prev_ = nullptr;
  last->next_ = head_;
  if (head_) head_->prev_ = last;
  head_ = first;
}

void ItemList::pushBack(std::unique_ptr<ListNode> chain) {
  if (!chain) return;
  if (!head_) {
    chain->parent_ = nullptr;
    chain->prev_ = nullptr;
    ListNode* first = chain.release();
    first->list_ = this;
    first->adoptChain(first->lastSibling());
    head_ = first;
    return;
  }
  head_->lastSibling()->insertAfter(std::move(chain));
}

std::unique_ptr<ListNode> ItemList::releaseHead() {
  ListNode* first = head_;
  head_ = nullptr;
  return std::unique_ptr<ListNode>(first);
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
  return findFirst(head_, [id](const ListNode* n) { return n->uniqueID() == id; });
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
