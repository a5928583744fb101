// The settings store, the tag store and the tag file writer.
#include <string>

#include "desktop/AtomicFile.h"
#include "desktop/TextEncoding.h"
#include "desktop/XmlFile.h"

namespace tolvex {
namespace {

// Titles and notes are written as the bytes they hold, under "iso-8859-1".
void writeFlatItems(AtomicFile& file, const ItemList& list, LeftOut& leftOut) {
  auto indent = [&file](int depth, size_t extra) {
    file.write(std::string(extra + 2 * static_cast<size_t>(depth % 256), ' '));
  };
  // Answers the number of characters the file could not hold.
  auto text = [&](const char* name, const std::string& value, int depth, std::string& written) {
    indent(depth, 4);
    file.write(std::string("<") + name + ">");
    size_t dropped = 0;
    written = xmlSafeLatin1(escapeXmlText(value), &dropped);
    file.write(written);
    file.write(std::string("</") + name + ">\n");
    return dropped;
  };
  ListNode* n = list.head();
  int depth = 0;
  while (n) {
    indent(depth, 2);
    file.write("<item>\n");
    std::string title, note;
    size_t titleDropped = n->hasTitle() ? text("title", n->title(), depth, title) : 0;
    size_t noteDropped = n->hasNote() ? text("note", n->note(), depth, note) : 0;
    leftOut.add(titleDropped + noteDropped, n->uniqueID(), titleDropped > 0 ? title : note);
    if (n->firstChild()) {
      n = n->firstChild();
      ++depth;
      continue;
    }
    indent(depth, 2);
    file.write("</item>\n");
    while (n && !n->next()) {
      n = n->parent();
      --depth;
      if (n) {
        indent(depth, 2);
        file.write("</item>\n");
      }
    }
    if (n) n = n->next();
  }
}

}  // namespace

int TagFileWriter::write(const ItemList* list, const std::string& path, std::string& /*message*/) {
  leftOut_ = LeftOut();
  AtomicFile file(path);
  if (!file.open()) return -2;
  file.write("<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n<TolvanTagFile>\n");
  if (list) writeFlatItems(file, *list, leftOut_);
  file.write("</TolvanTagFile>\n");
  return file.commit() ? 0 : -2;
}

bool ConfigStore::load(const std::string& path, std::string* why) {
  std::string message;
  std::unique_ptr<ItemList> list = ListFileReader().read(path, message);
  if (!message.empty()) list.reset();
  list_ = std::move(list);
  if (why) *why = message;
  return list_ != nullptr;
}

void ConfigStore::setInt(const std::string& key, int value) {
  std::string text = std::to_string(value);
  if (!list_) list_ = std::make_unique<ItemList>();
  auto item = [&] {
    auto node = std::make_unique<ListNode>(0, list_.get());
    node->setTitle(key);
    node->setNote(text);
    return node;
  };
  ListNode* head = list_->head();
  if (!head) {
    list_->setHead(item());
    return;
  }
  if (ListNode* found = ListNode::findSiblingByTitle(head, key)) {
    found->setNote(text);
    return;
  }
  // Every added key becomes the second item.
  head->insertAfter(item());
}

bool TagStore::save(const std::string& path, LeftOut* leftOut) {
  std::string message;
  TagFileWriter writer;
  bool saved = writer.write(list_.get(), path, message) == 0;
  if (saved && leftOut) *leftOut = writer.leftOut();
  return saved;
}

}  // namespace tolvex
