// Text the handheld cannot hold stays on the desktop.
//
// A handheld record holds an item's title, note and linkFile one byte a
// character (a character the handheld lacks becomes "?" or its Windows-1252
// byte), cut to the record's limits, and only as many address links as fit.
// The desktop keeps them whole. So that a merge or a copy of the handheld
// version does not write that reduced form over the desktop's, each handheld
// item whose text or links are exactly what its desktop twin's (same
// uniqueID) become on the handheld takes the twin's full value first: the
// merge then sees them equal, and a handheld version that wins for other
// fields carries the desktop's texts. A text or link list the handheld did
// change keeps the handheld's value.
//
// Single-threaded (but for a draft's own thread); the lists stay owned by
// the caller.
#ifndef TOLVEX_OUTLINE_DESKTOPTEXTS_H
#define TOLVEX_OUTLINE_DESKTOPTEXTS_H
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "common/RunLog.h"
#include "outline/ItemList.h"
#include "outline/PendingRebuilds.h"

namespace tolvex {

class ListFileWriter;

// Gives handheld items their desktop twins' full texts and links where the
// handheld holds exactly their handheld form. Answers how many items took some.
size_t keepDesktopTexts(ItemList& handheld, const ItemList& desktop);
// The same for one item's linkFile and linkEAB, its texts already settled
// (they decide how many links its record holds). Answers whether it took any.
bool keepDesktopLinks(ListNode& handheld, const ListNode& desktop);
// Writes a desktop list file ("utf-8") and logs what it had to leave out.
// The writer's result: 0 when written, -2 otherwise. `beforeReplace` runs
// once the new file is written whole, just before it replaces the old one.
// `asRead`, when given, is what the file was when the run read it: a file
// changed since (the desktop application saved it meanwhile), or that the
// desktop application has opened since, is not replaced, and the log says so.
int writeDesktopList(const RunEnv& env, const ItemList& list, const std::string& path, std::string& message,
                     const std::function<void()>& beforeReplace = nullptr, const FileStamp* asRead = nullptr);

// writeDesktopList in two steps, for a caller that settles the handheld's
// database meanwhile: `start` makes the file's text in a temporary file on
// a thread of its own, `save` waits for it and puts it in place with
// writeDesktopList's checks, result and log lines. The list may be read but
// not changed from `start` until `save` returns or the draft goes; a draft
// not saved leaves no file behind. The thread only writes the temporary
// file: it logs nothing.
class DesktopListDraft {
 public:
  DesktopListDraft();
  ~DesktopListDraft();
  DesktopListDraft(const DesktopListDraft&) = delete;
  DesktopListDraft& operator=(const DesktopListDraft&) = delete;
  void start(const ItemList& list, const std::string& path);
  bool started() const { return started_; }
  int save(const RunEnv& env, const std::function<void()>& beforeReplace, const FileStamp* asRead);
  // Waits for the thread and removes what it made.
  void abandon();

 private:
  void wait();
  std::unique_ptr<ListFileWriter> writer_;
  std::string path_;
  bool started_ = false;
  bool drafted_ = false;
  std::thread thread_;
};

}  // namespace tolvex
#endif
