// Whole list databases on the handheld, through the Sync Manager: qualify,
// read into an ItemList, create, rebuild under a temporary name and rename.
#ifndef TOLVEX_OUTLINE_HANDHELDLIST_H
#define TOLVEX_OUTLINE_HANDHELDLIST_H
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/DatabaseEntry.h"
#include "common/RunLog.h"
#include "outline/ItemList.h"
#include "outline/PendingRebuilds.h"
#include "outline/RebuildRecord.h"

namespace tolvex {

extern const char* const kTempDatabaseName;  // "Tolvk-*Sync*"

// checkListHeader: record 0 present, >= 122 bytes, magic "Tlvk", flag 0x80.
// `declined` (may be null) tells a list passed over as the rules say (its
// sync-request flag is clear, or its record 0 is too short to be a header)
// from one whose header could not be read or lacks the magic (logged).
bool checkListHeader(const RunEnv& env, uint8_t handle, bool* declined = nullptr);
// An open handle, or none (logged); `declined` (may be null) is set when the
// list is skipped only because its sync-request flag is clear.
std::optional<uint8_t> openListDatabase(const RunEnv& env, const DatabaseEntry& entry,
                                        bool* declined = nullptr);
// A list, or null when even the header could not be read. `complete` (may be
// null) tells whether every record was read and placed; a list that was not
// read whole must never be written back, or the records it missed are lost.
std::unique_ptr<ItemList> readHandheldList(const RunEnv& env, uint8_t handle,
                                           bool* complete = nullptr);
// True when every item was written; stops at the first failure.
bool writeItemRecords(const RunEnv& env, ItemList& list, uint8_t handle);
// True only when the database holds the header and every item and was saved.
// `onCreated`, when given, hears the creation date (none when it could not be
// read) as soon as the database exists; when it answers false the creation
// is abandoned, and the empty database stays for the caller to delete.
// `recordsWritten`, when given, runs once every item's record is written
// (the items carry their new IDs) and before the database is saved.
using CreatedHook = std::function<bool(std::optional<uint32_t> created)>;
bool createHandheldList(const RunEnv& env, ItemList& list, const std::string& name,
                        const CreatedHook& onCreated = nullptr, const std::function<void()>& recordsWritten = nullptr);
// Builds the list under the temporary name and only then replaces the entry's
// database. False when the temporary database could not be completed (the
// existing one is untouched). `renamed` (may be null) tells whether the new
// database now carries the entry's name. `before` is the desktop file as the
// caller read it (stamp and snapshot; null when the caller has none): it goes
// into the note of the rebuild so that a run cut short can still merge the
// desktop edits made after it.
struct DesktopBefore {
  FileStamp stamp;
  DesktopSnapshot snapshot;
};
// `recordsWritten` as for createHandheldList; from then on the rebuild only
// reads the list.
bool rebuildHandheldList(const RunEnv& env, ItemList& list, const DatabaseEntry& entry,
                         bool* renamed = nullptr, const DesktopBefore* before = nullptr,
                         const std::function<void()>& recordsWritten = nullptr);
// Once the desktop file of a rebuilt list is saved, the rebuild's note is
// done with; a temporary database the rename could not place (`renamed`
// false) stays noted as this conduit's own. Answers `renamed`: whether the
// handheld holds the list under its name, so that the list is in step.
bool settleRebuildNote(const RunEnv& env, const std::string& name, const ItemList& list, bool renamed);
// When the desktop folder's note of pending rebuilds names a list the
// handheld lacks and the leftover temporary database is that list's, renames
// the temporary into its place (`restored`, may be null, gets the name).
// False only when the temporary may hold such a list and must stay.
bool restoreLeftoverTemporary(const RunEnv& env, std::string* restored);
bool renameHandheldDatabase(const RunEnv& env, const std::string& oldName, const std::string& newName);

}  // namespace tolvex
#endif
