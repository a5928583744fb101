// What a HotSync did, list by list: from the lists of the image and the
// desktop folder before and after the run (the figures) and the run's log
// (which way each list went, and why one was skipped or failed). Also which
// of the image's database files changed: the files a user installs back onto
// a handheld.
//
// Ownership: plain values; the summary keeps both snapshots, so that each
// changed item can be named (ItemLines.h). One thread.
#ifndef TOLVEX_PLATFORM_HOTSYNC_RUNSUMMARY_H
#define TOLVEX_PLATFORM_HOTSYNC_RUNSUMMARY_H
#include <map>
#include <string>
#include <vector>

#include "platform/hotsync/ItemMatch.h"
#include "platform/hotsync/ListSnapshot.h"

namespace tolvex::host {

class JsonWriter;

struct ListOutcome {
  enum Action { kUnchanged, kMerged, kCopiedToHandheld, kCopiedToDesktop, kSkipped, kFailed, kNotReached };
  std::string name;
  Action action = kUnchanged;
  std::string reason;  // skipped and failed: why, in words
  bool slowMerge = false;  // merged comparing every item, not trusting the edit marks
  SideChanges handheld, desktop;
};

struct ImageFileChange {
  enum Change { kAdded, kChanged, kRemoved };
  std::string file;
  Change change;
};

struct RunSummary {
  std::vector<ListOutcome> lists;  // by name
  std::vector<ImageFileChange> imageFiles;
  std::string logPath;  // the run's log; empty when the run left none
  FolderSnapshot before, after;
};

// What the run's log says of one list.
struct LogNote {
  ListOutcome::Action action = ListOutcome::kUnchanged;
  std::string reason;
  bool slow = false;  // merged comparing every item
};
using RunLogNotes = std::map<std::string, LogNote>;  // by list name

// What the conduit's log of this run at `logPath` says of each list (none
// for ""): read apart, so that it can be read beside the lists.
RunLogNotes readRunLog(const std::string& logPath);

// `logPath`: the conduit's log of this run ("" when it has none); `stopped`:
// the run ended early, so lists it did not reach are said to be so.
RunSummary summarizeRun(FolderSnapshot before, FolderSnapshot after, const std::string& logPath, bool stopped);
// The same with the log read already.
RunSummary summarizeRun(FolderSnapshot before, FolderSnapshot after, const RunLogNotes& notes,
                        const std::string& logPath, bool stopped);

struct SummaryStyle {
  bool items = false;    // every changed item too, one line (or object) each
  bool preview = false;  // a dry run: says what would change
};

// One line per list (each followed by its items' lines), then the changed
// image files and the log.
std::string summaryText(const RunSummary& summary, const SummaryStyle& style = {});
// The same as members of the open JSON object: "lists" (with their "items"),
// "imageFiles", "log".
void writeSummaryJson(const RunSummary& summary, JsonWriter& json, const SummaryStyle& style = {});

const char* actionName(ListOutcome::Action action);

// The first line of a run log that tells of trouble ("!" lines, errors),
// cleaned of its markers; empty when none. The tag and filter exports' lines
// are passed over: they never fail a run.
std::string firstTrouble(const std::string& logText);

}  // namespace tolvex::host
#endif
