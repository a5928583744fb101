#include "outline/ItemRecord.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "desktop/TextEncoding.h"

namespace tolvex {
namespace {

// List header record.
constexpr size_t kHeaderFlagsOffset = 50;
constexpr size_t kHeaderMagicOffset = 58;
constexpr uint32_t kHeaderSyncRequest = 0x80;

// Item record, fixed part.
constexpr size_t kOffMarker = 0;
constexpr size_t kOffItemFlags = 2;
constexpr size_t kOffAutoNumber = 6;
constexpr size_t kOffPriority = 8;
constexpr size_t kOffProgress = 10;
constexpr size_t kOffCreateTime = 12;
constexpr size_t kOffTargetTime = 16;
constexpr size_t kOffStartTime = 20;
constexpr size_t kOffFinishTime = 24;
constexpr size_t kOffColour = 28;
constexpr size_t kOffDispFlags = 32;
constexpr size_t kOffLinkToDo = 36;
constexpr size_t kOffLinkDatebook = 40;
constexpr size_t kOffLinkFile = 44;
constexpr size_t kLinkFileField = 32;
constexpr size_t kOffLinkCount = 76;
constexpr size_t kOffTitleLength = 78;
constexpr size_t kOffNoteLength = 80;
constexpr size_t kOffTreeFlags = 86;
constexpr size_t kFixedPart = 88;

enum ItemFlags : uint32_t {
  kExpanded = 0x01, kExpandedMemo = 0x02, kChecked = 0x08, kExpandedLinks = 0x10,
  kDirtyContent = 0x20, kDirtyPosition = 0x40 };
constexpr uint32_t kDispBold = 0x01;

// Link entries.
constexpr size_t kEntrySize = 10;
constexpr size_t kEntryHeader = 4;
constexpr uint16_t kPayloadLength = 6;
enum LinkKind : uint16_t { kLinkEab = 0, kLinkDispOverride = 2, kLinkAlarm = 4 };

void put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
void put32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

// Bounded view of a record: bytes at or past the end read as zero, as they do
// in the zeroed read buffer.
class RecordView {
 public:
  RecordView(const uint8_t* bytes, size_t size)
      : bytes_(bytes), size_(bytes ? std::min(size, kReadBufferSize) : 0) {}
  size_t size() const { return size_; }
  uint8_t at(size_t off) const { return off < size_ ? bytes_[off] : 0; }
  uint16_t get16(size_t off) const { return uint16_t(at(off) << 8 | at(off + 1)); }
  uint32_t get32(size_t off) const {
    return uint32_t(at(off)) << 24 | uint32_t(at(off + 1)) << 16 | uint32_t(at(off + 2)) << 8 |
           uint32_t(at(off + 3));
  }
  // Length of the zero-terminated text at `off`, stopping at the end of the
  // record; `terminated` tells whether a zero byte was found inside it.
  size_t textLength(size_t off, bool* terminated) const {
    if (off >= size_) {
      *terminated = false;
      return 0;
    }
    const void* zero = std::memchr(bytes_ + off, 0, size_ - off);
    *terminated = zero != nullptr;
    return zero ? size_t(static_cast<const uint8_t*>(zero) - (bytes_ + off)) : size_ - off;
  }
  const uint8_t* data(size_t off) const { return bytes_ + off; }

 private:
  const uint8_t* bytes_;
  size_t size_;
};

std::string toHandheld(const std::string& utf8, size_t limit) {
  // ASCII without NUL is its own handheld form (the limits are far below
  // what one conversion takes).
  const auto plain = [](char c) { return c != 0 && static_cast<unsigned char>(c) < 0x80; };
  if (std::all_of(utf8.begin(), utf8.end(), plain)) return utf8.substr(0, limit);
  size_t length = 0;
  const char* bytes = utf8ToHandheld(utf8, &length);
  return bytes ? std::string(bytes, std::min(length, limit)) : std::string();
}

std::string fromHandheld(const RecordView& view, size_t off, size_t length) {
  if (length == 0) return std::string();
  const char* text = handheldToUtf8(view.data(off), length);
  return text ? std::string(text) : std::string();
}

// The largest number of link entries a record may carry and still fit the
// handheld reader's buffer, given the texts it holds.
size_t maxEntries(size_t textBytes) {
  size_t fixed = 90 + textBytes + 1;
  return fixed >= kReadBufferSize ? 0 : (kReadBufferSize - fixed) / kEntrySize;
}

// Bytes the texts take in the record: the title and its terminator, and the
// note and its terminator when there is one.
size_t textBytes(const std::string& title, const std::string& note) {
  return title.size() + 1 + (note.empty() ? 0 : note.size() + 1);
}

// Entries other than linkEAB: the override and the alarm, when set.
size_t otherEntries(const ListNode& item) {
  return (item.dispOverride().kind >= 0 ? 1 : 0) + (item.alarmID() != 0 ? 1 : 0);
}

// linkEAB entries that fit beside the others; a record the handheld reader
// could not take back would strand the whole list.
size_t eabCapacity(const ListNode& item, size_t texts) {
  size_t limit = maxEntries(texts);
  size_t others = otherEntries(item);
  return limit > others ? limit - others : 0;
}

struct Entry {
  uint16_t kind;
  uint16_t first;
  uint32_t second;
};

// Reads the link entries from `pos`; stops at the first one that would not fit.
void readEntries(const RecordView& view, size_t pos, uint16_t count, ListNode& item) {
  for (uint16_t i = 0; i < count; ++i) {
    if (pos + kEntryHeader > view.size()) return;
    uint16_t kind = view.get16(pos);
    uint16_t length = view.get16(pos + 2);
    if (kind != kLinkEab && kind != kLinkDispOverride && kind != kLinkAlarm) {
      if (pos + kEntryHeader + length > view.size()) return;
      pos += kEntryHeader + length;
      continue;
    }
    if (pos + kEntrySize > view.size()) return;
    uint16_t first = view.get16(pos + 4);
    uint32_t second = view.get32(pos + 6);
    if (kind == kLinkEab)
      item.addLinkEAB(uint8_t(first), second);
    else if (kind == kLinkDispOverride)
      item.setDispOverride(int8_t(uint8_t(first)), second);
    else
      item.setAlarmID(second);
    pos += kEntrySize;
  }
}

}  // namespace

std::vector<uint8_t> newListHeaderRecord() {
  std::vector<uint8_t> header(kListHeaderSize, 0);
  put32(&header[kHeaderFlagsOffset], kHeaderSyncRequest);
  std::memcpy(&header[kHeaderMagicOffset], "Tlvk", 4);
  return header;
}

std::vector<uint8_t> packItemRecord(const ListNode& item) {
  uint8_t fixed[kFixedPart] = {};
  fixed[kOffMarker] = 1;
  uint32_t flags = 0;
  if (item.checked()) flags |= kChecked;
  if (item.expanded()) flags |= kExpanded;
  if (item.expandedMemo()) flags |= kExpandedMemo;
  if (item.expandedLinks()) flags |= kExpandedLinks;
  if (item.dirtyContent()) flags |= kDirtyContent;
  if (item.dirtyPosition()) flags |= kDirtyPosition;
  put32(fixed + kOffItemFlags, flags);
  put16(fixed + kOffAutoNumber, item.autoNumber());
  put16(fixed + kOffPriority, item.priority());
  put16(fixed + kOffProgress, item.progress());
  put32(fixed + kOffCreateTime, item.hhCreateTime());
  put32(fixed + kOffTargetTime, item.hhTargetTime());
  put32(fixed + kOffStartTime, item.hhStartTime());
  put32(fixed + kOffFinishTime, item.hhFinishTime());
  put32(fixed + kOffColour, item.dispColour());
  put32(fixed + kOffDispFlags, item.dispBold() ? kDispBold : 0);
  put32(fixed + kOffLinkToDo, item.linkToDo());
  put32(fixed + kOffLinkDatebook, item.linkDatebook());
  if (item.linkFile()) {
    std::string file = handheldLinkFile(*item.linkFile());
    std::memcpy(fixed + kOffLinkFile, file.data(), file.size());
  }

  std::string title = handheldTitle(item.title());
  std::string note = item.hasNote() ? handheldNote(item.note()) : std::string();
  put16(fixed + kOffTitleLength, uint16_t(title.size()));
  put32(fixed + kOffNoteLength, uint32_t(note.size()));

  uint16_t tree = 0;
  if (item.next()) tree |= kHasNextSibling;
  if (item.firstChild()) tree |= kHasFirstChild;
  put16(fixed + kOffTreeFlags, tree);

  // Address links beyond what the record can hold are left out (the
  // override and alarm stay); the desktop keeps them.
  size_t texts = textBytes(title, note);
  size_t links = std::min(item.linkEAB().size(), eabCapacity(item, texts));
  std::vector<Entry> entries;
  for (size_t i = 0; i < links; ++i)
    entries.push_back({kLinkEab, item.linkEAB()[i].eabType, item.linkEAB()[i].eabID});
  DispOverride over = item.dispOverride();
  if (over.kind >= 0) entries.push_back({kLinkDispOverride, uint16_t(over.kind), over.value});
  if (item.alarmID() != 0) entries.push_back({kLinkAlarm, 0, item.alarmID()});
  put16(fixed + kOffLinkCount, uint16_t(entries.size()));

  std::vector<uint8_t> record(90 + texts + kEntrySize * entries.size() + 1, 0);
  std::memcpy(record.data(), fixed, kFixedPart);
  size_t pos = kFixedPart;
  std::memcpy(&record[pos], title.data(), title.size());
  pos += title.size() + 1;
  if (!note.empty()) {
    std::memcpy(&record[pos], note.data(), note.size());
    pos += note.size() + 1;
  }
  if (pos % 2) ++pos;
  for (const Entry& e : entries) {
    put16(&record[pos], e.kind);
    put16(&record[pos + 2], kPayloadLength);
    put16(&record[pos + 4], e.first);
    put32(&record[pos + 6], e.second);
    pos += kEntrySize;
  }
  return record;
}

std::string handheldTitle(const std::string& utf8) { return toHandheld(utf8, ListNode::kMaxTitleBytes); }
std::string handheldNote(const std::string& utf8) { return toHandheld(utf8, ListNode::kMaxNoteBytes); }
std::string handheldLinkFile(const std::string& utf8) { return toHandheld(utf8, kLinkFileField - 1); }

size_t linkEabCapacity(const ListNode& item) {
  std::string note = item.hasNote() ? handheldNote(item.note()) : std::string();
  return eabCapacity(item, textBytes(handheldTitle(item.title()), note));
}

std::unique_ptr<ListNode> unpackItemRecord(ItemList* list, uint32_t uniqueID, const uint8_t* bytes,
                                           size_t size, bool deletedAttribute, uint16_t* treeFlags) {
  auto item = std::make_unique<ListNode>(uniqueID, list);
  RecordView view(bytes, size);

  uint32_t flags = view.get32(kOffItemFlags);
  item->setChecked(flags & kChecked);
  item->setExpanded(flags & kExpanded);
  item->setExpandedMemo(flags & kExpandedMemo);
  item->setDirtyContent(flags & kDirtyContent);
  item->setDirtyPosition(flags & kDirtyPosition);
  if (deletedAttribute) {
    item->setDeleted(true);
    item->setDirtyContent(true);
  }
  item->setPriority(uint8_t(view.get16(kOffPriority)));
  item->setProgress(uint8_t(view.get16(kOffProgress)));
  item->setAutoNumber(uint8_t(view.get16(kOffAutoNumber)));
  item->setHhCreateTime(view.get32(kOffCreateTime));
  item->setHhTargetTime(view.get32(kOffTargetTime));
  item->setHhStartTime(view.get32(kOffStartTime));
  item->setHhFinishTime(view.get32(kOffFinishTime));
  item->setDispColour(uint8_t(view.get32(kOffColour)));
  item->setDispBold(view.get32(kOffDispFlags) & kDispBold);
  item->setLinkToDo(view.get32(kOffLinkToDo));
  item->setLinkDatebook(view.get32(kOffLinkDatebook));
  if (treeFlags) *treeFlags = view.get16(kOffTreeFlags);

  if (view.at(kOffLinkFile) != 0) {
    uint8_t file[kLinkFileField];
    size_t n = 0;
    for (; n < kLinkFileField && view.at(kOffLinkFile + n) != 0; ++n) file[n] = view.at(kOffLinkFile + n);
    item->setLinkFile(std::string(handheldToUtf8(file, n)));
  }

  // Texts longer than a record should hold keep what the handheld shows.
  uint16_t titleLength = view.get16(kOffTitleLength);
  uint32_t noteLength = view.get32(kOffNoteLength);
  bool terminated = false;
  size_t titleBytes = view.textLength(kFixedPart, &terminated);
  if (titleLength != 0)
    item->setTitle(fromHandheld(view, kFixedPart, std::min(titleBytes, ListNode::kMaxTitleBytes)));
  if (!terminated) return item;
  size_t pos = kFixedPart + titleBytes + 1;
  if (noteLength != 0) {
    size_t noteStart = kFixedPart + size_t(titleLength) + 1;
    size_t noteBytes = view.textLength(noteStart, &terminated);
    if (noteStart < view.size())
      item->setNote(fromHandheld(view, noteStart, std::min(noteBytes, ListNode::kMaxNoteBytes)));
    if (!terminated) return item;
    pos = noteStart + noteBytes + 1;
  }
  if (pos % 2) ++pos;
  readEntries(view, pos, view.get16(kOffLinkCount), *item);
  return item;
}

}  // namespace tolvex
