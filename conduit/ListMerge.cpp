#include "conduit/ListMerge.h"

#include <cstdarg>
#include <memory>

#include "conduit/Backups.h"
#include "desktop/XmlFile.h"
#include "outline/DesktopTexts.h"
#include "outline/HandheldList.h"
#include "outline/ListCopy.h"
#include "outline/PendingRebuilds.h"
#include "platform/syncmgr/SyncMgr.h"

namespace tolvex {
namespace {

class NullLog : public RunLog {
 public:
  void write(const char*) override {}
};

void logLine(const RunEnv& env, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logLine(const RunEnv& env, const char* format, ...) {
  if (!env.log) return;
  va_list args;
  va_start(args, format);
  env.log->vline(format, args);
  va_end(args);
}

// Writes the merged list to both sides: the handheld first, then, once the
// handheld holds it, the desktop file after its backup roll.
void saveBothSides(const RunEnv& env, ItemList& result, const DatabaseEntry& entry,
                   const std::string& path) {
  logLine(env, "# Some changes were made. Do the works.\n");
  bool renamed = false;
  if (!rebuildHandheldList(env, result, entry, &renamed)) {
    logLine(env, "!   Couldn't update handheld. Skipping desktop save.\n");
    return;
  }
  // The merged list waits under the temporary name: ask the next run to put
  // the desktop copy back on the handheld.
  if (!renamed) result.setUploadFile(1);
  logLine(env, "# Roll desktop-side backups.\n");
  NullLog silent;
  rollBackups(env.log ? *env.log : silent, env.desktopFolder, entry.name);
  std::string message;
  if (writeDesktopList(env, result, path, message) != 0) {
    logLine(env, "# ERROR: Couldn't save updated list to desktop!\n");
  } else {
    logLine(env, "# Saved updated list to desktop.\n");
    clearPendingRebuild(env.desktopFolder, entry.name);
  }
}

}  // namespace

bool synchronizeList(const RunEnv& env, SyncContext& context, const DatabaseEntry& entry) {
  std::optional<uint8_t> handle = openListDatabase(env, entry);
  if (!handle) return false;
  logLine(env, "#   Fetching details from handheld\n");
  bool complete = false;
  std::unique_ptr<ItemList> handheld = readHandheldList(env, *handle, &complete);
  if (handheld) handheld->setUniqueTime(entry.created);
  SyncCloseDB(*handle);

  logLine(env, "#   Fetching details from desktop\n");
  std::string path = env.desktopFolder + entry.name + ".XML";
  std::unique_ptr<ItemList> desktop = readDesktopList(env, path);
  if (!handheld || !desktop) {
    logLine(env, "!   Couldn't fetch at least one. Bailing.\n");
    return false;
  }
  // A merge of a partly read list would write back a list without the
  // records it missed.
  if (!complete) {
    logLine(env, "!   Handheld list could not be read whole. Leaving both sides as they are.\n");
    return false;
  }
  desktop->copyHeaderRecordFrom(*handheld);
  // A slow merge pairs items by uniqueID whatever the lists' identities.
  if (context.kind == kSyncSlow || desktop->uniqueTime() == handheld->uniqueTime())
    keepDesktopTexts(*handheld, *desktop);
  context.name = entry.name.substr(0, 512);
  context.result = nullptr;
  context.changed = false;
  synchronizeFile(*desktop, *handheld, context);
  if (!context.result) {
    logLine(env, "!   Something bad happened. Bailing.\n");
    return false;
  }
  if (context.changed)
    saveBothSides(env, *context.result, entry, path);
  else
    logLine(env, "# No changes were made. Natch.\n");
  context.result = nullptr;
  return true;
}

}  // namespace tolvex
