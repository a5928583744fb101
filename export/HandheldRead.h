// Reading the export databases through the Sync Manager: at most the first
// kExportBufferSize bytes of an app-info block or a record.
#ifndef TOLVEX_EXPORT_HANDHELDREAD_H
#define TOLVEX_EXPORT_HANDHELDREAD_H
#include <cstdint>
#include <vector>

#include "common/RunLog.h"

namespace tolvex {

struct ExportRecord {
  std::vector<uint8_t> bytes;   // the record's first bytes, at most 1024
  uint32_t uniqueID = 0;
  int16_t category = 0;
};

// Sync Manager result codes (0 for success).
long readExportAppInfo(uint8_t handle, std::vector<uint8_t>& bytes);
long readExportRecord(uint8_t handle, uint16_t index, ExportRecord& record);

// Opens database `name` for reading and reads its record count. On failure
// logs `openError` or the count error, closes what it opened, answers false.
bool openExportDatabase(RunLog& log, const char* name, const char* openError, uint8_t* handle,
                        uint16_t* count);

}  // namespace tolvex
#endif
