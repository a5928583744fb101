// Private copies of whole folders, for a HotSync that must behave on the copy
// exactly as it would on the original: every entry keeps its kind, its mode
// and its times, so what a run refuses in the original it refuses in the copy.
//   - A regular file is copied byte for byte; names of one file (hard links)
//     stay names of one file. A file that cannot be read for lack of
//     permission is made empty with the same mode: unreadable either way.
//   - A symbolic link is copied as a link with the same target, never
//     followed. A relative target that climbs out of the copied folder would
//     name nothing (or something else) from the copy, so it is written as the
//     absolute path it names from the original.
//   - A FIFO, a socket or a device is never opened: the copy is a FIFO of the
//     same mode, which a run treats as it treats any file that is not regular.
//   - A folder that cannot be listed for lack of permission is copied empty.
//
// Ownership: a FolderCopier owns only its table of hard links. One thread.
#ifndef TOLVEX_PLATFORM_HOTSYNC_FOLDERCOPY_H
#define TOLVEX_PLATFORM_HOTSYNC_FOLDERCOPY_H
#include <sys/stat.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <utility>

namespace tolvex::host {

class FolderCopier {
 public:
  // Copies the folder `from` (an absolute path without links in it) to `to`,
  // which must not exist yet. False with *error naming the entry that could
  // not be copied; what was copied so far stays for the caller to remove.
  bool copy(const std::string& from, const std::string& to, std::string* error);

 private:
  // `depth`: how many folders below the copied one `from` is (or, for an
  // entry, the folder that holds it).
  bool copyFolder(const std::string& from, const std::string& to, const struct stat& st, int depth,
                  std::string* error);
  bool copyEntry(const std::string& from, const std::string& to, int depth, std::string* error);
  bool copyFile(const std::string& from, const std::string& to, const struct stat& st, std::string* error);
  bool copyLink(const std::string& from, const std::string& to, const struct stat& st, int depth,
                std::string* error);

  std::map<std::pair<dev_t, ino_t>, std::string> copied_;  // files of several names -> their first copy
};

// Removes `path` and everything below it except the file `keep` (none when
// empty) and the folders that lead to it; folders are opened up as needed.
// False when something other than `keep` is left.
bool removeTreeExcept(const std::string& path, const std::string& keep);

}  // namespace tolvex::host
#endif
