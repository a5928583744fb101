// "TolvFilters" -> "TolvanFilters.XML": one filter per record, each with its
// rules. Filters and rules are chained by putting each new one in front.
#include <string>

#include "export/Bytes.h"
#include "export/Export.h"
#include "export/HandheldRead.h"
#include "platform/syncmgr/SyncMgr.h"

namespace tolvex {

namespace {

// Filter record.
constexpr size_t kTitleOffset = 0;
constexpr size_t kTitleSize = 32;
constexpr size_t kUniqueIdOffset = 32;
constexpr size_t kFlagsOffset = 36;
constexpr size_t kRuleCountOffset = 38;
constexpr size_t kRulesOffset = 40;

// Rule, offsets within the rule.
constexpr size_t kRuleSize = 28;
constexpr size_t kOperationOffset = 0;
constexpr size_t kRelationOffset = 2;
constexpr size_t kRuleFlagsOffset = 4;
constexpr size_t kValueOffset = 6;
constexpr size_t kValueSize = 22;

constexpr int kNoRowValueKind = 999;
constexpr const char* kFilterDatabase = "TolvFilters";

class NullRunLog : public RunLog {
 public:
  void write(const char*) override {}
};

bool isBlank(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::unique_ptr<FilterRule> parseRule(const uint8_t* rule, RunLog* log) {
  auto parsed = std::make_unique<FilterRule>();
  parsed->operation = be16At(rule, kRuleSize, kOperationOffset);
  parsed->relation = be16At(rule, kRuleSize, kRelationOffset);
  uint16_t flagWord = be16At(rule, kRuleSize, kRuleFlagsOffset);
  parsed->flags = flagWord & 1;
  parsed->group = (flagWord >> 1) & 3;
  const FilterOperation* op = findFilterOperation(parsed->operation);
  if (op && op->valueKind == kTextValueKind)
    parsed->text = fieldText(rule, kRuleSize, kValueOffset, kValueSize);
  else
    parsed->number = parseRuleNumber(rule + kValueOffset, kValueSize);
  if (log) {
    const char* name = op ? op->name : "(error!)";
    int kind = op ? op->valueKind : kNoRowValueKind;
    int operation = static_cast<int>(parsed->operation);
    int relation = static_cast<int>(parsed->relation);
    if (parsed->text)
      log->line("#     Added rule: op=%d(%s) r=%d f=%d g=%d v=%d(%s)\n", operation, name, relation,
                parsed->flags, parsed->group, kind, parsed->text->c_str());
    else
      log->line("#     Added rule: op=%d(%s) r=%d f=%d g=%d v=%d(%u)\n", operation, name, relation,
                parsed->flags, parsed->group, kind, parsed->number);
  }
  return parsed;
}

}  // namespace

FilterRule::~FilterRule() {
  std::unique_ptr<FilterRule> rest = std::move(next);
  while (rest) rest = std::move(rest->next);
}

Filter::~Filter() {
  std::unique_ptr<Filter> rest = std::move(next);
  while (rest) rest = std::move(rest->next);
}

uint32_t parseRuleNumber(const uint8_t* field, size_t size) {
  size_t i = 0;
  while (i < size && isBlank(field[i])) ++i;
  bool negative = false;
  if (i < size && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
  uint32_t value = 0;
  for (; i < size && field[i] >= '0' && field[i] <= '9'; ++i)
    value = value * 10u + static_cast<uint32_t>(field[i] - '0');
  return negative ? 0u - value : value;
}

std::unique_ptr<Filter> parseFilterRecord(const uint8_t* bytes, size_t size, RunLog* log) {
  auto filter = std::make_unique<Filter>();
  filter->title = fieldText(bytes, size, kTitleOffset, kTitleSize);
  filter->uniqueID = be32At(bytes, size, kUniqueIdOffset);
  filter->flags = be16At(bytes, size, kFlagsOffset);
  if (log) log->line("#   Fetching filter '%s'\n", filter->title.c_str());

  size_t count = be16At(bytes, size, kRuleCountOffset);
  size_t room = size > kRulesOffset ? (size - kRulesOffset) / kRuleSize : 0;
  size_t kept = count < room ? count : room;
  for (size_t r = 0; r < kept; ++r) {
    auto rule = parseRule(bytes + kRulesOffset + r * kRuleSize, log);
    rule->next = std::move(filter->rules);
    filter->rules = std::move(rule);
  }
  if (log && kept < count)
    log->line("!   Filter '%s': %u of %u rules reach past the record; dropped.\n",
              filter->title.c_str(), static_cast<unsigned>(count - kept),
              static_cast<unsigned>(count));
  return filter;
}

ExportResult exportFilterDatabase(const RunEnv& env, const std::string& fileName) {
  NullRunLog nullLog;
  RunLog& log = env.log ? *env.log : nullLog;

  uint8_t handle = 0;
  uint16_t count = 0;
  if (!openExportDatabase(log, kFilterDatabase, "#   ERROR: Couldn't open filter database!\n", &handle, &count))
    return ExportResult::kNotRead;
  log.line("#   Reading %u filters.\n", static_cast<unsigned>(count));
  std::unique_ptr<Filter> chain;
  for (unsigned index = 0; index < count; ++index) {
    ExportRecord record;
    if (readExportRecord(handle, static_cast<uint16_t>(index), record) != SYNCERR_NONE) {
      log.line("#   ERROR: Couldn't retrieve record %u!\n", index);
      SyncCloseDB(handle);
      return ExportResult::kNotRead;   // nothing is written; the previous file stays
    }
    auto filter = parseFilterRecord(record.bytes.data(), record.bytes.size(), &log);
    filter->next = std::move(chain);
    chain = std::move(filter);
  }
  SyncCloseDB(handle);

  std::string path = env.desktopFolder + fileName;
  log.line("#   Write tag database out to %s\n", path.c_str());   // "tag" for this file too
  std::string message;
  FilterFileWriter writer;
  if (writer.write(chain.get(), path, message) != 0) {   // the old file stays as it was
    log.line("#   ERROR: Couldn't write %s; it is left as it was.\n", path.c_str());
    return ExportResult::kNotSaved;
  }
  logLeftOut(log, writer.leftOut());
  return ExportResult::kSaved;
}

}  // namespace tolvex
