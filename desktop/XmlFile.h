// Desktop XML files: the list file reader and writer, the settings store and
// the tag store. Each reader/writer object serves one call.
#ifndef TOLVEX_DESKTOP_XMLFILE_H
#define TOLVEX_DESKTOP_XMLFILE_H
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/RunLog.h"
#include "outline/ItemList.h"

namespace tolvex {

class AtomicFile;

// What a writer left out of its file because XML 1.0 cannot hold it (control
// characters, mostly from handheld text): how many characters, from how many
// items, and the first such item.
struct LeftOut {
  size_t characters = 0;
  size_t items = 0;
  uint32_t firstID = 0;
  std::string firstText;   // the first text that lost characters, as written, cut short

  // Counts one item's loss; `written` is the text as it went to the file.
  void add(size_t dropped, uint32_t id, std::string_view written);
};
// One log line for a file that lost characters; nothing when none were lost.
void logLeftOut(RunLog& log, const LeftOut& leftOut);

// The lock file the desktop application keeps beside an open list file: the
// path cut before the first "." of its file name, then "._lk".
std::string lockFilePath(const std::string& path);

class XmlFileReader {
 public:
  virtual ~XmlFileReader() = default;
  // A list only when nothing was appended to `message`.
  virtual std::unique_ptr<ItemList> read(const std::string& path, std::string& message) = 0;
};

class XmlFileWriter {
 public:
  virtual ~XmlFileWriter() = default;
};

// Writes go to a temporary file beside the target, flushed, then renamed into
// place; on failure the target is untouched.
// Only a regular file is read (opened without blocking), and none larger
// than any list the handheld can hold.
// Where a reading puts the items it makes; by default into the list's tree.
// A sink of its own lets a caller that wants less than the tree (a summary,
// say) keep what it needs of each item and no more.
class ListItemSink {
 public:
  virtual ~ListItemSink() = default;
  // A new item at `depth`: below the item placed last when one deeper than
  // it, else after the last item placed at that depth. Answers the item the
  // reading fills, until the next call or `finish`.
  virtual ListNode* place(ItemList& list, size_t depth) = 0;
  // Before a reading starts (again, when the plain reader gave way to expat).
  virtual void restart() {}
  // Each block of the file's bytes as it is read, in order, before the
  // items it completes are placed (from the first again after a restart).
  virtual void read(const char* /*bytes*/, size_t /*size*/) {}
  // After the last item of a list that was read.
  virtual void finish() {}
};

// A file of the plain form this program writes is read by the plain reader
// (PlainXml.h), any other with expat; the list is the same either way.
class ListFileReader : public XmlFileReader {
 public:
  enum class Parser { kPlainFirst, kExpatOnly };
  explicit ListFileReader(Parser parser = Parser::kPlainFirst) : parser_(parser) {}
  std::unique_ptr<ItemList> read(const std::string& path, std::string& message) override;
  // The same for `path` opened before with openRegularFile (its answers
  // `fd`, `why` and `size`); closes `fd`. A file replaced (renamed over) since
  // the opening is read as it was then.
  // With `items`, the items go there and the answered list holds only the
  // list-wide values.
  std::unique_ptr<ItemList> readOpened(int fd, const std::string& why, uint64_t size, const std::string& path,
                                       std::string& message, ListItemSink* items = nullptr);
  // Blocks handed to expat by the last read (none when the plain reader read it).
  size_t parserCalls() const { return parserCalls_; }
 private:
  Parser parser_;
  size_t parserCalls_ = 0;
};

// Texts are escaped (attributes with " as &quot; too); characters an XML
// document cannot hold are left out, so every file written reads back.
class ListFileWriter : public XmlFileWriter {
 public:
  explicit ListFileWriter(std::string encoding = "utf-8");
  ~ListFileWriter() override;  // a draft not committed is removed
  ListFileWriter(const ListFileWriter&) = delete;
  ListFileWriter& operator=(const ListFileWriter&) = delete;
  // 0 when written, -2 when the file cannot be created (or written whole).
  // `beforeReplace` runs once the new file is written whole, just before it
  // replaces the one at `path` (never when the write failed); when it
  // answers false that file stays and the result is -2.
  int write(const ItemList& list, const std::string& path, std::string& message,
            const std::function<bool()>& beforeReplace = nullptr);
  // `write` in two steps, for a caller with other work meanwhile: `draft`
  // writes the whole text to a temporary file beside `path` (false when
  // that cannot be made), `commit` then puts it in place as `write` does.
  // The list may be read but not changed in between.
  bool draft(const ItemList& list, const std::string& path);
  int commit(const std::function<bool()>& beforeReplace = nullptr);
  // What the last write left out.
  const LeftOut& leftOut() const { return leftOut_; }
 private:
  std::string encoding_;
  LeftOut leftOut_;
  std::unique_ptr<AtomicFile> draft_;
};

class TagFileWriter : public XmlFileWriter {
 public:
  int write(const ItemList* list, const std::string& path, std::string& message);
  const LeftOut& leftOut() const { return leftOut_; }
 private:
  LeftOut leftOut_;
};

class ConfigStore {
 public:
  // `why` (may be null) gets the reader's explanation when nothing was loaded.
  bool load(const std::string& path, std::string* why = nullptr);
  void setInt(const std::string& key, int value);
  const ItemList* list() const { return list_.get(); }
 private:
  std::unique_ptr<ItemList> list_;
};

class TagStore {
 public:
  void setList(std::unique_ptr<ItemList> list) { list_ = std::move(list); }
  ItemList* list() const { return list_.get(); }
  // `leftOut` (may be null) gets what the file could not hold.
  bool save(const std::string& path, LeftOut* leftOut = nullptr);
 private:
  std::unique_ptr<ItemList> list_;
};

}  // namespace tolvex
#endif
