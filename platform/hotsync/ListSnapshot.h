// What the outline lists of a handheld image and a desktop folder hold at one
// moment, read straight from their files (the image's .pdb files and the
// desktop's "Tolvk-*.XML" files), for telling what a run changed.
//
// Each side of a list is kept as a compact view: one entry per item in
// pre-order with its parent, title and a hash of its content, not the whole
// outline, so a snapshot of large lists stays small. Texts are the outline's
// own (UTF-8), the same on both sides, so an item can be compared across
// sides as well as across time.
//
// Ownership: plain values. Threading: one thread at a time.
#ifndef TOLVEX_PLATFORM_HOTSYNC_LISTSNAPSHOT_H
#define TOLVEX_PLATFORM_HOTSYNC_LISTSNAPSHOT_H
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tolvex {
class ItemList;
}

namespace tolvex::host {

constexpr size_t kNoParent = SIZE_MAX;

struct ItemView {
  size_t parent = kNoParent;  // index of the parent item, kNoParent on the top row
  std::string title;
  uint64_t content = 0;       // hash of every field the user edits
  uint32_t createTime = 0;    // the handheld's creation time stamp, 0 for none
  uint32_t id = 0;            // the handheld's unique ID, which both sides share until a rebuild
  bool deleted = false;       // marked deleted, waiting for the next HotSync
  bool edited = false;        // content edited since the last HotSync
};

struct SideView {
  bool present = false;       // the side has a file for the list
  std::string problem;        // non-empty: the file could not be read as a list
  uint64_t fileHash = 0;      // of the file's bytes
  std::vector<ItemView> items;
};

struct ListView {
  SideView handheld, desktop;
};

class FolderSnapshot {
 public:
  // Reads every list of both folders. A side whose file has the same bytes
  // as in `earlier` (may be null) is taken from it without parsing again.
  static FolderSnapshot take(const std::string& image, const std::string& desktop,
                             const FolderSnapshot* earlier = nullptr);

  // The same in two steps: `open` opens every list file of both folders,
  // `read` (on any one thread) reads what was opened. A file replaced by
  // another renamed over it, or removed, between the two is read as it was
  // when opened, so a run that writes files that way (as this system always
  // does) may go on meanwhile.
  class Opened {
   public:
    Opened();
    ~Opened();  // closes what was not read
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;
    struct Files;
    std::unique_ptr<Files> files;
  };
  static std::unique_ptr<Opened> open(const std::string& image, const std::string& desktop);
  static FolderSnapshot read(Opened& opened, const FolderSnapshot* earlier = nullptr);

  std::map<std::string, ListView> lists;           // by list name
  std::map<std::string, uint64_t> imageFiles;      // .pdb file name -> hash of its bytes
};

// The view of an outline (exposed for tests and for callers that hold a list).
std::vector<ItemView> viewOf(const ItemList& list);

}  // namespace tolvex::host
#endif
