#include "export/HandheldRead.h"

#include <algorithm>

#include "export/Export.h"
#include "platform/syncmgr/SyncMgr.h"

namespace tolvex {

long readExportAppInfo(uint8_t handle, std::vector<uint8_t>& bytes) {
  bytes.assign(kExportBufferSize, 0);
  SyncAppInfoBlock block{};
  block.bufSize = static_cast<uint16_t>(bytes.size());
  block.buffer = bytes.data();
  long err = SyncReadDBAppInfoBlock(handle, &block);
  if (err != SYNCERR_NONE) {
    bytes.clear();
    return err;
  }
  bytes.resize(std::min<size_t>(block.bytesRead, kExportBufferSize));
  return SYNCERR_NONE;
}

namespace {

long readInto(uint8_t handle, uint16_t index, std::vector<uint8_t>& buffer, SyncRecordInfo& info) {
  info = SyncRecordInfo{};
  info.handle = handle;
  info.recIndex = index;
  info.bufSize = static_cast<uint16_t>(buffer.size());
  info.buffer = buffer.data();
  return SyncReadRecordByIndex(&info);
}

}  // namespace

long readExportRecord(uint8_t handle, uint16_t index, ExportRecord& record) {
  std::vector<uint8_t> buffer(kExportBufferSize, 0);
  SyncRecordInfo info;
  long err = readInto(handle, index, buffer, info);
  if (err == SYNCERR_TOO_BIG) {
    // A record larger than the buffer: read it whole, keep its first bytes.
    if (info.recSize <= kExportBufferSize || info.recSize > 0xFFFF) return err;
    buffer.assign(info.recSize, 0);
    err = readInto(handle, index, buffer, info);
  }
  if (err != SYNCERR_NONE) return err;
  size_t size = std::min<size_t>({info.recSize, info.bufSize, kExportBufferSize});
  record.bytes.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(size));
  record.uniqueID = info.recId;
  record.category = info.category;
  return SYNCERR_NONE;
}

bool openExportDatabase(RunLog& log, const char* name, const char* openError, uint8_t* handle,
                        uint16_t* count) {
  if (SyncOpenDB(name, 0, handle, SYNC_MODE_READ) != SYNCERR_NONE) {
    log.line("%s", openError);
    return false;
  }
  if (SyncGetDBRecordCount(*handle, count) != SYNCERR_NONE) {
    log.line("#   ERROR: Couldn't get record count!\n");
    SyncCloseDB(*handle);
    return false;
  }
  return true;
}

}  // namespace tolvex
