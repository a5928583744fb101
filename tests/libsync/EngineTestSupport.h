// Test helpers for the merge engine: outlines from a compact text and a
// captured engine log.
#ifndef TOLVEX_TESTS_LIBSYNC_ENGINETESTSUPPORT_H
#define TOLVEX_TESTS_LIBSYNC_ENGINETESTSUPPORT_H
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "libsync/SyncContext.h"
#include "tests/model/TreeShape.h"

namespace tolvex::testing {

// Reads "1(2c,3d(4)),5p": unique IDs in pre-order, children in parentheses,
// flags after the ID: c dirtyContent, p dirtyPosition, d deleted. Each item
// gets the title "T<id>".
inline void build(ItemList& list, const std::string& text) {
  size_t at = 0;
  ListNode* previous = nullptr;   // last item of the current row
  ListNode* parent = nullptr;     // item whose row is being read
  std::vector<std::pair<ListNode*, ListNode*>> open;  // saved (previous, parent)
  while (at < text.size()) {
    char c = text[at];
    if (c == ',') { ++at; continue; }
    if (c == ')') { std::tie(previous, parent) = open.back(); open.pop_back(); ++at; continue; }
    if (c == '(') { open.push_back({previous, parent}); parent = previous; previous = nullptr; ++at; continue; }
    uint32_t id = 0;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) id = id * 10 + (text[at++] - '0');
    auto node = std::make_unique<ListNode>(id, &list);
    node->setTitle("T" + std::to_string(id));
    for (; at < text.size() && std::isalpha(static_cast<unsigned char>(text[at])); ++at) {
      if (text[at] == 'c') node->setDirtyContent(true);
      if (text[at] == 'p') node->setDirtyPosition(true);
      if (text[at] == 'd') node->setDeleted(true);
    }
    ListNode* raw = node.get();
    if (previous) previous->insertAfter(std::move(node));
    else if (parent) parent->insertFirstChild(std::move(node));
    else list.pushBack(std::move(node));
    previous = raw;
  }
}

// Flags of every item in pre-order, as in `build` ("" when none).
inline std::string flagsOf(const ItemList& list) {
  std::string out;
  ItemList::forEach(list.head(), WalkScope::kSubtree, [&](ListNode* n) {
    if (n->dirtyContent() || n->dirtyPosition() || n->deleted()) {
      out += std::to_string(n->uniqueID());
      if (n->dirtyContent()) out += "c";
      if (n->dirtyPosition()) out += "p";
      if (n->deleted()) out += "d";
      out += " ";
    }
    return true;
  });
  return out;
}

// An in-memory log for a SyncContext.
class LogCapture {
 public:
  LogCapture() : file_(open_memstream(&data_, &size_)) {}
  ~LogCapture() {
    std::fclose(file_);
    std::free(data_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::FILE* file() { return file_; }
  std::string text() {
    std::fflush(file_);
    return std::string(data_, size_);
  }
  bool contains(const std::string& line) { return text().find(line) != std::string::npos; }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  std::FILE* file_;
};

// Messages as the engine formats them, in the form they reach the file.
inline std::string written(std::initializer_list<const char*> messages) {
  std::string out;
  for (std::string m : messages) out += m.substr(0, 1) + "    " + m.substr(1);
  return out;
}

struct Merge {
  ItemList desktop, handheld;
  LogCapture log;
  SyncContext context;
  Merge(const std::string& dt, const std::string& hh, int32_t method, int32_t kind = kSyncFast) {
    build(desktop, dt);
    build(handheld, hh);
    context.name = "Tolvk-Test";
    context.kind = kind;
    context.method = method;
    context.log = log.file();
  }
  ListNode* dt(uint32_t id) { return desktop.findByUniqueId(id); }
  ListNode* hh(uint32_t id) { return handheld.findByUniqueId(id); }
  void run() {
    EXPECT_EQ(synchronizeFile(desktop, handheld, context), 0);
    EXPECT_EQ(treeError(desktop), "");
    EXPECT_EQ(treeError(handheld), "");
  }
};

}  // namespace tolvex::testing
#endif
