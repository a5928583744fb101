// The record of characters a desktop XML file could not hold, and its log line.
#include "desktop/TextEncoding.h"
#include "desktop/XmlFile.h"

namespace tolvex {
namespace {

// Enough of a text to recognise the item by in the log.
constexpr size_t kShownBytes = 60;

}  // namespace

void LeftOut::add(size_t dropped, uint32_t id, std::string_view written) {
  if (dropped == 0) return;
  characters += dropped;
  if (items++ > 0) return;
  firstID = id;
  firstText.assign(utf8Head(written, kShownBytes));
}

void logLeftOut(RunLog& log, const LeftOut& leftOut) {
  if (leftOut.characters == 0) return;
  log.line("#   WARNING: Left out %zu characters that XML cannot hold, from %zu item(s); the first is %u '%s'.\n",
           leftOut.characters, leftOut.items, leftOut.firstID, leftOut.firstText.c_str());
}

}  // namespace tolvex
