#include "platform/hotsync/ListSnapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>

#include "desktop/XmlFile.h"
#include "outline/ItemList.h"
#include "outline/ItemRecord.h"
#include "platform/hotsync/ListTree.h"
#include "platform/syncmgr/PdbFile.h"

namespace tolvex::host {
namespace {

constexpr uint32_t kListCode = 0x576B6471;  // "Wkdq": creator and type of a list database
constexpr size_t kMaxFileBytes = size_t{1} << 30;
const char kListPrefix[] = "Tolvk-";
const char kListSuffix[] = ".XML";

// 64-bit FNV-1a, fed field by field.
class Hash {
 public:
  Hash& bytes(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) value_ = (value_ ^ p[i]) * 0x100000001B3ull;
    return *this;
  }
  Hash& number(uint64_t v) { return bytes(&v, sizeof v); }
  Hash& text(const std::optional<std::string>& t) {
    number(t ? t->size() + 1 : 0);  // absent and empty differ
    return t ? bytes(t->data(), t->size()) : *this;
  }
  uint64_t value() const { return value_; }

 private:
  uint64_t value_ = 0xCBF29CE484222325ull;
};

// Every field the user edits; not the identity, the sync flags or whether
// branches are shown open (a view setting).
uint64_t contentOf(const ListNode& item) {
  Hash h;
  h.text(item.hasTitle() ? std::optional<std::string>(item.title()) : std::nullopt);
  h.text(item.hasNote() ? std::optional<std::string>(item.note()) : std::nullopt);
  h.number(item.progress()).number(item.checked()).number(item.priority()).number(item.autoNumber());
  h.number(item.alarmID()).number(item.hhCreateTime()).number(item.hhStartTime());
  h.number(item.hhFinishTime()).number(item.hhTargetTime()).number(item.dispColour()).number(item.dispBold());
  h.number(static_cast<uint8_t>(item.dispOverride().kind)).number(item.dispOverride().value);
  h.number(item.linkEAB().size());
  for (const EabLink& link : item.linkEAB()) h.number(link.eabType).number(link.eabID);
  h.text(item.linkFile()).number(item.linkToDo()).number(item.linkDatebook());
  return h.value();
}

ItemView viewOfItem(const ListNode& item, size_t parent) {
  ItemView view;
  view.parent = parent;
  view.title = item.title();
  view.content = contentOf(item);
  view.createTime = item.hhCreateTime();
  view.id = item.uniqueID();
  view.deleted = item.deleted();
  view.edited = item.dirtyContent();
  return view;
}

// Opens a regular file of a list's size without blocking on anything else.
int openListFile(const std::string& path, uint64_t* size, std::string* problem) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > kMaxFileBytes) {
    if (fd >= 0) ::close(fd);
    *problem = "is not a readable regular file of a list's size";
    return -1;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return fd;
}

// A hash of a file's bytes, fed block by block (eight bytes at a time), so
// that a large file is never held whole just to be told from another.
class FileHash {
 public:
  void add(const char* data, size_t size) {
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
      uint64_t word;
      std::memcpy(&word, data + i, 8);
      mixIn(word);
    }
    for (; i < size; ++i) mixIn(static_cast<uint8_t>(data[i]) | 0x100u);
    length_ += size;
  }
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
SideView handheldSide(uint64_t hash, const std::vector<PdbRecordView>& records) {
  SideView side;
  side.present = true;
  side.fileHash = hash;
  ItemList scratch;
  // For each open level, the parent of its items and whether a next sibling is still to come there.
  std::vector<std::pair<size_t, bool>> levels;
  bool treeDone = false;
  for (size_t i = 1; i < records.size(); ++i) {
    const PdbRecordView& record = records[i];
    uint16_t flags = 0;
    const bool deleted = (record.attributes & 0x80) != 0;
    auto node = unpackItemRecord(&scratch, record.uniqueId, record.data, record.size, deleted, &flags);
    if (!node) {
      side.problem = "item record " + std::to_string(i) + " cannot be read";
      side.items.clear();
      return side;
    }
    if (i == 1) levels.push_back({kNoParent, true});
    ItemView view = viewOfItem(*node, treeDone ? kNoParent : levels.back().first);
    view.title = handheldShown(view.title);
    side.items.push_back(std::move(view));
    if (treeDone) continue;
    levels.back().second = (flags & kHasNextSibling) != 0;
    if (flags & kHasFirstChild) {
      levels.push_back({side.items.size() - 1, true});
    } else {
      while (!levels.empty() && !levels.back().second) levels.pop_back();
    }
    treeDone = levels.empty();
  }
  if (!side.items.empty() && !treeDone) {
    side.problem = "the records end before the tree flags say";
    side.items.clear();
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
  ListNode* place(ItemList& list, size_t depth) override {
    finishItem();
    parent_ = depth == 0 ? kNoParent : path_[depth - 1];
    path_.resize(depth);
    path_.push_back(items_.size());
    item_ = std::make_unique<ListNode>(0, &list);
    return item_.get();
  }
  void restart() override {
    items_.clear();
    path_.clear();
    item_.reset();
  }
  void finish() override { finishItem(); }
  std::vector<ItemView> take() { return std::move(items_); }

 private:
  void finishItem() {
    if (item_) items_.push_back(viewOfItem(*item_, parent_));
    item_.reset();
  }
  std::vector<ItemView> items_;
  std::vector<size_t> path_;  // index of the item placed last and of its ancestors, by depth
  std::unique_ptr<ListNode> item_;
  size_t parent_ = kNoParent;
};

// A list file of one folder, opened and not yet read.
struct OpenFile {
  std::string name;   // in the folder
  std::string path;
  int fd = -1;        // -1: could not be opened, `problem` says why
  uint64_t size = 0;
  std::string problem;
};

std::vector<OpenFile> openFiles(const std::string& folder, const std::function<bool(const std::string&)>& wanted) {
  std::vector<OpenFile> files;
  for (const std::string& name : folderNames(folder)) {
    if (!wanted(name)) continue;
    OpenFile f;
    f.name = name;
    f.path = folder + "/" + name;
    f.fd = openListFile(f.path, &f.size, &f.problem);
    files.push_back(std::move(f));
  }
  return files;
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

void readImage(std::vector<OpenFile>& files, const FolderSnapshot* earlier, FolderSnapshot* out) {
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
    const SideView* same = earlierSide(earlier, pdb->name, true);
    out->lists[pdb->name].handheld = same && same->fileHash == hash ? *same : handheldSide(hash, records);
  }
}

void readDesktop(std::vector<OpenFile>& files, const FolderSnapshot* earlier, FolderSnapshot* out) {
  const size_t suffix = sizeof kListSuffix - 1;
  for (OpenFile& f : files) {
    const std::string name = f.name.substr(0, f.name.size() - suffix);
    SideView& side = out->lists[name].desktop;
    if (f.fd < 0) {
      side.problem = f.problem;
      side.present = true;
      continue;
    }
    FileHash h;
    std::vector<char> block(256 * 1024);
    for (ssize_t n; (n = ::read(f.fd, block.data(), block.size())) > 0;) h.add(block.data(), static_cast<size_t>(n));
    const uint64_t hash = h.value();
    const SideView* same = earlierSide(earlier, name, false);
    if (same && same->fileHash == hash) {
      side = *same;
      continue;
    }
    side = SideView();
    side.present = true;
    side.fileHash = hash;
    std::string message;
    const int fd = f.fd;
    f.fd = -1;  // the reader closes it
    const std::string why = ::lseek(fd, 0, SEEK_SET) == 0 ? "" : "cannot be read";
    ViewSink views;
    std::unique_ptr<ItemList> list = ListFileReader().readOpened(fd, why, f.size, f.path, message, &views);
    if (!list || !message.empty()) {
      side.problem = message.empty() ? "cannot be read" : message.substr(0, message.find('\n'));
      continue;
    }
    side.items = views.take();
  }
}

}  // namespace

std::vector<ItemView> viewOf(const ItemList& list) {
  std::vector<ItemView> items;
  std::vector<std::pair<const ListNode*, size_t>> pending;  // item, its parent's index
  for (const ListNode* top = list.head(); top; top = top->next()) pending.push_back({top, kNoParent});
  std::reverse(pending.begin(), pending.end());
  while (!pending.empty()) {
    auto [item, parent] = pending.back();
    pending.pop_back();
    const size_t self = items.size();
    items.push_back(viewOfItem(*item, parent));
    const size_t mark = pending.size();
    for (const ListNode* child = item->firstChild(); child; child = child->next()) pending.push_back({child, self});
    std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(mark), pending.end());
  }
  return items;
}

struct FolderSnapshot::Opened::Files {
  std::vector<OpenFile> image, desktop;
};

FolderSnapshot::Opened::Opened() : files(std::make_unique<Files>()) {}

FolderSnapshot::Opened::~Opened() {
  closeFiles(files->image);
  closeFiles(files->desktop);
}

std::unique_ptr<FolderSnapshot::Opened> FolderSnapshot::open(const std::string& image, const std::string& desktop) {
  auto opened = std::make_unique<Opened>();
  opened->files->image = openFiles(image, [](const std::string& name) { return endsWith(name, ".pdb"); });
  const size_t prefix = sizeof kListPrefix - 1, suffix = sizeof kListSuffix - 1;
  opened->files->desktop = openFiles(desktop, [&](const std::string& name) {
    return name.size() > prefix + suffix && name.compare(0, prefix, kListPrefix) == 0 && endsWith(name, kListSuffix);
  });
  return opened;
}

FolderSnapshot FolderSnapshot::read(Opened& opened, const FolderSnapshot* earlier) {
  FolderSnapshot snapshot;
  readImage(opened.files->image, earlier, &snapshot);
  readDesktop(opened.files->desktop, earlier, &snapshot);
  return snapshot;
}

FolderSnapshot FolderSnapshot::take(const std::string& image, const std::string& desktop,
                                    const FolderSnapshot* earlier) {
  std::unique_ptr<Opened> opened = open(image, desktop);
  return read(*opened, earlier);
}

}  // namespace tolvex::host
