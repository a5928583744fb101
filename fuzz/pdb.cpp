// Feeds arbitrary bytes to the .pdb reader; whatever parses must write back
// and read again to the same database.
#include <cstdint>
#include <cstdlib>

#include "platform/syncmgr/PdbFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error;
  auto db = tolvex::PdbFile::parse(data, size, &error);
  if (!db) return 0;
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
