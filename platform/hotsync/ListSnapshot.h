// What the outline lists of a handheld image and a desktop folder hold at one
// moment, read straight from their files (the image's .pdb files and the
// desktop's "Tolvk-*.XML" files), for telling what a run changed.
//
// Each side of a list is kept as a compact view: one entry per item in
// pre-order with its parent and hashes of its title and content, not the
// whole outline, so a snapshot of large lists stays small; the titles
// themselves are kept only when asked for (to name changed items). Texts are
// the outline's own (UTF-8), the same on both sides, so an item can be
// compared across sides as well as across time.
//
// Ownership: plain values. Threading: one thread at a time.
#ifndef TOLVEX_PLATFORM_HOTSYNC_LISTSNAPSHOT_H
#define TOLVEX_PLATFORM_HOTSYNC_LISTSNAPSHOT_H
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tolvex {
class ItemList;
}

namespace tolvex::host {

constexpr uint32_t kNoParent = UINT32_MAX;

// The hash an item view keeps of its title.
uint64_t titleHashOf(std::string_view title);

struct ItemView {
  uint64_t titleHash = 0;     // titleHashOf(the title as shown)
  uint64_t content = 0;       // hash of every field the user edits
  uint32_t parent = kNoParent;  // index of the parent item, kNoParent on the top row
  uint32_t createTime = 0;    // the handheld's creation time stamp, 0 for none
  uint32_t id = 0;            // the handheld's unique ID, which both sides share until a rebuild
  bool deleted = false;       // marked deleted, waiting for the next HotSync
  bool edited = false;        // content edited since the last HotSync
};

struct SideView {
  bool present = false;       // the side has a file for the list
  std::string problem;        // non-empty: the file could not be read as a list
  uint64_t fileHash = 0;      // of the file's bytes
  uint64_t fileIdentity = 0;  // of the desktop file read: device, inode, size, modification time
  bool keepsTitles = true;    // false: title() is always empty
  std::vector<ItemView> items;

  // Appends `item`, whose title is `title` (kept when keepsTitles).
  void add(const ItemView& item, std::string_view title);
  std::string_view title(size_t index) const;
  // Drops the items (and their titles).
  void clearItems();

 private:
  std::string titleBytes_;          // the titles one after another
  std::vector<uint32_t> titleEnds_;  // where each item's title ends in titleBytes_
};

struct ListView {
  SideView handheld, desktop;
};

class FolderSnapshot {
 public:
  // Reads every list of both folders, the two at once (the image's on a
  // thread of its own). A side whose file has the same bytes as in `earlier`
  // (may be null) is taken from it without parsing again. `titles`: keep
  // the items' titles too.
  static FolderSnapshot take(const std::string& image, const std::string& desktop,
                             const FolderSnapshot* earlier = nullptr, bool titles = true);

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
  static std::unique_ptr<Opened> open(const std::string& image, const std::string& desktop, bool titles = true);
  static FolderSnapshot read(Opened& opened, const FolderSnapshot* earlier = nullptr);

  // The halves of `take`, for a caller that can read one folder before the
  // other is settled: each reads the lists of one folder only, and
  // `combine` puts the halves together as `take` answers them.
  static FolderSnapshot takeDesktop(const std::string& desktop, const FolderSnapshot* earlier, bool titles);
  static FolderSnapshot takeImage(const std::string& image, const FolderSnapshot* earlier, bool titles);
  static FolderSnapshot combine(FolderSnapshot desktopHalf, FolderSnapshot imageHalf);

  std::map<std::string, ListView> lists;           // by list name
  std::map<std::string, uint64_t> imageFiles;      // .pdb file name -> hash of its bytes
};

// The view of an outline, with titles (exposed for tests and for callers
// that hold a list).
SideView viewOf(const ItemList& list);

}  // namespace tolvex::host
#endif
