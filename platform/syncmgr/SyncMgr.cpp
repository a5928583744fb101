// The Sync Manager's C operations over the attached handheld image.
#include "platform/syncmgr/SyncMgr.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include <wx/string.h>

#include "platform/syncmgr/FaultPlan.h"
#include "platform/syncmgr/HandheldImage.h"
#include "platform/syncmgr/PdbFile.h"

namespace tolvex {
namespace {

constexpr uint32_t kModuleCreator = SYNC_FOURCC('Q', 'z', 'v', 'm');
constexpr uint32_t kModuleType = SYNC_FOURCC('a', 'p', 'p', 'l');
constexpr size_t kVersionReplyText = 10;  // reply bytes 0-9
constexpr size_t kRenameNameSize = 35;    // each name field of the RenameDB block
constexpr size_t kRenameBlockSize = 71;
constexpr uint32_t kModuleUnknownFunction = 0x0502;  // the handheld's "not supported"
constexpr uint32_t kModuleInvalidParam = 0x0203;

struct SyncState {
  std::unique_ptr<HandheldImage> image;
  std::set<CONDHANDLE> conduits;
  CONDHANDLE nextConduit = 1;
  SyncHostLogSink sink = nullptr;
  void* sinkContext = nullptr;
  FaultPlan faults;
  // The image writes back at exit, with no HotSync log to hear of it.
  ~SyncState() {
    sink = nullptr;
    image.reset();
  }
};

SyncState& state() {
  static SyncState s;
  return s;
}

// Counts and traces the call; true when it is to fail by injection.
bool injected(const char* operation) { return state().faults.enter(operation); }

HandheldImage* image() { return state().image.get(); }

// A database name from a fixed-size field: must be terminated and non-empty.
bool nameFromField(const char* field, size_t size, std::string* name) {
  const void* nul = std::memchr(field, 0, size);
  if (!nul) return false;
  name->assign(field, static_cast<const char*>(nul) - field);
  return !name->empty() && name->size() < SYNC_DB_NAMELEN;
}

void copyText(char* dest, size_t size, const std::string& text) {
  std::memset(dest, 0, size);
  std::memcpy(dest, text.data(), std::min(text.size(), size - 1));
}

// The handheld keeps one byte per character; the image stores UTF-8.
std::string toHandheldText(const std::string& utf8) {
  const wxString text = wxString::FromUTF8(utf8.data(), utf8.size());
  std::string out;
  for (wxUniChar c : text) out += c.GetValue() <= 0xFF ? static_cast<char>(c.GetValue()) : '?';
  return out;
}

void fillDbRecord(const ImageDatabase& db, uint16_t index, SyncDbRecord* out) {
  const PdbFile& p = db.pdb;
  std::memset(out, 0, sizeof *out);
  out->cardNum = 0;
  out->dbFlags = p.attributes;
  out->dbType = p.type;
  copyText(out->name, sizeof out->name, p.name);
  out->creator = p.creator;
  out->version = p.version;
  out->modNumber = p.modNumber;
  out->index = index;
  out->createDate = p.createDate;
  out->modDate = p.modDate;
  out->backupDate = p.backupDate;
  out->miscFlags = 0;  // RAM
  out->recCount = static_cast<uint32_t>(db.recordCount());
}

long callVersion(SyncCallModuleParams* params, const DeviceInfo& device) {
  if (!params->reply || params->replySize < kVersionReplyText) return SYNCERR_BAD_ARG;
  std::memset(params->reply, 0, params->replySize);
  copyText(static_cast<char*>(params->reply), kVersionReplyText, device.moduleVersion);
  params->replyBytes = params->replySize;
  return SYNCERR_NONE;
}

long callEncoding(SyncCallModuleParams* params, const DeviceInfo& device) {
  if (!params->reply || params->replySize <= device.encoding.size()) return SYNCERR_TOO_BIG;
  std::memset(params->reply, 0, params->replySize);
  std::memcpy(params->reply, device.encoding.data(), device.encoding.size());
  params->replyBytes = static_cast<uint32_t>(device.encoding.size() + 1);
  return SYNCERR_NONE;
}

long callRename(SyncCallModuleParams* params) {
  const char* block = static_cast<const char*>(params->param);
  std::string oldName, newName;
  if (!block || params->paramSize < 2 * kRenameNameSize ||
      !nameFromField(block, kRenameNameSize, &oldName) ||
      !nameFromField(block + kRenameNameSize, kRenameNameSize, &newName)) {
    params->resultCode = kModuleInvalidParam;
    return SYNCERR_NONE;
  }
  params->resultCode = image()->rename(oldName, newName);
  if (params->reply && params->replySize > 0) {
    const size_t n = std::min<size_t>(params->replySize, kRenameBlockSize);
    std::memset(params->reply, 0, n);
    params->replyBytes = static_cast<uint32_t>(n);
  }
  return SYNCERR_NONE;
}

}  // namespace
}  // namespace tolvex

using namespace tolvex;

extern "C" {

long SyncRegisterConduit(CONDHANDLE* handle) {
  if (injected("SyncRegisterConduit")) return SYNCERR_FAULT;
  if (!handle) return SYNCERR_BAD_ARG;
  SyncState& s = state();
  while (s.nextConduit == 0 || s.conduits.count(s.nextConduit)) ++s.nextConduit;
  *handle = s.nextConduit++;
  s.conduits.insert(*handle);
  return SYNCERR_NONE;
}

long SyncUnRegisterConduit(CONDHANDLE handle) {
  if (injected("SyncUnRegisterConduit")) return SYNCERR_FAULT;
  return state().conduits.erase(handle) ? SYNCERR_NONE : SYNCERR_BAD_ARG;
}

long SyncAddLogEntry(const char* text) {
  if (injected("SyncAddLogEntry")) return SYNCERR_FAULT;
  if (!text) return SYNCERR_BAD_ARG;
  SyncState& s = state();
  if (s.sink) {
    s.sink(text, s.sinkContext);
  } else {
    std::fputs(text, stdout);
    std::fflush(stdout);
  }
  return SYNCERR_NONE;
}

long SyncGetAPIVersion(uint32_t* major, uint32_t* minor) {
  if (injected("SyncGetAPIVersion")) return SYNCERR_FAULT;
  if (!major || !minor) return SYNCERR_BAD_ARG;
  if (!image()) return SYNCERR_NOT_OPEN;
  unsigned long a = 0, b = 0;
  char extra = 0;
  if (std::sscanf(image()->device().api.c_str(), "%lu.%lu%c", &a, &b, &extra) != 2)
    return SYNCERR_UNKNOWN;
  *major = static_cast<uint32_t>(a);
  *minor = static_cast<uint32_t>(b);
  return SYNCERR_NONE;
}

long SyncReadUserID(SyncUserInfo* info) {
  if (injected("SyncReadUserID")) return SYNCERR_FAULT;
  if (!info) return SYNCERR_BAD_ARG;
  if (!image()) return SYNCERR_NOT_OPEN;
  const DeviceInfo& device = image()->device();
  if (!device.hasUser) return SYNCERR_NOT_FOUND;
  std::memset(info, 0, sizeof *info);
  const std::string name = toHandheldText(device.userName);
  copyText(info->name, sizeof info->name, name);
  info->nameLength = static_cast<int32_t>(std::strlen(info->name));
  info->lastSyncPC = device.lastDesktop;
  info->userId = device.userId;
  return SYNCERR_NONE;
}

long SyncReadSingleCardInfo(SyncCardInfo* info) {
  if (injected("SyncReadSingleCardInfo")) return SYNCERR_FAULT;
  if (!info) return SYNCERR_BAD_ARG;
  if (!image()) return SYNCERR_NOT_OPEN;
  if (info->cardNo != 0) return SYNCERR_NOT_FOUND;
  std::memset(info, 0, sizeof *info);
  info->cardVersion = 1;
  info->romSize = 4u << 20;
  info->ramSize = 16u << 20;
  info->freeRam = 12u << 20;
  copyText(info->cardName, sizeof info->cardName, "RAM");
  copyText(info->manufName, sizeof info->manufName, "Tolvex");
  info->ramDbCount = static_cast<uint16_t>(std::min<size_t>(image()->databaseCount(), 0xFFFF));
  return SYNCERR_NONE;
}

long SyncReadDBList(uint8_t card, uint16_t startIndex, int ramOnly, SyncDbRecord* records, int* count) {
  (void)ramOnly;  // every database is in RAM
  if (injected("SyncReadDBList")) return SYNCERR_FAULT;
  if (!records || !count || *count < 0) return SYNCERR_BAD_ARG;
  if (!image()) return SYNCERR_NOT_OPEN;
  if (card != 0) return SYNCERR_NOT_FOUND;
  const auto dbs = image()->databases();
  if (startIndex >= dbs.size()) {
    *count = 0;
    return SYNCERR_NOT_FOUND;
  }
  const size_t n = std::min<size_t>(static_cast<size_t>(*count), dbs.size() - startIndex);
  for (size_t i = 0; i < n; ++i)
    fillDbRecord(*dbs[startIndex + i], static_cast<uint16_t>(startIndex + i), &records[i]);
  *count = static_cast<int>(n);
  return SYNCERR_NONE;
}

long SyncOpenDB(const char* name, int card, uint8_t* handle, uint8_t mode) {
  if (injected("SyncOpenDB")) return SYNCERR_FAULT;
  if (!name || !handle) return SYNCERR_BAD_ARG;
  if (!image()) return SYNCERR_NOT_OPEN;
  if (card != 0) return SYNCERR_NOT_FOUND;
  return image()->open(name, mode, handle);
}

long SyncCreateDB(SyncCreateRecord* record) {
  if (injected("SyncCreateDB")) return SYNCERR_FAULT;
  if (!record) return SYNCERR_BAD_ARG;
  if (!image()) return SYNCERR_NOT_OPEN;
  if (record->cardNo != 0) return SYNCERR_NOT_FOUND;
  PdbFile pdb;
  if (!nameFromField(record->name, sizeof record->name, &pdb.name)) return SYNCERR_BAD_ARG;
  pdb.attributes = static_cast<uint16_t>(record->flags & ~uint32_t{PdbFile::kResourceDatabase});
  pdb.version = record->version;
  pdb.type = record->dbType;
  pdb.creator = record->creator;
  uint8_t handle = 0;
  long err = image()->create(std::move(pdb), &handle);
  if (err == SYNCERR_NONE) record->handle = handle;
  return err;
}

long SyncCloseDB(uint8_t handle) {
  if (injected("SyncCloseDB")) return SYNCERR_FAULT;
  if (!image()) return SYNCERR_NOT_OPEN;
  return image()->close(handle);
}

long SyncDeleteDB(const char* name, int card) {
  if (injected("SyncDeleteDB")) return SYNCERR_FAULT;
  if (!name) return SYNCERR_BAD_ARG;
  if (!image()) return SYNCERR_NOT_OPEN;
  if (card != 0) return SYNCERR_NOT_FOUND;
  return image()->remove(name);
}

long SyncReadOpenDbInfo(const SyncOpenDbInfoRequest* request, SyncDbRecord* info) {
  if (injected("SyncReadOpenDbInfo")) return SYNCERR_FAULT;
  if (!request || !info) return SYNCERR_BAD_ARG;
  if (!image()) return SYNCERR_NOT_OPEN;
  long err;
  const ImageDatabase* db = image()->opened(request->handle, false, &err);
  if (!db) return err;
  uint16_t index = 0;
  for (const ImageDatabase* d : image()->databases()) {
    if (d == db) break;
    ++index;
  }
  fillDbRecord(*db, index, info);
  return SYNCERR_NONE;
}

long SyncGetDBRecordCount(uint8_t handle, uint16_t* count) {
  if (injected("SyncGetDBRecordCount")) return SYNCERR_FAULT;
  if (!count) return SYNCERR_BAD_ARG;
  if (!image()) return SYNCERR_NOT_OPEN;
  long err;
  const ImageDatabase* db = image()->opened(handle, false, &err);
  if (!db) return err;
  *count = static_cast<uint16_t>(db->pdb.recordCount());
  return SYNCERR_NONE;
}

long SyncReadRecordByIndex(SyncRecordInfo* info) {
  if (injected("SyncReadRecordByIndex")) return SYNCERR_FAULT;
  if (!info) return SYNCERR_BAD_ARG;
  if (!image()) return SYNCERR_NOT_OPEN;
  long err;
  ImageDatabase* db = image()->opened(info->handle, false, &err);
  if (!db) return err;
  if (info->recIndex >= db->pdb.recordCount()) return SYNCERR_NOT_FOUND;
  const PdbRecord& r = db->pdb.record(info->recIndex);
  info->recId = r.uniqueId;
  info->attribs = r.attributes;
  info->category = r.category;
  info->recSize = static_cast<uint32_t>(r.data.size());
  // The description is filled either way, so a caller can see how much room it needs.
  if (r.data.size() > info->bufSize) return SYNCERR_TOO_BIG;
  if (r.data.empty()) return SYNCERR_NONE;
  if (!info->buffer) return SYNCERR_BAD_ARG;
  std::memcpy(info->buffer, r.data.data(), r.data.size());
  return SYNCERR_NONE;
}

long SyncWriteRec(SyncRecordInfo* info) {
  if (injected("SyncWriteRec")) return SYNCERR_FAULT;
  if (!info) return SYNCERR_BAD_ARG;
  if (!image()) return SYNCERR_NOT_OPEN;
  long err;
  ImageDatabase* db = image()->opened(info->handle, true, &err);
  if (!db) return err;
  if (info->recSize > info->bufSize || (info->recSize > 0 && !info->buffer)) return SYNCERR_BAD_ARG;
  PdbRecord record;
  record.attributes = info->attribs & 0xF0;
  record.category = static_cast<uint8_t>(info->category & 0x0F);
  record.data.assign(info->buffer, info->buffer + info->recSize);
  if (info->recId != 0) {
    auto index = db->pdb.findRecord(info->recId & 0x00FFFFFF);
    if (!index || info->recId > 0x00FFFFFF) return SYNCERR_NOT_FOUND;
    record.uniqueId = info->recId;
    db->pdb.record(*index) = std::move(record);
  } else {
    if (db->pdb.recordCount() >= PdbFile::kMaxRecords) return SYNCERR_TOO_MANY;
    const size_t index = db->pdb.appendRecord(std::move(record));
    info->recId = db->pdb.record(index).uniqueId;
  }
  db->dirty = true;
  return SYNCERR_NONE;
}

long SyncReadDBAppInfoBlock(uint8_t handle, SyncAppInfoBlock* block) {
  if (injected("SyncReadDBAppInfoBlock")) return SYNCERR_FAULT;
  if (!block) return SYNCERR_BAD_ARG;
  if (!image()) return SYNCERR_NOT_OPEN;
  long err;
  const ImageDatabase* db = image()->opened(handle, false, &err);
  if (!db) return err;
  const std::vector<uint8_t>& app = db->pdb.appInfo;
  block->bytesRead = 0;
  if (app.empty()) return SYNCERR_NOT_FOUND;
  // A larger block yields its first bufSize bytes: callers read fixed-size heads.
  const size_t n = std::min<size_t>(app.size(), block->bufSize);
  if (n > 0 && !block->buffer) return SYNCERR_BAD_ARG;
  if (n > 0) std::memcpy(block->buffer, app.data(), n);
  block->bytesRead = static_cast<uint16_t>(n);
  return SYNCERR_NONE;
}

long SyncWriteDBAppInfoBlock(uint8_t handle, const uint8_t* bytes, uint16_t size) {
  if (injected("SyncWriteDBAppInfoBlock")) return SYNCERR_FAULT;
  if (size > 0 && !bytes) return SYNCERR_BAD_ARG;
  if (!image()) return SYNCERR_NOT_OPEN;
  long err;
  ImageDatabase* db = image()->opened(handle, true, &err);
  if (!db) return err;
  db->pdb.appInfo.assign(bytes, bytes + size);
  db->dirty = true;
  return SYNCERR_NONE;
}

long SyncHostSetRecordAttributes(uint8_t handle, uint16_t index, uint8_t attribs, int16_t category) {
  if (injected("SyncHostSetRecordAttributes")) return SYNCERR_FAULT;
  if (!image()) return SYNCERR_NOT_OPEN;
  long err;
  ImageDatabase* db = image()->opened(handle, true, &err);
  if (!db) return err;
  if (index >= db->pdb.recordCount()) return SYNCERR_NOT_FOUND;
  PdbRecord& r = db->pdb.record(index);
  r.attributes = attribs & 0xF0;
  r.category = static_cast<uint8_t>(category & 0x0F);
  db->dirty = true;
  return SYNCERR_NONE;
}

long SyncCallRemoteModule(SyncCallModuleParams* params) {
  if (injected("SyncCallRemoteModule")) return SYNCERR_FAULT;
  if (!params) return SYNCERR_BAD_ARG;
  if (!image()) return SYNCERR_NOT_OPEN;
  const DeviceInfo& device = image()->device();
  if (!device.moduleInstalled || params->creator != kModuleCreator || params->type != kModuleType)
    return SYNCERR_NO_MODULE;
  params->replyBytes = 0;
  params->resultCode = 0;
  switch (params->function) {
    case SYNC_MODULE_VERSION: return callVersion(params, device);
    case SYNC_MODULE_GET_ENCODING: return callEncoding(params, device);
    case SYNC_MODULE_RENAME_DB: return callRename(params);
    default: params->resultCode = kModuleUnknownFunction; return SYNCERR_NONE;
  }
}

uint16_t SyncHHToHostWord(uint16_t value) {
  uint8_t b[2];
  std::memcpy(b, &value, 2);
  return readBe16(b);
}

uint32_t SyncHHToHostDWord(uint32_t value) {
  uint8_t b[4];
  std::memcpy(b, &value, 4);
  return readBe32(b);
}

long SyncHostAttach(const char* folder) {
  state().faults.rearm();
  if (injected("SyncHostAttach")) return SYNCERR_FAULT;
  if (!folder || !*folder) return SYNCERR_BAD_ARG;
  SyncHostDetach();
  std::string error;
  // What the image skips or cannot write reaches the HotSync log as well.
  state().image = HandheldImage::attach(folder, &error, [](const std::string& text) {
    const SyncState& s = state();
    if (s.sink) s.sink(("Handheld image: " + text).c_str(), s.sinkContext);
  });
  if (!state().image) {
    std::fprintf(stderr, "handheld image: %s\n", error.c_str());
    return SYNCERR_NOT_FOUND;
  }
  return SYNCERR_NONE;
}

long SyncHostDetach(void) {
  SyncState& s = state();
  if (!s.image) return SYNCERR_NONE;
  const bool failed = s.image->finish() > 0;  // writes back what is still open
  s.image.reset();
  return failed ? SYNCERR_IO : SYNCERR_NONE;
}

void SyncHostSetLogSink(SyncHostLogSink sink, void* context) {
  state().sink = sink;
  state().sinkContext = context;
}

long SyncHostCreateImage(const char* folder, const char* userName) {
  if (injected("SyncHostCreateImage")) return SYNCERR_FAULT;
  if (!folder || !*folder) return SYNCERR_BAD_ARG;
  std::string error;
  if (!HandheldImage::createImage(folder, userName, &error)) {
    std::fprintf(stderr, "handheld image: %s\n", error.c_str());
    return SYNCERR_IO;
  }
  return SYNCERR_NONE;
}

long SyncHostImportDatabase(const char* path, char* message, size_t size) {
  if (injected("SyncHostImportDatabase")) return SYNCERR_FAULT;
  if (!path || !*path || (size > 0 && !message)) return SYNCERR_BAD_ARG;
  if (!image()) return SYNCERR_NOT_OPEN;
  std::string name, error;
  long rc = image()->importFile(path, &name, &error);
  if (size > 0) copyText(message, size, rc == SYNCERR_NONE ? name : error);
  return rc;
}

long SyncHostSetLastDesktop(uint32_t desktopId) {
  if (injected("SyncHostSetLastDesktop")) return SYNCERR_FAULT;
  if (!image()) return SYNCERR_NOT_OPEN;
  return image()->setLastDesktop(desktopId) ? SYNCERR_NONE : SYNCERR_IO;
}

}  // extern "C"
