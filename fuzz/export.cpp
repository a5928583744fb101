// Hostile tag and filter records: the first byte chooses the parser, the rest
// is the record (or app-info block). Nothing may read past the bytes given,
// and every file written from them is well-formed.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "export/Export.h"

using namespace tolvex;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  uint8_t choice = data[0];
  const uint8_t* bytes = data + 1;
  size_t length = size - 1;
  MemoryRunLog log;
  switch (choice % 3) {
    case 0: {   // app-info block, then a tag for every slot number from -2 to 17
      auto list = makeTagList(parseTagCategories(bytes, length), log);
      TagRecord tag = parseTagRecord(bytes, length);
      for (int slot = -2; slot < 18; ++slot) fileTag(*list, slot, 1, tag, log);
      purgeEmptyCategories(*list);
      std::string path = fuzz::scratchFile("tags.xml"), ignored;
      if (TagFileWriter().write(list.get(), path, ignored) != 0) __builtin_trap();
      fuzz::requireWellFormed(fuzz::readWhole(path), "tag file");
      break;
    }
    case 1: {   // tag record
      TagRecord tag = parseTagRecord(bytes, length);
      if (tag.name.size() > 32) __builtin_trap();
      break;
    }
    default: {  // filter record, written out as the filter file would be
      auto filter = parseFilterRecord(bytes, length, choice & 0x80 ? &log : nullptr);
      if (filter->title.size() > 32) __builtin_trap();
      for (const FilterRule* r = filter->rules.get(); r; r = r->next.get())
        if ((r->text && r->text->size() > 22) || r->flags > 1 || r->group > 3) __builtin_trap();
      std::string file = FilterFileWriter::format(filter.get());
      if (file.empty()) __builtin_trap();
      fuzz::requireWellFormed(file, "filter file");
      break;
    }
  }
  return 0;
}
