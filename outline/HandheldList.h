// Whole list databases on the handheld, through the Sync Manager: qualify,
// read into an ItemList, create, rebuild under a temporary name and rename.
#ifndef TOLVEX_OUTLINE_HANDHELDLIST_H
#define TOLVEX_OUTLINE_HANDHELDLIST_H
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/DatabaseEntry.h"
#include "common/RunLog.h"
#include "outline/ItemList.h"

namespace tolvex {

extern const char* const kTempDatabaseName;  // "Tolvk-*Sync*"

// checkListHeader: record 0 present, >= 122 bytes, magic "Tlvk", flag 0x80.
bool checkListHeader(const RunEnv& env, uint8_t handle);
std::optional<uint8_t> openListDatabase(const RunEnv& env, const DatabaseEntry& entry);
std::unique_ptr<ItemList> readHandheldList(const RunEnv& env, uint8_t handle);
bool writeItemRecords(const RunEnv& env, ItemList& list, uint8_t handle);
bool createHandheldList(const RunEnv& env, ItemList& list, const std::string& name);
bool rebuildHandheldList(const RunEnv& env, ItemList& list, const DatabaseEntry& entry);
bool renameHandheldDatabase(const RunEnv& env, const std::string& oldName, const std::string& newName);

}  // namespace tolvex
#endif
