// A note in the desktop folder of the handheld rebuilds whose list is not yet
// saved on both sides. A rebuild adds its list just before it deletes the
// handheld's old database and the copy or merge removes it once the desktop
// file is written, so a run cut short in between leaves the name of the list
// that the temporary database (or the freshly renamed one) holds. One
// "<creation date> <name>" line a list; the date is that of the new database,
// 0 when it could not be read. Written whole or not at all.
#ifndef TOLVEX_OUTLINE_PENDINGREBUILDS_H
#define TOLVEX_OUTLINE_PENDINGREBUILDS_H
#include <cstdint>
#include <string>
#include <vector>

namespace tolvex {

extern const char* const kPendingRebuildsFile;  // "TolvanPending.txt"

struct PendingRebuild {
  std::string name;
  uint32_t created = 0;
};

// The entries in the folder's note, oldest first; none when there is no note.
std::vector<PendingRebuild> readPendingRebuilds(const std::string& folder);
// Adds or replaces the entry of `name`; false when the note cannot be written.
bool notePendingRebuild(const std::string& folder, const std::string& name, uint32_t created);
// Drops the entry of `name`; the note goes when it is empty.
void clearPendingRebuild(const std::string& folder, const std::string& name);

}  // namespace tolvex
#endif
