// The run's table of lists: handheld lists first, then lists found only on
// the desktop, at most 2048 rows. Owned by the run driver for one run.
#ifndef TOLVEX_CONDUIT_DATABASETABLE_H
#define TOLVEX_CONDUIT_DATABASETABLE_H
#include <cstddef>
#include <string>
#include <vector>

#include "common/DatabaseEntry.h"
#include "common/RunLog.h"

namespace tolvex {

class DatabaseTable {
 public:
  static constexpr size_t kMaxRows = 2048;

  bool full() const { return rows_.size() >= kMaxRows; }
  // False when the table is full.
  bool add(const DatabaseEntry& row);
  // First row with exactly this name, or null.
  DatabaseEntry* find(const std::string& name);
  const std::vector<DatabaseEntry>& rows() const { return rows_; }
  size_t size() const { return rows_.size(); }
  void clear() { rows_.clear(); }

 private:
  std::vector<DatabaseEntry> rows_;
};

// A name that can stand as a file name inside the desktop folder: no "/",
// not "." or "..", not empty.
bool isSafeListName(const std::string& name);

// Adds the handheld's list databases of card 0. False when the card
// information cannot be read.
bool enumerateHandheldLists(RunLog& log, DatabaseTable& table);
// Pairs the folder's "Tolvk-*.XML" files with the table, adding desktop-only rows.
void enumerateDesktopLists(RunLog& log, const std::string& folder, DatabaseTable& table);

}  // namespace tolvex
#endif
