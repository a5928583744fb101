#include "conduit/DatabaseTable.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "desktop/TextEncoding.h"
#include "platform/syncmgr/SyncMgr.h"

namespace tolvex {

namespace {

constexpr uint32_t kListCreator = SYNC_FOURCC('W', 'k', 'd', 'q');
constexpr uint32_t kListType = SYNC_FOURCC('W', 'k', 'd', 'q');
// Names count handheld bytes, one a character. The handheld allows 31; a
// desktop file names a new list with at most 26, or pairs with a handheld list.
constexpr size_t kMaxDesktopName = 26;
constexpr size_t kMaxHandheldName = SYNC_DB_NAMELEN - 1;
const char* const kDesktopPattern = "Tolvk-*.XML";

void logTableFull(RunLog& log) {
  log.line("# ERROR: More than %zu lists; only the first %zu are synchronized.\n",
           DatabaseTable::kMaxRows, DatabaseTable::kMaxRows);
}

void logUnsafeName(RunLog& log, const std::string& name) {
  log.line("# ERROR: List name '%s' is not a usable file name. Skipped.\n", name.c_str());
}

// Names of the regular files in `dir` matching the list pattern, sorted. A
// link to nothing is named in the log: it looks like a list to the user, who
// should see why it was left out.
bool listDesktopFiles(RunLog& log, const std::string& dir, std::vector<std::string>& names) {
  DIR* stream = opendir(dir.c_str());
  if (stream == nullptr) return false;
  while (const dirent* entry = readdir(stream)) {
    if (fnmatch(kDesktopPattern, entry->d_name, 0) != 0) continue;
    struct stat info;
    const std::string path = dir + "/" + entry->d_name;
    const bool found = stat(path.c_str(), &info) == 0;
    if (found && S_ISREG(info.st_mode)) {
      names.emplace_back(entry->d_name);
    } else if (!found && lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
      log.line("# ERROR: File '%s' is a link to nothing. Skipped.\n", entry->d_name);
    }
  }
  closedir(stream);
  std::sort(names.begin(), names.end());
  return true;
}

// Whether a desktop file's list name can stand on the handheld: it must come
// back the same from the handheld's one byte a character, and a name longer
// than a new list may have must already be a handheld list's (`row`).
bool fitsHandheld(RunLog& log, const std::string& file, const std::string& name, const DatabaseEntry* row) {
  const std::optional<std::string> onHandheld = handheldListName(name);
  if (!onHandheld) {
    log.line("# ERROR: Filename '%s' holds characters a handheld list name cannot. Skipped.\n", file.c_str());
    return false;
  }
  const bool paired = row && (row->presence & kOnHandheld);
  if (onHandheld->size() > (paired ? kMaxHandheldName : kMaxDesktopName)) {
    log.line("# ERROR: Filename '%s' is too long!\n", file.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool DatabaseTable::add(const DatabaseEntry& row) {
  if (full()) return false;
  rows_.push_back(row);
  return true;
}

DatabaseEntry* DatabaseTable::find(const std::string& name) {
  for (DatabaseEntry& row : rows_) {
    if (row.name == name) return &row;
  }
  return nullptr;
}

bool isSafeListName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool enumerateHandheldLists(RunLog& log, DatabaseTable& table) {
  SyncCardInfo card;
  std::memset(&card, 0, sizeof card);
  card.cardNo = 0;
  if (SyncReadSingleCardInfo(&card) != SYNCERR_NONE) {
    log.line("#   Couldn't get card info!\n");
    return false;
  }
  const int capacity = card.ramDbCount;
  std::vector<SyncDbRecord> records(capacity);
  int count = capacity;
  // A card without databases has no list to read ("not found" is its answer);
  // any failure beyond that would make every list look desktop-only.
  if (capacity > 0) {
    const long err = SyncReadDBList(0, 0, 1, records.data(), &count);
    if (err != SYNCERR_NONE) {
      log.line("#   Couldn't read the list of databases on the handheld (%ld %lx)!\n", err,
               static_cast<unsigned long>(err));
      return false;
    }
  }
  count = std::clamp(count, 0, capacity);
  for (int i = 0; i < count; ++i) {
    const SyncDbRecord& record = records[i];
    if (record.creator != kListCreator || record.dbType != kListType) continue;
    // The name crosses to the desktop like a title: byte X is U+00XX.
    const std::string name = latin1BytesToUtf8(std::string_view(record.name, strnlen(record.name, sizeof record.name)));
    if (name.find('*') != std::string::npos) continue;  // a rebuild left over
    if (!isSafeListName(name)) {
      logUnsafeName(log, name);
      continue;
    }
    if (!table.add(DatabaseEntry{kOnHandheld, name, 0, record.createDate})) {
      logTableFull(log);
      break;
    }
    log.line("# Found %d:'%s' (%u)\n", 0, name.c_str(), record.createDate);
  }
  return true;
}

void enumerateDesktopLists(RunLog& log, const std::string& folder, DatabaseTable& table) {
  const bool endsInSeparator = !folder.empty() && (folder.back() == '/' || folder.back() == '\\');
  const std::string pattern = endsInSeparator ? folder + kDesktopPattern
                                              : folder + "/" + kDesktopPattern;
  const std::string dir = folder.empty() ? std::string(".") : folder;
  std::vector<std::string> files;
  if (!listDesktopFiles(log, dir, files) || files.empty()) {
    log.line("# Error or no files found when opening directory listing for %s!\n",
             pattern.c_str());
    return;
  }
  bool reportedFull = false;
  for (const std::string& file : files) {
    const std::string name = file.substr(0, file.size() - 4);
    DatabaseEntry* row = table.find(name);
    if (!fitsHandheld(log, file, name, row)) continue;
    if (!isSafeListName(name)) {
      logUnsafeName(log, name);
      continue;
    }
    if (name.find('*') != std::string::npos) {  // like "Tolvk-*Sync*": never a handheld list
      log.line("# ERROR: List name '%s' holds a \"*\", kept for the conduit's temporary database. Skipped.\n",
               name.c_str());
      continue;
    }
    if (row) {
      row->presence += kOnDesktop;
      continue;
    }
    // A full table still pairs later files with handheld rows, so that no
    // desktop file is taken for missing and overwritten.
    if (!table.add(DatabaseEntry{kOnDesktop, name, 0xFF, 0})) {
      if (!reportedFull) logTableFull(log);
      reportedFull = true;
      continue;
    }
    log.line("# Found %s (not on handheld)\n", name.c_str());
  }
}

}  // namespace tolvex
