// Whole list databases on the handheld, through the Sync Manager: qualify,
// read into an ItemList, create, rebuild under a temporary name and rename.
#ifndef TOLVEX_OUTLINE_HANDHELDLIST_H
#define TOLVEX_OUTLINE_HANDHELDLIST_H
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/DatabaseEntry.h"
#include "common/RunLog.h"
#include "outline/ItemList.h"

namespace tolvex {

extern const char* const kTempDatabaseName;  // "Tolvk-*Sync*"

// checkListHeader: record 0 present, >= 122 bytes, magic "Tlvk", flag 0x80.
bool checkListHeader(const RunEnv& env, uint8_t handle);
std::optional<uint8_t> openListDatabase(const RunEnv& env, const DatabaseEntry& entry);
// A list, or null when even the header could not be read. `complete` (may be
// null) tells whether every record was read and placed; a list that was not
// read whole must never be written back, or the records it missed are lost.
std::unique_ptr<ItemList> readHandheldList(const RunEnv& env, uint8_t handle,
                                           bool* complete = nullptr);
// True when every item was written; stops at the first failure.
bool writeItemRecords(const RunEnv& env, ItemList& list, uint8_t handle);
// True only when the database holds the header and every item and was saved.
bool createHandheldList(const RunEnv& env, ItemList& list, const std::string& name);
// Builds the list under the temporary name and only then replaces the entry's
// database. False when the temporary database could not be completed (the
// existing one is untouched). `renamed` (may be null) tells whether the new
// database now carries the entry's name.
bool rebuildHandheldList(const RunEnv& env, ItemList& list, const DatabaseEntry& entry,
                         bool* renamed = nullptr);
// When the desktop folder's note of pending rebuilds names a list the
// handheld lacks and the leftover temporary database is that list's, renames
// the temporary into its place (`restored`, may be null, gets the name).
// False only when the temporary may hold such a list and must stay.
bool restoreLeftoverTemporary(const RunEnv& env, std::string* restored);
bool renameHandheldDatabase(const RunEnv& env, const std::string& oldName, const std::string& newName);

}  // namespace tolvex
#endif
