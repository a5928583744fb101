#include "platform/hotsync/DryRun.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/hotsync/FolderCopy.h"

namespace tolvex::host {
namespace {

// `path` without links and relative parts; empty when it does not exist.
std::string realPath(const std::string& path) {
  if (path.empty()) return path;
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return std::string();
  std::string out = resolved;
  ::free(resolved);
  return out;
}

bool within(const std::string& path, const std::string& folder) {
  return path == folder || folder == "/" ||
         (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/');
}

std::string temporaryBase() {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp && *tmp ? tmp : "/tmp";
  std::error_code ignored;
  return std::filesystem::absolute(base, ignored).string();
}

struct Root {
  const char* name;     // of its copy in the temporary folder
  std::string original;
  std::string* copy;
};

}  // namespace

std::unique_ptr<DryRunCopies> DryRunCopies::make(const std::string& image, const std::string& desktop,
                                                 const std::string& home, std::string* error) {
  std::vector<Root> roots = {{"handheld", realPath(image), nullptr},
                             {"desktop", realPath(desktop), nullptr},
                             {"home", realPath(home), nullptr}};
  const std::string base = temporaryBase(), realBase = realPath(base);
  for (const Root& root : roots) {
    if (!root.original.empty() && !realBase.empty() && within(realBase, root.original)) {
      *error = "the temporary folder " + base + " lies inside " + root.original +
               ", which the dry run must not change; set TMPDIR to a folder outside it";
      return nullptr;
    }
  }
  std::string pattern = base + "/hotsync-dry-run.XXXXXX";
  if (!::mkdtemp(pattern.data())) {
    *error = "cannot make a temporary folder in " + base + ": " + std::strerror(errno);
    return nullptr;
  }
  std::unique_ptr<DryRunCopies> copies(new DryRunCopies(realPath(pattern)));
  roots[0].copy = &copies->image_;
  roots[1].copy = &copies->desktop_;
  roots[2].copy = &copies->home_;
  // Outer folders first, so that one inside another is found in its copy.
  std::sort(roots.begin(), roots.end(),
            [](const Root& a, const Root& b) { return a.original.size() < b.original.size(); });
  FolderCopier copier;
  for (size_t i = 0; i < roots.size(); ++i) {
    Root& root = roots[i];
    if (root.original.empty()) continue;
    for (size_t j = 0; j < i && root.copy->empty(); ++j) {
      if (!roots[j].original.empty() && within(root.original, roots[j].original))
        *root.copy = *roots[j].copy + root.original.substr(roots[j].original.size());
    }
    if (!root.copy->empty()) continue;
    *root.copy = copies->folder_ + "/" + root.name;
    if (!copier.copy(root.original, *root.copy, error)) return nullptr;
  }
  // A HotSync state folder yet to be made is made by the run in the copy.
  if (copies->home_.empty() && !home.empty()) copies->home_ = copies->folder_ + "/home";
  // The last real run's log goes, so that a log found after the dry run is
  // its own; only the conduit's turning of its old logs notices.
  ::unlink(copies->log().c_str());
  return copies;
}

DryRunCopies::~DryRunCopies() { removeTreeExcept(folder_, keepLog_ ? log() : std::string()); }

HomeSwitch::HomeSwitch(const std::string& home) {
  if (home.empty()) return;
  if (const char* value = std::getenv("HOTSYNC_HOME")) saved_ = value;
  switched_ = ::setenv("HOTSYNC_HOME", home.c_str(), 1) == 0;
}

HomeSwitch::~HomeSwitch() {
  if (!switched_) return;
  if (saved_) {
    ::setenv("HOTSYNC_HOME", saved_->c_str(), 1);
  } else {
    ::unsetenv("HOTSYNC_HOME");
  }
}

}  // namespace tolvex::host
