#include "outline/DesktopTexts.h"

#include <unistd.h>

#include <algorithm>
#include <exception>
#include <optional>
#include <system_error>

#include "desktop/XmlFile.h"
#include "outline/ItemRecord.h"

namespace tolvex {
namespace {

using HandheldForm = std::string (*)(const std::string&);

// One text of an item: whether it is present, and what it holds ("" when not).
struct Text {
  bool present;
  const std::string& value;
};

// True when the two texts differ but hold the same on the handheld. The
// handheld's own text is its handheld form already.
bool sameOnHandheld(Text desktop, Text handheld, HandheldForm form) {
  if (desktop.present == handheld.present && desktop.value == handheld.value) return false;
  return form(desktop.value) == form(handheld.value);
}

// True when the handheld holds the desktop's links as far as its record can,
// and that is not all of them.
bool linksCutOnHandheld(const ListNode& desktop, const ListNode& handheld) {
  const std::vector<EabLink>& all = desktop.linkEAB();
  const std::vector<EabLink>& held = handheld.linkEAB();
  if (held.size() >= all.size()) return false;
  if (held.size() != std::min(all.size(), linkEabCapacity(handheld))) return false;
  return std::equal(held.begin(), held.end(), all.begin());
}

// Answers whether the item took anything from its twin.
bool keepTwinTexts(ListNode& handheld, const ListNode& desktop) {
  bool kept = false;
  if (sameOnHandheld({desktop.hasTitle(), desktop.title()}, {handheld.hasTitle(), handheld.title()},
                     handheldTitle)) {
    if (desktop.hasTitle()) handheld.setTitle(desktop.title());
    else handheld.clearTitle();
    kept = true;
  }
  if (sameOnHandheld({desktop.hasNote(), desktop.note()}, {handheld.hasNote(), handheld.note()}, handheldNote)) {
    if (desktop.hasNote()) handheld.setNote(desktop.note());
    else handheld.clearNote();
    kept = true;
  }
  // After the texts: they decide how many links the record holds.
  return keepDesktopLinks(handheld, desktop) || kept;
}

}  // namespace

bool keepDesktopLinks(ListNode& handheld, const ListNode& desktop) {
  static const std::string kNone;
  bool kept = false;
  const std::optional<std::string>& file = desktop.linkFile();
  const std::optional<std::string>& held = handheld.linkFile();
  if (sameOnHandheld({file.has_value(), file ? *file : kNone}, {held.has_value(), held ? *held : kNone},
                     handheldLinkFile)) {
    handheld.setLinkFile(file);
    kept = true;
  }
  if (linksCutOnHandheld(desktop, handheld)) {
    handheld.setLinkEAB(desktop.linkEAB());
    kept = true;
  }
  return kept;
}

size_t keepDesktopTexts(ItemList& handheld, const ItemList& desktop) {
  size_t items = 0;
  ItemList::forEach(handheld.head(), WalkScope::kSubtree, [&](ListNode* item) {
    // A deleted record may carry no data at all.
    if (item->deleted()) return true;
    const ListNode* twin = desktop.findByUniqueId(item->uniqueID());
    if (twin && keepTwinTexts(*item, *twin)) ++items;
    return true;
  });
  return items;
}

namespace {

// Checked at the last moment, so that the backups do not turn either. A
// file the desktop application opened meanwhile would be saved over ours.
std::function<bool()> replaceCheck(const RunEnv& env, const std::string& path,
                                   const std::function<void()>& beforeReplace, const FileStamp* asRead) {
  return [&env, &path, &beforeReplace, asRead] {
    if (asRead && stampOf(path) != *asRead) {
      logLine(env, "!   The desktop file was changed during the run. Left as it is; the next run takes it up.\n");
      return false;
    }
    if (asRead && ::access(lockFilePath(path).c_str(), F_OK) == 0) {
      logLine(env, "!   The desktop file was opened in Tolvan Desktop during the run. Left as it is; the next run takes it up.\n");
      return false;
    }
    if (beforeReplace) beforeReplace();
    return true;
  };
}

}  // namespace

int writeDesktopList(const RunEnv& env, const ItemList& list, const std::string& path, std::string& message,
                     const std::function<void()>& beforeReplace, const FileStamp* asRead) {
  ListFileWriter writer("utf-8");
  int result = writer.write(list, path, message, replaceCheck(env, path, beforeReplace, asRead));
  if (result == 0 && env.log) logLeftOut(*env.log, writer.leftOut());
  return result;
}

DesktopListDraft::DesktopListDraft() : writer_(std::make_unique<ListFileWriter>("utf-8")) {}

DesktopListDraft::~DesktopListDraft() { wait(); }

void DesktopListDraft::start(const ItemList& list, const std::string& path) {
  wait();
  path_ = path;
  started_ = true;
  auto draft = [this, &list] {
    // Out of memory on the thread is a draft not made, as it would be a
    // write that failed here.
    try {
      drafted_ = writer_->draft(list, path_);
    } catch (const std::exception&) {
      drafted_ = false;
    }
  };
  try {
    thread_ = std::thread(draft);
  } catch (const std::system_error&) {
    draft();
  }
}

void DesktopListDraft::wait() {
  if (thread_.joinable()) thread_.join();
}

void DesktopListDraft::abandon() {
  wait();
  writer_ = std::make_unique<ListFileWriter>("utf-8");
  started_ = drafted_ = false;
}

int DesktopListDraft::save(const RunEnv& env, const std::function<void()>& beforeReplace, const FileStamp* asRead) {
  wait();
  if (!drafted_) return -2;
  const int result = writer_->commit(replaceCheck(env, path_, beforeReplace, asRead));
  if (result == 0 && env.log) logLeftOut(*env.log, writer_->leftOut());
  return result;
}

}  // namespace tolvex
