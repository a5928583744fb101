// One row of the run's table of lists.
#ifndef TOLVEX_COMMON_DATABASEENTRY_H
#define TOLVEX_COMMON_DATABASEENTRY_H
#include <cstdint>
#include <string>

namespace tolvex {

enum Presence : uint8_t { kOnDesktop = 1, kOnHandheld = 2, kOnBoth = 3 };

struct DatabaseEntry {
  uint8_t presence = 0;   // Presence bits
  std::string name;       // list name without extension ("Tolvk-...")
  uint8_t card = 0;       // 0, or 0xFF for a desktop-only row
  uint32_t created = 0;   // handheld creation date (the list's uniqueTime); 0 desktop-only
};

}  // namespace tolvex
#endif
