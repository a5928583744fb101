// Tag and filter export: the handheld's "TolvTags" and "TolvFilters"
// databases written as desktop XML files. One-way; the handheld is only read.
#ifndef TOLVEX_EXPORT_EXPORT_H
#define TOLVEX_EXPORT_EXPORT_H
#include <string>

#include "common/RunLog.h"

namespace tolvex {

// True when the handheld database was read to the end.
bool exportTagDatabase(const RunEnv& env, const std::string& fileName);
bool exportFilterDatabase(const RunEnv& env, const std::string& fileName);

}  // namespace tolvex
#endif
