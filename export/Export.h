// Tag and filter export: the handheld's "TolvTags" and "TolvFilters"
// databases written as desktop XML files. One-way; the handheld is only read.
//
// The byte parsing is kept in pure functions over (bytes, size) so that it can
// be exercised without a handheld. Every parser reads only the bytes it is
// given: bytes missing from a short block or record read as zero, and a text
// not terminated inside its field ends at the end of the field.
//
// Single-threaded; every value here has one owner.
#ifndef TOLVEX_EXPORT_EXPORT_H
#define TOLVEX_EXPORT_EXPORT_H
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/RunLog.h"
#include "desktop/XmlFile.h"

namespace tolvex {

// How an export ended. kNotSaved: the handheld database was read to the end
// but its file could not be written; the file is left as it was.
enum class ExportResult { kSaved, kNotRead, kNotSaved };
ExportResult exportTagDatabase(const RunEnv& env, const std::string& fileName);
ExportResult exportFilterDatabase(const RunEnv& env, const std::string& fileName);

// The most of an app-info block or record the export looks at.
inline constexpr size_t kExportBufferSize = 1024;

// ---- Tag database ------------------------------------------------------

inline constexpr int kTagCategorySlots = 16;

struct TagCategory {
  uint8_t uniqueID = 0;
  std::string label;   // empty: an empty slot
};
using TagCategories = std::array<TagCategory, kTagCategorySlots>;

// The standard category block at the start of the app-info block.
TagCategories parseTagCategories(const uint8_t* bytes, size_t size);

struct TagRecord {
  std::string name;
  uint32_t tagID = 0;
};
TagRecord parseTagRecord(const uint8_t* bytes, size_t size);

// One top-level item per slot, in slot order; logs the labelled slots.
std::unique_ptr<ItemList> makeTagList(const TagCategories& categories, RunLog& log);
// Files the tag as the last child of the category at `slot` and logs it; a
// slot outside 0..15 drops the tag with an error line and answers false.
bool fileTag(ItemList& list, int slot, uint32_t recordID, const TagRecord& tag, RunLog& log);
// Removes every top-level item with an empty title (and its tags); the count.
unsigned purgeEmptyCategories(ItemList& list);

// ---- Filter database ---------------------------------------------------

// One row of the operation table. Kind 1 is a text value, any other a number.
struct FilterOperation {
  unsigned code;
  const char* name;   // nullptr ends the table
  int valueKind;
  const char* hint;   // nullptr: none
};
inline constexpr int kTextValueKind = 1;

// Searched by code from the top up to the row without a name.
extern const FilterOperation kFilterOperations[];
// Code -> row, or nullptr when the code has no row.
const FilterOperation* findFilterOperation(unsigned code);

// Display texts of the rule vocabulary (relations, yes/no, date values), in
// the handheld's order. The export writes codes, not these texts.
extern const char* const kRuleVocabulary[];
extern const size_t kRuleVocabularySize;

struct FilterRule {
  unsigned operation = 0;
  unsigned relation = 0;
  std::optional<std::string> text;   // set for a text operation
  uint32_t number = 0;               // the value of every other operation
  int flags = 0;                     // 0 or 1
  int group = 0;                     // 0 to 3
  std::unique_ptr<FilterRule> next;

  FilterRule() = default;
  ~FilterRule();   // releases the rest of the chain without recursion
  FilterRule(const FilterRule&) = delete;
  FilterRule& operator=(const FilterRule&) = delete;
};

struct Filter {
  std::string title;
  uint32_t uniqueID = 0;
  uint16_t flags = 0;
  std::unique_ptr<FilterRule> rules;   // reverse of the stored order
  std::unique_ptr<Filter> next;

  Filter() = default;
  ~Filter();   // releases the rest of the chain without recursion
  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;
};

// A rule value field as a number: leading blanks, optional sign, decimal
// digits up to the first other byte; no digits give 0. Wraps modulo 2^32.
uint32_t parseRuleNumber(const uint8_t* field, size_t size);

// One filter record: the filter with its rules chained in front-insert order.
// With a log, writes the fetch and rule lines, and one line when the rule
// count reaches past the bytes given (the rules that fit whole are kept).
std::unique_ptr<Filter> parseFilterRecord(const uint8_t* bytes, size_t size, RunLog* log);

class FilterFileWriter : public XmlFileWriter {
 public:
  // 0 when written or when there is no filter (nothing is touched then), -2
  // when the file cannot be created or written whole (the old one stays).
  // `message` is not used.
  int write(const Filter* chain, const std::string& path, std::string& message);
  // What the last write left out.
  const LeftOut& leftOut() const { return leftOut_; }
  // The file's text for a chain (empty for no filter); `leftOut` (may be
  // null) gets what XML could not hold.
  static std::string format(const Filter* chain, LeftOut* leftOut = nullptr);

 private:
  LeftOut leftOut_;
};

}  // namespace tolvex
#endif
