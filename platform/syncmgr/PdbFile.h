// One Palm record database (.pdb) in memory: header fields, application-info
// and sort-info blocks, and the records with their attributes and unique IDs.
//
// `parse` accepts only well-formed files and names the first fault it finds;
// `serialize` produces the standard layout (header, record list, two pad
// bytes, app-info, sort-info, records). Resource databases are not handled.
//
// Unique IDs are 24-bit and never 0; `assignUniqueId` takes the next free one
// after the seed. The ID index is a hash map, so lookups do not grow with the
// database.
//
// Threading: a plain value; no internal locking.
#ifndef TOLVEX_PLATFORM_SYNCMGR_PDBFILE_H
#define TOLVEX_PLATFORM_SYNCMGR_PDBFILE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tolvex {

struct PdbRecord {
  uint8_t attributes = 0;  // high nibble of the attribute byte (0x80 deleted, ...)
  uint8_t category = 0;    // low nibble
  uint32_t uniqueId = 0;   // 24 bits
  std::vector<uint8_t> data;
};

// A record as it stands in a file's bytes (which must outlive it).
struct PdbRecordView {
  uint8_t attributes = 0;
  uint8_t category = 0;
  uint32_t uniqueId = 0;
  const uint8_t* data = nullptr;
  size_t size = 0;
};

class PdbFile {
 public:
  // Layout of the file header and record list.
  static constexpr size_t kHeaderSize = 78;
  static constexpr size_t kNameOffset = 0;
  static constexpr size_t kNameSize = 32;
  static constexpr size_t kAttributesOffset = 32;
  static constexpr size_t kVersionOffset = 34;
  static constexpr size_t kCreateDateOffset = 36;
  static constexpr size_t kModDateOffset = 40;
  static constexpr size_t kBackupDateOffset = 44;
  static constexpr size_t kModNumberOffset = 48;
  static constexpr size_t kAppInfoOffset = 52;
  static constexpr size_t kSortInfoOffset = 56;
  static constexpr size_t kTypeOffset = 60;
  static constexpr size_t kCreatorOffset = 64;
  static constexpr size_t kSeedOffset = 68;
  static constexpr size_t kNextListOffset = 72;
  static constexpr size_t kNumRecordsOffset = 76;
  static constexpr size_t kEntrySize = 8;
  static constexpr size_t kEntryOffset = 0;
  static constexpr size_t kEntryAttributes = 4;
  static constexpr size_t kEntryUniqueId = 5;
  static constexpr size_t kPadSize = 2;
  static constexpr size_t kMaxRecords = 0xFFFF;
  static constexpr uint16_t kResourceDatabase = 0x0001;

  // Parses `size` bytes. On a fault answers nothing and puts a short
  // description in *error (when given).
  static std::optional<PdbFile> parse(const uint8_t* bytes, size_t size,
                                      std::string* error);
  // The same checks; the records are not copied but listed as views of
  // `bytes` in `records`, and the answer holds none.
  static std::optional<PdbFile> parseInPlace(const uint8_t* bytes, size_t size, std::string* error,
                                             std::vector<PdbRecordView>* records);
  // The header's fixed fields alone (name, dates, type, creator, ...), of a
  // file that may be damaged beyond them; no blocks, no records.
  static std::optional<PdbFile> parseHeaderFields(const uint8_t* bytes, size_t size, std::string* error);
  std::vector<uint8_t> serialize() const;
  // The same bytes handed to `write` piece by piece, so a large database is
  // never held twice; stops and answers false when `write` does.
  using ByteSink = std::function<bool(const uint8_t* bytes, size_t size)>;
  bool serializeTo(const ByteSink& write) const;
  // The first kHeaderSize bytes of the file, for a database of
  // `recordCount` records and this object's app-info and sort-info blocks.
  void writeHeader(uint8_t* header, size_t recordCount) const;

  // Header fields (dates are seconds since 1904-01-01).
  std::string name;  // at most 31 bytes, no NUL
  uint16_t attributes = 0;
  uint16_t version = 0;
  uint32_t createDate = 0;
  uint32_t modDate = 0;
  uint32_t backupDate = 0;
  uint32_t modNumber = 0;
  uint32_t type = 0;
  uint32_t creator = 0;
  uint32_t uniqueIdSeed = 0;
  std::vector<uint8_t> appInfo;   // empty: none
  std::vector<uint8_t> sortInfo;  // empty: none

  const std::vector<PdbRecord>& records() const { return records_; }
  size_t recordCount() const { return records_.size(); }
  PdbRecord& record(size_t index) { return records_[index]; }
  // Index of the record with `uniqueId`, or nothing.
  std::optional<size_t> findRecord(uint32_t uniqueId) const;
  // Appends a record; a zero ID is replaced by a fresh one. Answers its index.
  size_t appendRecord(PdbRecord record);
  // Drops every record (and frees what they held).
  void clearRecords();
  // Next free non-zero 24-bit ID after the seed; advances the seed.
  uint32_t assignUniqueId();

 private:
  static std::optional<PdbFile> parseRecords(const uint8_t* bytes, size_t size, std::string* error,
                                             std::vector<PdbRecordView>* views);
  std::vector<PdbRecord> records_;
  std::unordered_map<uint32_t, size_t> byId_;
};

// Big-endian helpers shared by the stand-in.
uint16_t readBe16(const uint8_t* p);
uint32_t readBe32(const uint8_t* p);
void writeBe16(uint8_t* p, uint16_t v);
void writeBe32(uint8_t* p, uint32_t v);

}  // namespace tolvex

#endif
