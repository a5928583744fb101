#include "outline/PendingRebuilds.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "desktop/AtomicFile.h"

namespace tolvex {

const char* const kPendingRebuildsFile = "TolvanPending.txt";

namespace {

std::string notePath(const std::string& folder) { return folder + kPendingRebuildsFile; }

bool writeNote(const std::string& folder, const std::vector<PendingRebuild>& entries) {
  if (entries.empty()) return ::unlink(notePath(folder).c_str()) == 0 || errno == ENOENT;
  AtomicFile file(notePath(folder));
  if (!file.open()) return false;
  for (const PendingRebuild& e : entries) file.write(std::to_string(e.created) + " " + e.name + "\n");
  return file.commit();
}

}  // namespace

std::vector<PendingRebuild> readPendingRebuilds(const std::string& folder) {
  std::vector<PendingRebuild> out;
  std::ifstream in(notePath(folder), std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    const size_t space = line.find(' ');
    if (space == 0 || space == std::string::npos || space + 1 >= line.size()) continue;
    char* end = nullptr;
    errno = 0;
    const unsigned long created = std::strtoul(line.c_str(), &end, 10);
    if (errno != 0 || end != line.c_str() + space || created > UINT32_MAX) continue;
    out.push_back({line.substr(space + 1), uint32_t(created)});
  }
  return out;
}

bool notePendingRebuild(const std::string& folder, const std::string& name, uint32_t created) {
  // A name that would not read back as one line cannot be noted.
  if (name.empty() || name.find_first_of(std::string("\n\r\0", 3)) != std::string::npos) return false;
  std::vector<PendingRebuild> entries = readPendingRebuilds(folder);
  std::erase_if(entries, [&](const PendingRebuild& e) { return e.name == name; });
  entries.push_back({name, created});
  return writeNote(folder, entries);
}

void clearPendingRebuild(const std::string& folder, const std::string& name) {
  std::vector<PendingRebuild> entries = readPendingRebuilds(folder);
  const size_t before = entries.size();
  std::erase_if(entries, [&](const PendingRebuild& e) { return e.name == name; });
  if (entries.size() != before) writeNote(folder, entries);
}

}  // namespace tolvex
