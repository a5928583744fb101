#include "platform/hotsync/ListSnapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>

#include "desktop/TextEncoding.h"
#include "desktop/XmlFile.h"
#include "outline/ItemList.h"
#include "outline/ItemRecord.h"
#include "platform/hotsync/Beside.h"
#include "platform/hotsync/ListTree.h"
#include "platform/syncmgr/PdbFile.h"

namespace tolvex::host {
namespace {

constexpr uint32_t kListCode = 0x576B6471;  // "Wkdq": creator and type of a list database
constexpr size_t kMaxFileBytes = size_t{1} << 30;
const char kListPrefix[] = "Tolvk-";
const char kListSuffix[] = ".XML";

// A 64-bit hash fed eight bytes at a time: of a file's bytes block by block
// (so that a large file is never held whole just to be told from another),
// or of an item's fields one by one.
class Hash {
 public:
  Hash& add(const char* data, size_t size) {
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
      uint64_t word;
      std::memcpy(&word, data + i, 8);
      mixIn(word);
    }
    for (; i < size; ++i) mixIn(static_cast<uint8_t>(data[i]) | 0x100u);
    length_ += size;
    return *this;
  }
  Hash& number(uint64_t v) {
    mixIn(v);
    return *this;
  }
  // Absent and empty differ.
  Hash& text(bool present, std::string_view t) { return number(present ? t.size() + 1 : 0).add(t.data(), t.size()); }
  uint64_t value() const {
    uint64_t h = hash_ ^ length_;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    return h ^ (h >> 33);
  }

 private:
  void mixIn(uint64_t word) {
    hash_ = (hash_ ^ word) * 0x9E3779B97F4A7C15ull;
    hash_ = (hash_ << 27) | (hash_ >> 37);
  }
  uint64_t hash_ = 0xCBF29CE484222325ull;
  uint64_t length_ = 0;
};

// The hash of a file's bytes fed in pieces of any sizes: the same for the
// same bytes however they were cut. Four lanes take 32 bytes at a time, so
// that hashing keeps up with reading a large list file.
class FileHash {
 public:
  void add(const char* data, size_t size) {
    length_ += size;
    if (carried_ > 0) {
      const size_t taken = std::min(size, kBlock - carried_);
      std::memcpy(carry_ + carried_, data, taken);
      carried_ += taken;
      data += taken;
      size -= taken;
      if (carried_ < kBlock) return;
      block(carry_);
      carried_ = 0;
    }
    for (; size >= kBlock; data += kBlock, size -= kBlock) block(data);
    std::memcpy(carry_, data, size);
    carried_ = size;
  }
  uint64_t value() const {
    Hash last;
    for (uint64_t lane : lanes_) last.number(lane);
    return last.add(carry_, carried_).number(length_).value();
  }

 private:
  static constexpr size_t kBlock = 32;
  void block(const char* data) {
    for (size_t i = 0; i < 4; ++i) {
      uint64_t word;
      std::memcpy(&word, data + 8 * i, 8);
      const uint64_t h = (lanes_[i] ^ word) * 0x9E3779B97F4A7C15ull;
      lanes_[i] = (h << 27) | (h >> 37);
    }
  }
  uint64_t lanes_[4] = {0xCBF29CE484222325ull, 0x84222325CBF29CE4ull, 0x9E3779B97F4A7C15ull, 0x7F4A7C159E3779B9ull};
  char carry_[kBlock] = {};
  size_t carried_ = 0;
  uint64_t length_ = 0;
};

// Every field the user edits; not the identity, the sync flags or whether
// branches are shown open (a view setting).
uint64_t contentOf(const ListNode& item) {
  Hash h;
  h.text(item.hasTitle(), item.title()).text(item.hasNote(), item.note());
  h.number(item.progress()).number(item.checked()).number(item.priority()).number(item.autoNumber());
  h.number(item.alarmID()).number(item.hhCreateTime()).number(item.hhStartTime());
  h.number(item.hhFinishTime()).number(item.hhTargetTime()).number(item.dispColour()).number(item.dispBold());
  h.number(static_cast<uint8_t>(item.dispOverride().kind)).number(item.dispOverride().value);
  h.number(item.linkEAB().size());
  for (const EabLink& link : item.linkEAB()) h.number(link.eabType).number(link.eabID);
  const std::optional<std::string>& file = item.linkFile();
  h.text(file.has_value(), file ? *file : std::string_view()).number(item.linkToDo()).number(item.linkDatebook());
  return h.value();
}

bool isAscii(const std::string& text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// Adds the view of `item` to `side`; a handheld item's title as the handheld
// shows it (the same text when it is ASCII).
void addView(SideView& side, const ListNode& item, uint32_t parent, bool handheld) {
  ItemView view;
  view.parent = parent;
  view.content = contentOf(item);
  view.createTime = item.hhCreateTime();
  view.id = item.uniqueID();
  view.deleted = item.deleted();
  view.edited = item.dirtyContent();
  if (handheld && !isAscii(item.title())) {
    const std::string shown = handheldShown(item.title());
    view.titleHash = titleHashOf(shown);
    side.add(view, shown);
  } else {
    view.titleHash = titleHashOf(item.title());
    side.add(view, item.title());
  }
}

uint64_t identityOf(const struct stat& st) {
  return Hash()
      .number(st.st_dev)
      .number(st.st_ino)
      .number(static_cast<uint64_t>(st.st_size))
      .number(static_cast<uint64_t>(st.st_mtim.tv_sec))
      .number(static_cast<uint64_t>(st.st_mtim.tv_nsec))
      .value();
}

// Opens a regular file of a list's size without blocking on anything else.
int openListFile(const std::string& path, uint64_t* size, uint64_t* identity, std::string* problem) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > kMaxFileBytes) {
    if (fd >= 0) ::close(fd);
    *problem = "is not a readable regular file of a list's size";
    return -1;
  }
  *size = static_cast<uint64_t>(st.st_size);
  *identity = identityOf(st);
  return fd;
}

// Whether the open file `fd` is still the one whose identity was taken: a
// file rewritten in place while it was read holds neither version whole.
bool unchangedSince(int fd, uint64_t identity) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && identityOf(st) == identity;
}

std::vector<std::string> folderNames(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (!name.empty() && name[0] != '.') names.push_back(name);
    }
    ::closedir(dir);
  }
  return names;
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The view of a list database's item records: pre-order, each record's tree
// flags telling whether a first child and a next sibling follow; records
// after the tree are deleted items of the top row.
SideView handheldSide(uint64_t hash, const std::vector<PdbRecordView>& records, bool titles) {
  SideView side;
  side.present = true;
  side.fileHash = hash;
  side.keepsTitles = titles;
  side.items.reserve(records.empty() ? 0 : records.size() - 1);
  ItemList scratch;
  // For each open level, the parent of its items and whether a next sibling is still to come there.
  std::vector<std::pair<uint32_t, bool>> levels;
  bool treeDone = false;
  for (size_t i = 1; i < records.size(); ++i) {
    const PdbRecordView& record = records[i];
    uint16_t flags = 0;
    const bool deleted = (record.attributes & 0x80) != 0;
    auto node = unpackItemRecord(&scratch, record.uniqueId, record.data, record.size, deleted, &flags);
    if (!node) {
      side.problem = "item record " + std::to_string(i) + " cannot be read";
      side.clearItems();
      return side;
    }
    if (i == 1) levels.push_back({kNoParent, true});
    addView(side, *node, treeDone ? kNoParent : levels.back().first, true);
    if (treeDone) continue;
    levels.back().second = (flags & kHasNextSibling) != 0;
    if (flags & kHasFirstChild) {
      levels.push_back({static_cast<uint32_t>(side.items.size() - 1), true});
    } else {
      while (!levels.empty() && !levels.back().second) levels.pop_back();
    }
    treeDone = levels.empty();
  }
  if (!side.items.empty() && !treeDone) {
    side.problem = "the records end before the tree flags say";
    side.clearItems();
  }
  return side;
}

const SideView* earlierSide(const FolderSnapshot* earlier, const std::string& name, bool handheld) {
  if (!earlier) return nullptr;
  auto it = earlier->lists.find(name);
  if (it == earlier->lists.end()) return nullptr;
  const SideView& side = handheld ? it->second.handheld : it->second.desktop;
  return side.present ? &side : nullptr;
}

// Keeps of each item of a list file read only its view, so no outline of
// the whole list is built: an item is complete once the next one starts.
class ViewSink : public ListItemSink {
 public:
  explicit ViewSink(SideView& side) : side_(side) {}
  ListNode* place(ItemList& list, size_t depth) override {
    finishItem();
    parent_ = depth == 0 ? kNoParent : path_[depth - 1];
    path_.resize(depth);
    path_.push_back(static_cast<uint32_t>(side_.items.size()));
    item_ = std::make_unique<ListNode>(0, &list);
    return item_.get();
  }
  void restart() override {
    side_.clearItems();
    path_.clear();
    item_.reset();
    bytes_ = FileHash();
  }
  void read(const char* bytes, size_t size) override { bytes_.add(bytes, size); }
  void finish() override { finishItem(); }
  uint64_t fileHash() const { return bytes_.value(); }

 private:
  void finishItem() {
    if (item_) addView(side_, *item_, parent_, false);
    item_.reset();
  }
  SideView& side_;
  std::vector<uint32_t> path_;  // index of the item placed last and of its ancestors, by depth
  std::unique_ptr<ListNode> item_;
  uint32_t parent_ = kNoParent;
  FileHash bytes_;  // of the bytes read so far
};

// A list file of one folder, opened and not yet read.
struct OpenFile {
  std::string name;   // in the folder
  std::string path;
  int fd = -1;        // -1: could not be opened, `problem` says why
  uint64_t size = 0;
  uint64_t identity = 0;  // of the file opened: device, inode, size, modification time
  std::string problem;
};

std::vector<OpenFile> openFiles(const std::string& folder, const std::function<bool(const std::string&)>& wanted) {
  std::vector<OpenFile> files;
  for (const std::string& name : folderNames(folder)) {
    if (!wanted(name)) continue;
    OpenFile f;
    f.name = name;
    f.path = folder + "/" + name;
    f.fd = openListFile(f.path, &f.size, &f.identity, &f.problem);
    files.push_back(std::move(f));
  }
  return files;
}

std::vector<OpenFile> openImageFiles(const std::string& image) {
  // "*.PDB" too, as the image reads them.
  return openFiles(image, [](const std::string& name) {
    return name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".pdb") == 0;
  });
}

std::vector<OpenFile> openDesktopFiles(const std::string& desktop) {
  const size_t prefix = sizeof kListPrefix - 1, suffix = sizeof kListSuffix - 1;
  return openFiles(desktop, [&](const std::string& name) {
    return name.size() > prefix + suffix && name.compare(0, prefix, kListPrefix) == 0 && endsWith(name, kListSuffix);
  });
}

void closeFiles(std::vector<OpenFile>& files) {
  for (OpenFile& f : files) {
    if (f.fd >= 0) ::close(f.fd);
    f.fd = -1;
  }
}

// The rest of an open file, from where it stands.
bool readRest(int fd, std::string* bytes, uint64_t size) {
  bytes->resize(static_cast<size_t>(size));
  size_t done = 0;
  for (ssize_t n; done < bytes->size(); done += static_cast<size_t>(n)) {
    n = ::read(fd, bytes->data() + done, bytes->size() - done);
    if (n <= 0) break;
  }
  bytes->resize(done);
  return true;
}

void readImage(std::vector<OpenFile>& files, const FolderSnapshot* earlier, bool titles, FolderSnapshot* out) {
  for (OpenFile& f : files) {
    if (f.fd < 0) continue;
    std::string bytes;
    readRest(f.fd, &bytes, f.size);
    ::close(f.fd);
    f.fd = -1;
    FileHash fileHash;
    fileHash.add(bytes.data(), bytes.size());
    const uint64_t hash = fileHash.value();
    out->imageFiles[f.name] = hash;
    std::vector<PdbRecordView> records;
    std::optional<PdbFile> pdb =
        PdbFile::parseInPlace(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), nullptr, &records);
    if (!pdb || pdb->creator != kListCode || pdb->type != kListCode) continue;
    if (pdb->name.find('*') != std::string::npos) continue;  // a temporary, never a list
    // Named as the conduit names the list and its desktop file: each byte the
    // character of that code, so both sides of a list meet under one name.
    const std::string name = latin1BytesToUtf8(pdb->name);
    const SideView* same = earlierSide(earlier, name, true);
    out->lists[name].handheld = same && same->fileHash == hash ? *same : handheldSide(hash, records, titles);
  }
}

void readDesktop(std::vector<OpenFile>& files, const FolderSnapshot* earlier, bool titles, FolderSnapshot* out) {
  const size_t suffix = sizeof kListSuffix - 1;
  for (OpenFile& f : files) {
    const std::string name = f.name.substr(0, f.name.size() - suffix);
    SideView& side = out->lists[name].desktop;
    if (f.fd < 0) {
      side.problem = f.problem;
      side.present = true;
      continue;
    }
    // A file that may be the one read before is hashed first, and taken
    // from before when it is; any other is hashed while it is read.
    const SideView* same = earlierSide(earlier, name, false);
    if (same && same->fileIdentity == f.identity) {
      FileHash h;
      std::vector<char> block(256 * 1024);
      for (ssize_t n; (n = ::read(f.fd, block.data(), block.size())) > 0;) h.add(block.data(), static_cast<size_t>(n));
      if (same->fileHash == h.value()) {
        side = *same;
        continue;
      }
    }
    side = SideView();
    side.present = true;
    side.fileIdentity = f.identity;
    side.keepsTitles = titles;
    std::string message;
    const int fd = f.fd;
    f.fd = -1;  // the reader closes it
    const int watch = ::dup(fd);
    const std::string why = ::lseek(fd, 0, SEEK_SET) == 0 ? "" : "cannot be read";
    ViewSink views(side);
    std::unique_ptr<ItemList> list = ListFileReader().readOpened(fd, why, f.size, f.path, message, &views);
    side.fileHash = views.fileHash();
    if (list && message.empty() && (watch < 0 || !unchangedSince(watch, f.identity))) message = "changed while it was read";
    if (watch >= 0) ::close(watch);
    if (!list || !message.empty()) {
      side.problem = message.empty() ? "cannot be read" : message.substr(0, message.find('\n'));
      side.clearItems();
    }
  }
}

}  // namespace

uint64_t titleHashOf(std::string_view title) { return Hash().add(title.data(), title.size()).value(); }

void SideView::add(const ItemView& item, std::string_view title) {
  items.push_back(item);
  if (!keepsTitles) return;
  titleBytes_.append(title);
  titleEnds_.push_back(static_cast<uint32_t>(titleBytes_.size()));
}

std::string_view SideView::title(size_t index) const {
  if (index >= titleEnds_.size()) return std::string_view();
  const uint32_t start = index == 0 ? 0 : titleEnds_[index - 1];
  return std::string_view(titleBytes_).substr(start, titleEnds_[index] - start);
}

void SideView::clearItems() {
  items.clear();
  titleBytes_.clear();
  titleEnds_.clear();
}

SideView viewOf(const ItemList& list) {
  SideView side;
  std::vector<std::pair<const ListNode*, uint32_t>> pending;  // item, its parent's index
  for (const ListNode* top = list.head(); top; top = top->next()) pending.push_back({top, kNoParent});
  std::reverse(pending.begin(), pending.end());
  while (!pending.empty()) {
    auto [item, parent] = pending.back();
    pending.pop_back();
    const auto self = static_cast<uint32_t>(side.items.size());
    addView(side, *item, parent, false);
    const size_t mark = pending.size();
    for (const ListNode* child = item->firstChild(); child; child = child->next()) pending.push_back({child, self});
    std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(mark), pending.end());
  }
  return side;
}

struct FolderSnapshot::Opened::Files {
  std::vector<OpenFile> image, desktop;
  bool titles = true;
};

FolderSnapshot::Opened::Opened() : files(std::make_unique<Files>()) {}

FolderSnapshot::Opened::~Opened() {
  closeFiles(files->image);
  closeFiles(files->desktop);
}

std::unique_ptr<FolderSnapshot::Opened> FolderSnapshot::open(const std::string& image, const std::string& desktop,
                                                              bool titles) {
  auto opened = std::make_unique<Opened>();
  opened->files->titles = titles;
  opened->files->image = openImageFiles(image);
  opened->files->desktop = openDesktopFiles(desktop);
  return opened;
}

FolderSnapshot FolderSnapshot::read(Opened& opened, const FolderSnapshot* earlier) {
  FolderSnapshot snapshot;
  readImage(opened.files->image, earlier, opened.files->titles, &snapshot);
  readDesktop(opened.files->desktop, earlier, opened.files->titles, &snapshot);
  return snapshot;
}

FolderSnapshot FolderSnapshot::takeDesktop(const std::string& desktop, const FolderSnapshot* earlier, bool titles) {
  std::vector<OpenFile> files = openDesktopFiles(desktop);
  FolderSnapshot half;
  readDesktop(files, earlier, titles, &half);
  closeFiles(files);
  return half;
}

FolderSnapshot FolderSnapshot::takeImage(const std::string& image, const FolderSnapshot* earlier, bool titles) {
  std::vector<OpenFile> files = openImageFiles(image);
  FolderSnapshot half;
  readImage(files, earlier, titles, &half);
  closeFiles(files);
  return half;
}

FolderSnapshot FolderSnapshot::combine(FolderSnapshot desktopHalf, FolderSnapshot imageHalf) {
  desktopHalf.imageFiles = std::move(imageHalf.imageFiles);
  for (auto& [name, list] : imageHalf.lists) desktopHalf.lists[name].handheld = std::move(list.handheld);
  return desktopHalf;
}

FolderSnapshot FolderSnapshot::take(const std::string& image, const std::string& desktop,
                                    const FolderSnapshot* earlier, bool titles) {
  // The two folders are read at once, the image's files on a thread of their own.
  FolderSnapshot images;
  Beside reading([&] { images = takeImage(image, earlier, titles); });
  FolderSnapshot snapshot = takeDesktop(desktop, earlier, titles);
  reading.wait();
  return combine(std::move(snapshot), std::move(images));
}

}  // namespace tolvex::host
