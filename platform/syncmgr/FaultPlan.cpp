#include "platform/syncmgr/FaultPlan.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace tolvex {

std::map<std::string, std::set<unsigned long>> parseFaultList(const std::string& text) {
  std::map<std::string, std::set<unsigned long>> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(start, end - start);
    start = end + 1;
    if (item.empty()) continue;
    const size_t colon = item.rfind(':');
    char* tail = nullptr;
    errno = 0;
    unsigned long n = colon == std::string::npos ? 0 : std::strtoul(item.c_str() + colon + 1, &tail, 10);
    if (colon == 0 || colon == std::string::npos || n == 0 || errno != 0 || !tail || *tail != '\0') {
      std::fprintf(stderr, "syncmgr: SYNCMGR_FAULTS: ignoring \"%s\" (expected Operation:N)\n", item.c_str());
      continue;
    }
    out[item.substr(0, colon)].insert(n);
  }
  return out;
}

void FaultPlan::rearm() {
  const char* text = std::getenv("SYNCMGR_FAULTS");
  faults_ = parseFaultList(text ? text : "");
  calls_.clear();
  armed_ = true;
}

bool FaultPlan::enter(const char* operation) {
  if (!armed_) rearm();
  if (const char* trace = std::getenv("SYNCMGR_TRACE"); trace && *trace) {
    if (FILE* f = std::fopen(trace, "a")) {
      std::fprintf(f, "%s\n", operation);
      std::fclose(f);
    }
  }
  if (faults_.empty()) return false;
  const unsigned long n = ++calls_[operation];
  auto it = faults_.find(operation);
  return it != faults_.end() && it->second.count(n) != 0;
}

}  // namespace tolvex
