// Placeholder: the whole-list copies land with the end-to-end work.
#include "outline/ListCopy.h"
namespace tolvex {
std::unique_ptr<ItemList> readDesktopList(const RunEnv&, const std::string&) { return nullptr; }
int32_t copyDesktopToHandheld(const RunEnv&, const std::string&, bool) { return 0; }
int32_t copyHandheldToDesktop(const RunEnv&, const DatabaseEntry&, const std::string&) { return 0; }
}  // namespace tolvex
