#include "platform/syncmgr/PdbFile.h"

#include <cstring>
#include <unordered_set>

namespace tolvex {

uint16_t readBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t readBe32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void writeBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

void writeBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

namespace {

constexpr uint32_t kIdMask = 0x00FFFFFF;

bool fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

// Reads the fixed fields of the header into `db`: all a damaged file may
// still give (its name, type and creator).
bool readHeaderFields(const uint8_t* bytes, size_t size, PdbFile& db, std::string* error) {
  if (size < PdbFile::kHeaderSize) return fail(error, "truncated header (" + std::to_string(size) + " bytes)");
  const void* nul = std::memchr(bytes + PdbFile::kNameOffset, 0, PdbFile::kNameSize);
  if (!nul) return fail(error, "database name is not terminated");
  db.name.assign(reinterpret_cast<const char*>(bytes + PdbFile::kNameOffset),
                 static_cast<const uint8_t*>(nul) - (bytes + PdbFile::kNameOffset));
  if (db.name.empty()) return fail(error, "database name is empty");
  db.attributes = readBe16(bytes + PdbFile::kAttributesOffset);
  db.version = readBe16(bytes + PdbFile::kVersionOffset);
  db.createDate = readBe32(bytes + PdbFile::kCreateDateOffset);
  db.modDate = readBe32(bytes + PdbFile::kModDateOffset);
  db.backupDate = readBe32(bytes + PdbFile::kBackupDateOffset);
  db.modNumber = readBe32(bytes + PdbFile::kModNumberOffset);
  db.type = readBe32(bytes + PdbFile::kTypeOffset);
  db.creator = readBe32(bytes + PdbFile::kCreatorOffset);
  db.uniqueIdSeed = readBe32(bytes + PdbFile::kSeedOffset);
  return true;
}

// Checks the header on its own; fills the fixed fields of `db`.
bool parseHeader(const uint8_t* bytes, size_t size, PdbFile& db, std::string* error) {
  if (!readHeaderFields(bytes, size, db, error)) return false;
  if (db.attributes & PdbFile::kResourceDatabase) return fail(error, "resource database (not supported)");
  if (readBe32(bytes + PdbFile::kNextListOffset) != 0) return fail(error, "chained record list (not supported)");
  return true;
}

}  // namespace

std::optional<PdbFile> PdbFile::parseHeaderFields(const uint8_t* bytes, size_t size, std::string* error) {
  PdbFile db;
  if (!readHeaderFields(bytes, size, db, error)) return std::nullopt;
  return db;
}

std::optional<PdbFile> PdbFile::parse(const uint8_t* bytes, size_t size, std::string* error) {
  return parseRecords(bytes, size, error, nullptr);
}

std::optional<PdbFile> PdbFile::parseInPlace(const uint8_t* bytes, size_t size, std::string* error,
                                            std::vector<PdbRecordView>* records) {
  records->clear();
  return parseRecords(bytes, size, error, records);
}

std::optional<PdbFile> PdbFile::parseRecords(const uint8_t* bytes, size_t size, std::string* error,
                                            std::vector<PdbRecordView>* views) {
  PdbFile db;
  if (!parseHeader(bytes, size, db, error)) return std::nullopt;
  const size_t count = readBe16(bytes + kNumRecordsOffset);
  const size_t listEnd = kHeaderSize + count * kEntrySize;
  if (listEnd > size) {
    fail(error, "record count " + std::to_string(count) + " does not fit in the file");
    return std::nullopt;
  }

  // The blocks and records must follow the record list in file order:
  // app-info <= sort-info <= record 0 <= record 1 ... <= end of file.
  const uint32_t appInfo = readBe32(bytes + kAppInfoOffset);
  const uint32_t sortInfo = readBe32(bytes + kSortInfoOffset);
  size_t floor = listEnd;
  std::string floorWhat = "the record list";
  for (const auto& [offset, what] : {std::pair{appInfo, "app-info"}, std::pair{sortInfo, "sort-info"}}) {
    if (offset == 0) continue;
    const std::string at = std::string(what) + " offset " + std::to_string(offset);
    if (offset < listEnd) {
      fail(error, at + " lies inside the record list");
      return std::nullopt;
    }
    if (offset > size) {
      fail(error, at + " lies past the end");
      return std::nullopt;
    }
    if (offset < floor) {
      fail(error, at + " is out of order (before " + floorWhat + ")");
      return std::nullopt;
    }
    floor = offset;
    floorWhat = std::string("the ") + what + " block";
  }

  std::vector<size_t> offsets(count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* entry = bytes + kHeaderSize + i * kEntrySize;
    const size_t offset = readBe32(entry + kEntryOffset);
    if (offset > size || offset < listEnd || offset < floor) {  // the words only for the record at fault
      const std::string at = "record " + std::to_string(i) + " offset " + std::to_string(offset);
      if (i > 0) floorWhat = "record " + std::to_string(i - 1);
      fail(error, at + (offset > size       ? " lies past the end"
                        : offset < listEnd  ? " lies inside the record list"
                                            : " is out of order (before " + floorWhat + ")"));
      return std::nullopt;
    }
    offsets[i] = floor = offset;
  }

  const size_t recordsStart = count > 0 ? offsets[0] : size;
  if (appInfo != 0) db.appInfo.assign(bytes + appInfo, bytes + (sortInfo != 0 ? sortInfo : recordsStart));
  if (sortInfo != 0) db.sortInfo.assign(bytes + sortInfo, bytes + recordsStart);

  if (views) views->reserve(count);
  else db.records_.reserve(count);
  db.byId_.reserve(count);
  std::vector<size_t> unnumbered;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* entry = bytes + kHeaderSize + i * kEntrySize;
    PdbRecordView view;
    view.attributes = entry[kEntryAttributes] & 0xF0;
    view.category = entry[kEntryAttributes] & 0x0F;
    view.uniqueId = readBe32(entry + kEntryAttributes) & kIdMask;
    view.data = bytes + offsets[i];
    view.size = (i + 1 < count ? offsets[i + 1] : size) - offsets[i];
    if (view.uniqueId == 0) {
      unnumbered.push_back(i);
    } else if (!db.byId_.emplace(view.uniqueId, i).second) {
      fail(error, "record " + std::to_string(i) + " repeats unique ID " + std::to_string(view.uniqueId));
      return std::nullopt;
    }
    if (views) {
      views->push_back(view);
    } else {
      db.records_.push_back({view.attributes, view.category, view.uniqueId,
                             std::vector<uint8_t>(view.data, view.data + view.size)});
    }
  }
  // Some tools write every ID as 0; such records get IDs in memory only.
  for (size_t i : unnumbered) {
    const uint32_t id = db.assignUniqueId();
    (views ? (*views)[i].uniqueId : db.records_[i].uniqueId) = id;
    db.byId_.emplace(id, i);
  }
  return db;
}

void PdbFile::writeHeader(uint8_t* p, size_t recordCount) const {
  std::memset(p, 0, kHeaderSize);
  std::memcpy(p + kNameOffset, name.data(), std::min(name.size(), kNameSize - 1));
  writeBe16(p + kAttributesOffset, attributes);
  writeBe16(p + kVersionOffset, version);
  writeBe32(p + kCreateDateOffset, createDate);
  writeBe32(p + kModDateOffset, modDate);
  writeBe32(p + kBackupDateOffset, backupDate);
  writeBe32(p + kModNumberOffset, modNumber);
  const size_t blocks = kHeaderSize + recordCount * kEntrySize + kPadSize;
  writeBe32(p + kAppInfoOffset, appInfo.empty() ? 0 : static_cast<uint32_t>(blocks));
  writeBe32(p + kSortInfoOffset, sortInfo.empty() ? 0 : static_cast<uint32_t>(blocks + appInfo.size()));
  writeBe32(p + kTypeOffset, type);
  writeBe32(p + kCreatorOffset, creator);
  writeBe32(p + kSeedOffset, uniqueIdSeed);
  writeBe32(p + kNextListOffset, 0);
  writeBe16(p + kNumRecordsOffset, static_cast<uint16_t>(recordCount));
}

bool PdbFile::serializeTo(const ByteSink& write) const {
  const size_t listEnd = kHeaderSize + records_.size() * kEntrySize;
  std::vector<uint8_t> head(listEnd + kPadSize, 0);  // header, record list and pad
  uint8_t* p = head.data();
  writeHeader(p, records_.size());
  size_t at = listEnd + kPadSize + appInfo.size() + sortInfo.size();
  for (size_t i = 0; i < records_.size(); ++i) {
    const PdbRecord& r = records_[i];
    uint8_t* entry = p + kHeaderSize + i * kEntrySize;
    writeBe32(entry + kEntryOffset, static_cast<uint32_t>(at));
    writeBe32(entry + kEntryAttributes, r.uniqueId & kIdMask);
    entry[kEntryAttributes] = static_cast<uint8_t>((r.attributes & 0xF0) | (r.category & 0x0F));
    at += r.data.size();
  }
  if (!write(head.data(), head.size())) return false;
  if (!appInfo.empty() && !write(appInfo.data(), appInfo.size())) return false;
  if (!sortInfo.empty() && !write(sortInfo.data(), sortInfo.size())) return false;
  for (const PdbRecord& r : records_) {
    if (!r.data.empty() && !write(r.data.data(), r.data.size())) return false;
  }
  return true;
}

std::vector<uint8_t> PdbFile::serialize() const {
  std::vector<uint8_t> out;
  serializeTo([&out](const uint8_t* bytes, size_t size) {
    out.insert(out.end(), bytes, bytes + size);
    return true;
  });
  return out;
}

std::optional<size_t> PdbFile::findRecord(uint32_t uniqueId) const {
  auto it = byId_.find(uniqueId);
  if (it == byId_.end()) return std::nullopt;
  return it->second;
}

size_t PdbFile::appendRecord(PdbRecord record) {
  record.uniqueId &= kIdMask;
  if (record.uniqueId == 0 || byId_.count(record.uniqueId)) record.uniqueId = assignUniqueId();
  const size_t index = records_.size();
  byId_.emplace(record.uniqueId, index);
  records_.push_back(std::move(record));
  return index;
}

void PdbFile::clearRecords() {
  std::vector<PdbRecord>().swap(records_);
  std::unordered_map<uint32_t, size_t>().swap(byId_);
}

uint32_t PdbFile::assignUniqueId() {
  uint32_t id = uniqueIdSeed & kIdMask;
  do {
    id = (id + 1) & kIdMask;
  } while (id == 0 || byId_.count(id));
  uniqueIdSeed = id;
  return id;
}

}  // namespace tolvex
