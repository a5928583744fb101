// One item of an outline. Owns its texts and its address links.
// Ownership in the tree: the list owns its top-level row, each item owns the
// row of its children, and the first item of a row owns the rest of that row.
// An item held by a unique_ptr outside a tree therefore owns the chain that
// follows it and its subtree. Releasing is iterative, so neither long rows nor
// deep trees grow the stack.
// Single-threaded.
#ifndef TOLVEX_OUTLINE_LISTNODE_H
#define TOLVEX_OUTLINE_LISTNODE_H
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tolvex {

class ItemList;

struct EabLink {
  uint8_t eabType = 0;
  uint32_t eabID = 0;
  bool operator==(const EabLink&) const = default;
};

struct DispOverride {
  int8_t kind = -1;   // -1: no override
  uint32_t value = 0;
};

class ListNode {
 public:
  // What a handheld record holds of a title and a note, in handheld bytes
  // (one a character). The desktop keeps its texts whole.
  static constexpr size_t kMaxTitleBytes = 260;
  static constexpr size_t kMaxNoteBytes = 4095;
  // The most of a title, note or linkFile kept in memory, in UTF-8 bytes:
  // far above anything typed, it only keeps a hostile file in check.
  static constexpr size_t kMaxTextBytes = size_t(1) << 20;

  ListNode(uint32_t uniqueID, ItemList* list);
  // Releases the subtree below it and, when it heads a chain outside a tree
  // (no previous sibling), the siblings that follow it.
  ~ListNode();
  ListNode(const ListNode&) = delete;
  ListNode& operator=(const ListNode&) = delete;

  // Content fields.
  uint32_t uniqueID() const { return uniqueID_; }
  void setUniqueID(uint32_t v);
  bool dirtyContent() const { return dirtyContent_; }
  void setDirtyContent(bool f) { dirtyContent_ = f; }
  bool dirtyPosition() const { return dirtyPosition_; }
  void setDirtyPosition(bool f) { dirtyPosition_ = f; }
  bool deleted() const { return deleted_; }
  void setDeleted(bool f) { deleted_ = f; }
  const std::optional<std::string>& localID() const;
  void setLocalID(std::optional<std::string> v);
  // "" when absent; hasTitle tells absent from empty.
  const std::string& title() const;
  bool hasTitle() const { return hasTitle_; }
  void setTitle(std::optional<std::string> v);   // keeps at most kMaxTextBytes, whole UTF-8 characters
  void clearTitle();
  const std::string& note() const;
  bool hasNote() const { return hasNote_; }
  void setNote(std::optional<std::string> v);    // the same
  void clearNote();
  uint8_t progress() const { return progress_; }
  void setProgress(uint8_t v) { progress_ = v; }
  bool checked() const { return checked_; }
  void setChecked(bool f) { checked_ = f; }
  uint8_t priority() const { return priority_; }
  void setPriority(uint8_t v) { priority_ = v; }
  uint8_t autoNumber() const { return autoNumber_; }
  void setAutoNumber(uint8_t v) { autoNumber_ = v; }
  uint32_t alarmID() const { return alarmID_; }
  void setAlarmID(uint32_t v) { alarmID_ = v; }
  bool expanded() const { return expanded_; }
  void setExpanded(bool f) { expanded_ = f; }
  bool expandedMemo() const { return expandedMemo_; }
  void setExpandedMemo(bool f) { expandedMemo_ = f; }
  bool expandedLinks() const { return expandedLinks_; }
  void setExpandedLinks(bool f) { expandedLinks_ = f; }
  uint32_t hhCreateTime() const { return hhCreateTime_; }
  void setHhCreateTime(uint32_t v) { hhCreateTime_ = v; }
  uint32_t hhStartTime() const { return hhStartTime_; }
  void setHhStartTime(uint32_t v) { hhStartTime_ = v; }
  uint32_t hhFinishTime() const { return hhFinishTime_; }
  void setHhFinishTime(uint32_t v) { hhFinishTime_ = v; }
  uint32_t hhTargetTime() const { return hhTargetTime_; }
  void setHhTargetTime(uint32_t v) { hhTargetTime_ = v; }
  uint8_t dispColour() const { return dispColour_; }
  void setDispColour(uint8_t v) { dispColour_ = v; }
  bool dispBold() const { return dispBold_; }
  void setDispBold(bool f) { dispBold_ = f; }
  DispOverride dispOverride() const { return dispOverride_; }
  void setDispOverride(int8_t kind, uint32_t value) { dispOverride_ = {kind, value}; }
  const std::vector<EabLink>& linkEAB() const;
  void addLinkEAB(uint8_t type, uint32_t id) { extras().linkEAB.push_back({type, id}); }
  void setLinkEAB(std::vector<EabLink> links) { extras().linkEAB = std::move(links); }
  // UTF-8, like the title.
  const std::optional<std::string>& linkFile() const;
  void setLinkFile(std::optional<std::string> v);  // the same bound as the title
  uint32_t linkToDo() const { return linkToDo_; }
  void setLinkToDo(uint32_t v) { linkToDo_ = v; }
  uint32_t linkDatebook() const { return linkDatebook_; }
  void setLinkDatebook(uint32_t v) { linkDatebook_ = v; }

  void copyLocalIdFrom(const ListNode& other);
  // A new unlinked item with the same content, belonging to the same list.
  std::unique_ptr<ListNode> clone(bool clearDirty) const;
  // Takes every field that clone copies from `from` (the uniqueID too),
  // keeping this item's links and list and the room its texts already have.
  // The item is then another item at the same address: its generation grows.
  void assignContent(const ListNode& from, bool clearDirty);
  // With the address, names one item over the life of a list's memory.
  uint32_t generation() const { return generation_; }
  // 0 when equal in every compared field, else the code of the first difference.
  int compareContent(const ListNode& other) const;

  // Tree queries.
  ItemList* list() const { return list_; }
  void setList(ItemList* list) { list_ = list; }
  ListNode* next() const { return next_; }
  ListNode* prev() const { return prev_; }
  ListNode* firstChild() const { return firstChild_; }
  ListNode* parentLink() const { return parent_; }
  ListNode* parent() const;
  ListNode* firstSibling();
  ListNode* lastSibling();
  int depth() const;
  // True when `ancestor` is this item or lies on its parent path.
  bool isWithinSubtreeOf(const ListNode* ancestor) const;

  // Tree edits. A chain is an item with the siblings that follow it; an
  // unlinked item is a chain of one. Ownership: `unlink` hands the item (and
  // its subtree) to the caller; the inserts take ownership of the whole chain.
  // `unlink` of an item that is in no tree answers null (it already has an
  // owner). The inserts do not check for cycles: the caller must not insert a
  // chain into its own subtree.
  std::unique_ptr<ListNode> unlink();
  void insertAfter(std::unique_ptr<ListNode> chain);
  void insertFirstChild(std::unique_ptr<ListNode> chain);
  // `other` (unlinked) takes this item's place; answers this item, unlinked,
  // without its children (they now belong to `other`). Whatever `other`
  // carried below or after it moves to the answered item, so nothing is lost.
  std::unique_ptr<ListNode> replaceWith(std::unique_ptr<ListNode> other);
  // Moves `item`, an item of this item's tree that is neither this item nor
  // one of its ancestors, to just after this item / to the front of its
  // children. The same as inserting what `item->unlink()` answers, but the
  // moved subtree stays in its list and is not walked, so a move costs the
  // same however much stands below the item; a move to where the item
  // already stands changes nothing.
  void placeAfter(ListNode* item);
  void placeAsFirstChild(ListNode* item);

  // Takes a chain outside a tree apart: every item of it and below it is
  // appended to `out` unlinked, in pre-order.
  static void dismantle(std::unique_ptr<ListNode> chain, std::vector<std::unique_ptr<ListNode>>& out);

  // From `start` along next-sibling links: first item whose title equals text.
  static ListNode* findSiblingByTitle(ListNode* start, const std::string& text);

 private:
  friend class ItemList;
  ListNode* chainEnd();
  // Takes the item out of its row (an item of a tree), leaving its subtree
  // below it and its list as they are.
  void detach();
  // Gives the row `first`..`last` the parent `up`, and it and everything
  // below it the list `list`.
  static void adoptRow(ListNode* first, ListNode* last, ItemList* list, ListNode* up);
  static void releaseRows(ListNode* first);
  uint32_t uniqueID_;
  bool dirtyContent_ = false, dirtyPosition_ = false, deleted_ = false;
  // The fields most items leave empty, kept apart so that an item without
  // them costs one pointer for all three.
  struct Extras {
    std::optional<std::string> localID, linkFile;
    std::vector<EabLink> linkEAB;
  };
  Extras& extras();
  std::string title_, note_;   // "" when absent (hasTitle_, hasNote_)
  bool hasTitle_ = false, hasNote_ = false;
  uint8_t progress_ = 0;
  bool checked_ = false;
  uint8_t priority_ = 0, autoNumber_ = 0;
  uint32_t generation_ = 0;
  uint32_t alarmID_ = 0;
  bool expanded_ = false, expandedMemo_ = false, expandedLinks_ = false;
  uint32_t hhCreateTime_ = 0, hhStartTime_ = 0, hhFinishTime_ = 0, hhTargetTime_ = 0;
  uint8_t dispColour_ = 0;
  bool dispBold_ = false;
  DispOverride dispOverride_;
  std::unique_ptr<Extras> extras_;
  uint32_t linkToDo_ = 0, linkDatebook_ = 0;
  ItemList* list_;
  ListNode* next_ = nullptr;
  ListNode* prev_ = nullptr;
  ListNode* firstChild_ = nullptr;
  ListNode* parent_ = nullptr;   // set on the first item of a row only
  ListNode* up_ = nullptr;       // parent of every item of a row, so parent() is O(1)
};

}  // namespace tolvex
#endif
