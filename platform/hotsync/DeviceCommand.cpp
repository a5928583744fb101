// hotsync device init / dump: make a handheld image, and print one in readable form.
#include <cstdio>
#include <ctime>
#include <cstring>
#include <string>
#include <vector>

#include "platform/hotsync/Commands.h"
#include "platform/hotsync/Host.h"
#include "platform/hotsync/ListTree.h"
#include "platform/syncmgr/SyncMgr.h"

namespace tolvex::host {
namespace {

const char kUsage[] =
    "Usage: hotsync device init DIR [--user NAME]\n"
    "       hotsync device dump DIR [NAME]\n"
    "\n"
    "  init   creates the handheld image DIR (made when missing) with the user\n"
    "         NAME; without --user the handheld reports no user\n"
    "  dump   prints the image's databases and records (only database NAME when\n"
    "         given); list databases also as their item tree\n";

constexpr uint32_t kListCreator = SYNC_FOURCC('W', 'k', 'd', 'q');
constexpr uint16_t kRecordBuffer = 65535;

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

// Prints one database; false when it could not be opened.
bool dumpDatabase(const SyncDbRecord& db) {
  char name[SYNC_DB_NAMELEN + 1];
  std::memcpy(name, db.name, SYNC_DB_NAMELEN);
  name[SYNC_DB_NAMELEN] = '\0';
  std::printf("Database \"%s\" type %s creator %s version %u created %s modified %s\n", name,
              fourcc(db.dbType).c_str(), fourcc(db.creator).c_str(), db.version, palmDate(db.createDate).c_str(),
              palmDate(db.modDate).c_str());
  uint8_t handle = 0;
  long rc = SyncOpenDB(name, 0, &handle, SYNC_MODE_READ);
  if (rc != 0) {
    std::printf("  cannot be opened (error %ld, 0x%lx)\n", rc, rc);
    return false;
  }
  std::vector<uint8_t> buffer(kRecordBuffer);
  SyncAppInfoBlock appInfo;
  std::memset(&appInfo, 0, sizeof appInfo);
  appInfo.bufSize = kRecordBuffer;
  appInfo.buffer = buffer.data();
  if (SyncReadDBAppInfoBlock(handle, &appInfo) == 0 && appInfo.bytesRead > 0) {
    std::printf("  application info, %u bytes\n", appInfo.bytesRead);
    hexDump(buffer.data(), appInfo.bytesRead, "    ");
  }
  uint16_t count = 0;
  SyncGetDBRecordCount(handle, &count);
  std::printf("  %u records\n", count);
  bool isList = db.creator == kListCreator && db.dbType == kListCreator;
  ListTreePrinter tree;
  for (uint16_t index = 0; index < count; ++index) {
    SyncRecordInfo info;
    std::memset(&info, 0, sizeof info);
    info.handle = handle;
    info.recIndex = index;
    info.bufSize = kRecordBuffer;
    info.buffer = buffer.data();
    rc = SyncReadRecordByIndex(&info);
    if (rc != 0) {
      std::printf("  record %u: cannot be read (error %ld, 0x%lx)\n", index, rc, rc);
      continue;
    }
    size_t size = info.recSize < kRecordBuffer ? info.recSize : kRecordBuffer;
    std::printf("  record %u  id 0x%06x  attributes 0x%02x%s  category %d  %u bytes\n", index, info.recId,
                info.attribs, (info.attribs & SYNC_REC_DELETED) ? " (deleted)" : "", info.category, info.recSize);
    hexDump(buffer.data(), size, "    ");
    if (isList && index > 0) tree.add(info.recId, buffer.data(), size, (info.attribs & SYNC_REC_DELETED) != 0);
  }
  if (isList) tree.print();
  SyncCloseDB(handle);
  return true;
}

int deviceInit(ArgReader& args) {
  std::string folder, user;
  bool haveUser = false;
  while (!args.done()) {
    std::string arg = args.next();
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (arg == "--version") {
      printVersion();
      return kExitOk;
    } else if (arg == "--user") {
      if (!args.value(arg, &user)) return kExitUsage;
      haveUser = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return args.usageError("unknown argument '" + arg + "'");
    } else if (folder.empty()) {
      folder = arg;
    } else {
      return args.usageError("unexpected argument '" + arg + "'");
    }
  }
  if (folder.empty()) return args.usageError("the image folder DIR is required");
  if (user.size() >= sizeof(SyncUserInfo::name)) return args.usageError("the user name is too long");
  long rc = SyncHostCreateImage(folder.c_str(), haveUser ? user.c_str() : nullptr);
  if (rc != 0) {
    std::fprintf(stderr, "hotsync device init: cannot create the handheld image %s (error %ld)\n", folder.c_str(), rc);
    return kExitFailed;
  }
  std::printf("Created handheld image %s%s%s\n", folder.c_str(), haveUser ? " for " : "", user.c_str());
  return kExitOk;
}

int deviceDump(ArgReader& args) {
  std::string folder, name;
  while (!args.done()) {
    std::string arg = args.next();
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (arg == "--version") {
      printVersion();
      return kExitOk;
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
  if (folder.empty()) return args.usageError("the image folder DIR is required");
  if (!isDirectory(folder)) return args.usageError("no handheld image folder '" + folder + "'");
  if (SyncHostAttach(folder.c_str()) != 0) {
    std::fprintf(stderr, "hotsync device dump: cannot use the handheld image %s\n", folder.c_str());
    return kExitFailed;
  }
  SyncUserInfo user;
  std::memset(&user, 0, sizeof user);
  if (SyncReadUserID(&user) == 0) {
    std::printf("Handheld image %s, user \"%.*s\" (id %u)\n", folder.c_str(), static_cast<int>(strnlen(user.name, sizeof user.name)),
                user.name, user.userId);
  } else {
    std::printf("Handheld image %s, no user\n", folder.c_str());
  }
  bool found = name.empty();
  bool ok = true;
  for (const SyncDbRecord& db : databaseList()) {
    if (!name.empty() && std::strncmp(db.name, name.c_str(), SYNC_DB_NAMELEN) != 0) continue;
    found = true;
    ok = dumpDatabase(db) && ok;
  }
  SyncHostDetach();
  if (!found) {
    std::fprintf(stderr, "hotsync device dump: no database \"%s\" in %s\n", name.c_str(), folder.c_str());
    return kExitFailed;
  }
  return ok ? kExitOk : kExitFailed;
}

}  // namespace

int runDevice(int argc, char** argv, int first) {
  ArgReader args("device", argc, argv, first);
  if (args.done()) return args.usageError("init or dump is required");
  std::string what = args.next();
  if (what == "--help" || what == "-h") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (what == "--version") {
    printVersion();
    return kExitOk;
  }
  if (what == "init") {
    ArgReader rest("device init", argc, argv, first + 1);
    return deviceInit(rest);
  }
  if (what == "dump") {
    ArgReader rest("device dump", argc, argv, first + 1);
    return deviceDump(rest);
  }
  return args.usageError("unknown device command '" + what + "'");
}

}  // namespace tolvex::host
