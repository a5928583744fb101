// Feeds arbitrary bytes to the .pdb reader; whatever parses must write back
// and read again to the same database, and the reading in place must take
// the same files and see the same records.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/syncmgr/PdbFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error;
  auto db = tolvex::PdbFile::parse(data, size, &error);
  std::vector<tolvex::PdbRecordView> views;
  std::string viewError;
  auto inPlace = tolvex::PdbFile::parseInPlace(data, size, &viewError, &views);
  if (inPlace.has_value() != db.has_value() || viewError != error) std::abort();
  if (!db) return 0;
  if (views.size() != db->recordCount()) std::abort();
  for (size_t i = 0; i < views.size(); ++i) {
    const tolvex::PdbRecord& r = db->records()[i];
    const tolvex::PdbRecordView& v = views[i];
    if (v.uniqueId != r.uniqueId || v.attributes != r.attributes || v.category != r.category ||
        std::vector<uint8_t>(v.data, v.data + v.size) != r.data)
      std::abort();
  }
  const auto bytes = db->serialize();
  auto again = tolvex::PdbFile::parse(bytes.data(), bytes.size(), &error);
  if (!again || again->serialize() != bytes) std::abort();
  // New records keep drawing fresh, non-zero IDs.
  tolvex::PdbRecord r;
  r.data.assign(data, data + (size < 16 ? size : 16));
  const size_t index = again->appendRecord(std::move(r));
  if (again->records()[index].uniqueId == 0 || again->findRecord(again->records()[index].uniqueId) != index)
    std::abort();
  return 0;
}
