// The shipped example (examples/handheld and examples/desktop) in a scratch
// world, and what its lists hold: every item as the titles it may carry (its
// handheld and its desktop title, paired by record unique ID), and the items
// found on the handheld, in the desktop files and in the backups.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "SafetyHarness.h"
#include "desktop/XmlFile.h"
#include "outline/ItemList.h"
#include "outline/ItemRecord.h"
#include "outline/ListNode.h"
#include "platform/syncmgr/PdbFile.h"
#include "platform/syncmgr/SyncMgr.h"

namespace tolvex::safety {

inline void copyExample(const World& w) {
  const std::string examples = TOLVEX_SOURCE_DIR "/examples";
  ASSERT_EQ(std::system(("rm -rf '" + w.device + "' '" + w.desktop + "' && cp -r '" + examples + "/handheld' '" +
                         w.device + "' && cp -r '" + examples + "/desktop' '" + w.desktop + "'").c_str()),
            0);
}

struct FoundItem {
  uint32_t id;
  std::string title;
};

inline bool hasSuffix(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// Undeleted items of a list database file, in record order; none for a file
// that is not a list database.
inline std::vector<FoundItem> handheldItems(const std::string& bytes) {
  std::vector<FoundItem> out;
  std::string error;
  auto pdb = PdbFile::parse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &error);
  const uint32_t list = SYNC_FOURCC('W', 'k', 'd', 'q');
  if (!pdb || pdb->creator != list || pdb->type != list) return out;
  ItemList owner;
  for (size_t i = 1; i < pdb->recordCount(); ++i) {
    const PdbRecord& r = pdb->record(i);
    if (r.attributes & 0x80) continue;
    auto item = unpackItemRecord(&owner, r.uniqueId, r.data.data(), r.data.size(), false, nullptr);
    if (item) out.push_back({r.uniqueId, item->title()});
  }
  return out;
}

// Undeleted items of a desktop list file (or a backup of one), in pre-order.
inline std::vector<FoundItem> desktopItems(const std::string& path) {
  std::vector<FoundItem> out;
  std::string message;
  auto list = ListFileReader().read(path, message);
  if (!list) return out;
  ItemList::forEach(list->head(), WalkScope::kSubtree, [&](ListNode* node) {
    if (!node->deleted()) out.push_back({node->uniqueID(), node->title()});
    return true;
  });
  return out;
}

inline std::vector<std::string> titlesOf(const std::vector<FoundItem>& items) {
  std::vector<std::string> out;
  for (const FoundItem& i : items) out.push_back(i.title);
  return out;
}

// Titles of every undeleted item on the handheld, in the desktop list files
// and in the backup folder. The backups count because the example's first
// run is slow and, under "HH over DT", deletes the desktop-only "Garlic" and
// "Weeding" from both live files; once one-sided work is kept, only the live
// files should count here.
inline std::set<std::string> titlesEverywhere(const World& w) {
  std::set<std::string> out;
  for (const auto& [name, content] : snapshot(w.device))
    if (hasSuffix(name, ".pdb") && content.rfind("F:", 0) == 0)
      for (const FoundItem& i : handheldItems(content.substr(2))) out.insert(i.title);
  for (const auto& [name, content] : snapshot(w.desktop)) {
    const bool listFile = hasSuffix(name, ".XML") && name.find('/') == std::string::npos;
    const bool backup = name.rfind("Backup/", 0) == 0 && content.rfind("F:", 0) == 0;
    if (listFile || backup)
      for (const FoundItem& i : desktopItems(w.desktop + "/" + name)) out.insert(i.title);
  }
  return out;
}

// The items of the lists in the world now: one entry per handheld record ID
// (its titles on either side) plus one per desktop item without an ID.
inline std::vector<std::set<std::string>> itemsOf(const World& w) {
  std::map<uint32_t, std::set<std::string>> byId;
  std::vector<std::set<std::string>> out;
  for (const auto& [name, content] : snapshot(w.device))
    if (hasSuffix(name, ".pdb") && content.rfind("F:", 0) == 0)
      for (const FoundItem& i : handheldItems(content.substr(2))) byId[i.id].insert(i.title);
  for (const auto& [name, content] : snapshot(w.desktop))
    if (hasSuffix(name, ".XML") && name.find('/') == std::string::npos)
      for (const FoundItem& i : desktopItems(w.desktop + "/" + name)) {
        if (i.id == 0) out.push_back({i.title});
        else byId[i.id].insert(i.title);
      }
  for (auto& [id, titles] : byId) out.push_back(titles);
  return out;
}

// Items none of whose titles is found; the first few are named in `report`.
inline int itemsLost(const std::vector<std::set<std::string>>& items, const std::set<std::string>& found,
                     std::string* report) {
  int lost = 0;
  for (const auto& titles : items) {
    bool any = false;
    for (const auto& t : titles) any = any || found.count(t);
    if (!any && ++lost <= 5 && report) *report += " \"" + *titles.begin() + "\"";
  }
  return lost;
}

}  // namespace tolvex::safety
