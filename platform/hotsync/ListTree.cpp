#include "platform/hotsync/ListTree.h"

#include <cstdio>

#include "desktop/TextEncoding.h"
#include "outline/ItemList.h"
#include "outline/ItemRecord.h"
#include "platform/hotsync/Json.h"

namespace tolvex::host {
namespace {

constexpr size_t kTitleChars = 200;
constexpr size_t kNoteChars = 60;

}  // namespace

std::string handheldShown(const std::string& modelText) {
  return cp1252BytesToUtf8(utf8ToLatin1Bytes(modelText));
}

std::string terminalLine(std::string_view utf8, size_t maxChars) {
  std::string out;
  size_t chars = 0;
  size_t i = 0;
  for (; i < utf8.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c == '\n' || c == '\r') break;
    bool starts = (c & 0xC0) != 0x80;
    if (starts && chars == maxChars) break;
    if (starts) ++chars;
    // A C1 control (U+0080..U+009F, a handheld byte read as Latin-1) is one
    // a terminal may act on, as it does on C0 controls.
    if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) < 0xA0 &&
        static_cast<unsigned char>(utf8[i + 1]) >= 0x80) {
      out += '?';
      ++i;
      continue;
    }
    out += c == '\t' ? ' ' : (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
  }
  // Cut only when something other than line breaks and spaces is left.
  if (utf8.find_first_not_of(" \t\r\n", i) != std::string_view::npos) out += "\u2026";
  return out;
}

void ListTree::add(uint32_t uniqueID, const uint8_t* bytes, size_t size, bool deleted) {
  if (!fault_.empty()) return;
  if (items_.empty()) pendingSibling_.assign(1, true);  // the top row starts open
  // Records after the tree are deleted items; they belong to the top row.
  const bool afterTree = pendingSibling_.empty();
  ItemList list;
  uint16_t flags = 0;
  std::unique_ptr<ListNode> node = unpackItemRecord(&list, uniqueID, bytes, size, deleted, &flags);
  if (!node) {
    char id[16];
    std::snprintf(id, sizeof id, "0x%06x", uniqueID);
    fault_ = std::string("item record ") + id + " cannot be read";
    return;
  }
  OutlineItem item;
  item.id = uniqueID;
  item.level = afterTree ? 0 : pendingSibling_.size() - 1;
  item.deleted = node->deleted();
  item.checked = node->checked();
  item.priority = node->priority();
  item.title = handheldShown(node->title());
  if (node->hasNote()) item.note = handheldShown(node->note());
  items_.push_back(std::move(item));
  if (afterTree) return;

  // This item used up the slot of its level; its flags open the next ones.
  pendingSibling_.back() = (flags & kHasNextSibling) != 0;
  if (flags & kHasFirstChild) {
    pendingSibling_.push_back(true);
  } else {
    while (!pendingSibling_.empty() && !pendingSibling_.back()) pendingSibling_.pop_back();
  }
}

std::string ListTree::fault() const {
  if (!fault_.empty()) return fault_;
  if (!items_.empty() && !pendingSibling_.empty()) return "the records end before the tree flags say";
  return std::string();
}

void ListTree::print() const {
  size_t deleted = 0;
  for (const OutlineItem& item : items_) deleted += item.deleted;
  std::printf("  outline, %zu item%s", items_.size(), items_.size() == 1 ? "" : "s");
  if (deleted > 0) std::printf(" (%zu deleted, marked)", deleted);
  std::printf(":\n");
  for (const OutlineItem& item : items_) {
    std::string line = "    " + std::string(2 * item.level, ' ') + (item.checked ? "[x] " : "[ ] ");
    line += terminalLine(item.title, kTitleChars);
    std::string marks;
    if (item.priority != 0) marks = "priority " + std::to_string(item.priority);
    if (item.deleted) marks += marks.empty() ? "deleted" : ", deleted";
    if (!marks.empty()) line += "  (" + marks + ")";
    if (item.note) line += "  note: " + terminalLine(*item.note, kNoteChars);
    std::printf("%s\n", line.c_str());
  }
  std::string why = fault();
  if (!why.empty()) std::printf("  ! %s\n", why.c_str());
}

void ListTree::writeJson(JsonWriter& json) const {
  json.beginArray();
  size_t open = 0;  // items whose "children" array is still open
  for (const OutlineItem& item : items_) {
    for (; open > item.level; --open) json.endArray().endObject();
    json.beginObject();
    json.key("id").number(item.id);
    json.key("title").string(item.title);
    json.key("checked").boolean(item.checked);
    json.key("priority").number(item.priority);
    json.key("deleted").boolean(item.deleted);
    json.key("note");
    if (item.note) {
      json.string(*item.note);
    } else {
      json.null();
    }
    json.key("children").beginArray();
    ++open;
  }
  for (; open > 0; --open) json.endArray().endObject();
  json.endArray();
}

}  // namespace tolvex::host
