// The settings store, the tag store and the tag file writer.
#include <string>

#include "desktop/AtomicFile.h"
#include "desktop/TextEncoding.h"
#include "desktop/XmlFile.h"

namespace tolvex {
namespace {

// Titles and notes are written as the bytes they hold, under "iso-8859-1".
void writeFlatItems(AtomicFile& file, const ItemList& list) {
  auto indent = [&file](int depth, size_t extra) {
    file.write(std::string(extra + 2 * static_cast<size_t>(depth % 256), ' '));
  };
  auto text = [&](const char* name, const std::string& value, int depth) {
    indent(depth, 4);
    file.write(std::string("<") + name + ">");
    file.write(xmlSafeLatin1(escapeXmlText(value)));
    file.write(std::string("</") + name + ">\n");
  };
  ListNode* n = list.head();
  int depth = 0;
  while (n) {
    indent(depth, 2);
    file.write("<item>\n");
    if (n->hasTitle()) text("title", n->title(), depth);
    if (n->hasNote()) text("note", n->note(), depth);
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
  AtomicFile file(path);
  if (!file.open()) return -2;
  file.write("<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n<TolvanTagFile>\n");
  if (list) writeFlatItems(file, *list);
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

bool TagStore::save(const std::string& path) {
  std::string message;
  return TagFileWriter().write(list_.get(), path, message) == 0;
}

}  // namespace tolvex
