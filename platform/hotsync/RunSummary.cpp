#include "platform/hotsync/RunSummary.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

#include "desktop/TextEncoding.h"
#include "platform/hotsync/Beside.h"
#include "platform/hotsync/ItemLines.h"
#include "platform/hotsync/Json.h"
#include "platform/hotsync/ListTree.h"
#include "platform/syncmgr/SyncMgr.h"

namespace tolvex::host {
namespace {

// Names and log lines carry the bytes they came with: UTF-8 from the desktop,
// Windows-1252 from the handheld.
std::string shown(const std::string& bytes) {
  return validUtf8Prefix(bytes, SIZE_MAX) == bytes.size() ? bytes : cp1252BytesToUtf8(bytes);
}


bool startsWith(std::string_view text, std::string_view head) { return text.substr(0, head.size()) == head; }
bool endsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// A log line without its "#"/"!" markers and indentation.
std::string_view unmarked(std::string_view line) {
  const size_t start = line.find_first_not_of("#! \t");
  return start == std::string_view::npos ? std::string_view() : line.substr(start);
}

// A log line without its markers, as the summary shows it.
std::string cleaned(const std::string& line) {
  std::string text(unmarked(line));
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) text.pop_back();
  if (startsWith(text, "ERROR: ")) text = text.substr(7);
  return terminalLine(shown(text), 200);
}

// The merge engine's own "!" lines warn of what it then settles (two
// different lists under one name, test data, a method it does not know);
// the list is merged all the same.
bool isEngineWarning(const std::string& line) {
  static const char* const kWarnings[] = {"File unique: ", "Collision; ", "Your setting ",
                                          "WARNING: The handheld data appears", "invalid Unique-IDs",
                                          "non-zero. Crossing", "SLOW TIME NYI", "FAST TIME NYI"};
  const std::string text = cleaned(line);
  for (const char* warning : kWarnings)
    if (startsWith(text, warning)) return true;
  return false;
}

// A line says a list failed or was left out only by its first words: the rest
// may quote titles, list names and paths, which can hold any words.
bool isTrouble(const std::string& line) {
  if (startsWith(line, "!")) return !isEngineWarning(line);
  const std::string_view text = unmarked(line);
  // The merge engine puts an item that finds no place at the end of the list;
  // a backup that cannot be kept leaves the list's save to go on (a save that
  // then fails says so in a line of its own).
  return startsWith(text, "ERROR") && text.find("Continuing") == std::string_view::npos &&
         !startsWith(text, "ERROR: Bad referent.") && !startsWith(text, "ERROR: Couldn't create Backup directory") &&
         !startsWith(text, "ERROR: Couldn't backup: ");
}

bool isSkip(const std::string& line) {
  const std::string_view text = unmarked(line);
  return startsWith(text, "SKIPPING") || startsWith(text, "WARNING: Upload attribute not set") ||
         (startsWith(text, "ERROR") && endsWith(text, ". Skipped."));
}

// The list a line "# [N] NAME: DECISION" opens, and the action it names.
bool sectionStart(const std::string& line, std::string* name, ListOutcome::Action* action) {
  if (!startsWith(line, "# [")) return false;
  size_t close = line.find("] ");
  if (close == std::string::npos) return false;
  const std::string rest = line.substr(close + 2);
  struct Decision {
    const char* text;
    ListOutcome::Action action;
    bool suffix;
  };
  static const Decision kDecisions[] = {
      {": Copy database from DT to HH.", ListOutcome::kCopiedToHandheld, true},
      {": Copy from HH to DT.", ListOutcome::kCopiedToDesktop, true},
      {": Synchronize (Config: ", ListOutcome::kMerged, false},
      {": Rebuild was interrupted. Copy from HH to DT.", ListOutcome::kCopiedToDesktop, true},
      {": Rebuild was interrupted and the desktop file was edited since. Merge.", ListOutcome::kMerged, true},
  };
  for (const Decision& d : kDecisions) {
    size_t at = d.suffix ? (endsWith(rest, d.text) ? rest.size() - std::string(d.text).size() : std::string::npos)
                         : rest.find(d.text);
    if (at == std::string::npos) continue;
    *name = rest.substr(0, at);
    *action = d.action;
    return true;
  }
  return false;
}

std::string skipReason(const std::string& line) {
  if (line.find("Sync request flag not set") != std::string::npos)
    return "the handheld list does not ask to be synchronized (its sync request flag is clear)";
  if (line.find("Upload attribute not set") != std::string::npos)
    return "the desktop list does not ask to be put on the handheld (its upload request is clear)";
  if (line.find("File is open in Tolvan Desktop") != std::string::npos)
    return "its desktop file is open in the desktop application; close it and synchronize again";
  return cleaned(line);
}

// "Cannot Open DB (N X)" in words: X is the Sync Manager's code in hex.
std::string failReason(const std::string& line) {
  // A database of that name without a single record: the run fails for it.
  if (line.find("Skipped DB; not enough records") != std::string::npos)
    return "the handheld database holds no list header";
  const size_t at = line.find("Cannot Open DB (");
  if (at == std::string::npos) return cleaned(line);
  unsigned code = 0;
  const bool io = std::sscanf(line.c_str() + at, "Cannot Open DB (%*d %x)", &code) == 1 && code == SYNCERR_IO;
  return std::string("its handheld database ") + (io ? "is damaged or unreadable" : "cannot be opened") +
         "; both sides left as they are";
}

const char kOpenInDesktop[] = ": File is open in Tolvan Desktop. Skipped.";

// A desktop file or handheld list that the conduit refuses while it pairs the
// two sides, before any list's own lines: "# ERROR: ... '<name>'<why>".
struct Refusal {
  const char* head;
  const char* tail;
  const char* reason;
};
constexpr Refusal kRefusals[] = {
    {"# ERROR: Filename '", "' is too long!", "its name is too long for a handheld list"},
    {"# ERROR: Filename '", "' holds characters a handheld list name cannot. Skipped.",
     "its name holds characters a handheld list name cannot"},
    {"# ERROR: File '", "' is a link to nothing. Skipped.", "it is a link to nothing"},
    {"# ERROR: List name '", "' is not a usable file name. Skipped.", "its name cannot be a desktop file name"},
    {"# ERROR: List name '", "' holds a \"*\", kept for the conduit's temporary database. Skipped.",
     "its name holds a \"*\", kept for the conduit's temporary database"},
};

// The list a refusal names (a file's name without ".XML") and why, if `line` is one.
bool refusal(const std::string& line, std::string* name, std::string* reason) {
  for (const Refusal& r : kRefusals) {
    const size_t head = std::strlen(r.head), tail = std::strlen(r.tail);
    if (line.size() < head + tail || !startsWith(line, r.head) || !endsWith(line, r.tail)) continue;
    *name = line.substr(head, line.size() - head - tail);
    if (endsWith(*name, ".XML")) name->resize(name->size() - 4);
    *reason = r.reason;
    return true;
  }
  return false;
}

// Whether `line` may say a list failed or was left out (isTrouble, isSkip).
bool mayBeSkipOrError(std::string_view line) {
  const std::string_view text = unmarked(line);
  return startsWith(text, "SKIPPING") || startsWith(text, "ERROR") || startsWith(text, "WARNING: Upload");
}

// Whether reading `line` can change what the log says of a list (`inList`:
// a list's section is open): the lines the loop below acts on, and more.
bool mayMatter(std::string_view line, bool inList) {
  // Nearly every line is the merge engine's, and none of those below: the
  // first character past the markers (or the line's first or last) tells.
  const std::string_view text = unmarked(line);
  const char first = text.empty() ? '\0' : text[0];
  if (first != '[' && first != 'L' && first != 'E' && first != 'S' && first != 'W' &&
      (line.empty() || (line[0] != '!' && line.back() != '.')))
    return false;
  // A character each first, as nearly every line is none of these.
  if (line.size() > 2 && (line[2] == '[' || line[2] == 'L') && (startsWith(line, "# [") || startsWith(line, "# Log open for")))
    return true;
  if (!line.empty() && line.back() == '.' && endsWith(line, kOpenInDesktop)) return true;
  if (startsWith(line, "# ERROR: ")) return true;
  return inList && (startsWith(line, "!") || startsWith(line, "#   Strategy: Copy") || mayBeSkipOrError(line));
}

// Calls `each` with every line of the file at `path`, without its "\n";
// the file is read in blocks, never whole.
template <typename Each>
void forEachLine(const std::string& path, const Each& each) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return;
  std::vector<char> block(256 * 1024);
  size_t held = 0;  // a line begun in the last block
  while (true) {
    if (held == block.size()) block.resize(block.size() * 2);
    const ssize_t got = ::read(fd, block.data() + held, block.size() - held);
    if (got < 0 && errno == EINTR) continue;
    const size_t filled = held + static_cast<size_t>(got > 0 ? got : 0);
    size_t start = 0;
    for (const char* end; (end = static_cast<const char*>(std::memchr(block.data() + start, '\n', filled - start)));) {
      const auto length = static_cast<size_t>(end - block.data()) - start;
      each(std::string_view(block.data() + start, length));
      start += length + 1;
    }
    if (got <= 0) {
      if (start < filled) each(std::string_view(block.data() + start, filled - start));
      break;
    }
    held = filled - start;
    std::memmove(block.data(), block.data() + start, held);
  }
  ::close(fd);
}

}  // namespace

RunLogNotes readRunLog(const std::string& path) {
  RunLogNotes notes;
  if (path.empty()) return notes;
  std::string current;
  forEachLine(path, [&](std::string_view view) {
    if (!view.empty() && view.back() == '\r') view.remove_suffix(1);
    if (!mayMatter(view, !current.empty())) return;
    const std::string line(view);
    std::string name;
    ListOutcome::Action action;
    if (sectionStart(line, &name, &action)) {
      current = name;
      notes[current].action = action;
      notes[current].slow = line.find(": Synchronize (Config: Slow ") != std::string::npos;
      return;
    }
    if (endsWith(line, kOpenInDesktop) && startsWith(line, "# ")) {
      name = line.substr(2, line.size() - 2 - std::string(kOpenInDesktop).size());
      notes[name] = LogNote{ListOutcome::kSkipped, skipReason(line)};
      current.clear();
      return;
    }
    if (std::string reason; refusal(line, &name, &reason)) {
      notes[name] = LogNote{ListOutcome::kSkipped, reason};
      return;
    }
    if (startsWith(line, "# Log open for")) current.clear();
    if (current.empty()) return;
    LogNote& note = notes[current];
    if (note.action == ListOutcome::kSkipped || note.action == ListOutcome::kFailed) return;
    // A list on both sides under a whole-list strategy is copied, not merged.
    if (line == "#   Strategy: Copy HH file over DT") note.action = ListOutcome::kCopiedToDesktop;
    if (line == "#   Strategy: Copy DT file over HH") note.action = ListOutcome::kCopiedToHandheld;
    if (isSkip(line)) {
      note = LogNote{ListOutcome::kSkipped, skipReason(line)};
    } else if (isTrouble(line)) {
      note = LogNote{ListOutcome::kFailed, failReason(line)};
    }
  });
  return notes;
}

namespace {

// Which way a list went when the log does not say: from what changed.
ListOutcome::Action actionFromChanges(const ListView& before, const ListView& after, const ListOutcome& o) {
  if (!before.handheld.present && after.handheld.present) return ListOutcome::kCopiedToHandheld;
  if (!before.desktop.present && after.desktop.present) return ListOutcome::kCopiedToDesktop;
  if (o.handheld.any() || o.desktop.any()) return ListOutcome::kMerged;
  return ListOutcome::kUnchanged;
}

std::string counts(const SideChanges& c) {
  std::string out;
  auto add = [&](size_t n, const char* what) {
    if (n == 0) return;
    out += (out.empty() ? "" : ", ") + std::to_string(n) + " " + what;
  };
  add(c.added, "added");
  add(c.changed, "changed");
  add(c.moved, "moved");
  add(c.deleted, "deleted");
  return out;
}

void writeCounts(JsonWriter& json, const char* side, const SideChanges& c) {
  json.key(side).beginObject();
  json.key("added").number(static_cast<int64_t>(c.added)).key("changed").number(static_cast<int64_t>(c.changed));
  json.key("moved").number(static_cast<int64_t>(c.moved)).key("deleted").number(static_cast<int64_t>(c.deleted));
  json.endObject();
}

const char* changeName(ImageFileChange::Change change) {
  switch (change) {
    case ImageFileChange::kAdded: return "added";
    case ImageFileChange::kRemoved: return "removed";
    default: return "changed";
  }
}

// "  Tolvk-Garden: handheld: added: Garden › Flowers › Dahlias", one line an item.
std::string itemText(const RunSummary& summary, const ListOutcome& o) {
  std::string out;
  const std::string list = terminalLine(shown(o.name), 64);
  for (const ItemLine& item : itemLines(summary, o)) {
    std::string path;
    for (const std::string& title : item.path) path += (path.empty() ? "" : " \u203A ") + terminalLine(title, 80);
    out += "  " + list + ": " + sideName(item.side) + ": " + itemChangeName(item.change) + ": " + path;
    if (item.formerTitle) out += " (was: " + terminalLine(*item.formerTitle, 80) + ")";
    if (item.collision != ItemLine::kNoCollision) out += std::string(" (collision: ") + collisionWords(item.collision) + ")";
    out += "\n";
  }
  return out;
}

void writeItemsJson(const RunSummary& summary, const ListOutcome& o, JsonWriter& json) {
  json.key("items").beginArray();
  for (const ItemLine& item : itemLines(summary, o)) {
    json.beginObject().key("side").string(sideName(item.side)).key("change").string(itemChangeName(item.change));
    json.key("path").beginArray();
    for (const std::string& title : item.path) json.string(title);
    json.endArray().key("collision");
    if (item.collision == ItemLine::kNoCollision) {
      json.null();
    } else {
      json.string(collisionWords(item.collision));
    }
    json.key("formerTitle");
    if (item.formerTitle) {
      json.string(*item.formerTitle);
    } else {
      json.null();
    }
    json.endObject();
  }
  json.endArray();
}

}  // namespace

const char* actionName(ListOutcome::Action action) {
  switch (action) {
    case ListOutcome::kMerged: return "merged";
    case ListOutcome::kCopiedToHandheld: return "copied to the handheld";
    case ListOutcome::kCopiedToDesktop: return "copied to the desktop";
    case ListOutcome::kSkipped: return "skipped";
    case ListOutcome::kFailed: return "failed";
    case ListOutcome::kNotReached: return "not synchronized";
    default: return "unchanged";
  }
}

std::string firstTrouble(const std::string& logText) {
  std::istringstream lines(logText);
  bool exporting = false;  // the tag and filter exports, which never fail a run
  for (std::string line; std::getline(lines, line);) {
    if (startsWith(line, "# Downloading Tolvan ")) exporting = true;
    if (line.empty()) exporting = false;
    if (!exporting && isTrouble(line)) return failReason(line);
  }
  return std::string();
}

RunSummary summarizeRun(FolderSnapshot before, FolderSnapshot after, const std::string& logPath, bool stopped) {
  return summarizeRun(std::move(before), std::move(after), readRunLog(logPath), logPath, stopped);
}

RunSummary summarizeRun(FolderSnapshot before, FolderSnapshot after, const RunLogNotes& notes,
                        const std::string& logPath, bool stopped) {
  RunSummary summary;
  std::map<std::string, bool> names;
  for (const auto& [name, view] : before.lists) names[name] = true;
  for (const auto& [name, view] : after.lists) names[name] = true;
  const ListView none;
  const auto sides = [&](const std::string& name) {
    auto b = before.lists.find(name);
    auto a = after.lists.find(name);
    return std::pair<const ListView&, const ListView&>(b == before.lists.end() ? none : b->second,
                                                       a == after.lists.end() ? none : a->second);
  };
  // The two sides are compared at once, the handheld's on a thread of its own.
  std::vector<SideChanges> handhelds;
  const auto compareHandhelds = [&] {
    for (const auto& [name, unused] : names) {
      auto [was, is] = sides(name);
      handhelds.push_back(compareSides(was.handheld.items, is.handheld.items));
    }
  };
  Beside comparing(compareHandhelds);
  for (const auto& [name, unused] : names) {
    auto [was, is] = sides(name);
    ListOutcome outcome;
    outcome.name = name;
    // A file that could not be read (damaged, or rewritten while it was read)
    // gives no figures: its empty view would count every item as added or deleted.
    if (was.desktop.problem.empty() && is.desktop.problem.empty())
      outcome.desktop = compareSides(was.desktop.items, is.desktop.items);
    summary.lists.push_back(std::move(outcome));
  }
  comparing.wait();
  for (size_t i = 0; i < summary.lists.size(); ++i) {
    ListOutcome& outcome = summary.lists[i];
    auto [was, is] = sides(outcome.name);
    outcome.handheld = std::move(handhelds[i]);
    auto note = notes.find(outcome.name);
    if (note != notes.end()) {
      outcome.action = note->second.action;
      outcome.reason = note->second.reason;
      outcome.slowMerge = note->second.slow;
    } else if (stopped) {
      outcome.action = ListOutcome::kNotReached;
      outcome.reason = "the HotSync stopped before this list";
    } else {
      outcome.action = actionFromChanges(was, is, outcome);
    }
    // A failed list whose database is gone waits under a temporary name for
    // the next run (a rename that failed): its items were not deleted.
    if (outcome.action == ListOutcome::kFailed && was.handheld.present && !is.handheld.present)
      outcome.handheld = SideChanges();
  }
  for (const auto& [file, hash] : after.imageFiles) {
    auto was = before.imageFiles.find(file);
    if (was == before.imageFiles.end()) {
      summary.imageFiles.push_back({file, ImageFileChange::kAdded});
    } else if (was->second != hash) {
      summary.imageFiles.push_back({file, ImageFileChange::kChanged});
    }
  }
  for (const auto& [file, hash] : before.imageFiles) {
    if (!after.imageFiles.count(file)) summary.imageFiles.push_back({file, ImageFileChange::kRemoved});
  }
  summary.logPath = logPath;
  summary.before = std::move(before);
  summary.after = std::move(after);
  return summary;
}

std::string summaryText(const RunSummary& summary, const SummaryStyle& style) {
  std::string out;
  for (const ListOutcome& o : summary.lists) {
    std::string line = terminalLine(shown(o.name), 64) + ": " + actionName(o.action);
    if (!o.reason.empty()) line += ": " + o.reason;
    const std::string onHandheld = counts(o.handheld), onDesktop = counts(o.desktop);
    if (!onHandheld.empty()) line += "; handheld " + onHandheld;
    if (!onDesktop.empty()) line += "; desktop " + onDesktop;
    if (onHandheld.empty() && onDesktop.empty() && o.action != ListOutcome::kSkipped &&
        o.action != ListOutcome::kFailed && o.action != ListOutcome::kNotReached && o.action != ListOutcome::kUnchanged)
      line += ", no item changed";
    out += line + "\n";
    if (style.items) out += itemText(summary, o);
  }
  std::string files;
  for (const ImageFileChange& f : summary.imageFiles) {
    files += (files.empty() ? "" : ", ") + terminalLine(f.file, 255);
    if (f.change != ImageFileChange::kChanged) files += std::string(" (") + changeName(f.change) + ")";
  }
  out += (style.preview ? "Handheld image files that would change: " : "Handheld image files changed: ") +
         (files.empty() ? std::string("none") : files) + "\n";
  if (!summary.logPath.empty()) out += (style.preview ? "Log of the dry run: " : "Log: ") + summary.logPath + "\n";
  return out;
}

void writeSummaryJson(const RunSummary& summary, JsonWriter& json, const SummaryStyle& style) {
  json.key("lists").beginArray();
  for (const ListOutcome& o : summary.lists) {
    json.beginObject().key("name").string(shown(o.name)).key("action").string(actionName(o.action));
    json.key("reason");
    if (o.reason.empty()) {
      json.null();
    } else {
      json.string(o.reason);
    }
    writeCounts(json, "handheld", o.handheld);
    writeCounts(json, "desktop", o.desktop);
    if (style.items) writeItemsJson(summary, o, json);
    json.endObject();
  }
  json.endArray();
  json.key("imageFiles").beginArray();
  for (const ImageFileChange& f : summary.imageFiles) {
    json.beginObject().key("file").string(f.file).key("change").string(changeName(f.change)).endObject();
  }
  json.endArray();
  json.key("log");
  if (summary.logPath.empty()) {
    json.null();
  } else {
    json.string(summary.logPath);
  }
}

}  // namespace tolvex::host
