// Placeholder: the handheld list operations land with the end-to-end work.
#include "outline/HandheldList.h"
namespace tolvex {
const char* const kTempDatabaseName = "Tolvk-*Sync*";
bool checkListHeader(const RunEnv&, uint8_t) { return false; }
std::optional<uint8_t> openListDatabase(const RunEnv&, const DatabaseEntry&) { return std::nullopt; }
std::unique_ptr<ItemList> readHandheldList(const RunEnv&, uint8_t) { return nullptr; }
bool writeItemRecords(const RunEnv&, ItemList&, uint8_t) { return false; }
bool createHandheldList(const RunEnv&, ItemList&, const std::string&) { return false; }
bool rebuildHandheldList(const RunEnv&, ItemList&, const DatabaseEntry&) { return false; }
bool renameHandheldDatabase(const RunEnv&, const std::string&, const std::string&) { return false; }
}  // namespace tolvex
