#include "outline/ListNode.h"

#include "outline/ItemList.h"

namespace tolvex {
namespace {

const std::optional<std::string> kNoText;
const std::vector<EabLink> kNoLinks;

// Cuts to at most `limit` bytes; a cut inside a multi-byte UTF-8 character
// drops that character whole.
std::optional<std::string> cutUtf8(std::optional<std::string> v, size_t limit) {
  if (!v || v->size() <= limit) return v;
  size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>((*v)[cut]) & 0xC0) == 0x80) --cut;
  v->resize(cut);
  return v;
}

}  // namespace

ListNode::ListNode(uint32_t uniqueID, ItemList* list) : uniqueID_(uniqueID), list_(list) {}

ListNode::~ListNode() {
  ListNode* below = firstChild_;
  firstChild_ = nullptr;
  releaseRows(below);
  if (prev_ == nullptr && next_ != nullptr) {
    ListNode* after = next_;
    next_ = nullptr;
    after->prev_ = nullptr;
    releaseRows(after);
  }
}

// Releases the row starting at `first` and everything below it. Each item is
// stripped of its links before it is destroyed, so no destructor recurses.
void ListNode::releaseRows(ListNode* first) {
  std::vector<ListNode*> rows;
  if (first) rows.push_back(first);
  while (!rows.empty()) {
    ListNode* item = rows.back();
    rows.pop_back();
    while (item) {
      ListNode* next = item->next_;
      if (item->firstChild_) rows.push_back(item->firstChild_);
      item->firstChild_ = item->next_ = item->prev_ = item->parent_ = item->up_ = nullptr;
      std::unique_ptr<ListNode> owned(item);
      owned.reset();
      item = next;
    }
  }
}

// An item in no row (a fresh copy, an unlinked item) is in no tree, so its
// list's ID index stays as it is.
void ListNode::setUniqueID(uint32_t v) {
  uniqueID_ = v;
  if (list_ && (prev_ || parent_ || list_->head() == this)) list_->dropIndex();
}

ListNode::Extras& ListNode::extras() {
  if (!extras_) extras_ = std::make_unique<Extras>();
  return *extras_;
}

const std::string& ListNode::title() const { return title_; }
const std::string& ListNode::note() const { return note_; }

void ListNode::setTitle(std::optional<std::string> v) {
  hasTitle_ = v.has_value();
  title_ = v ? *cutUtf8(std::move(v), kMaxTextBytes) : std::string();
}

void ListNode::setNote(std::optional<std::string> v) {
  hasNote_ = v.has_value();
  note_ = v ? *cutUtf8(std::move(v), kMaxTextBytes) : std::string();
}

void ListNode::clearTitle() {
  hasTitle_ = false;
  std::string().swap(title_);
}

void ListNode::clearNote() {
  hasNote_ = false;
  std::string().swap(note_);
}

const std::optional<std::string>& ListNode::localID() const { return extras_ ? extras_->localID : kNoText; }
void ListNode::setLocalID(std::optional<std::string> v) {
  if (v || extras_) extras().localID = std::move(v);
}

const std::optional<std::string>& ListNode::linkFile() const { return extras_ ? extras_->linkFile : kNoText; }
void ListNode::setLinkFile(std::optional<std::string> v) {
  if (v || extras_) extras().linkFile = cutUtf8(std::move(v), kMaxTextBytes);
}

const std::vector<EabLink>& ListNode::linkEAB() const { return extras_ ? extras_->linkEAB : kNoLinks; }

void ListNode::copyLocalIdFrom(const ListNode& other) {
  if (other.localID()) setLocalID(other.localID());
}

std::unique_ptr<ListNode> ListNode::clone(bool clearDirty) const {
  auto c = std::make_unique<ListNode>(uniqueID_, list_);
  c->assignContent(*this, clearDirty);
  return c;
}

void ListNode::assignContent(const ListNode& from, bool clearDirty) {
  ++generation_;
  setUniqueID(from.uniqueID_);  // keeps the list's ID index true if this item stands in a tree
  dirtyContent_ = clearDirty ? false : from.dirtyContent_;
  dirtyPosition_ = clearDirty ? false : from.dirtyPosition_;
  deleted_ = from.deleted_;
  title_ = from.title_;
  note_ = from.note_;
  hasTitle_ = from.hasTitle_;
  hasNote_ = from.hasNote_;
  progress_ = from.progress_;
  checked_ = from.checked_;
  priority_ = from.priority_;
  autoNumber_ = from.autoNumber_;
  alarmID_ = from.alarmID_;
  expanded_ = from.expanded_;
  expandedMemo_ = from.expandedMemo_;
  expandedLinks_ = from.expandedLinks_;
  hhCreateTime_ = from.hhCreateTime_;
  hhStartTime_ = from.hhStartTime_;
  hhFinishTime_ = from.hhFinishTime_;
  hhTargetTime_ = from.hhTargetTime_;
  dispColour_ = from.dispColour_;
  dispBold_ = from.dispBold_;
  dispOverride_ = from.dispOverride_;
  if (!from.extras_) extras_.reset();
  else if (extras_) *extras_ = *from.extras_;
  else extras_ = std::make_unique<Extras>(*from.extras_);
  linkToDo_ = from.linkToDo_;
  linkDatebook_ = from.linkDatebook_;
}

void ListNode::dismantle(std::unique_ptr<ListNode> chain, std::vector<std::unique_ptr<ListNode>>& out) {
  std::vector<ListNode*> pending;
  if (chain) pending.push_back(chain.release());
  while (!pending.empty()) {
    ListNode* item = pending.back();
    pending.pop_back();
    if (item->next_) pending.push_back(item->next_);
    if (item->firstChild_) pending.push_back(item->firstChild_);
    item->firstChild_ = item->next_ = item->prev_ = item->parent_ = item->up_ = nullptr;
    out.emplace_back(item);
  }
}

int ListNode::compareContent(const ListNode& o) const {
  if (uniqueID_ != o.uniqueID_) return 1;
  if (progress_ != o.progress_) return 2;
  if (checked_ != o.checked_) return 3;
  if (priority_ != o.priority_) return 4;
  if (hhCreateTime_ != o.hhCreateTime_) return 9;
  if (hhStartTime_ != o.hhStartTime_) return 10;
  if (hhFinishTime_ != o.hhFinishTime_) return 11;
  if (hhTargetTime_ != o.hhTargetTime_) return 12;
  if (dispOverride_.kind != o.dispOverride_.kind) return 15;
  if (dispOverride_.value != o.dispOverride_.value) return 16;
  if (hasTitle_ != o.hasTitle_ || title_ != o.title_) return 16;   // presence, then bytes
  if (hasNote_ != o.hasNote_ || note_ != o.note_) return 17;
  return 0;
}

ListNode* ListNode::parent() const { return up_; }

ListNode* ListNode::firstSibling() {
  ListNode* item = this;
  while (item->prev_) item = item->prev_;
  return item;
}

ListNode* ListNode::lastSibling() {
  ListNode* item = this;
  while (item->next_) item = item->next_;
  return item;
}

int ListNode::depth() const {
  int d = 0;
  for (ListNode* p = parent(); p; p = p->parent()) ++d;
  return d;
}

bool ListNode::isWithinSubtreeOf(const ListNode* ancestor) const {
  if (!ancestor) return false;
  if (!ancestor->firstChild_) return this == ancestor;  // no walk up a deep branch for a leaf
  for (const ListNode* item = this; item; item = item->parent())
    if (item == ancestor) return true;
  return false;
}

std::unique_ptr<ListNode> ListNode::unlink() {
  bool isHead = list_ && list_->head() == this;
  if (!prev_ && !parent_ && !isHead) return nullptr;  // in no tree: already owned
  if (list_) list_->noteUnlinking(this);
  detach();
  return std::unique_ptr<ListNode>(this);
}

// Last item of the chain starting here.
ListNode* ListNode::chainEnd() { return lastSibling(); }

void ListNode::adoptRow(ListNode* first, ListNode* last, ItemList* list, ListNode* up) {
  std::vector<ListNode*> below;
  for (ListNode* item = first; item; item = item->next_) {
    item->list_ = list;
    item->up_ = up;
    if (item->firstChild_) below.push_back(item->firstChild_);
    if (item == last) break;
  }
  while (!below.empty()) {
    ListNode* item = below.back();
    below.pop_back();
    for (; item; item = item->next_) {
      item->list_ = list;
      if (item->firstChild_) below.push_back(item->firstChild_);
    }
  }
}

void ListNode::insertAfter(std::unique_ptr<ListNode> chain) {
  if (!chain) return;
  ListNode* first = chain.release();
  ListNode* last = first->chainEnd();
  first->parent_ = nullptr;
  if (list_ && !list_->head()) {
    first->prev_ = nullptr;
    adoptRow(first, last, list_, nullptr);
    list_->setHeadLinked(first);
    list_->noteInserted(nullptr, first, last, ItemList::Place::kTopLevel);
    return;
  }
  adoptRow(first, last, list_, up_);
  last->next_ = next_;
  if (next_) next_->prev_ = last;
  next_ = first;
  first->prev_ = this;
  if (list_) list_->noteInserted(this, first, last, ItemList::Place::kAfter);
}

void ListNode::insertFirstChild(std::unique_ptr<ListNode> chain) {
  if (!chain) return;
  ListNode* first = chain.release();
  ListNode* last = first->chainEnd();
  adoptRow(first, last, list_, this);
  last->next_ = firstChild_;
  if (firstChild_) {
    firstChild_->prev_ = last;
    firstChild_->parent_ = nullptr;
  }
  first->prev_ = nullptr;
  first->parent_ = this;
  firstChild_ = first;
  if (list_) list_->noteInserted(this, first, last, ItemList::Place::kFirstChild);
}

std::unique_ptr<ListNode> ListNode::replaceWith(std::unique_ptr<ListNode> other) {
  if (!other) return nullptr;
  ListNode* o = other.release();
  if (list_) list_->noteReplacing(this, o);
  bool isHead = list_ && list_->head() == this;
  // What `other` carried stays owned: it moves to this item.
  ListNode* oChild = o->firstChild_;
  ListNode* oNext = o->next_;
  if (oNext) oNext->prev_ = nullptr;

  o->list_ = list_;
  o->next_ = next_;
  o->prev_ = prev_;
  o->firstChild_ = firstChild_;
  o->parent_ = parent_;
  o->up_ = up_;
  if (next_) next_->prev_ = o;
  if (prev_) prev_->next_ = o;
  if (firstChild_) firstChild_->parent_ = o;
  for (ListNode* child = firstChild_; child; child = child->next_) child->up_ = o;
  if (parent_) parent_->firstChild_ = o;
  if (isHead) list_->setHeadLinked(o);

  next_ = oNext;
  prev_ = nullptr;
  parent_ = nullptr;
  up_ = nullptr;
  firstChild_ = oChild;
  if (oChild) oChild->parent_ = this;
  for (ListNode* child = oChild; child; child = child->next_) child->up_ = this;
  for (ListNode* item = oNext; item; item = item->next_) item->up_ = nullptr;
  if (oNext) oNext->prev_ = this;
  list_ = nullptr;
  return std::unique_ptr<ListNode>(this);
}

void ListNode::detach() {
  if (next_) next_->prev_ = prev_;
  if (prev_) {
    prev_->next_ = next_;
  } else if (!parent_) {
    list_->setHeadLinked(next_);
  }
  if (parent_) {
    parent_->firstChild_ = next_;
    if (next_) next_->parent_ = parent_;
  }
  next_ = prev_ = parent_ = up_ = nullptr;
}

void ListNode::placeAfter(ListNode* item) {
  if (next_ == item) return;
  if (list_) list_->noteMoved();
  item->detach();
  item->up_ = up_;
  item->next_ = next_;
  if (next_) next_->prev_ = item;
  next_ = item;
  item->prev_ = this;
}

void ListNode::placeAsFirstChild(ListNode* item) {
  if (firstChild_ == item) return;
  if (list_) list_->noteMoved();
  item->detach();
  item->up_ = this;
  item->next_ = firstChild_;
  if (firstChild_) {
    firstChild_->prev_ = item;
    firstChild_->parent_ = nullptr;
  }
  item->parent_ = this;
  firstChild_ = item;
}

ListNode* ListNode::findSiblingByTitle(ListNode* start, const std::string& text) {
  for (ListNode* item = start; item; item = item->next_)
    if (item->title() == text) return item;
  return nullptr;
}

}  // namespace tolvex
