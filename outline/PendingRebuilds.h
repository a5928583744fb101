// A note in the desktop folder of the handheld rebuilds whose list is not yet
// saved on both sides. A rebuild adds its list just before it deletes the
// handheld's old database and the copy or merge removes it once the desktop
// file is written, so a run cut short in between leaves the name of the list
// that the temporary database (or the freshly renamed one) holds.
//
// One line an entry: "+ <created> <desktop file> <name>", where <created> is
// the creation date of the new database, <desktop file> what the list's
// desktop file was when the run read it ("-" for none, "?" when not known,
// else "<size>:<seconds>:<nanoseconds>" of its modification time), and the
// name has its control bytes and "%" as "%XX". Notes from before the desktop
// file was recorded read "<created> <name>". Beside each
// entry with a desktop file, "TolvanPending-<name>.txt" keeps the rebuild
// record (RebuildRecord.h). The temporary database itself is noted under its
// own name as soon as it is made, so a later run knows it for its own.
// Every file is written whole or not at all; single-threaded.
#ifndef TOLVEX_OUTLINE_PENDINGREBUILDS_H
#define TOLVEX_OUTLINE_PENDINGREBUILDS_H
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "outline/RebuildRecord.h"

namespace tolvex {

extern const char* const kPendingRebuildsFile;  // "TolvanPending.txt"

// What a desktop file was: present or not, its size and modification time.
struct FileStamp {
  bool present = false;
  uint64_t size = 0;
  int64_t seconds = 0;
  int64_t nanoseconds = 0;
  bool operator==(const FileStamp&) const = default;
};
FileStamp stampOf(const std::string& path);

struct PendingRebuild {
  std::string name;
  uint32_t created = 0;
  std::optional<FileStamp> desktop;  // none in notes written before it was kept
};

// The entries in the folder's note, oldest first; none when there is no note.
std::vector<PendingRebuild> readPendingRebuilds(const std::string& folder);
// Adds or replaces the entry of `entry.name`; an older entry for the same
// database (the same creation date) goes. With a record, the record is
// written first. False when either cannot be written.
bool notePendingRebuild(const std::string& folder, const PendingRebuild& entry,
                        const RebuildRecord* record = nullptr);
// Drops the entry of `name` and its record; the note goes when it is empty.
void clearPendingRebuild(const std::string& folder, const std::string& name);
// The record kept beside the entry of `name`; none when missing or damaged.
std::optional<RebuildRecord> readRebuildRecord(const std::string& folder, const std::string& name);

}  // namespace tolvex
#endif
