// hotsync device dump: what is on a handheld image, as text or JSON. List
// databases are shown as their outline, the tag database as its tags by
// category, the filter database as its filters with their rules; other
// databases, and all of them with --records, as their records in hex.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "desktop/TextEncoding.h"
#include "export/Export.h"
#include "platform/hotsync/Commands.h"
#include "platform/hotsync/Host.h"
#include "platform/hotsync/Json.h"
#include "platform/hotsync/ListTree.h"
#include "platform/syncmgr/SyncMgr.h"

namespace tolvex::host {
namespace {

constexpr uint32_t kListCreator = SYNC_FOURCC('W', 'k', 'd', 'q');
constexpr uint16_t kRecordBuffer = 65535;

struct DumpOptions {
  bool json = false;
  bool records = false;  // hex records of list databases too
};

std::string fourcc(uint32_t code) {
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) {
    unsigned char c = static_cast<unsigned char>(code >> shift);
    out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  return out;
}

// Seconds since 1904-01-01 as a UTC date.
std::string palmDate(uint32_t seconds) {
  if (seconds == 0) return "never";
  constexpr int64_t kEpochOffset = 2082844800;  // 1904-01-01 to 1970-01-01
  time_t t = static_cast<time_t>(static_cast<int64_t>(seconds) - kEpochOffset);
  struct tm utc;
  gmtime_r(&t, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
  return text;
}

void hexDump(const uint8_t* bytes, size_t size, const char* indent) {
  for (size_t row = 0; row < size; row += 16) {
    std::printf("%s%04zx ", indent, row);
    for (size_t i = row; i < row + 16; ++i) {
      if (i < size) {
        std::printf(" %02x", bytes[i]);
      } else {
        std::printf("   ");
      }
    }
    std::printf("  ");
    for (size_t i = row; i < row + 16 && i < size; ++i) {
      std::putchar(bytes[i] >= 0x20 && bytes[i] < 0x7F ? bytes[i] : '.');
    }
    std::putchar('\n');
  }
}

std::string hexText(const uint8_t* bytes, size_t size) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * size);
  for (size_t i = 0; i < size; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 0x0F];
  }
  return out;
}

std::string counted(size_t n, const char* what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

enum class Kind { kList, kTags, kFilters, kOther };

Kind kindOf(const SyncDbRecord& db) {
  if (db.creator != kListCreator) return Kind::kOther;
  if (db.dbType == kListCreator) return Kind::kList;
  if (db.dbType == SYNC_FOURCC('T', 'a', 'g', 's')) return Kind::kTags;
  if (db.dbType == SYNC_FOURCC('F', 'i', 'l', 't')) return Kind::kFilters;
  return Kind::kOther;
}

// One record as read: its bytes and category.
struct RawRecord {
  std::vector<uint8_t> bytes;
  int category = 0;
};

// The tag database: tags by category, in the category order of its
// application-info block.
void showTags(const std::vector<uint8_t>& appInfo, const std::vector<RawRecord>& records, bool asJson,
              JsonWriter& json) {
  const TagCategories categories = parseTagCategories(appInfo.data(), appInfo.size());
  if (asJson) json.key("tags").beginArray();
  for (int slot = 0; slot < kTagCategorySlots; ++slot) {
    std::vector<TagRecord> tags;
    for (const RawRecord& r : records) {
      if (r.category == slot) tags.push_back(parseTagRecord(r.bytes.data(), r.bytes.size()));
    }
    if (categories[slot].label.empty() && tags.empty()) continue;
    const std::string label = cp1252BytesToUtf8(categories[slot].label);
    if (asJson) {
      json.beginObject().key("category").string(label).key("tags").beginArray();
      for (const TagRecord& t : tags)
        json.beginObject().key("name").string(cp1252BytesToUtf8(t.name)).key("id").number(t.tagID).endObject();
      json.endArray().endObject();
      continue;
    }
    std::printf("    %s (%s)\n", terminalLine(label, 64).c_str(), counted(tags.size(), "tag").c_str());
    for (const TagRecord& t : tags)
      std::printf("      %s (id %u)\n", terminalLine(cp1252BytesToUtf8(t.name), 64).c_str(), t.tagID);
  }
  if (asJson) json.endArray();
}

// The filter database: each filter with its rules, in the stored order.
void showFilters(const std::vector<RawRecord>& records, bool asJson, JsonWriter& json) {
  if (asJson) json.key("filters").beginArray();
  for (const RawRecord& r : records) {
    std::unique_ptr<Filter> filter = parseFilterRecord(r.bytes.data(), r.bytes.size(), nullptr);
    if (!filter) continue;
    std::vector<const FilterRule*> rules;
    for (const FilterRule* rule = filter->rules.get(); rule; rule = rule->next.get()) rules.insert(rules.begin(), rule);
    const std::string title = cp1252BytesToUtf8(filter->title);
    if (asJson) {
      json.beginObject().key("title").string(title).key("id").number(filter->uniqueID);
      json.key("flags").number(filter->flags).key("rules").beginArray();
    } else {
      std::printf("    %s (id %u, flags %u, %s)\n", terminalLine(title, 64).c_str(), filter->uniqueID,
                  static_cast<unsigned>(filter->flags), counted(rules.size(), "rule").c_str());
    }
    for (const FilterRule* rule : rules) {
      const FilterOperation* op = findFilterOperation(rule->operation);
      const std::string name = op ? op->name : "unknown operation";
      const std::string value = rule->text ? cp1252BytesToUtf8(*rule->text) : std::to_string(rule->number);
      if (asJson) {
        json.beginObject().key("operation").number(rule->operation).key("name").string(name);
        json.key("relation").number(rule->relation).key("value").string(value);
        json.key("flags").number(rule->flags).key("group").number(rule->group).endObject();
      } else {
        std::printf("      %s (operation %u), relation %u, value \"%s\", flags %d, group %d\n", name.c_str(),
                    rule->operation, rule->relation, terminalLine(value, 64).c_str(), rule->flags, rule->group);
      }
    }
    if (asJson) json.endArray().endObject();
  }
  if (asJson) json.endArray();
}

std::vector<SyncDbRecord> databaseList() {
  std::vector<SyncDbRecord> all;
  constexpr int kChunk = 64;
  std::vector<SyncDbRecord> chunk(kChunk);
  for (uint16_t start = 0;;) {
    int count = kChunk;
    if (SyncReadDBList(0, start, 1, chunk.data(), &count) != 0 || count <= 0) break;
    if (count > kChunk) count = kChunk;
    all.insert(all.end(), chunk.begin(), chunk.begin() + count);
    if (count < kChunk) break;
    start = static_cast<uint16_t>(start + count);
  }
  return all;
}

std::string databaseName(const SyncDbRecord& db) {
  return std::string(db.name, strnlen(db.name, SYNC_DB_NAMELEN));
}

// Prints one database, or writes it as one JSON object; false when it could
// not be opened.
bool dumpDatabase(const SyncDbRecord& db, const DumpOptions& options, JsonWriter& json) {
  const std::string name = databaseName(db);
  const std::string shownName = cp1252BytesToUtf8(name);
  const Kind kind = kindOf(db);
  const bool isList = kind == Kind::kList;
  if (options.json) {
    json.beginObject();
    json.key("name").string(shownName);
    json.key("type").string(fourcc(db.dbType));
    json.key("creator").string(fourcc(db.creator));
    json.key("version").number(db.version);
    json.key("created").string(palmDate(db.createDate));
    json.key("modified").string(palmDate(db.modDate));
    json.key("list").boolean(isList);
  } else {
    std::printf("Database \"%s\" type %s creator %s version %u created %s modified %s\n",
                terminalLine(shownName, SYNC_DB_NAMELEN).c_str(), fourcc(db.dbType).c_str(),
                fourcc(db.creator).c_str(), db.version, palmDate(db.createDate).c_str(),
                palmDate(db.modDate).c_str());
  }
  uint8_t handle = 0;
  long rc = SyncOpenDB(name.c_str(), 0, &handle, SYNC_MODE_READ);
  if (rc != 0) {
    if (options.json) {
      json.key("error").string("cannot be opened (error " + std::to_string(rc) + ")");
      json.endObject();
    } else {
      std::printf("  cannot be opened (error %ld, 0x%lx)\n", rc, rc);
    }
    return false;
  }
  std::vector<uint8_t> buffer(kRecordBuffer);
  SyncAppInfoBlock appInfo;
  std::memset(&appInfo, 0, sizeof appInfo);
  appInfo.bufSize = kRecordBuffer;
  appInfo.buffer = buffer.data();
  std::vector<uint8_t> appInfoBytes;
  if (SyncReadDBAppInfoBlock(handle, &appInfo) == 0 && appInfo.bytesRead > 0) {
    appInfoBytes.assign(buffer.begin(), buffer.begin() + appInfo.bytesRead);
    if (kind == Kind::kTags && !options.records) {
      // decoded with the records below
    } else if (options.json) {
      json.key("appInfo").string(hexText(buffer.data(), appInfo.bytesRead));
    } else {
      std::printf("  application info, %u bytes\n", appInfo.bytesRead);
      hexDump(buffer.data(), appInfo.bytesRead, "    ");
    }
  }
  uint16_t count = 0;
  SyncGetDBRecordCount(handle, &count);
  const bool showRecords = kind == Kind::kOther || options.records;
  if (options.json) {
    json.key("recordCount").number(count);
    if (showRecords) json.key("records").beginArray();
  } else {
    std::printf("  %s\n", counted(count, "record").c_str());
  }
  ListTree tree;
  std::vector<RawRecord> decoded;
  for (uint16_t index = 0; index < count; ++index) {
    SyncRecordInfo info;
    std::memset(&info, 0, sizeof info);
    info.handle = handle;
    info.recIndex = index;
    info.bufSize = kRecordBuffer;
    info.buffer = buffer.data();
    rc = SyncReadRecordByIndex(&info);
    const bool deleted = (info.attribs & SYNC_REC_DELETED) != 0;
    size_t size = info.recSize < kRecordBuffer ? info.recSize : kRecordBuffer;
    if (showRecords && options.json) {
      json.beginObject().key("index").number(index);
      if (rc != 0) {
        json.key("error").string("cannot be read (error " + std::to_string(rc) + ")").endObject();
      } else {
        json.key("id").number(info.recId).key("attributes").number(info.attribs);
        json.key("category").number(info.category).key("deleted").boolean(deleted);
        json.key("size").number(info.recSize).key("data").string(hexText(buffer.data(), size)).endObject();
      }
    } else if (showRecords && rc != 0) {
      std::printf("  record %u: cannot be read (error %ld, 0x%lx)\n", index, rc, rc);
    } else if (showRecords) {
      std::printf("  record %u  id 0x%06x  attributes 0x%02x%s  category %d  %u bytes\n", index, info.recId,
                  info.attribs, deleted ? " (deleted)" : "", info.category, info.recSize);
      hexDump(buffer.data(), size, "    ");
    }
    if (rc == 0 && isList && index > 0) tree.add(info.recId, buffer.data(), size, deleted);
    if (rc == 0 && !deleted && (kind == Kind::kTags || kind == Kind::kFilters))
      decoded.push_back(RawRecord{std::vector<uint8_t>(buffer.begin(), buffer.begin() + size), info.category});
  }
  if (options.json && showRecords) json.endArray();
  if (kind == Kind::kTags) {
    if (!options.json) std::printf("  tags by category:\n");
    showTags(appInfoBytes, decoded, options.json, json);
  } else if (kind == Kind::kFilters) {
    if (!options.json) std::printf("  filters:\n");
    showFilters(decoded, options.json, json);
  }
  if (isList && options.json) {
    json.key("items");
    tree.writeJson(json);
    std::string fault = tree.fault();
    if (!fault.empty()) json.key("outlineError").string(fault);
  } else if (isList) {
    tree.print();
  }
  if (options.json) json.endObject();
  SyncCloseDB(handle);
  return true;
}

}  // namespace

int deviceDump(ArgReader& args) {
  std::string folder, name;
  DumpOptions options;
  while (!args.done()) {
    std::string arg = args.next();
    if (arg == "--help" || arg == "-h") {
      std::fputs(kDeviceUsage, stdout);
      return kExitOk;
    } else if (arg == "--version") {
      printVersion();
      return kExitOk;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--records") {
      options.records = true;
    } else if (!arg.empty() && arg[0] == '-' && arg.size() > 1) {
      return args.usageError("unknown argument '" + arg + "'");
    } else if (folder.empty()) {
      folder = arg;
    } else if (name.empty()) {
      name = arg;
    } else {
      return args.usageError("unexpected argument '" + arg + "'");
    }
  }
  if (folder.empty()) return args.usageError("the image folder IMAGE is required");
  if (!isDirectory(folder)) return args.usageError("no handheld image folder '" + folder + "'");
  if (SyncHostAttach(folder.c_str()) != 0) {
    std::fprintf(stderr, "hotsync device dump: cannot use the handheld image %s\n", folder.c_str());
    return kExitFailed;
  }
  JsonWriter json;
  SyncUserInfo user;
  std::memset(&user, 0, sizeof user);
  const bool hasUser = SyncReadUserID(&user) == 0;
  const std::string userName = cp1252BytesToUtf8(std::string(user.name, strnlen(user.name, sizeof user.name)));
  if (options.json) {
    json.beginObject().key("image").string(folder).key("user");
    if (hasUser) {
      json.beginObject().key("name").string(userName).key("id").number(user.userId).endObject();
    } else {
      json.null();
    }
    json.key("databases").beginArray();
  } else if (hasUser) {
    std::printf("Handheld image %s, user \"%s\" (id %u)\n", folder.c_str(), terminalLine(userName, sizeof user.name).c_str(),
                user.userId);
  } else {
    std::printf("Handheld image %s, no user\n", folder.c_str());
  }
  bool found = name.empty();
  bool ok = true;
  for (const SyncDbRecord& db : databaseList()) {
    // NAME is matched against the header name as the handheld shows it, so a
    // name with accented letters can be typed in UTF-8.
    if (!name.empty() && databaseName(db) != name && cp1252BytesToUtf8(databaseName(db)) != name) continue;
    found = true;
    ok = dumpDatabase(db, options, json) && ok;
  }
  SyncHostDetach();
  if (!found) {
    std::fprintf(stderr, "hotsync device dump: no database \"%s\" in %s\n", name.c_str(), folder.c_str());
    return kExitFailed;
  }
  if (options.json) std::printf("%s\n", json.endArray().endObject().text().c_str());
  return ok ? kExitOk : kExitFailed;
}

}  // namespace tolvex::host
