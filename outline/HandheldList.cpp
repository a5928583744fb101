#include "outline/HandheldList.h"

#include <sys/stat.h>

#include <cstring>
#include <vector>

#include "desktop/TextEncoding.h"
#include "outline/ItemRecord.h"
#include "outline/PendingRebuilds.h"
#include "platform/syncmgr/SyncMgr.h"

namespace tolvex {

const char* const kTempDatabaseName = "Tolvk-*Sync*";

namespace {

constexpr uint8_t kListOpenMode = 0xD0;   // read, write, secret records included
constexpr uint32_t kListCreator = SYNC_FOURCC('W', 'k', 'd', 'q');
constexpr uint32_t kListType = SYNC_FOURCC('W', 'k', 'd', 'q');
constexpr uint32_t kBackupAttribute = 0x0008;
constexpr uint16_t kListVersion = 1;
constexpr size_t kHeaderFlagsOffset = 50;
constexpr size_t kHeaderMagicOffset = 58;
constexpr uint32_t kHeaderMagic = SYNC_FOURCC('T', 'l', 'v', 'k');
constexpr uint32_t kSyncRequestFlag = 0x80;
constexpr size_t kRenameBlockSize = 71;
constexpr size_t kRenameNameField = 35;
constexpr uint8_t kRenameTrailer = 0x7B;
constexpr size_t kMaxRecords = 65535;  // a handheld database's record index is 16 bits

uint32_t bigEndian32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

bool forceVerbose(const RunEnv& env) {
  struct stat st;
  return ::stat((env.desktopFolder + "FORCEVERBOSE").c_str(), &st) == 0;
}

// The Sync Manager's form of a list name, one byte a character. A name that
// has none (the run's table holds no such name) becomes "", which names no
// database.
std::string dbName(const std::string& name) { return handheldListName(name).value_or(std::string()); }

void copyName(char (&field)[SYNC_DB_NAMELEN], const std::string& name) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, name.data(), std::min(name.size(), sizeof field - 1));
}

// The one read buffer of a list read, with the record block that points at it.
class RecordReader {
 public:
  explicit RecordReader(uint8_t handle) : buffer_(kReadBufferSize, 0) {
    std::memset(&info_, 0, sizeof info_);
    info_.handle = handle;
  }
  // Reads record `index`; zeroes the buffer first when `zero`. Only the
  // bytes the last record filled can be non-zero, so only those are cleared.
  long read(uint16_t index, bool zero) {
    if (zero) std::fill(buffer_.begin(), buffer_.begin() + filled_, 0);
    filled_ = buffer_.size();
    info_.recIndex = index;
    info_.bufSize = uint16_t(kReadBufferSize);
    info_.buffer = buffer_.data();
    info_.recSize = 0;
    info_.attribs = 0;
    info_.recId = 0;
    long err = SyncReadRecordByIndex(&info_);
    if (err == 0) filled_ = size();
    return err;
  }
  const uint8_t* bytes() const { return buffer_.data(); }
  size_t size() const { return std::min<size_t>(info_.recSize, kReadBufferSize); }
  uint32_t uniqueID() const { return info_.recId; }
  bool deleted() const { return info_.attribs & SYNC_REC_DELETED; }

 private:
  std::vector<uint8_t> buffer_;
  size_t filled_ = 0;  // bytes from the start that may be non-zero
  SyncRecordInfo info_;
};

// Address links beyond what one record holds stay on the desktop only.
void logLinksLeftOut(const RunEnv& env, const ListNode& item) {
  if (item.linkEAB().empty()) return;
  size_t capacity = linkEabCapacity(item);
  if (item.linkEAB().size() <= capacity) return;
  const std::string title(utf8Head(item.title(), 60));
  logLine(env, "#   WARNING: Item '%s' has %zu links; its handheld record holds %zu. The rest stay on the desktop.\n",
          title.c_str(), item.linkEAB().size(), capacity);
}

// State of one readHandheldList call.
struct ListRead {
  const RunEnv& env;
  ItemList& list;
  RecordReader& reader;
  uint16_t next = 1;       // index of the next record to read
  bool complete = true;
  // The marker file is looked for once per list read: a stat for every
  // record would cost more than reading the record.
  bool verbose = false;
};

// Reads the record at the next index into a new item. Null on failure (logged);
// a record too large for the buffer is stepped over so the read can go on.
std::unique_ptr<ListNode> readItem(ListRead& read, bool zero, uint16_t* treeFlags) {
  long err = read.reader.read(read.next, zero);
  if (err == SYNCERR_TOO_BIG) {
    logLine(read.env, "!     Record %u is larger than %u bytes; skipped, the handheld keeps it.\n",
            unsigned(read.next), unsigned(kReadBufferSize));
    ++read.next;
    read.complete = false;
    return nullptr;
  }
  if (err != 0) {
    logLine(read.env, "!     Error fetching record from handheld!\n");
    read.complete = false;
    return nullptr;
  }
  auto item = unpackItemRecord(&read.list, read.reader.uniqueID(), read.reader.bytes(),
                               read.reader.size(), read.reader.deleted(), treeFlags);
  if (!item) {
    logLine(read.env, "!     Couldn't unpack record into listnode\n");
    read.complete = false;
  }
  return item;
}

// Reads the tree from the next index: each item, then its first child's
// subtree, then its next sibling, as the tree flags announce. A pending
// task is a referent and where the next record goes relative to it; a failed
// read ends only its own branch. The explicit stack keeps a long sibling row
// off the call stack.
void readHandheldSubtree(ListRead& read) {
  struct Task {
    ListNode* referent;
    bool asChild;
  };
  std::vector<Task> pending{{nullptr, false}};
  while (!pending.empty()) {
    Task task = pending.back();
    pending.pop_back();
    uint16_t tree = 0;
    std::unique_ptr<ListNode> owned = readItem(read, true, &tree);
    if (!owned) continue;
    ListNode* item = owned.get();
    if (read.verbose) logLine(read.env, "#     Found: %s (%u)\n", item->title().c_str(), item->uniqueID());
    if (!task.referent)
      read.list.setHead(std::move(owned));
    else if (task.asChild)
      task.referent->insertFirstChild(std::move(owned));
    else
      task.referent->insertAfter(std::move(owned));
    ++read.next;
    if (tree & kHasNextSibling) pending.push_back({item, false});
    if (tree & kHasFirstChild) pending.push_back({item, true});
  }
}

// The records after the tree: deleted items, appended at the top level.
void readDeletedRecords(ListRead& read, uint16_t count) {
  ListNode* referent = read.list.head()->lastSibling();
  for (uint16_t i = 0; i < count; ++i) {
    uint16_t before = read.next;
    std::unique_ptr<ListNode> item = readItem(read, true, nullptr);
    if (!item) {
      if (read.next != before) continue;   // an oversized record was stepped over
      return;
    }
    ListNode* placed = item.get();
    referent->insertAfter(std::move(item));
    if (read.verbose)
      logLine(read.env, "#     Found deleted: %s (%u)\n", placed->title().c_str(), placed->uniqueID());
    ++read.next;
    referent = placed;
  }
}

}  // namespace

bool checkListHeader(const RunEnv& env, uint8_t handle, bool* declined) {
  if (declined) *declined = false;
  RecordReader reader(handle);
  // A header that cannot be read leaves open whether the list asks to be
  // synchronized: that is said, and the list counts as not in step. One too
  // short to be a list header is passed over, as the rules say, silently.
  if (const long err = reader.read(0, false); err != 0) {
    logLine(env, "#   ERROR: Couldn't read the list header (%ld %lx)!\n", err, static_cast<unsigned long>(err));
    return false;
  }
  if (reader.size() < kListHeaderSize) {
    if (declined) *declined = true;
    return false;
  }
  if (bigEndian32(reader.bytes() + kHeaderMagicOffset) != kHeaderMagic) {
    logLine(env, "#   ERROR: List doesn't appear to have a header! Resave!\n");
    return false;
  }
  const bool requested = bigEndian32(reader.bytes() + kHeaderFlagsOffset) & kSyncRequestFlag;
  if (declined) *declined = !requested;
  return requested;
}

std::optional<uint8_t> openListDatabase(const RunEnv& env, const DatabaseEntry& entry, bool* declined) {
  if (declined) *declined = false;
  uint8_t handle = 0;
  long err = SyncOpenDB(dbName(entry.name).c_str(), entry.card, &handle, kListOpenMode);
  if (err != 0) {
    logLine(env, "#   ERROR: Cannot Open DB (%d %x)\n", int(err), unsigned(err));
    // The database is there but cannot be read: its records may hold
    // handheld edits, so neither side is written over.
    if (err == SYNCERR_IO)
      logLine(env, "!   Handheld database %s cannot be read. Leaving both sides as they are.\n", entry.name.c_str());
    return std::nullopt;
  }
  uint16_t count = 0;
  if (SyncGetDBRecordCount(handle, &count) != 0) {
    logLine(env, "#   ERROR: Cannot determine number of records!\n");
    SyncCloseDB(handle);
    return std::nullopt;
  }
  if (count == 0) {
    logLine(env, "#   ERROR: Skipped DB; not enough records!\n");
    SyncCloseDB(handle);
    return std::nullopt;
  }
  if (!checkListHeader(env, handle, declined)) {
    logLine(env, "#   SKIPPING: Sync request flag not set. (%d recs)\n", int(count));
    SyncCloseDB(handle);
    return std::nullopt;
  }
  return handle;
}

std::unique_ptr<ItemList> readHandheldList(const RunEnv& env, uint8_t handle, bool* complete) {
  if (complete) *complete = false;
  RecordReader reader(handle);
  auto list = std::make_unique<ItemList>();
  if (reader.read(0, false) != 0) {
    logLine(env, "!     Error fetching list header record from handheld!\n");
    return nullptr;
  }
  list->setHeaderRecord(reader.bytes(), reader.size());
  uint16_t count = 0;
  if (SyncGetDBRecordCount(handle, &count) != 0) {
    logLine(env, "#   ERROR: Cannot determine number of records!\n");
    return nullptr;
  }
  logLine(env, "#   Found %u records.\n", unsigned(count));
  logLine(env, "#   Reading undeleted records.\n");

  ListRead read{env, *list, reader};
  read.verbose = forceVerbose(env);
  if (count > 1) readHandheldSubtree(read);
  uint16_t deleted = count > read.next ? uint16_t(count - read.next) : 0;
  logLine(env, "#   Found %u deleted records.\n", unsigned(deleted));
  if (deleted > 0 && list->head()) readDeletedRecords(read, deleted);
  logLine(env, "#   Finished reading records.\n");
  if (complete) *complete = read.complete && read.next >= count;
  return list;
}

bool writeItemRecords(const RunEnv& env, ItemList& list, uint8_t handle) {
  bool ok = true;
  ItemList::forEach(list.head(), WalkScope::kSubtree, [&](ListNode* item) {
    if (item->dirtyContent()) {
      logLine(env, "#   Clearing dirty content flag on desktop item.\n");
      item->setDirtyContent(false);
    }
    if (item->dirtyPosition()) {
      logLine(env, "#   Clearing dirty position flag on desktop item.\n");
      item->setDirtyPosition(false);
    }
    logLinksLeftOut(env, *item);
    std::vector<uint8_t> packed = packItemRecord(*item);
    if (packed.empty() || packed.size() > kReadBufferSize) {
      ok = false;
      return false;
    }
    SyncRecordInfo info;
    std::memset(&info, 0, sizeof info);
    info.handle = handle;
    info.recSize = uint32_t(packed.size());
    info.bufSize = uint16_t(packed.size());
    info.buffer = packed.data();
    long err = SyncWriteRec(&info);
    if (err != 0) {
      logLine(env, "#   ERROR: Couldn't normalize rec %d %x\n", int(err), unsigned(err));
      ok = false;
      return false;
    }
    item->setUniqueID(info.recId);
    item->setDirtyContent(false);
    uint16_t count = 0;
    if (SyncGetDBRecordCount(handle, &count) != 0) {
      ok = false;
      return false;
    }
    return true;
  });
  return ok;
}

bool createHandheldList(const RunEnv& env, ItemList& list, const std::string& name,
                        const CreatedHook& onCreated, const std::function<void()>& recordsWritten) {
  const std::string onHandheld = dbName(name);
  SyncCreateRecord create;
  std::memset(&create, 0, sizeof create);
  create.creator = kListCreator;
  create.flags = kBackupAttribute;
  create.cardNo = 0;
  copyName(create.name, onHandheld);
  create.dbType = kListType;
  create.version = kListVersion;
  long err = onHandheld.empty() ? long(SYNCERR_BAD_ARG) : SyncCreateDB(&create);
  if (err != 0) {
    logLine(env, "#   ERROR: Cannot create %s DB! %d %x\n", name.c_str(), int(err), unsigned(err));
    return false;
  }
  logLine(env, "#   Created new database %s (in UNFILED).\n", name.c_str());
  uint8_t handle = create.handle;

  SyncOpenDbInfoRequest request{0x80, handle};
  SyncDbRecord info;
  std::memset(&info, 0, sizeof info);
  std::optional<uint32_t> created;
  if (SyncReadOpenDbInfo(&request, &info) == 0) {
    const uint32_t date = info.createDate;  // a packed field: copied, never referred to
    created = date;
    list.setUniqueTime(date);
    logLine(env, "#   Picked up unique value to: %u\n", list.uniqueTime());
  } else {
    logLine(env, "#   ERROR: Couldn't pick up unique value. Continuing.\n");
  }
  if (onCreated && !onCreated(created)) {
    SyncCloseDB(handle);
    return false;
  }

  // Closing saves the new, empty database; a failure means it is not there.
  err = SyncCloseDB(handle);
  if (err != 0) {
    logLine(env, "#   ERROR: Couldn't save database %s (%d %x)\n", name.c_str(), int(err), unsigned(err));
    return false;
  }
  err = SyncOpenDB(onHandheld.c_str(), 0, &handle, kListOpenMode);
  if (err != 0) {
    logLine(env, "#   ERROR: Couldn't re-open database for write (%d %x)\n", int(err), unsigned(err));
    return false;
  }

  std::vector<uint8_t> header = list.hasHeaderRecord() ? list.headerRecord() : newListHeaderRecord();
  if (header.empty()) {
    logLine(env, "#   ERROR: Couldn't pack header for new list!\n");
    SyncCloseDB(handle);
    return false;
  }
  SyncRecordInfo record;
  std::memset(&record, 0, sizeof record);
  record.handle = handle;
  record.recSize = uint32_t(header.size());
  record.bufSize = uint16_t(std::min<size_t>(header.size(), 0xFFFF));
  record.buffer = header.data();
  err = SyncWriteRec(&record);
  if (err != 0) {
    logLine(env, "#   ERROR: Couldn't add header record (%d %x)\n", int(err), unsigned(err));
    SyncCloseDB(handle);
    return false;
  }
  logLine(env, "#   Added header record.\n");

  bool allItems = writeItemRecords(env, list, handle);
  if (allItems && recordsWritten) recordsWritten();
  err = SyncCloseDB(handle);
  if (err != 0) {
    logLine(env, "#   ERROR: Couldn't save database %s (%d %x)\n", name.c_str(), int(err), unsigned(err));
    return false;
  }
  if (!allItems) {
    logLine(env, "#   ERROR: Not every item could be written to %s.\n", name.c_str());
    return false;
  }
  logLine(env, "#   Completed creating list.\n");
  return true;
}

namespace {

enum class DbState { kPresent, kMissing, kUnknown };

// Whether the handheld holds a database of that name, and its creation date
// (and, when that cannot be told, the error of the open in `error`).
DbState databasePresence(const std::string& name, uint32_t* created, long* error = nullptr) {
  uint8_t handle = 0;
  long err = SyncOpenDB(dbName(name).c_str(), 0, &handle, SYNC_MODE_READ);
  if (err == SYNCERR_NOT_FOUND) return DbState::kMissing;
  if (error) *error = err;
  if (err != 0) return DbState::kUnknown;
  if (created) {
    SyncOpenDbInfoRequest request{0x80, handle};
    SyncDbRecord info;
    std::memset(&info, 0, sizeof info);
    *created = SyncReadOpenDbInfo(&request, &info) == 0 ? info.createDate : 0;
  }
  SyncCloseDB(handle);
  return DbState::kPresent;
}

// The temporary's presence. A database of its name that cannot be opened (a
// damaged one) can be neither deleted nor renamed either, so every rebuild
// waits until the user removes it; the log says so.
DbState temporaryPresence(const RunEnv& env, uint32_t* created) {
  long error = 0;
  const DbState state = databasePresence(kTempDatabaseName, created, &error);
  if (state == DbState::kUnknown) {
    logLine(env,
            "!   Handheld database %s cannot be opened (%d %x); no list can be rebuilt on the handheld while it is "
            "there. If it is damaged, remove it from the handheld by hand.\n",
            kTempDatabaseName, int(error), unsigned(error));
  }
  return state;
}

}  // namespace

bool restoreLeftoverTemporary(const RunEnv& env, std::string* restored) {
  if (restored) restored->clear();
  std::vector<PendingRebuild> pending = readPendingRebuilds(env.desktopFolder);
  if (pending.empty()) return true;
  uint32_t tempCreated = 0;
  DbState temp = temporaryPresence(env, &tempCreated);
  if (temp == DbState::kMissing) {
    clearPendingRebuild(env.desktopFolder, kTempDatabaseName);
    return true;
  }
  if (temp == DbState::kUnknown) return false;
  // Newest first: a later rebuild's temporary replaced any earlier one.
  for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
    if (it->name == kTempDatabaseName) continue;
    if (it->created != 0 && tempCreated != 0 && it->created != tempCreated) continue;
    if (dbName(it->name).empty()) continue;  // names no list the handheld can hold
    uint32_t listCreated = 0;
    DbState list = databasePresence(it->name, &listCreated);
    if (list == DbState::kPresent) {
      // Without both dates the two cannot be told apart: both stay, with
      // the notes, for a run that can read them.
      if (it->created != 0 && (tempCreated == 0 || listCreated == 0)) {
        logLine(env, "!   Whether %s is the database %s was rebuilt from cannot be told (a creation date cannot be "
                     "read); both stay.\n",
                it->name.c_str(), kTempDatabaseName);
        return false;
      }
      if (it->created == 0 || tempCreated == 0) continue;
      // Made after the temporary, it is not the database the rebuild
      // replaced but a list made anew on the handheld while the old one was
      // gone: the temporary holds the only copy of the old one, so it stays.
      if (listCreated > tempCreated) {
        logLine(env,
                "!   %s was made on the handheld after a rebuild of that list was cut short; the rebuilt list stays "
                "as %s and no list is rebuilt until the new %s is renamed or moved off the handheld.\n",
                it->name.c_str(), kTempDatabaseName, it->name.c_str());
        return false;
      }
      // Cut short before the old database went: that list still stands
      // whole, and the temporary this conduit made for it (its creation date
      // is the noted one) is of no further use; the list merges again.
      if (SyncDeleteDB(kTempDatabaseName, 0) != SYNCERR_NONE) return false;
      clearPendingRebuild(env.desktopFolder, kTempDatabaseName);
      logLine(env, "# Removed %s, left by an interrupted run.\n", kTempDatabaseName);
      return true;
    }
    if (list == DbState::kUnknown || !renameHandheldDatabase(env, kTempDatabaseName, it->name)) return false;
    logLine(env, "# Put the list left by an interrupted rebuild back as %s.\n", it->name.c_str());
    if (restored) *restored = it->name;
    return true;
  }
  return true;
}

namespace {

// A "Tolvk-*Sync*" the handheld still holds goes only when this conduit made
// it: the note in the desktop folder knows its creation date. Any other
// database of that name is the user's and stays; the rebuild cannot go on.
bool clearLeftoverTemporary(const RunEnv& env) {
  uint32_t created = 0;
  const DbState temp = temporaryPresence(env, &created);
  if (temp == DbState::kMissing) return true;
  if (temp == DbState::kUnknown) return false;
  if (created != 0) {
    for (const PendingRebuild& p : readPendingRebuilds(env.desktopFolder)) {
      if (p.created != created) continue;
      if (SyncDeleteDB(kTempDatabaseName, 0) != 0) return false;
      clearPendingRebuild(env.desktopFolder, kTempDatabaseName);
      return true;
    }
  }
  logLine(env, "#   A database named %s that this conduit did not make is on the handheld; left alone.\n",
          kTempDatabaseName);
  return false;
}

// The temporary database this rebuild made, deleted again; while it cannot
// be deleted it stays noted as this conduit's own.
void dropOwnTemporary(const RunEnv& env) {
  const long err = SyncDeleteDB(kTempDatabaseName, 0);
  if (err == SYNCERR_NONE || err == SYNCERR_NOT_FOUND) clearPendingRebuild(env.desktopFolder, kTempDatabaseName);
}

}  // namespace

bool rebuildHandheldList(const RunEnv& env, ItemList& list, const DatabaseEntry& entry, bool* renamed,
                         const DesktopBefore* before, const std::function<void()>& recordsWritten) {
  if (renamed) *renamed = false;
  // Checked before anything is built: a database cut short at the limit
  // would drop items, and every later run would fail the same way.
  if (const size_t items = list.size(); items + 1 > kMaxRecords) {
    logLine(env, "!   List too large for the handheld: %zu items, the limit is 65,534 (65,535 records with the list header).\n",
            items);
    return false;
  }
  // A leftover temporary may hold the only copy of a list whose rebuild was
  // cut short after its old database was deleted.
  if (!restoreLeftoverTemporary(env, nullptr) || !clearLeftoverTemporary(env)) {
    logLine(env, "!   Couldn't normalize handheld file. Bailing out before problems.\n");
    return false;
  }
  logLine(env, "#   Normalize file on handheld.\n");
  RebuildRecord record;
  if (before) record.written = describeWritten(before->snapshot, list);
  // The temporary is noted as this conduit's own the moment it exists, so
  // that a run cut short while building it knows it later.
  bool made = false;
  auto claim = [&](std::optional<uint32_t> created) {
    made = true;
    if (!created) {
      logLine(env, "#   ERROR: Without its creation date the new database cannot be told from another; abandoned.\n");
      return false;
    }
    if (notePendingRebuild(env.desktopFolder, {kTempDatabaseName, *created, std::nullopt})) return true;
    logLine(env, "#   ERROR: Couldn't note the new database in %s.\n", kPendingRebuildsFile);
    return false;
  };
  if (!createHandheldList(env, list, kTempDatabaseName, claim, recordsWritten)) {
    // Whatever part of the temporary database was made holds nothing the
    // handheld lacks: the list's own database is still there.
    if (made) dropOwnTemporary(env);
    logLine(env, "!   Couldn't normalize handheld file. Bailing out before problems.\n");
    return false;
  }
  // From here until the desktop file is saved the list may exist only in the
  // temporary database: note which list it is and what the desktop file was,
  // for a run that gets cut short. Without the note the old database stays.
  PendingRebuild note{entry.name, list.uniqueTime(), std::nullopt};
  if (before) {
    note.desktop = before->stamp;
    record.desktop = before->snapshot.items();
    fillNewIds(record.written, list);
  }
  if (!notePendingRebuild(env.desktopFolder, note, before ? &record : nullptr)) {
    logLine(env, "#   ERROR: Couldn't note the rebuild of %s in %s.\n", entry.name.c_str(), kPendingRebuildsFile);
    dropOwnTemporary(env);
    logLine(env, "!   Couldn't normalize handheld file. Bailing out before problems.\n");
    return false;
  }
  logLine(env, "# Delete original file.\n");
  const long deleted = SyncDeleteDB(dbName(entry.name).c_str(), 0);
  // An old database that stays would keep the new one from taking its name,
  // and the next run would pair the saved desktop file with the old one. One
  // that cannot even be opened is there all the same.
  if (deleted != 0 && deleted != SYNCERR_NOT_FOUND &&
      databasePresence(entry.name, nullptr) != DbState::kMissing) {
    logLine(env, "#   ERROR: Couldn't delete original file (%d %x). Keeping it; the new one is dropped.\n",
            int(deleted), unsigned(deleted));
    // The note keeps claiming the new one until it is gone.
    if (SyncDeleteDB(kTempDatabaseName, 0) == SYNCERR_NONE) clearPendingRebuild(env.desktopFolder, entry.name);
    return false;
  }
  if (renameHandheldDatabase(env, kTempDatabaseName, entry.name)) {
    logLine(env, "# Renamed new file to replace old file.\n");
    if (renamed) *renamed = true;
  } else {
    logLine(env, "! ERROR: Couldn't rename file to replace old file!\n");
  }
  return true;
}

bool settleRebuildNote(const RunEnv& env, const std::string& name, const ItemList& list, bool renamed) {
  // Without a note of its own the temporary would pass for a stranger's and
  // block every rebuild; the list's note keeps it known, and the next run
  // puts it back under the list's name.
  if (!renamed && !notePendingRebuild(env.desktopFolder, {kTempDatabaseName, list.uniqueTime(), std::nullopt}))
    return false;
  clearPendingRebuild(env.desktopFolder, name);
  return renamed;
}

bool renameHandheldDatabase(const RunEnv& env, const std::string& oldName, const std::string& newName) {
  const std::string from = dbName(oldName), to = dbName(newName);
  uint8_t block[kRenameBlockSize] = {};
  std::memcpy(block, from.data(), std::min(from.size(), kRenameNameField - 1));
  std::memcpy(block + kRenameNameField, to.data(), std::min(to.size(), kRenameNameField - 1));
  block[kRenameBlockSize - 1] = kRenameTrailer;
  uint8_t reply[kRenameBlockSize] = {};
  SyncCallModuleParams call;
  std::memset(&call, 0, sizeof call);
  call.creator = SYNC_FOURCC('Q', 'z', 'v', 'm');
  call.type = SYNC_FOURCC('a', 'p', 'p', 'l');
  call.function = SYNC_MODULE_RENAME_DB;
  call.paramSize = kRenameBlockSize;
  call.param = block;
  call.replySize = kRenameBlockSize;
  call.reply = reply;
  call.resultCode = 0;
  long err = SyncCallRemoteModule(&call);
  // A call that never reached the module has renamed nothing, whatever the
  // untouched result code says.
  uint32_t code = call.resultCode != 0 ? call.resultCode : uint32_t(err);
  if (code == 0) return true;
  logLine(env, "#   ERROR: CallModule RenameDB(0x%x)\n", unsigned(code));
  logLine(env, "#     Non obvious. Dm error? Hm error?\n");
  return false;
}

}  // namespace tolvex
