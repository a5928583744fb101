// Test helpers: temporary folders, whole-file reads and a field-by-field text
// form of a list, so that two lists compare with a readable difference.
#ifndef TOLVEX_TESTS_DESKTOP_DESKTOPFIXTURES_H
#define TOLVEX_TESTS_DESKTOP_DESKTOPFIXTURES_H
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "desktop/XmlFile.h"

namespace tolvex::testing {

class TempFolder {
 public:
  TempFolder() {
    char pattern[] = "/tmp/tolvex-desktop-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempFolder() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string text(const std::optional<std::string>& v) { return v ? "\"" + *v + "\"" : "-"; }

// One line per item, in pre-order, with its depth and every field.
inline std::string describe(const ItemList& list) {
  std::ostringstream out;
  out << "list uniqueTime=" << list.uniqueTime() << " uploadFile=" << int(list.uploadFile()) << "\n";
  const ListNode* n = list.head();
  int depth = 0;
  while (n) {
    DispOverride o = n->dispOverride();
    out << depth << " id=" << n->uniqueID() << " dirty=" << n->dirtyContent() << n->dirtyPosition()
        << " del=" << n->deleted() << " flags=" << n->checked() << n->expanded() << n->expandedMemo()
        << n->expandedLinks() << n->dispBold() << " pri=" << int(n->priority())
        << " prog=" << int(n->progress()) << " auto=" << int(n->autoNumber()) << " alarm=" << n->alarmID()
        << " colour=" << int(n->dispColour()) << " override=" << int(o.kind) << ":" << o.value
        << " times=" << n->hhCreateTime() << "," << n->hhStartTime() << "," << n->hhFinishTime() << ","
        << n->hhTargetTime() << " localID=" << text(n->localID())
        << " title=" << (n->hasTitle() ? text(n->title()) : "-")
        << " note=" << (n->hasNote() ? text(n->note()) : "-") << " file=" << text(n->linkFile())
        << " todo=" << n->linkToDo() << " date=" << n->linkDatebook() << " eab=";
    for (const EabLink& e : n->linkEAB()) out << int(e.eabType) << ":" << e.eabID << ";";
    out << "\n";
    if (n->firstChild()) {
      n = n->firstChild();
      ++depth;
      continue;
    }
    while (n && !n->next()) {
      n = n->parent();
      --depth;
    }
    if (n) n = n->next();
  }
  return out.str();
}

// Reports only the first line that differs.
inline void expectSameLines(const std::string& actual, const std::string& expected, const std::string& context) {
  std::istringstream a(actual), e(expected);
  std::string la, le;
  int line = 0;
  while (true) {
    bool moreA = static_cast<bool>(std::getline(a, la));
    bool moreE = static_cast<bool>(std::getline(e, le));
    ++line;
    if (!moreA && !moreE) return;
    if (la != le || moreA != moreE) {
      ADD_FAILURE() << context << ", line " << line << "\n  actual:   " << la << "\n  expected: " << le;
      return;
    }
  }
}

// Reads `path`; fails the test when the reader reports anything.
inline std::unique_ptr<ItemList> readList(const std::string& path) {
  std::string message;
  std::unique_ptr<ItemList> list = ListFileReader().read(path, message);
  EXPECT_EQ(message, "");
  EXPECT_NE(list, nullptr);
  return list;
}

// Parses `xml` written to a file; the reader's message goes to `message`.
inline std::unique_ptr<ItemList> parse(const TempFolder& folder, const std::string& xml, std::string& message) {
  std::string path = folder.file("in.xml");
  writeFile(path, xml);
  return ListFileReader().read(path, message);
}

}  // namespace tolvex::testing
#endif
