#include "platform/syncmgr/FaultPlan.h"

#include <cerrno>
#include <csignal>
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

namespace {

std::map<std::string, std::set<unsigned long>> listIn(const char* variable) {
  const char* text = std::getenv(variable);
  return parseFaultList(text ? text : "");
}

bool planned(const std::map<std::string, std::set<unsigned long>>& plan, const std::string& operation,
             unsigned long call) {
  auto it = plan.find(operation);
  return it != plan.end() && it->second.count(call) != 0;
}

}  // namespace

void FaultPlan::rearm() {
  faults_ = listIn("SYNCMGR_FAULTS");
  kills_ = listIn("SYNCMGR_KILL");
  const char* trace = std::getenv("SYNCMGR_TRACE");
  trace_ = trace ? trace : "";
  calls_.clear();
  armed_ = true;
}

bool FaultPlan::enter(const char* operation) {
  if (!armed_) rearm();
  if (!trace_.empty()) {
    if (FILE* f = std::fopen(trace_.c_str(), "a")) {
      std::fprintf(f, "%s\n", operation);
      std::fclose(f);
    }
  }
  if (faults_.empty() && kills_.empty()) return false;
  const unsigned long n = ++calls_[operation];
  if (planned(kills_, operation, n)) std::raise(SIGKILL);
  if (!planned(faults_, operation, n)) return false;
  std::fprintf(stderr, "syncmgr: injected fault: %s:%lu\n", operation, n);
  return true;
}

}  // namespace tolvex
