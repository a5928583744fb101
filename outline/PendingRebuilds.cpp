#include "outline/PendingRebuilds.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <string_view>

#include "desktop/AtomicFile.h"
#include "desktop/RegularFile.h"

namespace tolvex {

const char* const kPendingRebuildsFile = "TolvanPending.txt";

namespace {

constexpr uint64_t kMaxNoteBytes = 1u << 20;     // far above 2048 entries
constexpr uint64_t kMaxRecordBytes = 64u << 20;  // far above two lines for each of 65,535 items
const char* const kRecordHeader = "Tolvex rebuild record 1";

std::string notePath(const std::string& folder) { return folder + kPendingRebuildsFile; }
std::string recordPath(const std::string& folder, const std::string& name) {
  return folder + "TolvanPending-" + name + ".txt";
}

// Splits off the next space-separated word of `rest`.
std::string_view word(std::string_view& rest) {
  const size_t space = rest.find(' ');
  std::string_view w = rest.substr(0, space);
  rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
  return w;
}

bool number(std::string_view text, uint64_t max, uint64_t* value, int base = 10) {
  if (text.empty() || text.size() > 20 || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  const std::string s(text);
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(s.c_str(), &end, base);
  if (errno != 0 || end != s.c_str() + s.size() || v > max) return false;
  *value = v;
  return true;
}

bool signedNumber(std::string_view text, int64_t min, int64_t max, int64_t* value) {
  const bool negative = !text.empty() && text[0] == '-';
  uint64_t magnitude = 0;
  if (!number(negative ? text.substr(1) : text, uint64_t(INT64_MAX), &magnitude)) return false;
  const int64_t v = negative ? -int64_t(magnitude) : int64_t(magnitude);
  if (v < min || v > max) return false;
  *value = v;
  return true;
}

// Names go into a line with their control bytes and "%" as "%XX".
std::string encodeName(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c == '%') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool decodeName(std::string_view text, std::string* name) {
  name->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      *name += text[i];
      continue;
    }
    uint64_t byte = 0;
    if (i + 2 >= text.size() || !number(text.substr(i + 1, 2), 0xFF, &byte, 16)) return false;
    *name += static_cast<char>(byte);
    i += 2;
  }
  return !name->empty();
}

std::string stampText(const std::optional<FileStamp>& stamp) {
  if (!stamp) return "?";
  if (!stamp->present) return "-";
  return std::to_string(stamp->size) + ":" + std::to_string(stamp->seconds) + ":" +
         std::to_string(stamp->nanoseconds);
}

bool parseStamp(std::string_view text, FileStamp* stamp) {
  *stamp = FileStamp{};
  if (text == "-") return true;
  std::string_view rest = text;
  auto part = [&rest]() {
    const size_t colon = rest.find(':');
    std::string_view p = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    return p;
  };
  std::string_view size = part(), seconds = part(), nanoseconds = rest;
  stamp->present = true;
  return number(size, UINT64_MAX, &stamp->size) && signedNumber(seconds, INT64_MIN + 1, INT64_MAX, &stamp->seconds) &&
         signedNumber(nanoseconds, 0, 999999999, &stamp->nanoseconds);
}

// One line of the note; false for a line that is none of the two forms.
bool parseEntry(std::string_view line, PendingRebuild* entry) {
  std::string_view rest = line;
  const bool current = line.rfind("+ ", 0) == 0;
  if (current) word(rest);
  uint64_t created = 0;
  if (!number(word(rest), UINT32_MAX, &created)) return false;
  entry->created = static_cast<uint32_t>(created);
  entry->desktop.reset();
  if (!current) {
    entry->name = std::string(rest);
    return !rest.empty();
  }
  if (const std::string_view stamp = word(rest); stamp != "?") {
    FileStamp desktop;
    if (!parseStamp(stamp, &desktop)) return false;
    entry->desktop = desktop;
  }
  return decodeName(rest, &entry->name);
}

bool writeNote(const std::string& folder, const std::vector<PendingRebuild>& entries) {
  if (entries.empty()) return ::unlink(notePath(folder).c_str()) == 0 || errno == ENOENT;
  AtomicFile file(notePath(folder));
  if (!file.open()) return false;
  for (const PendingRebuild& e : entries)
    file.write("+ " + std::to_string(e.created) + " " + stampText(e.desktop) + " " + encodeName(e.name) + "\n");
  return file.commit();
}

// One line of the record, put together in place.
class RecordLine {
 public:
  // `value` and then `after`, as "%" PRIu32 / PRId32 writes the number.
  template <typename Int>
  RecordLine& number(Int value, char after) {
    at_ = std::to_chars(at_, end_, value).ptr;
    *at_++ = after;
    return *this;
  }
  // `value` as "%016" PRIx64 writes it, then a space.
  RecordLine& hex16(uint64_t value) {
    static const char kDigits[] = "0123456789abcdef";
    for (int i = 15; i >= 0; --i, value >>= 4) at_[i] = kDigits[value & 0xF];
    at_[16] = ' ';
    at_ += 17;
    return *this;
  }
  RecordLine& character(char c) {
    *at_++ = c;
    return *this;
  }
  void appendTo(std::string& out) const { out.append(line_, static_cast<size_t>(at_ - line_)); }

 private:
  char line_[80];  // four numbers of at most 20 characters with their separators
  char* at_ = line_;
  char* const end_ = line_ + sizeof line_;
};

bool writeRecord(const std::string& path, const RebuildRecord& record) {
  AtomicFile file(path);
  if (!file.open()) return false;
  // Two lines an item, formatted by hand: a large list has a hundred thousand.
  std::string lines = std::string(kRecordHeader) + "\ndesktop " + std::to_string(record.desktop.size()) + "\n";
  const auto flushFull = [&] {
    if (lines.size() < (64u << 10)) return;
    file.write(lines);
    lines.clear();
  };
  for (const DesktopItem& d : record.desktop) {
    RecordLine().number(d.id, ' ').hex16(d.fingerprint).number(d.parent, ' ').number(d.prev, '\n').appendTo(lines);
    flushFull();
  }
  lines += "written " + std::to_string(record.written.size()) + "\n";
  for (const WrittenItem& w : record.written) {
    RecordLine()
        .number(w.newId, ' ')
        .number(w.origin, ' ')
        .number(w.oldId, ' ')
        .character(w.contentChanged ? '1' : '0')
        .character(w.placeChanged ? '1' : '0')
        .character('\n')
        .appendTo(lines);
    flushFull();
  }
  file.write(lines);
  return file.commit();
}

// Reads the record's lines one by one; any line out of shape spoils it.
class RecordParser {
 public:
  explicit RecordParser(std::string_view text) : rest_(text) {}

  bool parse(RebuildRecord* record) {
    uint64_t count = 0;
    if (next() != kRecordHeader || !counted("desktop", &count)) return false;
    record->desktop.resize(static_cast<size_t>(count));
    for (DesktopItem& d : record->desktop) {
      std::string_view line = next();
      uint64_t id = 0, fingerprint = 0;
      int64_t parent = 0, prev = 0;
      if (!number(word(line), UINT32_MAX, &id) || !number(word(line), UINT64_MAX, &fingerprint, 16) ||
          !index(word(line), &parent) || !index(line, &prev))
        return false;
      d = {uint32_t(id), fingerprint, int32_t(parent), int32_t(prev)};
    }
    if (!counted("written", &count)) return false;
    record->written.resize(static_cast<size_t>(count));
    for (WrittenItem& w : record->written) {
      std::string_view line = next();
      uint64_t newId = 0, oldId = 0;
      int64_t origin = 0;
      if (!number(word(line), UINT32_MAX, &newId) || !index(word(line), &origin) ||
          !number(word(line), UINT32_MAX, &oldId) || line.size() != 2)
        return false;
      w = {uint32_t(newId), int32_t(origin), uint32_t(oldId), line[0] == '1', line[1] == '1'};
    }
    return ok_ && rest_.empty();
  }

 private:
  std::string_view next() {
    if (rest_.empty()) ok_ = false;
    const size_t end = rest_.find('\n');
    std::string_view line = rest_.substr(0, end);
    rest_ = end == std::string_view::npos ? std::string_view() : rest_.substr(end + 1);
    return line;
  }
  bool counted(std::string_view label, uint64_t* count) {
    std::string_view line = next();
    // Two lines an item at the least: a count beyond the text is a lie.
    return word(line) == label && number(line, rest_.size() / 8 + 1, count);
  }
  bool index(std::string_view text, int64_t* value) {
    return signedNumber(text, kForeignItem, INT32_MAX, value);
  }

  std::string_view rest_;
  bool ok_ = true;
};

}  // namespace

FileStamp stampOf(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return FileStamp{};
  return FileStamp{true, static_cast<uint64_t>(info.st_size), info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
}

std::vector<PendingRebuild> readPendingRebuilds(const std::string& folder) {
  std::vector<PendingRebuild> out;
  std::string text, why;
  if (!readRegularFile(notePath(folder), kMaxNoteBytes, &text, &why)) return out;
  std::string_view rest = text;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    PendingRebuild entry;
    if (line.find('\r') == std::string_view::npos && parseEntry(line, &entry)) out.push_back(entry);
  }
  return out;
}

bool notePendingRebuild(const std::string& folder, const PendingRebuild& entry, const RebuildRecord* record) {
  if (entry.name.empty()) return false;
  if (record && !writeRecord(recordPath(folder, entry.name), *record)) return false;
  std::vector<PendingRebuild> entries = readPendingRebuilds(folder);
  std::erase_if(entries, [&](const PendingRebuild& e) {
    return e.name == entry.name || (entry.created != 0 && e.created == entry.created);
  });
  entries.push_back(entry);
  return writeNote(folder, entries);
}

void clearPendingRebuild(const std::string& folder, const std::string& name) {
  std::vector<PendingRebuild> entries = readPendingRebuilds(folder);
  const size_t before = entries.size();
  std::erase_if(entries, [&](const PendingRebuild& e) { return e.name == name; });
  if (entries.size() != before && !writeNote(folder, entries)) return;
  ::unlink(recordPath(folder, name).c_str());
}

std::optional<RebuildRecord> readRebuildRecord(const std::string& folder, const std::string& name) {
  std::string text, why;
  if (!readRegularFile(recordPath(folder, name), kMaxRecordBytes, &text, &why)) return std::nullopt;
  RebuildRecord record;
  if (!RecordParser(text).parse(&record)) return std::nullopt;
  // Indices must point into the desktop list.
  const auto inRange = [&](int32_t i) { return i < static_cast<int32_t>(record.desktop.size()); };
  for (const DesktopItem& d : record.desktop)
    if (!inRange(d.parent) || !inRange(d.prev)) return std::nullopt;
  for (const WrittenItem& w : record.written)
    if (!inRange(w.origin)) return std::nullopt;
  return record;
}

}  // namespace tolvex
